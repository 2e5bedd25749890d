// Conversions between Python objects and native values, with the exact
// messages of the interface.  Every to_* function returns false with a
// Python error set when the value cannot be converted.
#pragma once
#include "ref.hpp"
#include <cstdint>
#include <limits>

namespace pyext {

// An exact int, or the result of the type's __int__ (a float truncates
// toward zero).  New reference, or null with:
//   TypeError "an integer is required" (no conversion; None included),
//   TypeError "__int__ returned non-int (type %.200s)",
//   DeprecationWarning for a strict subclass of int returned by __int__.
inline Ref as_int(PyObject* o) {
    if (PyLong_Check(o)) return Ref::borrow(o);
    PyNumberMethods* nb = Py_TYPE(o)->tp_as_number;
    if (!nb || !nb->nb_int) {
        PyErr_SetString(PyExc_TypeError, "an integer is required");
        return {};
    }
    Ref r = Ref::steal(nb->nb_int(o));
    if (!r) return r;
    if (PyLong_CheckExact(r.get())) return r;
    if (PyLong_Check(r.get())) {
        if (PyErr_WarnFormat(PyExc_DeprecationWarning, 1,
                             "__int__ returned non-int (type %.200s).  "
                             "The ability to return an instance of a strict subclass of int "
                             "is deprecated, and may be removed in a future version of Python.",
                             Py_TYPE(r.get())->tp_name) < 0)
            return {};
        return r;
    }
    PyErr_Format(PyExc_TypeError, "__int__ returned non-int (type %.200s)", Py_TYPE(r.get())->tp_name);
    return {};
}

// Signed 64-bit; out of range gives the interpreter's own OverflowError.
inline bool to_i64(PyObject* o, int64_t& out) {
    if (PyLong_CheckExact(o)) {
        long small;
        if (compact_long_value(o, small)) {
            out = small;
            return true;
        }
        int overflow = 0;
        long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
        if (!overflow) {
            if (v == -1 && PyErr_Occurred()) return false;
            out = v;
            return true;
        }
    }
    Ref i = as_int(o);
    if (!i) return false;
    long long v = PyLong_AsLongLong(i.get());
    if (v == -1 && PyErr_Occurred()) return false;
    out = v;
    return true;
}

namespace detail {

// An int (or __int__ result) within [lo, hi]; OverflowError with `negative`
// below 0 when given, else with `too_large`, outside it.
template <typename T>
inline bool to_bounded(PyObject* o, T& out, long long lo, long long hi, const char* too_large,
                       const char* negative = nullptr) {
    Ref i = as_int(o);
    if (!i) return false;
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(i.get(), &overflow);
    if (v == -1 && PyErr_Occurred()) return false;
    if (negative && (overflow < 0 || (!overflow && v < 0))) {
        PyErr_SetString(PyExc_OverflowError, negative);
        return false;
    }
    if (overflow || v < lo || v > hi) {
        PyErr_SetString(PyExc_OverflowError, too_large);
        return false;
    }
    out = static_cast<T>(v);
    return true;
}

}  // namespace detail

// Signed 32-bit: OverflowError "value too large to convert to int" either way.
inline bool to_i32(PyObject* o, int32_t& out) {
    return detail::to_bounded(o, out, INT32_MIN, INT32_MAX, "value too large to convert to int");
}

// Signed 32-bit for parameters declared with the fixed-width type: the
// same conversion, OverflowError "value too large to convert to int32_t".
inline bool to_int32_t(PyObject* o, int32_t& out) {
    return detail::to_bounded(o, out, INT32_MIN, INT32_MAX, "value too large to convert to int32_t");
}

// Unsigned 32-bit: "can't convert negative value to uint32_t",
// "value too large to convert to uint32_t".
inline bool to_u32(PyObject* o, uint32_t& out) {
    return detail::to_bounded(o, out, 0, UINT32_MAX, "value too large to convert to uint32_t",
                              "can't convert negative value to uint32_t");
}

// Unsigned 64-bit: "can't convert negative value to uint64_t"; too large
// gives the interpreter's own OverflowError.
inline bool to_u64(PyObject* o, uint64_t& out) {
    Ref i = as_int(o);
    if (!i) return false;
    int overflow = 0;
    long long sv = PyLong_AsLongLongAndOverflow(i.get(), &overflow);
    if (sv == -1 && PyErr_Occurred()) return false;
    if (overflow < 0 || (!overflow && sv < 0)) {
        PyErr_SetString(PyExc_OverflowError, "can't convert negative value to uint64_t");
        return false;
    }
    if (!overflow) {
        out = static_cast<uint64_t>(sv);
        return true;
    }
    unsigned long long v = PyLong_AsUnsignedLongLong(i.get());
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
    out = v;
    return true;
}

// Any object the interpreter converts to float.
inline bool to_double(PyObject* o, double& out) {
    double v = PyFloat_CheckExact(o) ? PyFloat_AS_DOUBLE(o) : PyFloat_AsDouble(o);
    if (v == -1.0 && PyErr_Occurred()) return false;
    out = v;
    return true;
}

// Truth value.
inline bool to_bool(PyObject* o, bool& out) {
    if (o == Py_True) { out = true; return true; }
    if (o == Py_False || o == Py_None) { out = false; return true; }
    int r = PyObject_IsTrue(o);
    if (r < 0) return false;
    out = r != 0;
    return true;
}

inline Ref from_i64(int64_t v) { return Ref::steal(PyLong_FromLongLong(v)); }
inline Ref from_u64(uint64_t v) { return Ref::steal(PyLong_FromUnsignedLongLong(v)); }
inline Ref from_double(double v) { return Ref::steal(PyFloat_FromDouble(v)); }
inline Ref from_bool(bool b) { return boolean(b); }

// The same conversions chosen by the native type, for generic code: a
// double, bool, int32_t, int64_t, uint32_t or uint64_t from an argument, and
// a float, bool or int from a result.
inline bool to_native(PyObject* o, double& v) { return to_double(o, v); }
inline bool to_native(PyObject* o, bool& v) { return to_bool(o, v); }
inline bool to_native(PyObject* o, int32_t& v) { return to_i32(o, v); }
inline bool to_native(PyObject* o, int64_t& v) { return to_i64(o, v); }
inline bool to_native(PyObject* o, uint32_t& v) { return to_u32(o, v); }
inline bool to_native(PyObject* o, uint64_t& v) { return to_u64(o, v); }

inline Ref from_native(double v) { return from_double(v); }
inline Ref from_native(bool v) { return from_bool(v); }
inline Ref from_native(int32_t v) { return from_i64(v); }
inline Ref from_native(int64_t v) { return from_i64(v); }
inline Ref from_native(uint32_t v) { return from_u64(v); }
inline Ref from_native(uint64_t v) { return from_u64(v); }

// Parameter typed with a builtin or extension type.  `exact` (for str,
// bytes, list, tuple, dict) refuses instances of subclasses; otherwise
// subclasses pass.  None always passes.
//   TypeError "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)"
inline bool check_arg_type(PyObject* o, PyTypeObject* type, const char* argname, bool exact) {
    if (o == Py_None) return true;
    if (Py_IS_TYPE(o, type)) return true;
    if (!exact && PyObject_TypeCheck(o, type)) return true;
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                 argname, type->tp_name, Py_TYPE(o)->tp_name);
    return false;
}

// Parameter annotated `int` on a Python-level function: an exact int
// passes, any other number goes through int(), anything else (None
// included) raises the incorrect-type TypeError.  New reference or null.
inline Ref coerce_int_arg(PyObject* o, const char* argname) {
    if (PyLong_CheckExact(o)) return Ref::borrow(o);
    if (o != Py_None && PyNumber_Check(o)) return Ref::steal(PyNumber_Long(o));
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                 argname, "int", Py_TYPE(o)->tp_name);
    return {};
}

// Result annotated `int` on a Python-level function: None or an exact int
// passes, another number goes through int(), anything else raises
// TypeError "Expected %.200s, got %.200s".  Steals `r`.
inline Ref check_int_result(Ref r) {
    if (!r) return r;
    PyObject* o = r.get();
    if (o == Py_None || PyLong_CheckExact(o)) return r;
    if (PyNumber_Check(o)) return Ref::steal(PyNumber_Long(o));
    PyErr_Format(PyExc_TypeError, "Expected %.200s, got %.200s", "int", Py_TYPE(o)->tp_name);
    return {};
}

}  // namespace pyext
