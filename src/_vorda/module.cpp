// The module definition, its entry point and the registration of its
// classes and functions.
#include <atomic>
#include <cstdint>

#include "common.hpp"
#include "declaration.hpp"
#include "discovery.hpp"
#include "materialize.hpp"
#include "names.hpp"

namespace vorda {
namespace {

constexpr const char kAssetDoc[] =
    "asset(*, name=None, inputs=None, partitions=None, serializer=None)\n"
    "--\n"
    "\n"
    "Decorator that registers a Python function as a vorda asset.\n"
    "\n"
    "Usage\n"
    "-----\n"
    "    from vorda import asset\n"
    "\n"
    "    @asset()\n"
    "    def my_data():\n"
    "        return {\"value\": 42}\n"
    "\n"
    "Parameters\n"
    "----------\n"
    "name : str, optional\n"
    "    Override the asset's display name / continuity key.\n"
    "    Defaults to ``\"<file>:<function_name>\"``.\n"
    "inputs : dict[str, asset], optional\n"
    "    Declare upstream dependencies.  Map parameter names to other\n"
    "    ``@asset``-decorated functions.  Vorda will materialize upstream\n"
    "    assets first and pass their values as keyword arguments.\n"
    "\n"
    "    Example::\n"
    "\n"
    "        @asset()\n"
    "        def raw(): return [1, 2, 3]\n"
    "\n"
    "        @asset(inputs={\"data\": raw})\n"
    "        def processed(data): return [x * 2 for x in data]\n"
    "\n"
    "partitions : dict[str, partitions(...)], optional\n"
    "    Declare a partitioned asset.  Each dimension maps to a\n"
    "    ``partitions([...])`` call that enumerates the static partition keys.\n"
    "    Vorda will create one materialization job per partition combination.\n"
    "\n"
    "    Example::\n"
    "\n"
    "        from vorda import asset, partitions\n"
    "\n"
    "        @asset(partitions={\"ticker\": partitions([\"AAPL\", \"MSFT\", \"GOOG\"])})\n"
    "        def prices(ticker: str):\n"
    "            return fetch_price(ticker)\n"
    "\n"
    "serializer : str, optional\n"
    "    Reserved for future use.  Leave unset.";

constexpr const char kPartitionsDoc[] =
    "partitions(values)\n"
    "--\n"
    "\n"
    "Declare a static partition universe for use with ``@asset(partitions=...)``.\n"
    "\n"
    "Example::\n"
    "\n"
    "    from vorda import asset, partitions\n"
    "\n"
    "    @asset(partitions={\"ticker\": partitions([\"AAPL\", \"MSFT\", \"GOOG\"])})\n"
    "    def prices(ticker: str): ...";

constexpr const char kInspectModulesDoc[] =
    "inspect_modules(modules)\n"
    "--\n"
    "\n"
    "Inspect modules for vorda assets. Called by the `python -m vorda.inspect` CLI stub.\n"
    "\n"
    "Imports each module, finds functions with `__vorda_kind__ == \"asset\"`,\n"
    "extracts source and metadata, returns JSON string to stdout.";

constexpr const char kMaterializeAssetDoc[] =
    "materialize_asset(module_name, function_name, output_dir, input_kwargs_json=None)\n"
    "--\n"
    "\n"
    "Materialize a single asset function. Called by the `python -m vorda.worker` CLI stub.\n"
    "\n"
    "Imports the module, finds the function, calls the unwrapped original,\n"
    "serializes the result to JSON, writes value.json and result.json.\n"
    "\n"
    "If `input_kwargs_json` is provided, it is parsed as a JSON dict and\n"
    "passed as keyword arguments to the function.";

#define VORDA_FASTCALL(body) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&fastcall_entry<body>))

// Created once per registration and never freed.
PyMethodDef asset_def = {"asset", VORDA_FASTCALL(asset), METH_FASTCALL | METH_KEYWORDS, kAssetDoc};
PyMethodDef partitions_def = {"partitions", VORDA_FASTCALL(partitions), METH_FASTCALL | METH_KEYWORDS, kPartitionsDoc};
PyMethodDef inspect_modules_def = {"inspect_modules", VORDA_FASTCALL(inspect_modules), METH_FASTCALL | METH_KEYWORDS,
                                   kInspectModulesDoc};
PyMethodDef materialize_asset_def = {"materialize_asset", VORDA_FASTCALL(materialize_asset),
                                     METH_FASTCALL | METH_KEYWORDS, kMaterializeAssetDoc};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "_vorda", "The native `_vorda` module.", 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

// Process-wide: the interpreter that first imported the module, and the
// module object itself once it has been made.
std::atomic<std::int64_t> owning_interpreter{-1};
PyObject* module_cell = nullptr;

void add_object(PyObject* module, PyObject* name, PyObject* object) {
  PyObject* all = PyObject_GetAttr(module, names::dunder_all.get());
  Ref all_ref = Ref::steal(all);
  if (all == nullptr) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_pending();
    PyErr_Clear();
    all_ref = check(PyList_New(0));
    check_status(PyObject_SetAttr(module, names::dunder_all.get(), all_ref.get()));
  } else if (!PyList_Check(all)) {
    throw_cannot_convert(all, "PyList");
  }
  check_status(PyList_Append(all_ref.get(), name));
  check_status(PyObject_SetAttr(module, name, object));
}

void add_class(PyObject* module, PyTypeObject* type) {
  Ref name = check(PyType_GetName(type));
  add_object(module, name.get(), reinterpret_cast<PyObject*>(type));
}

void add_function(PyObject* module, PyMethodDef* def) {
  PyObject* module_name = PyModule_GetNameObject(module);
  Ref module_name_ref = check(module_name);
  Ref function = check(PyCMethod_New(def, module, module_name, nullptr));
  Ref name = get_attr(function.get(), names::dunder_name);
  if (!PyUnicode_Check(name.get())) throw_cannot_convert(name.get(), "PyString");
  add_object(module, name.get(), function.get());
}

void register_all(PyObject* module) {
  add_class(module, asset_wrapper_type());
  add_class(module, partitions_type());
  add_function(module, &asset_def);
  add_function(module, &partitions_def);
  add_function(module, &inspect_modules_def);
  add_function(module, &materialize_asset_def);
}

PyObject* init_module() {
  return guarded([]() -> Ref {
    PyInterpreterState* interp = PyInterpreterState_Get();
    std::int64_t id = interp ? PyInterpreterState_GetID(interp) : -1;
    if (id < 0) throw_pending();
    std::int64_t expected = -1;
    if (!owning_interpreter.compare_exchange_strong(expected, id) && expected != id) {
      throw_message(PyExc_ImportError,
                    "vorda._vorda does not support sub-interpreters: it is already loaded in another interpreter "
                    "of this process");
    }
    if (module_cell != nullptr) return Ref::borrow(module_cell);
    Ref module = check(PyModule_Create(&module_def));
    register_all(module.get());
    // Another thread may have finished first while this one ran Python code.
    if (module_cell == nullptr) module_cell = Ref(module).release();
    return Ref::borrow(module_cell);
  });
}

}  // namespace
}  // namespace vorda

PyMODINIT_FUNC PyInit__vorda() { return vorda::init_module(); }
