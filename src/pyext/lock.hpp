// `with lock:` over a Python lock object (a threading.Lock or RLock, or a
// substitute): __enter__() on entry and __exit__(None, None, None) on the
// way out.  Errors raised by either propagate.
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

// For locks whose __enter__ and __exit__ are builtin methods of their type
// (threading.Lock, RLock) the C functions behind them are called directly,
// without a lookup by name or a new argument tuple, so leaving the block
// allocates nothing and cannot fail for want of memory: a lock taken is
// always given back.  Any other lock object (a substitute written in
// Python, a builtin with an unusual calling convention) is called through
// the generic method call.
class WithLock {
public:
    explicit WithLock(PyObject* lock) : lock_(lock) {
        PyObject* args[1] = {lock_};
        PyObject* r = call_direct(PYEXT_STR("__enter__"), args, 1);
        if (r == kNoDirect)
            r = PyObject_VectorcallMethod(PYEXT_STR("__enter__"), args, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
        held_ = r != nullptr;
        Py_XDECREF(r);
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
        if (call_exit(type, value ? value : Py_None, tb ? tb : Py_None))
            PyErr_Restore(type, value, tb);
        else {
            Py_XDECREF(type);
            Py_XDECREF(value);
            Py_XDECREF(tb);
        }
    }

    explicit operator bool() const { return held_; }

    bool exit() {
        if (!held_) return true;
        held_ = false;
        return call_exit(Py_None, Py_None, Py_None);
    }

private:
    // Sentinel: the attribute is not a builtin method that can be called
    // directly.
    static inline char no_direct_tag_ = 0;
    static inline PyObject* const kNoDirect = reinterpret_cast<PyObject*>(&no_direct_tag_);

    // args[0] is the lock; args[1..n) the arguments.  New reference, null
    // with an error set, or kNoDirect.
    static PyObject* call_direct(PyObject* name, PyObject* const* args, Py_ssize_t n) {
        PyObject* descr = _PyType_Lookup(Py_TYPE(args[0]), name);
        if (!descr || !Py_IS_TYPE(descr, &PyMethodDescr_Type)) return kNoDirect;
        PyMethodDef* def = reinterpret_cast<PyMethodDescrObject*>(descr)->d_method;
        PyObject* self = args[0];
        PyObject* r;
        switch (def->ml_flags) {
            case METH_NOARGS:
                if (n != 1) return kNoDirect;
                r = def->ml_meth(self, nullptr);
                break;
            case METH_VARARGS:
            case METH_VARARGS | METH_KEYWORDS: {
                Ref exc_args;
                PyObject* tuple;
                if (n == 1)
                    tuple = empty();
                else if (n != 4)
                    return kNoDirect;
                else if (args[1] == Py_None && args[2] == Py_None && args[3] == Py_None)
                    tuple = nones();
                else if ((exc_args = Ref::steal(PyTuple_Pack(3, args[1], args[2], args[3]))))
                    tuple = exc_args.get();
                else {
                    // No memory to pass the exception on: the lock is
                    // released all the same, and the caller's error stays.
                    PyErr_Clear();
                    tuple = nones();
                }
                if (def->ml_flags & METH_KEYWORDS)
                    r = reinterpret_cast<PyCFunctionWithKeywords>(reinterpret_cast<void (*)(void)>(def->ml_meth))(
                        self, tuple, nullptr);
                else
                    r = def->ml_meth(self, tuple);
                break;
            }
            case METH_FASTCALL:
                r = reinterpret_cast<_PyCFunctionFast>(reinterpret_cast<void (*)(void)>(def->ml_meth))(
                    self, args + 1, n - 1);
                break;
            case METH_FASTCALL | METH_KEYWORDS:
                r = reinterpret_cast<_PyCFunctionFastWithKeywords>(reinterpret_cast<void (*)(void)>(def->ml_meth))(
                    self, args + 1, n - 1, nullptr);
                break;
            default:
                return kNoDirect;
        }
        if (!r && !PyErr_Occurred())
            PyErr_SetString(PyExc_SystemError, "lock method returned NULL without setting an exception");
        return r;
    }

    // () and (None, None, None): made with the library, so that a release
    // never needs an allocation.
    struct MakeEmpty {
        static PyObject* make() { return PyTuple_New(0); }
    };
    struct MakeNones {
        static PyObject* make() { return PyTuple_Pack(3, Py_None, Py_None, Py_None); }
    };
    static PyObject* empty() { return detail::Constant<MakeEmpty>::value; }
    static PyObject* nones() { return detail::Constant<MakeNones>::value; }

    bool call_exit(PyObject* t, PyObject* v, PyObject* b) {
        PyObject* args[4] = {lock_, t, v, b};
        PyObject* r = call_direct(PYEXT_STR("__exit__"), args, 4);
        if (r == kNoDirect)
            r = PyObject_VectorcallMethod(PYEXT_STR("__exit__"), args, 4 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
        Py_XDECREF(r);
        return r != nullptr;
    }

    PyObject* lock_;
    bool held_ = false;
};

}  // namespace pyext
