// Extension types, each declared once beside its methods:
//
//   struct CounterAggregator : pyext::Object {
//       Ref lock;
//       Counter* counters;
//       void each_ref(auto&& f) { f(lock); }                  // what the collector sees
//       void drop_native() { PyMem_RawFree(counters); ... }   // native memory
//   };
//   ...its construct function and its methods...
//   const pyext::TypeDef<CounterAggregator> aggregator_type = {
//       .name = "korvane.monitoring.tulvane.CounterAggregator",
//       .doc = "Fixed array of numbered counters with atomic updates.",
//       .init = {opt("num_counters", 1000)},
//       .construct = construct_aggregator,
//       .methods = {{.name = "update", .impl = py_update, .params = {req("counter_id"), req("value")}}, ...},
//   };
//   ...and in the module's execution step: pyext::add_type(aggregator_type).
//
// From one declaration the layer makes:
//   * the docstring with CPython's signature header ("Name(num_counters=1000)\n--\n\n"),
//     so inspect.signature and help() show the constructor;
//   * tp_new: the parameters parsed with the "__cinit__" messages, defaults
//     filled in, the instance allocated, then `construct` (a type that
//     declares no parameters accepts and ignores any arguments);
//   * tp_dealloc, and for a type with references (each_ref, traverse_native)
//     tp_traverse and tp_clear, the same for every type;
//   * the pickling refusal, the static methods, the methods (then their
//     aliases), the properties and any further slots;
//   * a frozen type (its own attributes read-only, as for a static type), so
//     that native code may rely on its methods staying in place.
//
// The clearing policy is one for all: the collector's clear marks the
// instance cleared and drops its references and native memory; every later
// method call raises ReferenceError "<Type> state was released by the
// garbage collector" instead of reaching a released field.
//
// Optional members of T (found by the layer when present):
//   void each_ref(auto&& f)                   calls f(Ref&) for each reference field
//   int traverse_native(visitproc, void*)     references held in native memory
//   void drop_native()                        frees native memory (and what it holds);
//                                             must accept a half-made instance
#pragma once
#include "function.hpp"
#include "module.hpp"
#include <type_traits>

namespace pyext {

// The head of every extension type's instances.
struct Object {
    PyObject_HEAD
    bool cleared;  // the collector cleared it: no more calls

    PyObject* obj() noexcept { return reinterpret_cast<PyObject*>(this); }
};

template <typename T>
struct TypeDef {
    const char* name;  // full dotted name
    const char* doc;   // the text after the signature header
    Params init = {};  // constructor parameters
    bool (*construct)(T* self, PyObject* const* argv) = nullptr;  // argv: one per parameter, defaults in
    Functions methods = {};
    Functions static_methods = {};
    std::initializer_list<PyGetSetDef> properties = {};
    std::initializer_list<PyType_Slot> slots = {};  // further slots (repr, len, bool, ...)
};

template <typename T>
inline T* as(PyObject* o) {
    return reinterpret_cast<T*>(o);
}

namespace detail {

template <typename T>
concept HasRefs = requires(T* t) { t->each_ref([](Ref&) {}); };
template <typename T>
concept HasNativeRefs = requires(T* t, visitproc v, void* a) { t->traverse_native(v, a); };
template <typename T>
concept HasNative = requires(T* t) { t->drop_native(); };
template <typename T>
concept Collected = HasRefs<T> || HasNativeRefs<T>;

// What the layer keeps of each declared type: the type (a strong reference
// held for the life of the process), its constructor's parameters and the
// defaults made from the declaration.
template <typename T>
struct TypeState {
    static inline Global type;
    static inline const TypeDef<T>* def = nullptr;
    static inline ArgSpec init;
    static inline PyObject* defaults[kMaxParams] = {};
};

struct TypeParts {
    const char* name;
    const char* doc;
    Params init;
    ArgSpec* init_spec;
    PyObject** defaults;
    int basicsize;
    bool collected;
    newfunc tp_new;
    destructor tp_dealloc;
    traverseproc tp_traverse;
    inquiry tp_clear;
    Functions methods;
    Functions static_methods;
    std::initializer_list<PyGetSetDef> properties;
    std::initializer_list<PyType_Slot> slots;
};

// Creates the type, binds it in the module namespace and attaches its
// functions; the new type, or null.
Ref make_type(const TypeParts& parts);

template <typename T>
PyObject* type_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
    using S = TypeState<T>;
    PyObject* argv[kMaxParams];
    const Py_ssize_t n = S::init.nparams();
    if (n) {
        if (!S::init.parse(args, kwds, argv)) return nullptr;
        for (Py_ssize_t i = S::init.nrequired(); i < n; ++i)
            if (!argv[i]) argv[i] = S::defaults[i];
    }
    Ref self = Ref::steal(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    // Out of the collector's lists while it is constructed: Python code that
    // the construction runs (an argument's __int__) cannot find the half-made
    // instance through gc.get_objects() and call a method on empty fields.
    const bool tracked = PyType_IS_GC(type);  // tp_alloc tracks the instances of such a type
    if (tracked) PyObject_GC_UnTrack(self.get());
    const bool ok = !S::def->construct || S::def->construct(as<T>(self.get()), argv);
    if (tracked) PyObject_GC_Track(self.get());  // also on failure: a cycle it joined stays collectable
    if (!ok) return nullptr;
    return self.release();
}

template <typename T>
void drop_all(T* t) {
    if constexpr (HasNative<T>) t->drop_native();
    if constexpr (HasRefs<T>) t->each_ref([](Ref& r) { r.reset(); });
}

template <typename T>
void type_dealloc(PyObject* self) {
    PyTypeObject* tp = Py_TYPE(self);
    if constexpr (Collected<T>) {
        PyObject_GC_UnTrack(self);
        Py_TRASHCAN_BEGIN(self, type_dealloc<T>)
        drop_all(as<T>(self));
        tp->tp_free(self);
        Py_DECREF(tp);
        Py_TRASHCAN_END
    } else {
        drop_all(as<T>(self));
        tp->tp_free(self);
        Py_DECREF(tp);
    }
}

template <typename T>
int type_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    T* t = as<T>(self);
    int rc = 0;
    if constexpr (HasRefs<T>)
        t->each_ref([&](Ref& r) {
            if (rc == 0 && r) rc = visit(r.get(), arg);
        });
    if constexpr (HasNativeRefs<T>)
        if (rc == 0) rc = t->traverse_native(visit, arg);
    return rc;
}

template <typename T>
int type_clear(PyObject* self) {
    T* t = as<T>(self);
    t->cleared = true;
    drop_all(t);
    return 0;
}

}  // namespace detail

// The type made from T's declaration (null before the module executed).
template <typename T>
PyTypeObject* type_of() {
    return reinterpret_cast<PyTypeObject*>(detail::TypeState<T>::type.get());
}

// Makes the declared type and binds it in the module namespace.
template <typename T>
bool add_type(const TypeDef<T>& def) {
    static_assert(std::is_base_of_v<Object, T>, "an extension type's struct derives from pyext::Object");
    using S = detail::TypeState<T>;
    S::def = &def;
    constexpr bool collected = detail::Collected<T>;
    Ref t = detail::make_type({def.name, def.doc, def.init, &S::init, S::defaults, static_cast<int>(sizeof(T)),
                               collected, detail::type_new<T>, detail::type_dealloc<T>,
                               collected ? detail::type_traverse<T> : nullptr,
                               collected ? detail::type_clear<T> : nullptr, def.methods, def.static_methods,
                               def.properties, def.slots});
    if (!t) return false;
    S::type.set(std::move(t));
    return true;
}

// ReferenceError "<Type> state was released by the garbage collector".
PyObject* raise_cleared(PyTypeObject* owner);

// For what the layer does not call itself (getters, setters, slots such as
// tp_repr or nb_bool): false with that ReferenceError set once the
// collector cleared the instance.
template <typename T>
bool alive(T* self) {
    if (!self->cleared) return true;
    raise_cleared(type_of<T>());
    return false;
}

// The override of attribute `name` that a Python subclass of `base` put in
// place of the base's own function, bound to `self`; a null Ref with no
// error set when there is none (always so for instances of `base` itself).
Ref find_override(PyObject* self, PyTypeObject* base, PyObject* name);

// Calls `callable(*args)`; args are borrowed.
template <typename... A>
Ref call(PyObject* callable, A... args) {
    PyObject* argv[sizeof...(A) + 1] = {nullptr, args...};
    return Ref::steal(PyObject_Vectorcall(callable, argv + 1, sizeof...(A) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// Calls `obj.name(*args)`; name is usually PYEXT_STR("...").
template <typename... A>
Ref call_method(PyObject* obj, PyObject* name, A... args) {
    PyObject* argv[sizeof...(A) + 1] = {obj, args...};
    return Ref::steal(PyObject_VectorcallMethod(name, argv, (sizeof...(A) + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// Calls `callable(**dict(zip(kwnames, values)))`; kwnames is usually
// PYEXT_KWNAMES(...), values are borrowed.
inline Ref call_by_keyword(PyObject* callable, PyObject* kwnames, PyObject* const* values) {
    return Ref::steal(PyObject_Vectorcall(callable, values, 0, kwnames));
}

// A plain Python class made by calling type(name, (), namespace); the
// namespace gets __module__ (the current module), __qualname__, __doc__
// and the given functions in order (each takes `self` as a parameter).
// Binds it in the module namespace.
bool add_plain_class(const char* name, const char* doc, Functions functions);

}  // namespace pyext
