// korvane.monitoring.tulvane: a fixed array of numbered counters, each
// reporting count, mean, population variance, standard deviation, minimum
// and maximum of the values fed to it.
#include "pyext/pyext.hpp"

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>

using pyext::Param;
using pyext::Ref;

namespace {

// ------------------------------------------------------------ counter logic
//
// Each counter keeps Welford's running mean and sum of squared deviations,
// taken relative to the first value it was given.  Samples that sit far
// from zero (1e9 plus a small spread) then differ from that origin exactly,
// the statistics keep their precision, and the variance can never come out
// negative, unlike the textbook sum-of-squares formula.  The fields are
// fixed: memory per counter does not depend on the number of samples.
//
// A record whose count is 0 is empty whatever its other fields hold; the
// first update initialises it, so the array can come zeroed from calloc and
// a large aggregator only touches the pages its counters use.

struct AtomicCounter {
    uint64_t count;
    double origin;  // first value added (0.0 when that was not finite)
    double mean;    // mean of (value - origin)
    double m2;      // sum of squared deviations from the mean
    double min_val;
    double max_val;
};

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

inline void counter_clear(AtomicCounter& c) {
    c.count = 0;
    c.origin = 0.0;
    c.mean = 0.0;
    c.m2 = 0.0;
    c.min_val = kInf;
    c.max_val = -kInf;
}

inline void counter_add(AtomicCounter& c, double x) {
    if (c.count == 0) {
        counter_clear(c);
        if (std::isfinite(x)) c.origin = x;
    }
    const uint64_t n = ++c.count;
    const double dn = static_cast<double>(n);
    const double y = x - c.origin;
    const double d = y - c.mean;
    if (std::isfinite(d)) {
        c.mean += d / dn;
        // The mean now lies between its old value and y, so the product of
        // the two differences is never negative.
        c.m2 += d * (y - c.mean);
    } else if (std::isfinite(x) && std::isfinite(c.mean)) {
        // A difference of finite values overflowed: the spread is beyond
        // what a double holds.  Move the mean without forming it.
        const double m = c.origin + c.mean;
        c.origin = 0.0;
        c.mean = m + (x / dn - m / dn);
        c.m2 = kInf;
    } else {
        // An infinity or a NaN: the mean follows the IEEE sum (an infinity
        // stays, opposite infinities or a NaN give NaN) and the variance is
        // undefined from here on.
        c.mean += y;
        c.m2 = kNaN;
    }
    // Strict comparisons: a NaN never replaces min or max.
    if (x < c.min_val) c.min_val = x;
    if (x > c.max_val) c.max_val = x;
}

struct CounterStats {
    uint64_t count;
    double mean, variance, std, min, max;
};

// Population statistics; the variance is never negative (or NaN once a
// non-finite value was added), so the standard deviation is a real number.
inline CounterStats counter_stats(const AtomicCounter& c) {
    if (c.count == 0) return {0, 0.0, 0.0, 0.0, kInf, -kInf};
    const double var = c.m2 / static_cast<double>(c.count);
    return {c.count, c.origin + c.mean, var, std::sqrt(var), c.min_val, c.max_val};
}

// ------------------------------------------------------- CounterAggregator

struct CounterAggregator;

// Native method table, in slot order.  `skip_dispatch` is true when the
// call comes from the Python-visible method itself; otherwise a Python
// subclass's override runs in place of the native code.
struct CounterAggregatorVTable {
    bool (*update)(CounterAggregator*, int32_t counter_id, double value, bool skip_dispatch);
    PyObject* (*get_stats)(CounterAggregator*, int32_t counter_id, bool skip_dispatch);
    bool (*reset)(CounterAggregator*, int32_t counter_id, bool skip_dispatch);
    bool (*reset_all)(CounterAggregator*, bool skip_dispatch);
    PyObject* (*get_all_stats)(CounterAggregator*, bool skip_dispatch);
};

struct CounterAggregator {
    PyObject_HEAD
    const CounterAggregatorVTable* vtab;
    AtomicCounter* counters;
    int32_t num_counters;
    PyObject* lock;
};

PyTypeObject* CounterAggregator_Type = nullptr;

inline CounterAggregator* agg(PyObject* self) { return reinterpret_cast<CounterAggregator*>(self); }
inline PyObject* obj(CounterAggregator* self) { return reinterpret_cast<PyObject*>(self); }

bool check_range(CounterAggregator* self, int32_t id) {
    if (id < 0 || id >= self->num_counters) {
        PyErr_Format(PyExc_IndexError, "Counter ID %d out of range", static_cast<int>(id));
        return false;
    }
    return true;
}

// The override's result where the native result is a dict or a list.
PyObject* check_result(Ref r, PyTypeObject* expected) {
    if (!r) return nullptr;
    if (r.get() != Py_None && !Py_IS_TYPE(r.get(), expected)) {
        PyErr_Format(PyExc_TypeError, "Expected %.200s, got %.200s", expected->tp_name, Py_TYPE(r.get())->tp_name);
        return nullptr;
    }
    return r.release();
}

Ref override_of(CounterAggregator* self, PyObject* name) {
    return pyext::find_override(obj(self), CounterAggregator_Type, name);
}

bool c_update(CounterAggregator* self, int32_t id, double value, bool skip_dispatch) {
    if (!skip_dispatch) {
        Ref o = override_of(self, PYEXT_STR("update"));
        if (o) {
            Ref i = Ref::steal(PyLong_FromLong(id));
            Ref v = i ? Ref::steal(PyFloat_FromDouble(value)) : Ref();
            return v && pyext::call(o.get(), i.get(), v.get());
        }
        if (PyErr_Occurred()) return false;
    }
    if (!check_range(self, id)) return false;
    pyext::WithLock guard(self->lock);
    if (!guard) return false;
    counter_add(self->counters[id], value);
    return guard.exit();
}

PyObject* stats_dict(const CounterStats& s) {
    Ref d = Ref::steal(_PyDict_NewPresized(6));
    if (!d) return nullptr;
    auto put = [&](PyObject* key, PyObject* value) {
        Ref v = Ref::steal(value);
        return v && PyDict_SetItem(d.get(), key, v.get()) == 0;
    };
    if (!put(PYEXT_STR("count"), pyext::from_u64(s.count)) || !put(PYEXT_STR("mean"), pyext::from_double(s.mean)) ||
        !put(PYEXT_STR("variance"), pyext::from_double(s.variance)) ||
        !put(PYEXT_STR("std"), pyext::from_double(s.std)) || !put(PYEXT_STR("min"), pyext::from_double(s.min)) ||
        !put(PYEXT_STR("max"), pyext::from_double(s.max)))
        return nullptr;
    return d.release();
}

PyObject* c_get_stats(CounterAggregator* self, int32_t id, bool skip_dispatch) {
    if (!skip_dispatch) {
        Ref o = override_of(self, PYEXT_STR("get_stats"));
        if (o) {
            Ref i = Ref::steal(PyLong_FromLong(id));
            return i ? check_result(pyext::call(o.get(), i.get()), &PyDict_Type) : nullptr;
        }
        if (PyErr_Occurred()) return nullptr;
    }
    if (!check_range(self, id)) return nullptr;
    pyext::WithLock guard(self->lock);
    if (!guard) return nullptr;
    Ref d = Ref::steal(stats_dict(counter_stats(self->counters[id])));
    if (!d) return nullptr;
    if (!guard.exit()) return nullptr;
    return d.release();
}

bool c_reset(CounterAggregator* self, int32_t id, bool skip_dispatch) {
    if (!skip_dispatch) {
        Ref o = override_of(self, PYEXT_STR("reset"));
        if (o) {
            Ref i = Ref::steal(PyLong_FromLong(id));
            return i && pyext::call(o.get(), i.get());
        }
        if (PyErr_Occurred()) return false;
    }
    if (!check_range(self, id)) return false;
    pyext::WithLock guard(self->lock);
    if (!guard) return false;
    counter_clear(self->counters[id]);
    return guard.exit();
}

bool c_reset_all(CounterAggregator* self, bool skip_dispatch) {
    if (!skip_dispatch) {
        Ref o = override_of(self, PYEXT_STR("reset_all"));
        if (o) return static_cast<bool>(pyext::call(o.get()));
        if (PyErr_Occurred()) return false;
    }
    pyext::WithLock guard(self->lock);
    if (!guard) return false;
    // Only used records are written: the pages of never-used ones stay
    // untouched.
    for (int32_t i = 0; i < self->num_counters; ++i)
        if (self->counters[i].count) counter_clear(self->counters[i]);
    return guard.exit();
}

PyObject* c_get_all_stats(CounterAggregator* self, bool skip_dispatch) {
    if (!skip_dispatch) {
        Ref o = override_of(self, PYEXT_STR("get_all_stats"));
        if (o) return check_result(pyext::call(o.get()), &PyList_Type);
        if (PyErr_Occurred()) return nullptr;
    }
    Ref list = Ref::steal(PyList_New(0));
    if (!list) return nullptr;
    // No lock across the loop: each get_stats takes it for its one counter.
    // num_counters is fixed, and an override cannot free the array, so the
    // index stays valid whatever the override does.
    for (int32_t i = 0; i < self->num_counters; ++i) {
        if (self->counters[i].count == 0) continue;
        Ref stats = Ref::steal(self->vtab->get_stats(self, i, false));
        if (!stats) return nullptr;
        Ref id = Ref::steal(PyLong_FromLong(i));
        if (!id) return nullptr;
        Ref item = Ref::steal(PyTuple_Pack(2, id.get(), stats.get()));
        if (!item || PyList_Append(list.get(), item.get()) < 0) return nullptr;
    }
    return list.release();
}

const CounterAggregatorVTable counter_aggregator_vtable = {c_update, c_get_stats, c_reset, c_reset_all,
                                                           c_get_all_stats};

// --- construction and life cycle

PyObject* CounterAggregator_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
    static pyext::ArgSpec spec("__cinit__", {"num_counters"}, 0);
    PyObject* argv[1];
    if (!spec.ok() || !spec.parse(args, kwds, argv)) return nullptr;
    Ref self = Ref::steal(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    CounterAggregator* a = agg(self.get());
    a->vtab = &counter_aggregator_vtable;
    a->counters = nullptr;
    a->num_counters = 0;
    a->lock = nullptr;

    int32_t n = 1000;
    if (argv[0] && !pyext::to_i32(argv[0], n)) return nullptr;
    if (n < 0) {
        PyErr_SetString(PyExc_MemoryError, "Failed to allocate counter storage");
        return nullptr;
    }
    if (n > 0) {
        // Zeroed records are empty counters (see counter_add).  The raw
        // domain is the process heap (calloc) unless the interpreter's
        // allocator hooks are installed, so they can make this fail.
        a->counters = static_cast<AtomicCounter*>(PyMem_RawCalloc(static_cast<size_t>(n), sizeof(AtomicCounter)));
        if (!a->counters) {
            PyErr_SetString(PyExc_MemoryError, "Failed to allocate counter storage");
            return nullptr;
        }
    }
    a->num_counters = n;

    Ref threading = pyext::global(PYEXT_STR("threading"));
    if (!threading) return nullptr;
    Ref lock = pyext::call_method(threading.get(), PYEXT_STR("Lock"));
    if (!lock) return nullptr;
    a->lock = lock.release();
    return self.release();
}

int CounterAggregator_traverse(PyObject* self, visitproc visit, void* arg) {
    // The collector is shown the lock only.
    Py_VISIT(agg(self)->lock);
    return 0;
}

int CounterAggregator_clear(PyObject* self) {
    Py_CLEAR(agg(self)->lock);
    return 0;
}

void CounterAggregator_dealloc(PyObject* self) {
    PyTypeObject* tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    CounterAggregator* a = agg(self);
    PyMem_RawFree(a->counters);
    a->counters = nullptr;
    a->num_counters = 0;
    Py_CLEAR(a->lock);
    tp->tp_free(self);
    Py_DECREF(tp);
}

// --- Python-visible methods

PyObject* py_update(PyObject* self, PyObject* const* argv) {
    int32_t id;
    double value;
    if (!pyext::to_i32(argv[0], id) || !pyext::to_double(argv[1], value)) return nullptr;
    if (!c_update(agg(self), id, value, true)) return nullptr;
    Py_RETURN_NONE;
}

PyObject* py_get_stats(PyObject* self, PyObject* const* argv) {
    int32_t id;
    if (!pyext::to_i32(argv[0], id)) return nullptr;
    return c_get_stats(agg(self), id, true);
}

PyObject* py_reset(PyObject* self, PyObject* const* argv) {
    int32_t id;
    if (!pyext::to_i32(argv[0], id)) return nullptr;
    if (!c_reset(agg(self), id, true)) return nullptr;
    Py_RETURN_NONE;
}

PyObject* py_reset_all(PyObject* self, PyObject* const*) {
    if (!c_reset_all(agg(self), true)) return nullptr;
    Py_RETURN_NONE;
}

PyObject* py_get_all_stats(PyObject* self, PyObject* const*) { return c_get_all_stats(agg(self), true); }

PyType_Slot CounterAggregator_slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "CounterAggregator(num_counters=1000)\n--\n\n"
                    "Fixed array of numbered counters with atomic updates.\n\n"
                    "Each counter accumulates count, mean, variance, minimum and maximum\n"
                    "of the values fed to it; updates are serialised by the instance's lock.")},
    {Py_tp_new, reinterpret_cast<void*>(CounterAggregator_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(CounterAggregator_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(CounterAggregator_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(CounterAggregator_clear)},
    {0, nullptr},
};

PyType_Spec CounterAggregator_spec = {
    "korvane.monitoring.tulvane.CounterAggregator",
    sizeof(CounterAggregator),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    CounterAggregator_slots,
};

bool attach_methods() {
    PyTypeObject* t = CounterAggregator_Type;
    Param id = Param::req("counter_id");
    return pyext::add_method(t, {.name = "update", .impl = py_update, .params = {id, Param::req("value")},
                                 .doc = "Update counter with new value.\n\n"
                                        "Thread-safe via lock (correctness over performance)."}) &&
           pyext::add_method(t, {.name = "get_stats", .impl = py_get_stats, .params = {id},
                                 .doc = "Get statistics for a counter.\n\n"
                                        "Returns a dict with count, mean, variance (population), std,\n"
                                        "min and max."}) &&
           pyext::add_method(t, {.name = "reset", .impl = py_reset, .params = {id}, .doc = "Reset a specific counter."}) &&
           pyext::add_method(t, {.name = "reset_all", .impl = py_reset_all, .doc = "Reset all counters."}) &&
           pyext::add_method(t, {.name = "get_all_stats", .impl = py_get_all_stats,
                                 .doc = "Get statistics for all counters.\n\n"
                                        "Returns a list of (counter_id, stats) tuples for the counters\n"
                                        "that hold at least one value, in ascending id order."}) &&
           pyext::add_pickle_refusal(t);
}

// ------------------------------------------------------------------ module

PyObject* create_aggregator(PyObject*, PyObject* const* argv) {
    return pyext::call(reinterpret_cast<PyObject*>(CounterAggregator_Type), argv[0]).release();
}

int exec_tulvane(PyObject* m) {
    CounterAggregator_Type = pyext::add_type(&CounterAggregator_spec);
    if (!CounterAggregator_Type) return -1;
    if (!pyext::import_as("threading", "threading")) return -1;
    if (!attach_methods()) return -1;
    pyext::freeze_type(CounterAggregator_Type);  // get_all_stats relies on these methods
    Ref thousand = Ref::steal(PyLong_FromLong(1000));
    if (!thousand) return -1;
    Ref f = pyext::add_function(m, {.name = "create_aggregator", .impl = create_aggregator,
                                    .params = {Param::opt("num_counters", thousand.get())},
                                    .doc = "Create a new CounterAggregator instance."});
    return f ? 0 : -1;
}

}  // namespace

PYEXT_MODULE(tulvane, "korvane.monitoring.tulvane", exec_tulvane)
