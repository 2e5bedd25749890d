// Positional-or-keyword argument parsing with the interface's messages:
//   "%.200s() takes %.8s %zd positional argument%.1s (%zd given)"
//   "%s() got an unexpected keyword argument '%U'"
//   "%s() got multiple values for keyword argument '%U'"
//   "%.200s() keywords must be strings"
#pragma once
#include "ref.hpp"

namespace pyext {

constexpr Py_ssize_t kMaxParams = 24;

class ArgSpec {
public:
    // An empty spec; init() fills it.  Trivially made and never destroyed
    // by itself, so a spec may live in a global (its names then stay for
    // the rest of the process) or inside an object that releases them.
    constexpr ArgSpec() noexcept = default;
    ArgSpec(const ArgSpec&) = delete;
    ArgSpec& operator=(const ArgSpec&) = delete;

    // `fname` is the name used in messages ("__cinit__" for constructors).
    // The first `nrequired` parameters are required, the rest optional.
    // False with an error set (MemoryError, or SystemError for too many
    // parameters); a spec that failed may be initialised again.
    bool init(const char* fname, const char* const* names, Py_ssize_t nparams, Py_ssize_t nrequired);
    // Gives back the names' references (an owner that is freed).
    void release_names();

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
    bool check_keyword(PyObject* key, Py_ssize_t nargs) const;
    bool finish(Py_ssize_t nargs, PyObject** out) const;

    const char* fname_ = "";
    Py_ssize_t nparams_ = 0;
    Py_ssize_t nrequired_ = 0;
    PyObject* names_[kMaxParams] = {};
    bool ok_ = false;
};


}  // namespace pyext
