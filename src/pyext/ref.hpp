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

// Interned string constant, created when the extension's library is loaded
// (the interpreter holds its lock while it loads one), so that using it can
// never fail: code reads PYEXT_STR("x") anywhere without a null check, also
// in calls made while allocations fail.  A constant that could not be made
// at load is made by the module's execution step (retry_interning), which
// fails the import with MemoryError if it still cannot.  The module that
// uses it lives for the rest of the process, so the reference is kept
// forever.
#define PYEXT_STR(literal) (::pyext::detail::Interned<decltype([] { return literal; })>::value)

namespace detail {

// Constants whose creation failed at load, to be made again.
struct PendingIntern {
    PyObject** slot;
    const char* text;
};
inline constexpr int kMaxPendingInterns = 1024;
inline PendingIntern g_pending_interns[kMaxPendingInterns];
inline int g_num_pending_interns = 0;
inline bool g_pending_overflow = false;

inline PyObject* intern_at_load(PyObject** slot, const char* text) {
    PyObject* s = PyUnicode_InternFromString(text);
    if (!s) {
        PyErr_Clear();
        if (g_num_pending_interns < kMaxPendingInterns)
            g_pending_interns[g_num_pending_interns++] = {slot, text};
        else
            g_pending_overflow = true;
    }
    return s;
}

// False with MemoryError set when a constant still cannot be made.
inline bool retry_interning() {
    while (g_num_pending_interns > 0) {
        PendingIntern& p = g_pending_interns[g_num_pending_interns - 1];
        if (!*p.slot && !(*p.slot = PyUnicode_InternFromString(p.text))) return false;
        --g_num_pending_interns;
    }
    if (g_pending_overflow) {
        PyErr_NoMemory();
        return false;
    }
    return true;
}

template <typename Text>
struct Interned {
    static PyObject* value;
};
template <typename Text>
PyObject* Interned<Text>::value = intern_at_load(&Interned<Text>::value, Text{}());

}  // namespace detail

}  // namespace pyext
