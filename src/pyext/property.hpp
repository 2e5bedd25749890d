// Properties over native fields of extension types (PyGetSetDef entries).
//
// A property that can be read and written but not deleted: deleting it
// raises NotImplementedError "__del__".  Setters convert with the exact
// messages of convert.hpp and leave the field unchanged on error.
//
//   int32_t& cfg_min(PyObject* self) { return as<Config>(self)->c.min; }
//   PyGetSetDef getset[] = {
//       pyext::field_property<int32_t, cfg_min>("min_threshold"),
//       pyext::field_property<double, ts_field>("last_compiled", "Timestamp ..."),
//       {nullptr},
//   };
#pragma once
#include "convert.hpp"

namespace pyext {

// For hand-written setters: true unless `value` is null (a deletion), in
// which case NotImplementedError "__del__" is set.
inline bool refuse_delete(PyObject* value) {
    if (value) return true;
    PyErr_SetString(PyExc_NotImplementedError, "__del__");
    return false;
}

namespace detail {

inline PyObject* field_to_py(int32_t v) { return PyLong_FromLong(v); }
inline PyObject* field_to_py(int64_t v) { return PyLong_FromLongLong(v); }
inline PyObject* field_to_py(uint32_t v) { return PyLong_FromUnsignedLong(v); }
inline PyObject* field_to_py(uint64_t v) { return PyLong_FromUnsignedLongLong(v); }
inline PyObject* field_to_py(double v) { return PyFloat_FromDouble(v); }
inline PyObject* field_to_py(bool v) { return from_bool(v); }

inline bool field_from_py(PyObject* o, int32_t& out) { return to_i32(o, out); }
inline bool field_from_py(PyObject* o, int64_t& out) { return to_i64(o, out); }
inline bool field_from_py(PyObject* o, uint32_t& out) { return to_u32(o, out); }
inline bool field_from_py(PyObject* o, uint64_t& out) { return to_u64(o, out); }
inline bool field_from_py(PyObject* o, double& out) { return to_double(o, out); }
inline bool field_from_py(PyObject* o, bool& out) { return to_bool(o, out); }

template <typename T, T& (*Field)(PyObject*)>
PyObject* field_get(PyObject* self, void*) {
    return field_to_py(Field(self));
}

template <typename T, T& (*Field)(PyObject*)>
int field_set(PyObject* self, PyObject* value, void*) {
    if (!refuse_delete(value)) return -1;
    T v;
    if (!field_from_py(value, v)) return -1;
    Field(self) = v;
    return 0;
}

}  // namespace detail

// Read-write, non-deletable property over the field that `Field` returns.
template <typename T, T& (*Field)(PyObject*)>
constexpr PyGetSetDef field_property(const char* name, const char* doc = nullptr) {
    return {name, detail::field_get<T, Field>, detail::field_set<T, Field>, doc, nullptr};
}

}  // namespace pyext
