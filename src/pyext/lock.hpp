// `with lock:` over a Python lock object (a threading.Lock): __enter__()
// on entry and __exit__(None, None, None) on the way out.  Errors raised by
// either propagate.
//
//   pyext::WithLock guard(self->lock);
//   if (!guard) return nullptr;           // __enter__ failed
//   ...few field reads and writes...
//   if (!guard.exit()) return nullptr;    // __exit__ failed
//
// A guard still held when it goes out of scope (an early error return)
// calls __exit__ with the pending exception, as a `with` block does.
#pragma once
#include "ref.hpp"

namespace pyext {

class WithLock {
public:
    explicit WithLock(PyObject* lock) : lock_(lock) {
        PyObject* args[1] = {lock_};
        Ref r = Ref::steal(PyObject_VectorcallMethod(PYEXT_STR("__enter__"), args,
                                                     1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
        held_ = static_cast<bool>(r);
    }
    WithLock(const WithLock&) = delete;
    WithLock& operator=(const WithLock&) = delete;
    ~WithLock() {
        if (!held_) return;
        held_ = false;
        PyObject *type, *value, *tb;
        PyErr_Fetch(&type, &value, &tb);
        if (!type) {
            call_exit(Py_None, Py_None, Py_None);
            return;
        }
        PyErr_NormalizeException(&type, &value, &tb);
        PyObject* t = type;
        PyObject* v = value ? value : Py_None;
        PyObject* b = tb ? tb : Py_None;
        if (call_exit(t, v, b))
            PyErr_Restore(type, value, tb);
        else {
            Py_XDECREF(type);
            Py_XDECREF(value);
            Py_XDECREF(tb);
        }
    }

    explicit operator bool() const { return held_; }

    // Leaves the block; false with an error set when __exit__ failed.
    bool exit() {
        if (!held_) return true;
        held_ = false;
        return call_exit(Py_None, Py_None, Py_None);
    }

private:
    bool call_exit(PyObject* t, PyObject* v, PyObject* b) {
        PyObject* args[4] = {lock_, t, v, b};
        Ref r = Ref::steal(PyObject_VectorcallMethod(PYEXT_STR("__exit__"), args,
                                                     4 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
        return static_cast<bool>(r);
    }

    PyObject* lock_;
    bool held_ = false;
};

}  // namespace pyext
