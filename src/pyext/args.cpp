#include "args.hpp"

namespace pyext {

// ---------------------------------------------------------------- ArgSpec

bool ArgSpec::init(const char* fname, const char* const* names, Py_ssize_t nparams, Py_ssize_t nrequired) {
    if (ok_) return true;
    if (nparams > kMaxParams) {
        PyErr_SetString(PyExc_SystemError, "too many parameters");
        return false;
    }
    fname_ = fname;
    nparams_ = nparams;
    nrequired_ = nrequired;
    for (Py_ssize_t i = 0; i < nparams_; ++i) {
        if (!names_[i] && !(names_[i] = PyUnicode_InternFromString(names[i]))) return false;
    }
    ok_ = true;
    return true;
}

void ArgSpec::release_names() {
    for (Py_ssize_t i = 0; i < nparams_; ++i) Py_CLEAR(names_[i]);
    ok_ = false;
}

void ArgSpec::raise_count(Py_ssize_t given) const {
    Py_ssize_t expected;
    const char* more_or_less;
    if (given < nrequired_) {
        expected = nrequired_;
        more_or_less = "at least";
    } else {
        expected = nparams_;
        more_or_less = "at most";
    }
    if (nrequired_ == nparams_) more_or_less = "exactly";
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", fname_,
                 more_or_less, expected, (expected == 1) ? "" : "s", given);
}

Py_ssize_t ArgSpec::index_of(PyObject* key) const {
    for (Py_ssize_t i = 0; i < nparams_; ++i)
        if (names_[i] == key) return i;
    for (Py_ssize_t i = 0; i < nparams_; ++i) {
        int eq = PyUnicode_Compare(names_[i], key);
        if (eq == 0) return i;
        if (eq == -1 && PyErr_Occurred()) PyErr_Clear();
    }
    return -1;
}

bool ArgSpec::finish(Py_ssize_t nargs, PyObject** out) const {
    (void)nargs;
    for (Py_ssize_t i = 0; i < nrequired_; ++i) {
        if (!out[i]) {
            raise_count(i);
            return false;
        }
    }
    return true;
}

// A keyword that matched no parameter after the positional ones: not a
// string, unknown, or naming a parameter given by position.
bool ArgSpec::check_keyword(PyObject* key, Py_ssize_t nargs) const {
    if (!PyUnicode_Check(key)) {
        PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", fname_);
        return false;
    }
    Py_ssize_t idx = index_of(key);
    if (idx < 0) {
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", fname_, key);
        return false;
    }
    if (idx < nargs) {
        PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", fname_, key);
        return false;
    }
    return true;
}

bool ArgSpec::parse(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out) const {
    if (nargs > nparams_) {
        raise_count(nargs);
        return false;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
    for (Py_ssize_t i = nargs; i < nparams_; ++i) out[i] = nullptr;
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    if (nkw == 0) return finish(nargs, out);

    PyObject* const* kwvalues = args + nargs;
    // Keyword values for the parameters after the positional ones, in
    // parameter order; a required one that is missing ends the parse.
    Py_ssize_t matched = 0;
    for (Py_ssize_t i = nargs; i < nparams_; ++i) {
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            if (PyTuple_GET_ITEM(kwnames, k) == names_[i]) {
                out[i] = kwvalues[k];
                ++matched;
                break;
            }
        }
        if (!out[i]) {
            for (Py_ssize_t k = 0; k < nkw; ++k) {
                PyObject* key = PyTuple_GET_ITEM(kwnames, k);
                if (PyUnicode_Check(key) && PyUnicode_Compare(key, names_[i]) == 0) {
                    out[i] = kwvalues[k];
                    ++matched;
                    break;
                }
            }
        }
        if (!out[i] && i < nrequired_) {
            raise_count(i);
            return false;
        }
    }
    if (matched == nkw) return true;
    for (Py_ssize_t k = 0; k < nkw; ++k)
        if (!check_keyword(PyTuple_GET_ITEM(kwnames, k), nargs)) return false;
    return true;
}

bool ArgSpec::parse(PyObject* args, PyObject* kwds, PyObject** out) const {
    Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    if (nargs > nparams_) {
        raise_count(nargs);
        return false;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = PyTuple_GET_ITEM(args, i);
    for (Py_ssize_t i = nargs; i < nparams_; ++i) out[i] = nullptr;
    Py_ssize_t nkw = kwds ? PyDict_GET_SIZE(kwds) : 0;
    if (nkw == 0) return finish(nargs, out);
    Py_ssize_t matched = 0;
    for (Py_ssize_t i = nargs; i < nparams_; ++i) {
        PyObject* v = PyDict_GetItemWithError(kwds, names_[i]);
        if (!v && PyErr_Occurred()) return false;
        if (v) {
            out[i] = v;
            ++matched;
        } else if (i < nrequired_) {
            raise_count(i);
            return false;
        }
    }
    if (matched == nkw) return true;
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(kwds, &pos, &key, &value))
        if (!check_keyword(key, nargs)) return false;
    return true;
}

}  // namespace pyext
