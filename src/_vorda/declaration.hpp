// Asset declaration: the `asset` decorator factory, `AssetWrapper` and
// `Partitions`.
#pragma once

#include "common.hpp"
#include "json.hpp"

namespace vorda {

// The two classes' type objects, created on first use and kept for the
// life of the process.
PyTypeObject* asset_wrapper_type();
PyTypeObject* partitions_type();

Ref asset(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
Ref partitions(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// The stored values (a JSON array) of a Partitions instance, or null for
// any other object.
const json::Value* partition_values(PyObject* obj) noexcept;

// Whether the object's `__vorda_kind__` reads as the text "asset"; a failed
// read counts as no.
bool is_asset(PyObject* obj);

// The object's `__vorda_original__`, or the object itself when reading that
// attribute raises.
Ref undecorated(PyObject* obj);

}  // namespace vorda
