// Extension-type helpers: creation from a spec, the pickling refusal,
// constructors' argument rules, and override dispatch (a native method
// that runs a Python subclass's override when called natively).
#pragma once
#include "function.hpp"
#include "module.hpp"

namespace pyext {

// Creates the type and binds it in the module namespace under its short
// name.  The PyType_Spec name is the full dotted name.  Borrowed result (the
// module keeps it alive), or null.
//
// Constructor signatures: a constructor parsed in tp_new is invisible to
// inspect.signature and help() unless the type's Py_tp_doc starts with
// CPython's signature header, the short name and the parameter list as
// Python writes it, then "\n--\n\n":
//     "AtomicCounter(initial_value=0)\n--\n\nLock-free signed 64-bit counter."
// type.__text_signature__ reads the header and __doc__ shows only the text
// after it; a subclass with its own __init__ gets that one's signature.
// Use "Name()\n--\n\n" for a constructor that takes no parameters.
PyTypeObject* add_type(PyType_Spec* spec, PyObject* base = nullptr);

// Makes the type's own attributes read-only from Python (as for a static
// type: "cannot set '%s' attribute of immutable type"), so that native
// code may rely on its descriptors staying in place.  Call after the last
// add_method / alias on the type.  Subclasses are unaffected.
inline void freeze_type(PyTypeObject* type) {
    type->tp_flags |= Py_TPFLAGS_IMMUTABLETYPE;
    PyType_Modified(type);
}

// __reduce__, __reduce_ex__ and __setstate__ raising
// TypeError "no default __reduce__ due to non-trivial __cinit__".
bool add_pickle_refusal(PyTypeObject* type);

// The override of attribute `name` that a Python subclass of `base` put in
// place of the base's own function, bound to `self`; a null Ref with no
// error set when there is none (always so for instances of `base` itself).
Ref find_override(PyObject* self, PyTypeObject* base, PyObject* name);

// Calls `callable(*args)`; args are borrowed.
template <typename... A>
Ref call(PyObject* callable, A... args) {
    PyObject* argv[sizeof...(A) + 1] = {nullptr, args...};
    return Ref::steal(PyObject_Vectorcall(callable, argv + 1, sizeof...(A) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// Calls `obj.name(*args)`; name is usually PYEXT_STR("...").
template <typename... A>
Ref call_method(PyObject* obj, PyObject* name, A... args) {
    PyObject* argv[sizeof...(A) + 1] = {obj, args...};
    return Ref::steal(PyObject_VectorcallMethod(name, argv, (sizeof...(A) + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// A plain Python class made by calling type(name, (), namespace); the
// namespace gets __module__ (the current module), __qualname__, __doc__
// and the given functions in order.  Binds it in the module namespace.
Ref add_plain_class(const char* name, const char* doc, const std::vector<FunctionDef>& functions);

}  // namespace pyext
