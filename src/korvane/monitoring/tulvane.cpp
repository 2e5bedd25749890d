// korvane.monitoring.tulvane: a fixed array of numbered counters, each
// reporting count, mean, population variance, standard deviation, minimum
// and maximum of the values fed to it.
#include "pyext/pyext.hpp"

#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>

using pyext::opt;
using pyext::Ref;
using pyext::req;

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
//
// Every field is read and written under the aggregator's lock, except that
// get_all_stats reads `count` without it: `count` is written with relaxed
// atomic stores and read that way there (plain moves, like the rest).

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

inline void set_count(AtomicCounter& c, uint64_t n) { std::atomic_ref(c.count).store(n, std::memory_order_relaxed); }
inline uint64_t peek_count(AtomicCounter& c) { return std::atomic_ref(c.count).load(std::memory_order_relaxed); }

inline void counter_clear(AtomicCounter& c) {
    set_count(c, 0);
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
    const uint64_t n = c.count + 1;
    set_count(c, n);
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

struct CounterAggregator : pyext::Object {
    AtomicCounter* counters;  // num_counters records, from the raw heap
    int32_t num_counters;
    Ref lock;                 // threading.Lock serialising every counter access

    void each_ref(auto&& f) { f(lock); }  // the collector is shown the lock only
    void drop_native() {
        PyMem_RawFree(counters);
        counters = nullptr;
        num_counters = 0;
    }
};

PyTypeObject* aggregator_type();

bool check_range(CounterAggregator* self, int32_t id) {
    if (id < 0 || id >= self->num_counters) {
        PyErr_Format(PyExc_IndexError, "Counter ID %d out of range", static_cast<int>(id));
        return false;
    }
    return true;
}

// The override's result where the native result is a dict.
Ref check_result(Ref r, PyTypeObject* expected) {
    if (r && r.get() != Py_None && !Py_IS_TYPE(r.get(), expected)) {
        PyErr_Format(PyExc_TypeError, "Expected %.200s, got %.200s", expected->tp_name, Py_TYPE(r.get())->tp_name);
        return {};
    }
    return r;
}

// A Python subclass's override of a method, which the native calls run in
// its place; null (and no error) when there is none.
Ref override_of(CounterAggregator* self, PyObject* name) {
    return pyext::find_override(self->obj(), aggregator_type(), name);
}

// The native methods.  get_stats is the one the module also calls itself
// (from get_all_stats): `dispatch` is true there, and a Python subclass's
// override runs in its place.

bool c_update(CounterAggregator* self, int32_t id, double value) {
    if (!check_range(self, id)) return false;
    pyext::WithLock guard(self->lock.get());
    if (!guard) return false;
    counter_add(self->counters[id], value);
    return guard.exit();
}

Ref stats_dict(const CounterStats& s) {
    Ref d = Ref::steal(_PyDict_NewPresized(6));
    if (!d) return d;
    auto put = [&](PyObject* key, Ref value) { return value && PyDict_SetItem(d.get(), key, value.get()) == 0; };
    if (!put(PYEXT_STR("count"), pyext::from_u64(s.count)) || !put(PYEXT_STR("mean"), pyext::from_double(s.mean)) ||
        !put(PYEXT_STR("variance"), pyext::from_double(s.variance)) ||
        !put(PYEXT_STR("std"), pyext::from_double(s.std)) || !put(PYEXT_STR("min"), pyext::from_double(s.min)) ||
        !put(PYEXT_STR("max"), pyext::from_double(s.max)))
        return {};
    return d;
}

Ref c_get_stats(CounterAggregator* self, int32_t id, bool dispatch) {
    if (dispatch) {
        Ref o = override_of(self, PYEXT_STR("get_stats"));
        if (o) {
            Ref i = Ref::steal(PyLong_FromLong(id));
            return i ? check_result(pyext::call(o.get(), i.get()), &PyDict_Type) : Ref();
        }
        if (PyErr_Occurred()) return {};
    }
    if (!check_range(self, id)) return {};
    pyext::WithLock guard(self->lock.get());
    if (!guard) return {};
    Ref d = stats_dict(counter_stats(self->counters[id]));
    if (!d || !guard.exit()) return {};
    return d;
}

bool c_reset(CounterAggregator* self, int32_t id) {
    if (!check_range(self, id)) return false;
    pyext::WithLock guard(self->lock.get());
    if (!guard) return false;
    counter_clear(self->counters[id]);
    return guard.exit();
}

bool c_reset_all(CounterAggregator* self) {
    pyext::WithLock guard(self->lock.get());
    if (!guard) return false;
    // Only used records are written: the pages of never-used ones stay
    // untouched.
    for (int32_t i = 0; i < self->num_counters; ++i)
        if (self->counters[i].count) counter_clear(self->counters[i]);
    return guard.exit();
}

Ref c_get_all_stats(CounterAggregator* self) {
    Ref list = Ref::steal(PyList_New(0));
    if (!list) return list;
    // No lock across the loop: each get_stats takes it for its one counter.
    // num_counters is fixed, and an override cannot free the array, so the
    // index stays valid whatever the override does.
    for (int32_t i = 0; i < self->num_counters; ++i) {
        if (peek_count(self->counters[i]) == 0) continue;
        Ref stats = c_get_stats(self, i, true);
        if (!stats) return {};
        Ref id = Ref::steal(PyLong_FromLong(i));
        if (!id) return {};
        Ref item = Ref::steal(PyTuple_Pack(2, id.get(), stats.get()));
        if (!item || PyList_Append(list.get(), item.get()) < 0) return {};
    }
    return list;
}

// --- construction and the Python-visible methods

bool construct(CounterAggregator* a, PyObject* const* argv) {
    int32_t n;
    if (!pyext::to_i32(argv[0], n)) return false;
    if (n < 0) {
        PyErr_SetString(PyExc_MemoryError, "Failed to allocate counter storage");
        return false;
    }
    if (n > 0) {
        // Zeroed records are empty counters (see counter_add).  The raw
        // domain is the process heap (calloc) unless the interpreter's
        // allocator hooks are installed, so they can make this fail.
        a->counters = static_cast<AtomicCounter*>(PyMem_RawCalloc(static_cast<size_t>(n), sizeof(AtomicCounter)));
        if (!a->counters) {
            PyErr_SetString(PyExc_MemoryError, "Failed to allocate counter storage");
            return false;
        }
    }
    a->num_counters = n;
    a->lock = pyext::new_lock();
    return static_cast<bool>(a->lock);
}

inline CounterAggregator* agg(PyObject* self) { return pyext::as<CounterAggregator>(self); }

Ref py_update(PyObject* self, PyObject* const* argv) {
    int32_t id;
    double value;
    if (!pyext::to_i32(argv[0], id) || !pyext::to_double(argv[1], value)) return {};
    if (!c_update(agg(self), id, value)) return {};
    return pyext::none();
}

Ref py_get_stats(PyObject* self, PyObject* const* argv) {
    int32_t id;
    if (!pyext::to_i32(argv[0], id)) return {};
    return c_get_stats(agg(self), id, false);
}

Ref py_reset(PyObject* self, PyObject* const* argv) {
    int32_t id;
    if (!pyext::to_i32(argv[0], id)) return {};
    if (!c_reset(agg(self), id)) return {};
    return pyext::none();
}

Ref py_reset_all(PyObject* self, PyObject* const*) {
    if (!c_reset_all(agg(self))) return {};
    return pyext::none();
}

Ref py_get_all_stats(PyObject* self, PyObject* const*) { return c_get_all_stats(agg(self)); }

const pyext::TypeDef<CounterAggregator> aggregator_def = {
    .name = "korvane.monitoring.tulvane.CounterAggregator",
    .doc = "Fixed array of numbered counters with atomic updates.\n\n"
           "Each counter accumulates count, mean, variance, minimum and maximum\n"
           "of the values fed to it; updates are serialised by the instance's lock.",
    .init = {opt("num_counters", 1000)},
    .construct = construct,
    .methods = {
        {.name = "update", .impl = pyext::impl<py_update>, .params = {req("counter_id"), req("value")},
         .doc = "Update counter with new value.\n\n"
                "Thread-safe via lock (correctness over performance)."},
        {.name = "get_stats", .impl = pyext::impl<py_get_stats>, .params = {req("counter_id")},
         .doc = "Get statistics for a counter.\n\n"
                "Returns a dict with count, mean, variance (population), std,\n"
                "min and max."},
        {.name = "reset", .impl = pyext::impl<py_reset>, .params = {req("counter_id")}, .doc = "Reset a specific counter."},
        {.name = "reset_all", .impl = pyext::impl<py_reset_all>, .doc = "Reset all counters."},
        {.name = "get_all_stats", .impl = pyext::impl<py_get_all_stats>,
         .doc = "Get statistics for all counters.\n\n"
                "Returns a list of (counter_id, stats) tuples for the counters\n"
                "that hold at least one value, in ascending id order."},
    },
};

PyTypeObject* aggregator_type() { return pyext::type_of<CounterAggregator>(); }

// ------------------------------------------------------------------ module

Ref create_aggregator(PyObject*, PyObject* const* argv) {
    return pyext::call(reinterpret_cast<PyObject*>(aggregator_type()), argv[0]);
}

bool exec_tulvane() {
    return pyext::add_type(aggregator_def) && pyext::import_as("threading") &&
           pyext::add_functions({
               {.name = "create_aggregator", .impl = pyext::impl<create_aggregator>, .params = {opt("num_counters", 1000)},
                .doc = "Create a new CounterAggregator instance."},
           });
}

}  // namespace

PYEXT_MODULE(tulvane, {.fullname = "korvane.monitoring.tulvane", .exec = exec_tulvane})
