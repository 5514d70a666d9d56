#include "declaration.hpp"

#include <algorithm>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "convert.hpp"
#include "names.hpp"
#include "structmember.h"

namespace vorda {
namespace {

// ---- Asset metadata ----------------------------------------------------------

// A map that enumerates in the order its keys were first inserted; a key
// inserted again replaces the value in place.
template <class T>
using OrderedMap = std::vector<std::pair<std::string, T>>;

template <class T>
class OrderedMapBuilder {
 public:
  explicit OrderedMapBuilder(std::size_t expected) { entries_.reserve(expected); }
  void insert(std::string_view key, T value) {
    auto [it, fresh] = index_.try_emplace(std::string(key), entries_.size());
    if (fresh) {
      entries_.emplace_back(std::string(key), std::move(value));
    } else {
      entries_[it->second].second = std::move(value);
    }
  }
  OrderedMap<T> finish() && { return std::move(entries_); }

 private:
  OrderedMap<T> entries_;
  std::unordered_map<std::string, std::size_t> index_;
};

struct AssetMetadata {
  std::optional<std::string> name;
  std::optional<std::string> serializer;
  std::optional<OrderedMap<std::string>> inputs;
  // Dimension name to its inline values (a JSON array).
  std::optional<OrderedMap<json::Value>> partitions;
};

// ---- Type creation helpers -----------------------------------------------------

// Both types are also immutable: a `__new__` assigned from Python could
// otherwise make instances that this module never initialised.
PyObject* no_constructor(PyTypeObject* type, PyObject*, PyObject*) {
  return guarded([&]() -> Ref {
    Ref name = check(PyType_GetName(type));
    throw PyError(PyExc_TypeError, check(PyUnicode_FromFormat("No constructor defined for %U", name.get())));
  });
}

// Type creation from a spec stores the doc string and the module name in
// the type's dict after the getset descriptors are in place; a computed
// attribute of the same name must be put back.
void restore_getset(PyTypeObject* type, PyGetSetDef* getsets, const char* name) {
  for (PyGetSetDef* g = getsets; g->name != nullptr; ++g) {
    if (std::string_view(g->name) != name) continue;
    Ref descriptor = check(PyDescr_NewGetSet(type, g));
    check_status(PyDict_SetItemString(type->tp_dict, name, descriptor.get()));
    PyType_Modified(type);
    return;
  }
}

template <class Create>
PyTypeObject* once_type(PyTypeObject*& cell, Create create) {
  if (cell == nullptr) {
    Ref type = create();
    // Creating the type may run Python code; keep the first one made.
    if (cell == nullptr) cell = reinterpret_cast<PyTypeObject*>(type.release());
  }
  return cell;
}

// ---- Partitions ---------------------------------------------------------------

struct PartitionsObject {
  PyObject_HEAD
  json::Value* values;  // an array
};

PyTypeObject* partitions_type_cell = nullptr;

void partitions_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  delete reinterpret_cast<PartitionsObject*>(self)->values;
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* partitions_repr(PyObject* self) {
  const json::Value* values = reinterpret_cast<PartitionsObject*>(self)->values;
  return PyUnicode_FromFormat("Partitions(%zu values)", values->as_array().size());
}

Ref make_partitions_type() {
  static PyType_Slot slots[] = {
      {Py_tp_doc, const_cast<char*>("Marker type returned by `partitions([...])`. Stores the static values.")},
      {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
      {Py_tp_dealloc, reinterpret_cast<void*>(partitions_dealloc)},
      {Py_tp_repr, reinterpret_cast<void*>(partitions_repr)},
      {0, nullptr},
  };
  static PyType_Spec spec = {
      .name = "builtins.Partitions",
      .basicsize = sizeof(PartitionsObject),
      .itemsize = 0,
      // Holds a JSON value, no Python object: nothing for the collector.
      .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
      .slots = slots,
  };
  return check(PyType_FromSpec(&spec));
}

Ref new_partitions(json::Value values) {
  PyTypeObject* type = partitions_type();
  auto owned = std::make_unique<json::Value>(std::move(values));
  PyObject* self = type->tp_alloc(type, 0);
  if (self == nullptr) throw_pending();
  reinterpret_cast<PartitionsObject*>(self)->values = owned.release();
  return Ref::steal(self);
}

// ---- AssetWrapper --------------------------------------------------------------

struct AssetWrapperObject {
  PyObject_HEAD
  vectorcallfunc vectorcall;
  PyObject* wrapped;
  AssetMetadata* metadata;
  AssetWrapperObject* next_release;  // queued for release (wrapper_dealloc)
};

PyTypeObject* asset_wrapper_type_cell = nullptr;

AssetWrapperObject* as_wrapper(PyObject* self) {
  if (!PyObject_TypeCheck(self, asset_wrapper_type())) throw_cannot_convert(self, "AssetWrapper");
  return reinterpret_cast<AssetWrapperObject*>(self);
}

void release_wrapper(AssetWrapperObject* w) {
  PyTypeObject* type = Py_TYPE(w);
  delete w->metadata;
  Py_CLEAR(w->wrapped);
  type->tp_free(w);
  Py_DECREF(type);
}

// Releasing a wrapper releases what it wraps, which may be another wrapper:
// a long chain of wrappers would recurse once per link and overflow the C
// stack. Past a small depth, wrappers are queued and released by the
// outermost release on the same thread.
struct ReleaseQueue {
  int depth = 0;
  AssetWrapperObject* pending = nullptr;
};
thread_local ReleaseQueue release_queue;
constexpr int kMaxReleaseDepth = 32;

void wrapper_dealloc(PyObject* self) {
  auto* w = reinterpret_cast<AssetWrapperObject*>(self);
  ReleaseQueue& queue = release_queue;
  if (queue.depth >= kMaxReleaseDepth) {
    w->next_release = queue.pending;
    queue.pending = w;
    return;
  }
  ++queue.depth;
  release_wrapper(w);
  if (queue.depth == 1) {
    while (AssetWrapperObject* next = queue.pending) {
      queue.pending = next->next_release;
      release_wrapper(next);
    }
  }
  --queue.depth;
}

// Calls and forwarded attribute reads go through the wrapped object, which
// may be another wrapper (or a partial around one) and lead straight back
// here: each such level counts against the recursion limit, so a long chain
// raises RecursionError instead of overflowing the C stack. A Python
// function counts its own frame, so calling one needs no check here.
PyObject* wrapper_vectorcall(PyObject* self, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) {
  PyObject* wrapped = reinterpret_cast<AssetWrapperObject*>(self)->wrapped;
  if (Py_EnterRecursiveCall(" while calling an AssetWrapper")) return nullptr;
  PyObject* result = PyObject_Vectorcall(wrapped, args, nargsf, kwnames);
  Py_LeaveRecursiveCall();
  return result;
}

// A wrapper around a Python function (the usual case, chosen when the
// wrapper is made: the wrapped object never changes) hands the arguments
// straight to the function's own vectorcall, as a direct call would.
PyObject* function_wrapper_vectorcall(PyObject* self, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) {
  PyObject* function = reinterpret_cast<AssetWrapperObject*>(self)->wrapped;
  return reinterpret_cast<PyFunctionObject*>(function)->vectorcall(function, args, nargsf, kwnames);
}

PyObject* wrapper_descr_get(PyObject* self, PyObject*, PyObject*) {
  Py_INCREF(self);
  return self;
}

void set_item(PyObject* dict, PyObject* key, PyObject* value) { check_status(PyDict_SetItem(dict, key, value)); }

Ref optional_text(const std::optional<std::string>& text) { return text ? new_text(*text) : Ref::borrow(Py_None); }

Ref metadata_dict(const AssetMetadata& m) {
  Ref d = check(PyDict_New());
  set_item(d.get(), names::kind.get(), names::asset.get());
  set_item(d.get(), names::name.get(), optional_text(m.name).get());
  set_item(d.get(), names::serializer.get(), optional_text(m.serializer).get());
  if (m.inputs) {
    Ref inputs = check(PyDict_New());
    for (const auto& [key, ref] : *m.inputs) {
      Ref k = new_text(key);
      set_item(inputs.get(), k.get(), new_text(ref).get());
    }
    set_item(d.get(), names::inputs.get(), inputs.get());
  } else {
    set_item(d.get(), names::inputs.get(), Py_None);
  }
  if (m.partitions) {
    Ref dims = check(PyDict_New());
    std::string text;
    for (const auto& [key, values] : *m.partitions) {
      text.clear();
      json::write(values, text);
      Ref entry = check(PyDict_New());
      set_item(entry.get(), names::kind.get(), names::inline_.get());
      set_item(entry.get(), names::values_json.get(), new_text(text).get());
      set_item(dims.get(), new_text(key).get(), entry.get());
    }
    set_item(d.get(), names::partitions.get(), dims.get());
  } else {
    set_item(d.get(), names::partitions.get(), Py_None);
  }
  return d;
}

PyObject* get_metadata(PyObject* self, void*) {
  return guarded([&] { return metadata_dict(*as_wrapper(self)->metadata); });
}

PyObject* get_kind(PyObject* self, void*) {
  return guarded([&] {
    as_wrapper(self);
    return check(PyUnicode_FromString("asset"));
  });
}

PyObject* get_wrapped(PyObject* self, void*) {
  return guarded([&] { return Ref::borrow(as_wrapper(self)->wrapped); });
}

// __name__, __qualname__, __module__ and __doc__ are read from the wrapped
// object at every read; the closure is the attribute name (a Name).
PyObject* get_forwarded(PyObject* self, void* closure) {
  return guarded([&] {
    PyObject* wrapped = as_wrapper(self)->wrapped;
    PyObject* name = static_cast<Name*>(closure)->get();
    if (Py_EnterRecursiveCall(" while reading an AssetWrapper attribute")) throw_pending();
    PyObject* value = PyObject_GetAttr(wrapped, name);
    Py_LeaveRecursiveCall();
    return check(value);
  });
}

PyGetSetDef wrapper_getsets[] = {
    {"__vorda_metadata__", get_metadata, nullptr, nullptr, nullptr},
    {"__vorda_kind__", get_kind, nullptr, nullptr, nullptr},
    {"__vorda_original__", get_wrapped, nullptr, nullptr, nullptr},
    {"__name__", get_forwarded, nullptr, nullptr, &names::dunder_name},
    {"__doc__", get_forwarded, nullptr, nullptr, &names::dunder_doc},
    {"__module__", get_forwarded, nullptr, nullptr, &names::dunder_module},
    {"__qualname__", get_forwarded, nullptr, nullptr, &names::dunder_qualname},
    {"__wrapped__", get_wrapped, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef wrapper_members[] = {
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(AssetWrapperObject, vectorcall), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

Ref make_asset_wrapper_type() {
  static PyType_Slot slots[] = {
      {Py_tp_doc, const_cast<char*>("The `@asset()` decorator wrapper. Stores the original function and metadata.")},
      {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
      {Py_tp_dealloc, reinterpret_cast<void*>(wrapper_dealloc)},
      // A call with a tuple and a dict goes through the instance's vectorcall.
      {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
      {Py_tp_descr_get, reinterpret_cast<void*>(wrapper_descr_get)},
      {Py_tp_getset, wrapper_getsets},
      {Py_tp_members, wrapper_members},
      {0, nullptr},
  };
  static PyType_Spec spec = {
      .name = "builtins.AssetWrapper",
      .basicsize = sizeof(AssetWrapperObject),
      .itemsize = 0,
      // No Py_TPFLAGS_HAVE_GC: wrappers take no part in garbage collection.
      // A wrapper holds one Python object, the one it wraps, beside metadata
      // that is plain C++. The cycle it usually closes (a module's function
      // whose globals name its wrapper) runs through the module's dict and
      // goes only when that dict is cleared, which for a module dropped from
      // sys.modules is at interpreter shutdown; a cycle of its own (a closure
      // that refers to its own wrapper) also stays until the process ends.
      // A process that reloads user modules keeps every old copy.
      .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_HAVE_VECTORCALL,
      .slots = slots,
  };
  Ref type = check(PyType_FromSpec(&spec));
  auto* tp = reinterpret_cast<PyTypeObject*>(type.get());
  restore_getset(tp, wrapper_getsets, "__doc__");
  restore_getset(tp, wrapper_getsets, "__module__");
  // The offset member only configures vectorcall; it is not an attribute.
  if (PyDict_DelItemString(tp->tp_dict, "__vectorcalloffset__") < 0) PyErr_Clear();
  PyType_Modified(tp);
  return type;
}

Ref new_wrapper(const AssetMetadata& metadata, PyObject* wrapped) {
  PyTypeObject* type = asset_wrapper_type();
  auto copy = std::make_unique<AssetMetadata>(metadata);
  PyObject* self = type->tp_alloc(type, 0);
  if (self == nullptr) throw_pending();
  auto* w = reinterpret_cast<AssetWrapperObject*>(self);
  w->vectorcall = PyFunction_Check(wrapped) ? function_wrapper_vectorcall : wrapper_vectorcall;
  w->wrapped = Py_NewRef(wrapped);
  w->metadata = copy.release();
  w->next_release = nullptr;
  return Ref::steal(self);
}

// ---- The decorator object ----------------------------------------------------------

constexpr const char kCapsuleName[] = "vorda.asset_metadata";

void capsule_destructor(PyObject* capsule) {
  delete static_cast<AssetMetadata*>(PyCapsule_GetPointer(capsule, kCapsuleName));
}

PyObject* decorator_call(PyObject* capsule, PyObject* args, PyObject*) {
  return guarded([&] {
    if (PyTuple_GET_SIZE(args) != 1) {
      throw_message(PyExc_TypeError, "asset() decorator expects exactly one argument (the function)");
    }
    auto* metadata = static_cast<AssetMetadata*>(PyCapsule_GetPointer(capsule, kCapsuleName));
    if (metadata == nullptr) throw_pending();
    return new_wrapper(*metadata, PyTuple_GET_ITEM(args, 0));
  });
}

PyMethodDef decorator_def = {"asset_decorator",
                             reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(decorator_call)),
                             METH_VARARGS | METH_KEYWORDS, nullptr};

// ---- asset(...) ------------------------------------------------------------------

// Walks a dict's own storage, failing with the internal-failure exception
// when user code run by `visit` changes the dict.
template <class Visit>
void walk_dict(PyObject* dict, Visit visit) {
  const Py_ssize_t size = PyDict_GET_SIZE(dict);
  Py_ssize_t pos = 0, yielded = 0;
  PyObject *k, *v;
  for (;;) {
    if (PyDict_GET_SIZE(dict) != size) throw InternalError("dictionary changed size during iteration");
    if (!PyDict_Next(dict, &pos, &k, &v)) break;
    if (++yielded > size) throw InternalError("dictionary keys changed during iteration");
    // The entry may leave the dict while user code runs.
    Ref key = Ref::borrow(k), value = Ref::borrow(v);
    visit(key.get(), value.get());
  }
}

}  // namespace

bool is_asset(PyObject* obj) {
  PyObject* kind = PyObject_GetAttr(obj, names::vorda_kind.get());
  if (kind == nullptr) {
    PyErr_Clear();
    return false;
  }
  // A C-level comparison: a str subclass's own __eq__ never runs.
  bool asset = PyUnicode_Check(kind) && PyUnicode_CompareWithASCIIString(kind, "asset") == 0;
  Py_DECREF(kind);
  return asset;
}

Ref undecorated(PyObject* obj) {
  PyObject* original = PyObject_GetAttr(obj, names::vorda_original.get());
  if (original == nullptr) {
    PyErr_Clear();
    return Ref::borrow(obj);
  }
  return Ref::steal(original);
}

namespace {

// "{source path}:{__name__}" of an asset's function.
std::string asset_ref(PyObject* function) {
  Stdlib lib;
  lib.inspect = import_module("inspect");
  lib.pathlib = import_module("pathlib");
  std::string ref = source_path(lib, function, NoSource::raise);
  Ref name = get_attr(function, names::dunder_name);
  ref += ':';
  ref += to_text(name.get());
  return ref;
}

OrderedMap<std::string> build_inputs(PyObject* inputs) {
  if (!PyDict_Check(inputs)) throw_cannot_convert(inputs, "PyDict");
  OrderedMapBuilder<std::string> map(static_cast<std::size_t>(PyDict_GET_SIZE(inputs)));
  walk_dict(inputs, [&](PyObject* key, PyObject* value) {
    std::string_view name = to_text(key);
    if (is_asset(value)) {
      map.insert(name, asset_ref(undecorated(value).get()));
    } else if (PyUnicode_Check(value)) {
      map.insert(name, std::string(to_text(value)));
    } else {
      throw_message(PyExc_TypeError, "inputs values must be @asset-decorated functions or asset ref strings");
    }
  });
  return std::move(map).finish();
}

OrderedMap<json::Value> build_partitions(PyObject* partitions) {
  if (!PyDict_Check(partitions)) throw_cannot_convert(partitions, "PyDict");
  OrderedMapBuilder<json::Value> map(static_cast<std::size_t>(PyDict_GET_SIZE(partitions)));
  walk_dict(partitions, [&](PyObject* key, PyObject* value) {
    std::string_view name = to_text(key);
    const json::Value* values = partition_values(value);
    if (values == nullptr) throw_message(PyExc_TypeError, "partition values must be partitions([...]) instances");
    map.insert(name, *values);
  });
  return std::move(map).finish();
}

constexpr const char* kAssetParams[] = {"name", "inputs", "partitions", "serializer"};
constexpr SignatureOf kAssetSignature("asset", kAssetParams, 0, 0);

constexpr const char* kPartitionsParams[] = {"values"};
constexpr SignatureOf kPartitionsSignature("partitions", kPartitionsParams, 1, 1);

}  // namespace

PyTypeObject* asset_wrapper_type() { return once_type(asset_wrapper_type_cell, make_asset_wrapper_type); }

PyTypeObject* partitions_type() { return once_type(partitions_type_cell, make_partitions_type); }

const json::Value* partition_values(PyObject* obj) noexcept {
  if (partitions_type_cell == nullptr || Py_TYPE(obj) != partitions_type_cell) return nullptr;
  return reinterpret_cast<PartitionsObject*>(obj)->values;
}

Ref asset(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto [name, inputs, partitions, serializer] = bind(kAssetSignature, args, nargs, kwnames);
  auto metadata = std::make_unique<AssetMetadata>();
  if (given(name)) metadata->name = std::string(text_argument("name", name));
  if (given(serializer)) metadata->serializer = std::string(text_argument("serializer", serializer));
  if (given(inputs)) metadata->inputs = build_inputs(inputs);
  if (given(partitions)) metadata->partitions = build_partitions(partitions);

  Ref capsule = check(PyCapsule_New(metadata.get(), kCapsuleName, capsule_destructor));
  static_cast<void>(metadata.release());  // the capsule owns it now
  return check(PyCMethod_New(&decorator_def, capsule.get(), nullptr, nullptr));
}

Ref partitions(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* list = bind(kPartitionsSignature, args, nargs, kwnames)[0];
  if (!PyList_Check(list)) {
    convert_argument("values", [&] { throw_cannot_convert(list, "PyList"); });
  }
  Ref json_module = import_module("json");
  const Py_ssize_t initial = PyList_GET_SIZE(list);
  json::Array values;
  values.reserve(static_cast<std::size_t>(initial));
  json::ReadError error;
  // The list's own storage, bounded by its current length: user code run by
  // json.dumps may shrink or grow it.
  for (Py_ssize_t i = 0; i < std::min(initial, PyList_GET_SIZE(list)); ++i) {
    Ref item = Ref::borrow(PyList_GET_ITEM(list, i));
    json::Value value;
    if (!dump_and_read(json_module.get(), item.get(), value, error)) {
      throw_prefixed(PyExc_ValueError, "invalid partition value: ", error.describe());
    }
    values.push_back(std::move(value));
  }
  return new_partitions(json::Value::array(std::move(values)));
}

}  // namespace vorda
