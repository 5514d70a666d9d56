// The cheapest callable a C extension can put in front of a Python function
// on this interpreter: an object whose vectorcall hands the arguments
// straight to the function's own vectorcall, checking nothing. Built for the
// benchmark only (the floor row of the wrapper call), never shipped.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>

namespace {

struct Forwarder {
  PyObject_HEAD
  vectorcallfunc vectorcall;
  PyObject* function;
  vectorcallfunc target;
};

PyObject* forward(PyObject* self, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) {
  auto* f = reinterpret_cast<Forwarder*>(self);
  return f->target(f->function, args, nargsf, kwnames);
}

void forwarder_dealloc(PyObject* self) {
  Py_DECREF(reinterpret_cast<Forwarder*>(self)->function);
  PyObject_Free(self);
}

PyTypeObject forwarder_type = {PyVarObject_HEAD_INIT(nullptr, 0) "_vorda_call_floor.Forwarder"};

PyObject* make(PyObject*, PyObject* function) {
  vectorcallfunc target = PyVectorcall_Function(function);
  if (target == nullptr) {
    PyErr_SetString(PyExc_TypeError, "the object has no vectorcall");
    return nullptr;
  }
  Forwarder* f = PyObject_New(Forwarder, &forwarder_type);
  if (f == nullptr) return nullptr;
  f->vectorcall = forward;
  Py_INCREF(function);
  f->function = function;
  f->target = target;
  return reinterpret_cast<PyObject*>(f);
}

PyMethodDef methods[] = {{"forwarder", make, METH_O, "forwarder(f): a C callable that forwards to f's vectorcall."},
                         {nullptr, nullptr, 0, nullptr}};

PyModuleDef module = {PyModuleDef_HEAD_INIT, "_vorda_call_floor", nullptr, -1, methods};

}  // namespace

PyMODINIT_FUNC PyInit__vorda_call_floor() {
  forwarder_type.tp_basicsize = sizeof(Forwarder);
  forwarder_type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_VECTORCALL;
  forwarder_type.tp_vectorcall_offset = offsetof(Forwarder, vectorcall);
  forwarder_type.tp_call = PyVectorcall_Call;
  forwarder_type.tp_dealloc = forwarder_dealloc;
  if (PyType_Ready(&forwarder_type) < 0) return nullptr;
  return PyModule_Create(&module);
}
