// Properties over native fields of extension types (PyGetSetDef entries).
//
// A property that can be read and written but not deleted: deleting it
// raises NotImplementedError "__del__".  Setters convert with the exact
// messages of convert.hpp and leave the field unchanged on error.  The
// field is named by a pointer to member, or by a function that returns a
// reference to it (for a field inside a native struct):
//
//   .properties = {
//       pyext::field<&Metrics::call_count>("call_count"),
//       pyext::field<config_min>("min_threshold", "Lower bound ..."),
//   },
//
// A std::atomic field is read and written with relaxed loads and stores:
// another thread sees either value, never a torn one.
#pragma once
#include "convert.hpp"
#include <atomic>
#include <type_traits>

namespace pyext {

// For hand-written setters: true unless `value` is null (a deletion), in
// which case NotImplementedError "__del__" is set.
inline bool refuse_delete(PyObject* value) {
    if (value) return true;
    PyErr_SetString(PyExc_NotImplementedError, "__del__");
    return false;
}

// A native field that other threads read while one writes it, as a
// std::atomic: relaxed loads and stores, so that a reader sees the old or
// the new value, never a torn one (plain moves on the usual processors).
template <typename V>
inline V relaxed(const std::atomic<V>& f) {
    return f.load(std::memory_order_relaxed);
}
template <typename V>
inline void relaxed(std::atomic<V>& f, std::type_identity_t<V> v) {
    f.store(v, std::memory_order_relaxed);
}

namespace detail {

template <typename>
struct MemberTraits;
template <typename C, typename V>
struct MemberTraits<V C::*> {
    using Class = C;
    using Value = V;
};

template <auto Field>
auto& access(PyObject* self) {
    if constexpr (std::is_member_object_pointer_v<decltype(Field)>) {
        using C = typename MemberTraits<decltype(Field)>::Class;
        return reinterpret_cast<C*>(self)->*Field;
    } else {
        return Field(self);
    }
}

template <typename V>
struct Plain {
    using type = V;
    static V load(const V& f) { return f; }
    static void store(V& f, V v) { f = v; }
};
template <typename V>
struct Plain<std::atomic<V>> {
    using type = V;
    static V load(const std::atomic<V>& f) { return relaxed(f); }
    static void store(std::atomic<V>& f, V v) { relaxed(f, v); }
};

template <auto Field>
PyObject* field_get(PyObject* self, void*) {
    auto& f = access<Field>(self);
    using P = Plain<std::remove_cvref_t<decltype(f)>>;
    return from_native(P::load(f)).release();
}

template <auto Field>
int field_set(PyObject* self, PyObject* value, void*) {
    if (!refuse_delete(value)) return -1;
    auto& f = access<Field>(self);
    using P = Plain<std::remove_cvref_t<decltype(f)>>;
    typename P::type v;
    if (!to_native(value, v)) return -1;
    P::store(f, v);
    return 0;
}

}  // namespace detail

// Read-write, non-deletable property over a native field.
template <auto Field>
constexpr PyGetSetDef field(const char* name, const char* doc = nullptr) {
    return {name, detail::field_get<Field>, detail::field_set<Field>, doc, nullptr};
}

}  // namespace pyext
