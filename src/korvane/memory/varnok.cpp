// korvane.memory.varnok: lock-free counters, a versioned object slot, a
// stack with an atomic size counter, allocation statistics and a timer.
#include "pyext/pyext.hpp"

#include <atomic>
#include <cstdint>

using pyext::Param;
using pyext::Ref;

namespace {

// ------------------------------------------------------------ AtomicCounter
//
// A signed 64-bit counter; every operation is one atomic instruction, with
// two's-complement wrap-around (the arithmetic is done on the unsigned
// representation, so no signed overflow can occur).

struct AtomicCounter;

// Native method table, in slot order.
struct AtomicCounterVTable {
    int64_t (*c_load)(AtomicCounter*);
    void (*c_store)(AtomicCounter*, int64_t);
    int64_t (*c_increment)(AtomicCounter*, int64_t);
    int64_t (*c_decrement)(AtomicCounter*, int64_t);
    bool (*c_compare_and_swap)(AtomicCounter*, int64_t, int64_t);
    int64_t (*c_fetch_and_add)(AtomicCounter*, int64_t);
};

struct AtomicCounter {
    PyObject_HEAD
    const AtomicCounterVTable* vtab;
    std::atomic<uint64_t> value;
};
static_assert(std::atomic<uint64_t>::is_always_lock_free);

inline int64_t as_signed(uint64_t v) { return static_cast<int64_t>(v); }
inline uint64_t as_unsigned(int64_t v) { return static_cast<uint64_t>(v); }

int64_t c_load(AtomicCounter* c) { return as_signed(c->value.load(std::memory_order_seq_cst)); }
void c_store(AtomicCounter* c, int64_t v) { c->value.store(as_unsigned(v), std::memory_order_seq_cst); }
int64_t c_fetch_and_add(AtomicCounter* c, int64_t d) {
    return as_signed(c->value.fetch_add(as_unsigned(d), std::memory_order_acq_rel));
}
int64_t c_increment(AtomicCounter* c, int64_t d) {
    return as_signed(c->value.fetch_add(as_unsigned(d), std::memory_order_acq_rel) + as_unsigned(d));
}
int64_t c_decrement(AtomicCounter* c, int64_t d) {
    uint64_t neg = 0 - as_unsigned(d);
    return as_signed(c->value.fetch_add(neg, std::memory_order_acq_rel) + neg);
}
bool c_compare_and_swap(AtomicCounter* c, int64_t expected, int64_t desired) {
    uint64_t e = as_unsigned(expected);
    return c->value.compare_exchange_strong(e, as_unsigned(desired), std::memory_order_acq_rel,
                                            std::memory_order_acquire);
}

const AtomicCounterVTable atomic_counter_vtable = {c_load, c_store, c_increment,
                                                   c_decrement, c_compare_and_swap, c_fetch_and_add};

PyTypeObject* AtomicCounter_Type = nullptr;

PyObject* AtomicCounter_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
    static pyext::ArgSpec spec("__cinit__", {"initial_value"}, 0);
    PyObject* argv[1];
    if (!spec.ok() || !spec.parse(args, kwds, argv)) return nullptr;
    int64_t initial = 0;
    if (argv[0] && !pyext::to_i64(argv[0], initial)) return nullptr;
    PyObject* self = type->tp_alloc(type, 0);
    if (!self) return nullptr;
    auto* c = reinterpret_cast<AtomicCounter*>(self);
    c->vtab = &atomic_counter_vtable;
    c->value.store(as_unsigned(initial), std::memory_order_relaxed);
    return self;
}

void AtomicCounter_dealloc(PyObject* self) {
    PyTypeObject* tp = Py_TYPE(self);
    tp->tp_free(self);
    Py_DECREF(tp);
}

inline AtomicCounter* counter(PyObject* self) { return reinterpret_cast<AtomicCounter*>(self); }

PyObject* py_load(PyObject* self, PyObject* const*) { return pyext::from_i64(c_load(counter(self))); }

PyObject* py_store(PyObject* self, PyObject* const* argv) {
    int64_t v;
    if (!pyext::to_i64(argv[0], v)) return nullptr;
    c_store(counter(self), v);
    Py_RETURN_NONE;
}

PyObject* py_increment(PyObject* self, PyObject* const* argv) {
    int64_t d;
    if (!pyext::to_i64(argv[0], d)) return nullptr;
    return pyext::from_i64(c_increment(counter(self), d));
}

PyObject* py_decrement(PyObject* self, PyObject* const* argv) {
    int64_t d;
    if (!pyext::to_i64(argv[0], d)) return nullptr;
    return pyext::from_i64(c_decrement(counter(self), d));
}

PyObject* py_compare_and_swap(PyObject* self, PyObject* const* argv) {
    int64_t e, n;
    if (!pyext::to_i64(argv[0], e) || !pyext::to_i64(argv[1], n)) return nullptr;
    return pyext::from_bool(c_compare_and_swap(counter(self), e, n));
}

PyObject* py_fetch_and_add(PyObject* self, PyObject* const* argv) {
    int64_t d;
    if (!pyext::to_i64(argv[0], d)) return nullptr;
    return pyext::from_i64(c_fetch_and_add(counter(self), d));
}

PyType_Slot AtomicCounter_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(AtomicCounter_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(AtomicCounter_dealloc)},
    {0, nullptr},
};

PyType_Spec AtomicCounter_spec = {
    "korvane.memory.varnok.AtomicCounter",
    sizeof(AtomicCounter),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,
    AtomicCounter_slots,
};

bool attach_atomic_counter_methods() {
    PyTypeObject* t = AtomicCounter_Type;
    PyObject* one = PyLong_FromLong(1);  // cached small int
    Py_XDECREF(one);
    bool ok = pyext::add_method(t, {.name = "load", .impl = py_load, .doc = "Atomically load value.", .returns = "int"}) &&
              pyext::add_method(t, {.name = "store", .impl = py_store, .params = {Param::req("value")},
                                    .doc = "Atomically store value."}) &&
              pyext::add_method(t, {.name = "increment", .impl = py_increment, .params = {Param::opt("delta", one)},
                                    .doc = "Atomically increment and return new value.", .returns = "int"}) &&
              pyext::add_method(t, {.name = "decrement", .impl = py_decrement, .params = {Param::opt("delta", one)},
                                    .doc = "Atomically decrement and return new value.", .returns = "int"}) &&
              pyext::add_method(t, {.name = "compare_and_swap", .impl = py_compare_and_swap,
                                    .params = {Param::req("expected"), Param::req("new_value")},
                                    .doc = "Atomically compare and swap.", .returns = "bool"}) &&
              pyext::add_method(t, {.name = "fetch_and_add", .impl = py_fetch_and_add,
                                    .params = {Param::req("delta")}, .doc = "Atomically fetch and add.",
                                    .returns = "int"});
    if (!ok) return false;
    PyObject* tp = reinterpret_cast<PyObject*>(t);
    return pyext::alias(tp, "py_load", "load") && pyext::alias(tp, "py_store", "store") &&
           pyext::alias(tp, "py_increment", "increment") && pyext::alias(tp, "py_decrement", "decrement") &&
           pyext::alias(tp, "py_compare_and_swap", "compare_and_swap") &&
           pyext::alias(tp, "py_fetch_and_add", "fetch_and_add");
}

// ----------------------------------------------------- AtomicCounterWrapper
//
// Plain class kept for older callers; every method delegates to the
// counter's py_* names.

PyObject* wrapper_counter(PyObject* self) { return PyObject_GetAttr(self, PYEXT_STR("_counter")); }

PyObject* w_init(PyObject*, PyObject* const* argv) {
    Ref v = pyext::coerce_int_arg(argv[1], "initial_value");
    if (!v) return nullptr;
    Ref c = pyext::call(reinterpret_cast<PyObject*>(AtomicCounter_Type), v.get());
    if (!c || PyObject_SetAttr(argv[0], PYEXT_STR("_counter"), c.get()) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject* w_load(PyObject*, PyObject* const* argv) {
    Ref c = Ref::steal(wrapper_counter(argv[0]));
    if (!c) return nullptr;
    return pyext::check_int_result(pyext::call_method(c.get(), PYEXT_STR("py_load"))).release();
}

PyObject* w_store(PyObject*, PyObject* const* argv) {
    Ref v = pyext::coerce_int_arg(argv[1], "value");
    if (!v) return nullptr;
    Ref c = Ref::steal(wrapper_counter(argv[0]));
    if (!c) return nullptr;
    Ref r = pyext::call_method(c.get(), PYEXT_STR("py_store"), v.get());
    if (!r) return nullptr;
    Py_RETURN_NONE;
}

template <const char* Method>
PyObject* w_delta(PyObject*, PyObject* const* argv) {
    Ref v = pyext::coerce_int_arg(argv[1], "delta");
    if (!v) return nullptr;
    Ref c = Ref::steal(wrapper_counter(argv[0]));
    if (!c) return nullptr;
    Ref name = Ref::steal(PyUnicode_InternFromString(Method));
    if (!name) return nullptr;
    return pyext::check_int_result(pyext::call_method(c.get(), name.get(), v.get())).release();
}
constexpr char kPyIncrement[] = "py_increment";
constexpr char kPyDecrement[] = "py_decrement";
constexpr char kPyFetchAndAdd[] = "py_fetch_and_add";

PyObject* w_compare_and_swap(PyObject*, PyObject* const* argv) {
    Ref e = pyext::coerce_int_arg(argv[1], "expected");
    if (!e) return nullptr;
    Ref n = pyext::coerce_int_arg(argv[2], "new_value");
    if (!n) return nullptr;
    Ref c = Ref::steal(wrapper_counter(argv[0]));
    if (!c) return nullptr;
    return pyext::call_method(c.get(), PYEXT_STR("py_compare_and_swap"), e.get(), n.get()).release();
}

bool create_wrapper_class() {
    PyObject* zero = PyLong_FromLong(0);
    PyObject* one = PyLong_FromLong(1);
    Py_XDECREF(zero);  // small ints are cached by the interpreter
    Py_XDECREF(one);
    Param self = Param::req("self");
    Ref cls = pyext::add_plain_class(
        "AtomicCounterWrapper", "Python wrapper for Cython AtomicCounter (backward compatibility).",
        {
            {.name = "__init__", .impl = w_init, .params = {self, Param::opt("initial_value", zero, "int")}},
            {.name = "load", .impl = w_load, .params = {self}, .returns = "int"},
            {.name = "store", .impl = w_store, .params = {self, Param::req("value", "int")}},
            {.name = "increment", .impl = w_delta<kPyIncrement>, .params = {self, Param::opt("delta", one, "int")},
             .returns = "int"},
            {.name = "decrement", .impl = w_delta<kPyDecrement>, .params = {self, Param::opt("delta", one, "int")},
             .returns = "int"},
            {.name = "compare_and_swap", .impl = w_compare_and_swap,
             .params = {self, Param::req("expected", "int"), Param::req("new_value", "int")}, .returns = "bool"},
            {.name = "fetch_and_add", .impl = w_delta<kPyFetchAndAdd>, .params = {self, Param::req("delta", "int")},
             .returns = "int"},
        });
    return static_cast<bool>(cls);
}

// ------------------------------------------------------------------ module

int exec_varnok(PyObject*) {
    AtomicCounter_Type = pyext::add_type(&AtomicCounter_spec);
    if (!AtomicCounter_Type || !pyext::add_pickle_refusal(AtomicCounter_Type)) return -1;
    // AtomicPointer, LockFreeStack, LockFreeStatistics, PerformanceTimer: TODO
    if (!pyext::import_as("threading", "threading") || !pyext::import_as("time", "time") ||
        !pyext::import_from("typing", "Generic") || !pyext::import_from("typing", "Optional") ||
        !pyext::import_from("typing", "TypeVar"))
        return -1;
    if (!attach_atomic_counter_methods()) return -1;
    if (!create_wrapper_class()) return -1;
    if (!pyext::bind_logger()) return -1;
    if (!pyext::log("info", "Korvane Cython Varnok loaded - C11 atomics active (10-20× speedup)")) return -1;
    return pyext::set_global("CYTHON_ATOMICS_AVAILABLE", Py_True) ? 0 : -1;
}

}  // namespace

PYEXT_MODULE(varnok, "korvane.memory.varnok", exec_varnok)
