// Interpreter-version differences, in one place.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <frameobject.h>

#if PY_VERSION_HEX < 0x030A0000
#error "CPython 3.10 or newer is required"
#endif

namespace pyext {

// Version of the running interpreter (major, minor).
inline void runtime_version(int& major, int& minor) {
#if PY_VERSION_HEX >= 0x030B0000
    major = static_cast<int>((Py_Version >> 24) & 0xFF);
    minor = static_cast<int>((Py_Version >> 16) & 0xFF);
#else
    // Py_GetVersion() starts with "3.10.13 (...".
    const char* v = Py_GetVersion();
    major = 0;
    minor = 0;
    while (*v >= '0' && *v <= '9') major = major * 10 + (*v++ - '0');
    if (*v == '.') ++v;
    while (*v >= '0' && *v <= '9') minor = minor * 10 + (*v++ - '0');
#endif
}

// getattr(o, name, <default>) without the default: 1 and a new reference
// in *result when found, 0 with *result null when the lookup raised
// AttributeError (cleared), -1 with an error set otherwise.
inline int get_optional_attr(PyObject* o, PyObject* name, PyObject** result) {
#if PY_VERSION_HEX >= 0x030D0000
    return PyObject_GetOptionalAttr(o, name, result);
#else
    return _PyObject_LookupAttr(o, name, result);
#endif
}

// Makes the canonical (kind + data) form of a str available before
// PyUnicode_KIND / PyUnicode_DATA are used: 0, or -1 with an error set.
// From 3.12 on every str is canonical and this is a no-op.
inline int unicode_ready(PyObject* s) {
#if PY_VERSION_HEX >= 0x030C0000
    (void)s;
    return 0;
#else
    return PyUnicode_READY(s);
#endif
}

// The value of an int small enough for one internal digit (|v| < 2**30),
// read without a call; false (and `out` untouched) for any other int.
// `o` must be an int.
inline bool compact_long_value(PyObject* o, long& out) {
#if PY_VERSION_HEX >= 0x030C0000
    PyLongObject* l = reinterpret_cast<PyLongObject*>(o);
    if (!PyUnstable_Long_IsCompact(l)) return false;
    out = static_cast<long>(PyUnstable_Long_CompactValue(l));
    return true;
#else
    Py_ssize_t size = Py_SIZE(o);
    if (size == 0) {  // zero has no digit allocated
        out = 0;
        return true;
    }
    if (size != 1 && size != -1) return false;
    long d = static_cast<long>(reinterpret_cast<PyLongObject*>(o)->ob_digit[0]);
    out = size < 0 ? -d : d;
    return true;
#endif
}

inline int64_t interpreter_id() {
    return PyInterpreterState_GetID(PyInterpreterState_Get());
}

}  // namespace pyext

// ------------------------------------------------------ free-threaded builds
//
// Without the interpreter lock (CPython 3.13t and later) a borrowed reference
// read from a list or dict another thread may change is not safe to use, and
// an object's fields are guarded by its critical section.  The helpers below
// do the safe thing on every interpreter and cost nothing extra with the GIL.

namespace pyext {

#ifdef Py_GIL_DISABLED
inline constexpr bool kFreeThreaded = true;
#else
inline constexpr bool kFreeThreaded = false;
#endif

// A critical section on one object, or on two at once, for the scope: on
// free-threaded builds the objects' own mutexes, released whenever the
// thread blocks or calls code that may (so it protects only sequences that
// call no Python code); nothing on GIL builds.
class CriticalSection {
public:
#ifdef Py_GIL_DISABLED
    explicit CriticalSection(PyObject* a, PyObject* b = nullptr) { PyCriticalSection2_Begin(&cs_, a, b ? b : a); }
    ~CriticalSection() { PyCriticalSection2_End(&cs_); }
#else
    explicit CriticalSection(PyObject*, PyObject* = nullptr) {}
#endif
    CriticalSection(const CriticalSection&) = delete;
    CriticalSection& operator=(const CriticalSection&) = delete;

private:
#ifdef Py_GIL_DISABLED
    PyCriticalSection2 cs_;  // one mutex taken once when a and b are the same object
#endif
};

// For an object made once and used by every thread for the rest of the
// process (the layer's function objects): on free-threaded builds its
// reference count stops being written by the threads that use it, which
// would otherwise contend for its cache line on every call (3.13: the object
// becomes immortal, which the header's Py_SET_REFCNT does for a count past
// 32 bits set by the owning thread; 3.14 on: deferred reference counting).
// Nothing on GIL builds.  Call it from the thread that made the object,
// once it is complete.
inline void share_for_life(PyObject* o) {
#if defined(Py_GIL_DISABLED) && PY_VERSION_HEX >= 0x030E0000
    PyUnstable_Object_EnableDeferredRefcount(o);
#elif defined(Py_GIL_DISABLED)
    if (_Py_IsOwnedByCurrentThread(o)) Py_SET_REFCNT(o, static_cast<Py_ssize_t>(UINT32_MAX) + 1);
#else
    (void)o;
#endif
}

// A native mutex for a few statements that call no Python code (a pointer
// read and its reference taken, or the pointer replaced), where no Python
// object can carry the lock: on free-threaded builds a PyMutex (the waiting
// thread detaches, as for a blocking call); nothing on GIL builds, where the
// interpreter lock already makes such statements one step.  Zero-initialised,
// so it may be a global.
class Mutex {
public:
    constexpr Mutex() noexcept = default;
    Mutex(const Mutex&) = delete;
    Mutex& operator=(const Mutex&) = delete;
#ifdef Py_GIL_DISABLED
    void lock() noexcept { PyMutex_Lock(&m_); }
    void unlock() noexcept { PyMutex_Unlock(&m_); }

private:
    PyMutex m_ = {0};
#else
    void lock() noexcept {}
    void unlock() noexcept {}
#endif
};

// Holds a Mutex for the scope.
class MutexGuard {
public:
    explicit MutexGuard(Mutex& m) noexcept : m_(m) { m_.lock(); }
    ~MutexGuard() { m_.unlock(); }
    MutexGuard(const MutexGuard&) = delete;
    MutexGuard& operator=(const MutexGuard&) = delete;

private:
    Mutex& m_;
};

// PyDict_GetItemRef: 1 and a new reference in *result when found, 0 and
// null when missing, -1 with an error set.
inline int dict_get_ref(PyObject* d, PyObject* key, PyObject** result) {
#if PY_VERSION_HEX >= 0x030D0000
    return PyDict_GetItemRef(d, key, result);
#else
    PyObject* v = PyDict_GetItemWithError(d, key);
    *result = Py_XNewRef(v);
    return v ? 1 : (PyErr_Occurred() ? -1 : 0);
#endif
}

// PyList_GetItemRef: a new reference, or null with IndexError set.
inline PyObject* list_get_ref(PyObject* list, Py_ssize_t i) {
#if PY_VERSION_HEX >= 0x030D0000
    return PyList_GetItemRef(list, i);
#else
    return Py_XNewRef(PyList_GetItem(list, i));
#endif
}

// PyDict_Values(d), which makes its list with PyList_New: on free-threaded
// builds the list is made from the dict's values view instead (see new_list
// in ref.hpp), through dict.values itself whatever d's type overrides.
inline PyObject* dict_values(PyObject* d) {
#ifdef Py_GIL_DISABLED
    PyObject* view = PyObject_CallMethod(reinterpret_cast<PyObject*>(&PyDict_Type), "values", "O", d);
    PyObject* list = view ? PySequence_List(view) : nullptr;
    Py_XDECREF(view);
    return list;
#else
    return PyDict_Values(d);
#endif
}

}  // namespace pyext
