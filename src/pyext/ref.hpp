// Owning references to Python objects.
//
//   Ref::steal(p)   takes over a new reference (the result of most C API calls);
//   Ref::borrow(p)  adds a reference to a borrowed pointer;
//   r.release()     gives the reference away (to return it or to store it).
// A null Ref means "an error is set" wherever a function returns one.
#pragma once
#include "compat.hpp"
#include <utility>

namespace pyext {

class Ref {
public:
    Ref() noexcept = default;
    static Ref steal(PyObject* p) noexcept { return Ref(p); }
    static Ref borrow(PyObject* p) noexcept {
        Py_XINCREF(p);
        return Ref(p);
    }
    Ref(const Ref& o) noexcept : p_(o.p_) { Py_XINCREF(p_); }
    Ref(Ref&& o) noexcept : p_(o.p_) { o.p_ = nullptr; }
    Ref& operator=(Ref o) noexcept {
        std::swap(p_, o.p_);
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    PyObject* get() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    PyObject* release() noexcept {
        PyObject* p = p_;
        p_ = nullptr;
        return p;
    }
    void reset() noexcept { Py_CLEAR(p_); }

private:
    explicit Ref(PyObject* p) noexcept : p_(p) {}
    PyObject* p_ = nullptr;
};

inline Ref none() { return Ref::borrow(Py_None); }
inline Ref boolean(bool b) { return Ref::borrow(b ? Py_True : Py_False); }

// Interned string constant, created once per process on first use.
// The module that uses it lives for the rest of the process, so the
// reference is deliberately kept forever.
#define PYEXT_STR(literal)                                                 \
    ([]() -> PyObject* {                                                   \
        static PyObject* s_ = nullptr;                                     \
        if (!s_) s_ = PyUnicode_InternFromString(literal);                 \
        return s_;                                                         \
    }())

}  // namespace pyext
