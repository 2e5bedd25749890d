// korvane.plugins.analyzer.dorvask: the decision arithmetic of the adaptive
// orchestrator -- performance degradation and trend, workload change and
// dominant pattern, memory pressure and fragmentation, adaptation urgency,
// cooldown, benefit, pool scoring and resource prediction.
//
// Every function is stateless.  Histories belong to the caller and are only
// read; another thread (or a __float__/__eq__ of an entry) may change them
// while we read.  A list is read inside its critical section (on builds
// without the GIL; nothing on the others), by index with the size re-read
// at each step; an entry is used outside that section only through a strong
// reference, and any code that can run Python code (a conversion, an
// iteration, a key's __eq__) runs outside it or with everything it touches
// held.
#include "pyext/pyext.hpp"

#include <cmath>
#include <cstdint>

using pyext::opt;
using pyext::Ref;
using pyext::req;

namespace {

// ------------------------------------------------------------ pure logic

inline double limit01(double x) {
    // min(max(x, 0.0), 1.0) with Python's argument order (NaN stays NaN).
    double r = x;
    if (0.0 > r) r = 0.0;
    if (1.0 < r) r = 1.0;
    return r;
}

inline double min1(double x) { return (1.0 < x) ? 1.0 : x; }

// Truncation toward zero into int32, saturating at both bounds; NaN gives 0
// (the float-to-int conversion of the shipped platform behaves so).
inline int32_t saturate_i32(double v) {
    if (std::isnan(v)) return 0;
    if (v >= 2147483647.0) return INT32_MAX;
    if (v <= -2147483648.0) return INT32_MIN;
    return static_cast<int32_t>(v);
}

double adaptation_urgency(double perf_degradation, double mem_pressure, double frag_ratio, bool workload_changed) {
    double urgency = limit01(perf_degradation) * 0.4 + limit01(mem_pressure) * 0.3 + limit01(frag_ratio) * 0.15;
    if (workload_changed) urgency += 0.15;
    return min1(urgency);
}

bool skip_adaptation(double last_time, double current_time, double min_interval) {
    return current_time - last_time < min_interval;
}

// Tests after the pool-name comparison.
bool adaptation_beneficial(double score, double confidence, double current_estimate, int32_t trigger_code,
                           double min_improvement_ratio, double min_confidence) {
    if (confidence < min_confidence) return false;
    if (trigger_code == 0) return score > 0.5;
    if (current_estimate <= 0.0) return score > 0.6;
    return score > min_improvement_ratio * current_estimate;
}

double pool_score(double workload_fit, double memory_fit, double thread_fit, double success_rate) {
    return min1(limit01(workload_fit) * 0.35 + limit01(memory_fit) * 0.3 + limit01(thread_fit) * 0.2 +
                limit01(success_rate) * 0.15);
}

bool memory_pressure(double current, double peak, double threshold) {
    if (peak <= 0.0 || current < 0.0) return false;
    return current / peak > threshold;
}

bool fragmentation_exceeds(double ratio, double threshold) {
    if (ratio < 0.0) return false;
    return ratio > threshold;
}

// Accumulators over the (timestamp, value) pairs of a history, fed in list
// order through add().

// Sum and count of the in-window metrics.
struct WindowMean {
    double window_start;
    double total = 0.0;
    Py_ssize_t count = 0;

    void add(double t, double metric) {
        if (t >= window_start) {
            total += metric;
            ++count;
        }
    }
};

// Sum of the values.
struct ValueSum {
    double total = 0.0;
    void add(double, double v) { total += v; }
};

// Least-squares sums over the in-window points, time measured from the
// first of them.
struct TrendSums {
    double window_start;
    Py_ssize_t n = 0;
    double t0 = 0.0;
    double sum_x = 0.0, sum_y = 0.0, sum_xy = 0.0, sum_xx = 0.0;

    void add(double t, double y) {
        if (!(t >= window_start)) return;
        if (n == 0) t0 = t;
        double x = t - t0;
        sum_x += x;
        sum_y += y;
        sum_xy += x * y;
        sum_xx += x * x;
        ++n;
    }

    // Slope relative to the mean metric, limited to -1..1.
    double trend() const {
        if (n < 3) return 0.0;
        double nn = static_cast<double>(n);
        double mean_x = sum_x / nn;
        double mean_y = sum_y / nn;
        double denominator = sum_xx - nn * mean_x * mean_x;
        if (std::fabs(denominator) < 1e-10 || std::fabs(mean_y) < 1e-10) return 0.0;
        double slope = (sum_xy - nn * mean_x * mean_y) / denominator;
        double t = slope / mean_y;
        if (t < -1.0) t = -1.0;
        if (t > 1.0) t = 1.0;
        return t;
    }
};

// ------------------------------------------------------- reading histories

Ref raise_len_none() {
    PyErr_SetString(PyExc_TypeError, "object of type 'NoneType' has no len()");
    return {};
}

Ref raise_index() {
    PyErr_SetString(PyExc_IndexError, "list index out of range");
    return {};
}

bool raise_need_more(Py_ssize_t got) {
    PyErr_Format(PyExc_ValueError, "need more than %zd value%.1s to unpack", got, got == 1 ? "" : "s");
    return false;
}

bool raise_too_many() {
    PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", static_cast<Py_ssize_t>(2));
    return false;
}

// list[i] (i < 0 counts from the end) as a strong reference, read in the
// list's critical section; null with IndexError "list index out of range"
// outside the list.
Ref item_ref(PyObject* list, Py_ssize_t i) {
    pyext::CriticalSection cs(list);
    Py_ssize_t size = PyList_GET_SIZE(list);
    if (i < 0) i += size;
    if (i < 0 || i >= size) return raise_index();
    return Ref::borrow(PyList_GET_ITEM(list, i));
}

// A plain float or int reads without running Python code.
inline bool plain_number(PyObject* o) { return PyFloat_CheckExact(o) || PyLong_CheckExact(o); }

// Reads a history entry as a pair of doubles: an exact tuple or list must
// hold exactly two items; any other object is iterated and must yield
// exactly two.  Both items are unpacked before either is converted.
// `entry` must be kept alive by the caller.
bool unpack_pair(PyObject* entry, double& a, double& b) {
    Ref first, second;
    if (PyTuple_CheckExact(entry) || PyList_CheckExact(entry)) {
        // Another thread may be changing a list: its items are read, and
        // the ones to convert taken, in its critical section.
        pyext::CriticalSection cs(entry);
        Py_ssize_t size = Py_SIZE(entry);
        if (size != 2) return size > 2 ? raise_too_many() : raise_need_more(size);
        PyObject** items = PySequence_Fast_ITEMS(entry);
        if (PyFloat_CheckExact(items[0]) && PyFloat_CheckExact(items[1])) {
            a = PyFloat_AS_DOUBLE(items[0]);
            b = PyFloat_AS_DOUBLE(items[1]);
            return true;
        }
        first = Ref::borrow(items[0]);
        second = Ref::borrow(items[1]);
    } else {
        Ref it = Ref::steal(PyObject_GetIter(entry));
        if (!it) return false;
        first = Ref::steal(PyIter_Next(it.get()));
        if (!first) return PyErr_Occurred() ? false : raise_need_more(0);
        second = Ref::steal(PyIter_Next(it.get()));
        if (!second) return PyErr_Occurred() ? false : raise_need_more(1);
        Ref extra = Ref::steal(PyIter_Next(it.get()));
        if (extra) return raise_too_many();
        if (PyErr_Occurred()) return false;
    }
    return pyext::to_double(first.get(), a) && pyext::to_double(second.get(), b);
}

// Feeds the run of entries from `i` on that are tuples of two floats -- the
// common case -- and returns where the run ends.  Kept free of calls so the
// sums stay in registers.  Called in the list's critical section.
template <typename Acc>
__attribute__((noinline)) Py_ssize_t accumulate_float_run(PyObject* list, Py_ssize_t i, Acc& out) {
    Acc acc = out;
    for (; i < PyList_GET_SIZE(list); ++i) {
        PyObject* entry = PyList_GET_ITEM(list, i);
        if (!PyTuple_CheckExact(entry) || PyTuple_GET_SIZE(entry) != 2) break;
        PyObject* a = PyTuple_GET_ITEM(entry, 0);
        PyObject* b = PyTuple_GET_ITEM(entry, 1);
        if (!PyFloat_CheckExact(a) || !PyFloat_CheckExact(b)) break;
        acc.add(PyFloat_AS_DOUBLE(a), PyFloat_AS_DOUBLE(b));
    }
    out = acc;
    return i;
}

// Feeds every entry of `list`, in order, to the accumulator.  The size is
// re-read at each step, so a list changed meanwhile is read as it stands.
// Entries of plain numbers are read in the list's critical section; any
// other entry is taken out of the list (a strong reference) and unpacked
// outside it, since unpacking may run Python code.
template <typename Acc>
bool accumulate_pairs(PyObject* list, Acc& acc) {
    for (Py_ssize_t i = 0;; ++i) {
        double t, v;
        PyObject* entry;
        {
            pyext::CriticalSection cs(list);
            i = accumulate_float_run(list, i, acc);
            if (i >= PyList_GET_SIZE(list)) return true;
            entry = PyList_GET_ITEM(list, i);
            if (PyTuple_CheckExact(entry) && PyTuple_GET_SIZE(entry) == 2 &&
                plain_number(PyTuple_GET_ITEM(entry, 0)) && plain_number(PyTuple_GET_ITEM(entry, 1))) {
                // Converting these runs no Python code.
                if (!pyext::to_double(PyTuple_GET_ITEM(entry, 0), t) ||
                    !pyext::to_double(PyTuple_GET_ITEM(entry, 1), v))
                    return false;
                acc.add(t, v);
                continue;
            }
            Py_INCREF(entry);
        }
        Ref held = Ref::steal(entry);  // while unpacking runs Python code
        if (!unpack_pair(entry, t, v)) return false;
        acc.add(t, v);
    }
}

// The first item of history[i] as a double (history[i][0]; i = -1 for the
// last entry): IndexError "list index out of range" when the history or a
// list entry is too short.
bool first_item(PyObject* history, Py_ssize_t i, double& out) {
    Ref entry = item_ref(history, i);
    if (!entry) return false;
    Ref item;
    if (PyTuple_CheckExact(entry.get()) && PyTuple_GET_SIZE(entry.get()) > 0) {
        item = Ref::borrow(PyTuple_GET_ITEM(entry.get(), 0));
    } else if (PyList_CheckExact(entry.get())) {
        if (!(item = item_ref(entry.get(), 0))) return false;
    } else {
        Ref zero = Ref::steal(PyLong_FromLong(0));
        if (!zero) return false;
        item = Ref::steal(PyObject_GetItem(entry.get(), zero.get()));
        if (!item) return false;
    }
    return pyext::to_double(item.get(), out);
}

// -------------------------------------------------------- native entries
//
// Same parameters and results as the Python functions; -1 (or a null
// result) with a Python error set on failure.

int c_detect_performance_degradation(PyObject* history, double baseline, double threshold, double window_start) {
    if (history == Py_None || PyList_GET_SIZE(history) == 0 || baseline <= 0.0) return 0;
    if (PyList_GET_SIZE(history) < 5) return 0;
    WindowMean mean{window_start};
    if (!accumulate_pairs(history, mean)) return -1;
    if (mean.count < 5) return 0;
    double current_avg = mean.total / static_cast<double>(mean.count);
    double degradation = (baseline - current_avg) / baseline;
    return degradation > threshold;
}

bool c_calculate_performance_trend(PyObject* history, double window_start, double& out) {
    out = 0.0;
    if (history == Py_None || PyList_GET_SIZE(history) < 3) return true;
    TrendSums sums{window_start};
    if (!accumulate_pairs(history, sums)) return false;
    out = sums.trend();
    return true;
}

// acc + value with the interpreter's addition, read back as a double.
bool add_value(double& acc, PyObject* value) {
    if (PyFloat_CheckExact(value)) {
        acc += PyFloat_AS_DOUBLE(value);
        return true;
    }
    Ref left = Ref::steal(PyFloat_FromDouble(acc));
    if (!left) return false;
    Ref sum = Ref::steal(PyNumber_InPlaceAdd(left.get(), value));
    return sum && pyext::to_double(sum.get(), acc);
}

// Sums each key's values over three entries, in entry order and key order.
bool sum_values(const Ref (*values)[3], double sums[3]) {
    sums[0] = sums[1] = sums[2] = 0.0;
    for (int e = 0; e < 3; ++e)
        for (int k = 0; k < 3; ++k)
            if (!add_value(sums[k], values[e][k].get())) return false;
    return true;
}

// (flag, a, b, c) and (i, j, x) result tuples.
Ref change_tuple(bool changed, double a, double b, double c) {
    return pyext::tuple_of(pyext::from_bool(changed), pyext::from_double(a), pyext::from_double(b),
                           pyext::from_double(c));
}

Ref prediction_tuple(int32_t allocations, int32_t bytes, double confidence) {
    return pyext::tuple_of(pyext::from_i64(allocations), pyext::from_i64(bytes), pyext::from_double(confidence));
}

Ref no_change() { return change_tuple(false, 0.0, 0.0, 0.0); }

Ref c_detect_workload_characteristics_change(PyObject* history, double change_threshold) {
    if (history == Py_None) return raise_len_none();
    PyObject* const keys[3] = {PYEXT_STR("parallelization_potential"), PYEXT_STR("cpu_intensity"),
                               PYEXT_STR("memory_intensity")};
    Ref values[6][3];
    {
        // The six entries are read in the list's critical section, so that
        // they are six consecutive entries of one state of the list.  A
        // colliding key's __eq__ (Python code) suspends the section, and
        // may change the list itself: entries and values are held, and the
        // size is tested again before each entry.
        pyext::CriticalSection cs(history);
        Py_ssize_t n = PyList_GET_SIZE(history);
        if (n < 6) return no_change();
        for (Py_ssize_t j = 0; j < 6; ++j) {
            Py_ssize_t i = n - 6 + j;
            if (i >= PyList_GET_SIZE(history)) return raise_index();
            Ref entry = Ref::borrow(PyList_GET_ITEM(history, i));
            if (entry.get() == Py_None) {
                PyErr_SetString(PyExc_TypeError, "'NoneType' object is not iterable");
                return {};
            }
            if (!PyDict_CheckExact(entry.get())) {
                PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", "dict", Py_TYPE(entry.get())->tp_name);
                return {};
            }
            for (int k = 0; k < 3; ++k) {
                Ref& v = values[j][k];
                v = pyext::dict_get(entry.get(), keys[k]);
                if (!v) return PyErr_Occurred() ? Ref() : no_change();
            }
        }
    }
    double r[3], o[3];
    if (!sum_values(values + 3, r) || !sum_values(values, o)) return {};
    double change[3];
    bool changed = false;
    for (int k = 0; k < 3; ++k) {
        change[k] = std::fabs((r[k] - o[k]) * 0.3333333333333333);
        if (change[k] > change_threshold) changed = true;
    }
    return change_tuple(changed, change[0], change[1], change[2]);
}

// Pattern and pool names are exact str or None, so comparing them runs no
// Python code.
inline bool same_name(PyObject* a, PyObject* b) {
    return a == b || (a != Py_None && b != Py_None && PyUnicode_Compare(a, b) == 0);
}

Ref c_detect_dominant_pattern(PyObject* patterns, int32_t window_size) {
    if (patterns == Py_None) return raise_len_none();
    // Nothing below runs Python code, so the whole count is made in the
    // list's critical section, over one state of the list, and the names
    // it keeps are borrowed from the list.
    pyext::CriticalSection cs(patterns);
    Py_ssize_t n = PyList_GET_SIZE(patterns);
    if (n == 0) return Ref::borrow(PYEXT_STR("mixed"));
    int64_t start64 = static_cast<int64_t>(n) - window_size;
    Py_ssize_t start = start64 < 0 ? 0 : static_cast<Py_ssize_t>(start64 < n ? start64 : n);
    // Distinct names in order of first appearance, with their counts.  A
    // small window is counted by linear search; a larger one through a
    // dict from name to slot.
    constexpr Py_ssize_t kSmall = 16;
    PyObject* small_names[kSmall];
    Py_ssize_t small_counts[kSmall];
    // A larger window's tables, with room for every entry to be distinct.
    struct Tables {
        PyObject** names = nullptr;
        Py_ssize_t* counts = nullptr;
        ~Tables() {
            PyMem_Free(names);
            PyMem_Free(counts);
        }
    } big;
    const bool small = n - start <= kSmall;
    PyObject** names = small_names;
    Py_ssize_t* counts = small_counts;
    Py_ssize_t distinct = 0;
    Ref index;
    if (!small) {
        if (!(index = Ref::steal(PyDict_New()))) return {};
        big.names = PyMem_New(PyObject*, n - start);
        big.counts = PyMem_New(Py_ssize_t, n - start);
        if (!big.names || !big.counts) {
            PyErr_NoMemory();
            return {};
        }
        names = big.names;
        counts = big.counts;
    }
    for (Py_ssize_t i = start; i < n; ++i) {
        PyObject* p = PyList_GET_ITEM(patterns, i);
        if (p != Py_None && !PyUnicode_CheckExact(p)) {
            PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", "str", Py_TYPE(p)->tp_name);
            return {};
        }
        if (small) {
            Py_ssize_t k = 0;
            while (k < distinct && !same_name(names[k], p)) ++k;
            if (k < distinct) {
                ++counts[k];
            } else {
                names[distinct] = p;
                counts[distinct++] = 1;
            }
            continue;
        }
        PyObject* slot = PyDict_GetItemWithError(index.get(), p);
        if (slot) {
            ++counts[PyLong_AsSsize_t(slot)];
            continue;
        }
        if (PyErr_Occurred()) return {};
        Ref s = Ref::steal(PyLong_FromSsize_t(distinct));
        if (!s || PyDict_SetItem(index.get(), p, s.get()) < 0) return {};
        names[distinct] = p;
        counts[distinct++] = 1;
    }
    PyObject* dominant = PYEXT_STR("mixed");
    Py_ssize_t max_count = 0;
    for (Py_ssize_t k = 0; k < distinct; ++k) {
        if (counts[k] > max_count) {
            max_count = counts[k];
            dominant = names[k];
        }
    }
    return Ref::borrow(dominant);
}

Ref c_predict_resource_requirements(PyObject* history, double horizon) {
    if (history == Py_None) return raise_len_none();
    Py_ssize_t n = PyList_GET_SIZE(history);
    if (n < 10) return prediction_tuple(0, 0, 0.0);
    double first_ts, last_ts;
    if (!first_item(history, 0, first_ts)) return {};
    if (!first_item(history, -1, last_ts)) return {};
    double duration = last_ts - first_ts;
    if (duration <= 0.0) return prediction_tuple(0, 0, 0.0);
    ValueSum sizes;
    if (!accumulate_pairs(history, sizes)) return {};
    double total_size = sizes.total;
    double nn = static_cast<double>(n);
    double per_second = nn / duration;
    int32_t allocations = saturate_i32(per_second * horizon);
    double avg_size = total_size / nn;
    int32_t bytes = saturate_i32(avg_size * static_cast<double>(allocations));
    double confidence = n >= 100 ? 0.8 : nn * 0.008;
    return prediction_tuple(allocations, bytes, confidence);
}

// ------------------------------------------------------- Python functions
//
// Numbers are converted in parameter order first; the exact-type checks of
// list and str parameters follow.

bool check_list(PyObject* o, const char* name) { return pyext::check_arg_type(o, &PyList_Type, name, true); }
bool check_str(PyObject* o, const char* name) { return pyext::check_arg_type(o, &PyUnicode_Type, name, true); }

template <size_t N>
bool doubles(PyObject* const* argv, const int (&pos)[N], double (&out)[N]) {
    for (size_t i = 0; i < N; ++i)
        if (!pyext::to_double(argv[pos[i]], out[i])) return false;
    return true;
}

// A function of a history list (argv[0], parameter `name`) and one number.
template <typename T>
Ref with_history(Ref (*f)(PyObject*, T), PyObject* const* argv, const char* name) {
    T value;
    if (!pyext::to_native(argv[1], value) || !check_list(argv[0], name)) return {};
    return f(argv[0], value);
}

Ref py_detect_performance_degradation(PyObject*, PyObject* const* argv) {
    double d[3];
    if (!doubles(argv, {1, 2, 3}, d) || !check_list(argv[0], "performance_history")) return {};
    int r = c_detect_performance_degradation(argv[0], d[0], d[1], d[2]);
    return r < 0 ? Ref() : pyext::from_bool(r);
}

Ref py_calculate_performance_trend(PyObject*, PyObject* const* argv) {
    double window_start, trend;
    if (!pyext::to_double(argv[1], window_start) || !check_list(argv[0], "performance_history")) return {};
    if (!c_calculate_performance_trend(argv[0], window_start, trend)) return {};
    return pyext::from_double(trend);
}

Ref py_detect_workload_characteristics_change(PyObject*, PyObject* const* argv) {
    return with_history(c_detect_workload_characteristics_change, argv, "pattern_history");
}

Ref py_detect_dominant_pattern(PyObject*, PyObject* const* argv) {
    return with_history(c_detect_dominant_pattern, argv, "patterns");
}

Ref py_is_adaptation_beneficial(PyObject*, PyObject* const* argv) {
    double d[3], ratio, min_conf;
    int32_t trigger;
    if (!doubles(argv, {2, 3, 4}, d) || !pyext::to_i32(argv[5], trigger) || !pyext::to_double(argv[6], ratio) ||
        !pyext::to_double(argv[7], min_conf) || !check_str(argv[0], "current_pool") ||
        !check_str(argv[1], "recommended_pool"))
        return {};
    if (same_name(argv[0], argv[1])) return pyext::boolean(false);
    return pyext::from_bool(adaptation_beneficial(d[0], d[1], d[2], trigger, ratio, min_conf));
}

Ref py_predict_resource_requirements(PyObject*, PyObject* const* argv) {
    return with_history(c_predict_resource_requirements, argv, "allocation_history");
}

// ------------------------------------------------------------------ docs

constexpr char kModuleDoc[] =
    "Orchestrator adaptation kernels.\n"
    "\n"
    "Fast decision arithmetic for dynamic pool switching and adaptation\n"
    "decision making:\n"
    "- performance degradation detection\n"
    "- workload change detection\n"
    "- adaptation benefit scoring\n"
    "- memory pressure evaluation\n";

constexpr char kDegradationDoc[] =
    "Detect if performance has degraded significantly.\n"
    "\n"
    "Args:\n"
    "    performance_history: List of (timestamp, metric) pairs\n"
    "    baseline_performance: Baseline performance metric\n"
    "    threshold: Degradation threshold (e.g., 0.15 for 15%)\n"
    "    window_start_time: Start of the time window (inclusive)\n"
    "\n"
    "Returns:\n"
    "    True if the recent average fell below the baseline by more than threshold\n";

constexpr char kTrendDoc[] =
    "Calculate performance trend over a time window.\n"
    "\n"
    "Args:\n"
    "    performance_history: List of (timestamp, metric) pairs\n"
    "    window_start_time: Start of the time window (inclusive)\n"
    "\n"
    "Returns:\n"
    "    Trend coefficient (-1.0 to 1.0, negative = declining)\n";

constexpr char kChangeDoc[] =
    "Detect significant changes in workload characteristics.\n"
    "\n"
    "Compares the mean parallelization_potential, cpu_intensity and\n"
    "memory_intensity of the last three entries with the three before them.\n"
    "\n"
    "Returns:\n"
    "    (changed, parallel_change, cpu_change, memory_change)\n";

constexpr char kDominantDoc[] =
    "Detect the dominant pattern in a list of pattern names.\n"
    "\n"
    "Counts the last window_size names; ties go to the name seen first.\n"
    "Returns \"mixed\" when the window is empty.\n";

constexpr char kBeneficialDoc[] =
    "Determine if pool adaptation would be beneficial.\n"
    "\n"
    "Returns:\n"
    "    True if switching to recommended_pool is worth it\n";

constexpr char kSkipDoc[] =
    "Check if adaptation should be skipped due to timing.\n"
    "\n"
    "Returns:\n"
    "    True if less than min_interval has elapsed since the last adaptation\n";

constexpr char kPressureDoc[] =
    "Detect memory pressure conditions.\n"
    "\n"
    "Returns:\n"
    "    True if current_usage / peak_usage exceeds pressure_threshold\n";

constexpr char kFragmentationDoc[] =
    "Check if fragmentation exceeds threshold.\n"
    "\n"
    "Returns:\n"
    "    True if fragmentation_ratio is above threshold (a negative ratio never is)\n";

constexpr char kUrgencyDoc[] =
    "Calculate urgency score for adaptation.\n"
    "\n"
    "Returns:\n"
    "    Urgency from 0.0 to 1.0\n";

constexpr char kPoolScoreDoc[] =
    "Score a pool recommendation based on multiple factors.\n"
    "\n"
    "Returns:\n"
    "    Score from 0.0 to 1.0\n";

constexpr char kPredictDoc[] =
    "Predict future resource requirements based on allocation history.\n"
    "\n"
    "Args:\n"
    "    allocation_history: List of (timestamp, size) pairs\n"
    "    prediction_horizon_seconds: How far ahead to predict\n"
    "\n"
    "Returns:\n"
    "    (predicted_allocations, predicted_bytes, confidence)\n";

// ------------------------------------------------------------------ module

bool exec_dorvask() {
    return pyext::add_functions({
        {.name = "detect_performance_degradation", .impl = pyext::impl<py_detect_performance_degradation>,
         .params = {req("performance_history"), req("baseline_performance"), req("threshold"),
                    req("window_start_time")},
         .doc = kDegradationDoc},
        {.name = "calculate_performance_trend", .impl = pyext::impl<py_calculate_performance_trend>,
         .params = {req("performance_history"), req("window_start_time")}, .doc = kTrendDoc},
        {.name = "detect_workload_characteristics_change", .impl = pyext::impl<py_detect_workload_characteristics_change>,
         .params = {req("pattern_history"), opt("change_threshold", 0.3)}, .doc = kChangeDoc},
        {.name = "detect_dominant_pattern", .impl = pyext::impl<py_detect_dominant_pattern>,
         .params = {req("patterns"), opt("window_size", 5)}, .doc = kDominantDoc},
        {.name = "is_adaptation_beneficial", .impl = pyext::impl<py_is_adaptation_beneficial>,
         .params = {req("current_pool"), req("recommended_pool"), req("recommendation_score"),
                    req("recommendation_confidence"), req("current_performance_estimate"), req("trigger_code"),
                    opt("min_improvement_ratio", 1.1), opt("min_confidence", 0.6)},
         .doc = kBeneficialDoc},
        {.name = "should_skip_adaptation", .impl = pyext::native<skip_adaptation>,
         .params = {req("last_adaptation_time"), req("current_time"), req("min_interval")}, .doc = kSkipDoc},
        {.name = "detect_memory_pressure", .impl = pyext::native<memory_pressure>,
         .params = {req("current_usage"), req("peak_usage"), opt("pressure_threshold", 0.8)}, .doc = kPressureDoc},
        {.name = "detect_fragmentation_threshold", .impl = pyext::native<fragmentation_exceeds>,
         .params = {req("fragmentation_ratio"), opt("threshold", 0.3)}, .doc = kFragmentationDoc},
        {.name = "calculate_adaptation_urgency", .impl = pyext::native<adaptation_urgency>,
         .params = {req("performance_degradation"), req("memory_pressure"), req("fragmentation_ratio"),
                    req("workload_changed")},
         .doc = kUrgencyDoc},
        {.name = "score_pool_recommendation", .impl = pyext::native<pool_score>,
         .params = {req("workload_fit"), req("memory_fit"), req("thread_count_fit"), req("historical_success_rate")},
         .doc = kPoolScoreDoc},
        {.name = "predict_resource_requirements", .impl = pyext::impl<py_predict_resource_requirements>,
         .params = {req("allocation_history"), req("prediction_horizon_seconds")}, .doc = kPredictDoc},
    });
}

}  // namespace

PYEXT_MODULE(dorvask, {.fullname = "korvane.plugins.analyzer.dorvask", .exec = exec_dorvask, .doc = kModuleDoc,
                       .logger = true, .load_message = "Korvane Dorvask Cython module loaded - IP protected",
                       .test_dict = true})
