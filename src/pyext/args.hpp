// Positional-or-keyword argument parsing with the interface's messages:
//   "%.200s() takes %.8s %zd positional argument%.1s (%zd given)"
//   "%s() got an unexpected keyword argument '%U'"
//   "%s() got multiple values for keyword argument '%U'"
//   "%.200s() keywords must be strings"
#pragma once
#include "ref.hpp"
#include <initializer_list>

namespace pyext {

constexpr Py_ssize_t kMaxParams = 24;

class ArgSpec {
public:
    // `fname` is the name used in messages ("__cinit__" for constructors).
    // The first `nrequired` parameters are required, the rest optional.
    // Must be constructed with the interpreter lock held (it interns names).
    ArgSpec(const char* fname, std::initializer_list<const char*> names, Py_ssize_t nrequired);
    ArgSpec(const char* fname, const char* const* names, Py_ssize_t nparams, Py_ssize_t nrequired);
    ~ArgSpec();
    ArgSpec(const ArgSpec&) = delete;
    // Gives back the names' references; for an owner that is freed while
    // the interpreter runs (a function object), before it deletes the spec.
    void release_names();
    ArgSpec& operator=(const ArgSpec&) = delete;

    // Vectorcall arguments.  Fills out[0..nparams) with borrowed references;
    // optional parameters that were not given are left null.
    bool parse(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out) const;
    // tp_new / tp_init arguments (a tuple and an optional dict).
    bool parse(PyObject* args, PyObject* kwds, PyObject** out) const;

    // The count TypeError, with `given` filled in.
    void raise_count(Py_ssize_t given) const;

    const char* fname() const { return fname_; }
    Py_ssize_t nparams() const { return nparams_; }
    Py_ssize_t nrequired() const { return nrequired_; }
    PyObject* name(Py_ssize_t i) const { return names_[i]; }
    bool ok() const { return ok_; }

private:
    Py_ssize_t index_of(PyObject* key) const;  // -1 when unknown
    bool finish(Py_ssize_t nargs, PyObject** out) const;

    const char* fname_;
    Py_ssize_t nparams_;
    Py_ssize_t nrequired_;
    PyObject* names_[kMaxParams] = {};
    bool ok_ = false;
};

// A callable that takes no arguments at all: the count message for any
// positional argument, the keyword message for the first keyword.
bool check_no_args(const char* fname, Py_ssize_t nargs, PyObject* kwnames);
bool check_no_args(const char* fname, PyObject* args, PyObject* kwds);

}  // namespace pyext
