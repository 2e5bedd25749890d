// One function type for every Python-visible function and method.
//
// A Function carries __name__, __qualname__, __module__, __doc__,
// __annotations__, __defaults__ and __signature__ (so inspect.signature
// works), parses its arguments with ArgSpec, is called through vectorcall
// and binds like a Python function when stored in a class: `obj.m()` calls
// it without creating a bound method (Py_TPFLAGS_METHOD_DESCRIPTOR), and a
// plain class made with type(...) gets real methods.
//
// Two calling shapes:
//   * method = true: the instance comes separately as `self` and is not
//     counted in argument messages (native methods of extension types);
//   * method = false: every argument is a parameter, `self` included when
//     the function is used as a method of a plain class.
#pragma once
#include "args.hpp"
#include <string>
#include <vector>

namespace pyext {

// argv holds one borrowed reference per parameter, defaults filled in.
// `self` is the instance for methods and null for plain functions.
using Impl = PyObject* (*)(PyObject* self, PyObject* const* argv);

struct Param {
    const char* name;
    PyObject* default_value = nullptr;  // borrowed; null means required
    const char* annotation = nullptr;   // string shown in __annotations__

    static Param req(const char* name, const char* annotation = nullptr) { return {name, nullptr, annotation}; }
    static Param opt(const char* name, PyObject* dflt, const char* annotation = nullptr) {
        return {name, dflt, annotation};
    }
};

struct FunctionDef {
    const char* name;
    Impl impl;
    std::vector<Param> params = {};   // required ones first; methods: without self
    bool method = false;              // see above
    const char* doc = nullptr;
    const char* returns = nullptr;    // return annotation string
    const char* qualname = nullptr;   // default: Owner.name for methods, name otherwise
    PyTypeObject* owner = nullptr;    // methods: instances must be of this type
    const char* module = nullptr;     // __module__; default: the module being executed
};

// New function object, or null with an error set.
Ref make_function(const FunctionDef& def);

// Creates the function and binds it as attribute `def.name` of `target`
// (a module or a type).  Returns the function (new reference) or null.
Ref add_function(PyObject* target, const FunctionDef& def);
// For methods: owner and qualname are taken from the type.
Ref add_method(PyTypeObject* type, FunctionDef def);

// Binds one more name to an existing attribute of `target` (`py_load = load`).
bool alias(PyObject* target, const char* new_name, const char* existing);

PyTypeObject* function_type();
bool is_function(PyObject* o);

}  // namespace pyext
