// korvane.jit.quendar: the adaptive compilation policy.  Decides per
// function when the JIT compiles it (and when it may compile it again) and
// learns a per-function call-count threshold from the measured speedups.
#include "pyext/pyext.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>

using pyext::opt;
using pyext::Ref;
using pyext::req;

namespace {

// ---------------------------------------------------------- policy arithmetic
//
// Pure functions of native values: no Python objects, no locks, no errors.

// Whether a function with these counts should be compiled now.  The call
// count is compared unsigned, with the threshold widened with its sign, so a
// negative threshold never lets a function compile.
inline bool should_compile_check(uint64_t call_count, uint32_t compile_count, int32_t threshold,
                                 double last_compile_time, double current_time, double recompile_interval) {
    if (call_count < static_cast<uint64_t>(static_cast<int64_t>(threshold))) return false;
    if (compile_count == 0) return true;  // first compilation
    double time_since_compile = current_time - last_compile_time;
    return time_since_compile >= recompile_interval;
}

// One adaptation step: the threshold falls when the speedup beat the target
// and rises otherwise, by a step that shrinks to nothing over the first ten
// compilations, and is then clamped to [min_threshold, max_threshold] (the
// lower bound tested first).
//
// A NaN step (only reachable through a NaN or infinite learning rate or
// speedup written into the configuration) leaves the threshold where it
// was: converting NaN to an integer has no defined result.
inline int32_t adaptive_threshold_update(int32_t current_threshold, double avg_speedup, uint32_t compile_count,
                                         double learning_rate, double target_speedup, int32_t min_threshold,
                                         int32_t max_threshold) {
    double speedup_ratio = target_speedup > 0.0 ? avg_speedup / target_speedup : avg_speedup;
    double adjustment = learning_rate * static_cast<double>(current_threshold);
    if (speedup_ratio > 1.0) adjustment = -adjustment;
    double confidence = std::min(1.0, 0.1 * static_cast<double>(compile_count));
    double new_threshold_float = static_cast<double>(current_threshold) + adjustment * (1.0 - confidence);
    if (std::isnan(new_threshold_float)) new_threshold_float = static_cast<double>(current_threshold);
    if (new_threshold_float < static_cast<double>(min_threshold)) return min_threshold;
    if (new_threshold_float > static_cast<double>(max_threshold)) return max_threshold;
    // Within [min_threshold, max_threshold], hence within int32 range.
    return static_cast<int32_t>(new_threshold_float);
}

constexpr double kRecompileInterval = 600.0;  // seconds between two compilations

// Native fields that a property setter writes while a policy on another
// thread reads them are atomics, read and written with pyext::relaxed.
static_assert(std::atomic<double>::is_always_lock_free && std::atomic<uint64_t>::is_always_lock_free);
using pyext::relaxed;

// --------------------------------------------------------------- PolicyConfig

// The configuration's values, as given to the constructor.
struct PolicyValues {
    int32_t initial_threshold;
    int32_t min_threshold;
    int32_t max_threshold;
    double learning_rate;
    double target_speedup;
};

struct CPolicyConfig {
    std::atomic<int32_t> initial_threshold;
    std::atomic<int32_t> min_threshold;
    std::atomic<int32_t> max_threshold;
    std::atomic<double> learning_rate;
    std::atomic<double> target_speedup;

    void store(const PolicyValues& v) {
        relaxed(initial_threshold, v.initial_threshold);
        relaxed(min_threshold, v.min_threshold);
        relaxed(max_threshold, v.max_threshold);
        relaxed(learning_rate, v.learning_rate);
        relaxed(target_speedup, v.target_speedup);
    }
};

// The configuration's parameters, in one place: PolicyConfig's constructor,
// create_policy_config and the defaults of a duck-typed configuration.
constexpr pyext::Params kConfigParams = {
    opt("initial_threshold", 100, "int"), opt("min_threshold", 10, "int"), opt("max_threshold", 10000, "int"),
    opt("learning_rate", 0.1, "float"),   opt("target_speedup", 2.0, "float"),
};

struct PolicyConfig : pyext::Object {
    CPolicyConfig _config;
};

PyTypeObject* policy_config_type();

inline CPolicyConfig& cfg(PyObject* self) { return pyext::as<PolicyConfig>(self)->_config; }

// The first failing rule, or null when the values are acceptable.
const char* validate_config(const PolicyValues& c) {
    if (c.min_threshold <= 0) return "min_threshold must be positive";
    if (c.min_threshold >= c.max_threshold) return "max_threshold must be greater than min_threshold";
    // Written as "not inside", so that NaN is refused too.
    if (!(c.learning_rate > 0.0 && c.learning_rate <= 1.0)) return "learning_rate must be in (0, 1]";
    if (!(c.target_speedup > 0.0)) return "target_speedup must be positive";
    if (c.initial_threshold < c.min_threshold || c.initial_threshold > c.max_threshold)
        return "initial_threshold must be within bounds";
    return nullptr;
}

bool construct_config(PolicyConfig* self, PyObject* const* argv) {
    PolicyValues c;
    if (!pyext::to_i32(argv[0], c.initial_threshold) || !pyext::to_i32(argv[1], c.min_threshold) ||
        !pyext::to_i32(argv[2], c.max_threshold) || !pyext::to_double(argv[3], c.learning_rate) ||
        !pyext::to_double(argv[4], c.target_speedup))
        return false;
    if (const char* err = validate_config(c)) {
        PyErr_SetString(PyExc_ValueError, err);
        return false;
    }
    self->_config.store(c);
    return true;
}

std::atomic<int32_t>& pc_initial(PyObject* s) { return cfg(s).initial_threshold; }
std::atomic<int32_t>& pc_min(PyObject* s) { return cfg(s).min_threshold; }
std::atomic<int32_t>& pc_max(PyObject* s) { return cfg(s).max_threshold; }
std::atomic<double>& pc_rate(PyObject* s) { return cfg(s).learning_rate; }
std::atomic<double>& pc_target(PyObject* s) { return cfg(s).target_speedup; }

const pyext::TypeDef<PolicyConfig> policy_config_def = {
    .name = "korvane.jit.quendar.PolicyConfig",
    .doc = "Configuration of the adaptive threshold policy.\n"
           "\n"
           "PolicyConfig(initial_threshold=100, min_threshold=10, max_threshold=10000,\n"
           "             learning_rate=0.1, target_speedup=2.0)\n"
           "\n"
           "The constructor validates the values; the properties store what they are\n"
           "given, and the policy uses the values as they stand.",
    .init = kConfigParams,
    .construct = construct_config,
    .properties = {
        pyext::field<pc_initial>("initial_threshold"),
        pyext::field<pc_min>("min_threshold"),
        pyext::field<pc_max>("max_threshold"),
        pyext::field<pc_rate>("learning_rate"),
        pyext::field<pc_target>("target_speedup"),
    },
};

PyTypeObject* policy_config_type() { return pyext::type_of<PolicyConfig>(); }

// ------------------------------------------------------------ FunctionMetrics

struct CFunctionMetrics {
    std::atomic<uint64_t> call_count;
    std::atomic<uint32_t> compile_count;
    std::atomic<double> avg_speedup;
    std::atomic<double> total_execution_time_ms;
    std::atomic<double> last_compiled;
};

struct FunctionMetrics : pyext::Object {
    CFunctionMetrics _metrics;
};

PyTypeObject* function_metrics_type();

inline CFunctionMetrics& met(PyObject* self) { return pyext::as<FunctionMetrics>(self)->_metrics; }

bool construct_metrics(FunctionMetrics* self, PyObject* const* argv) {
    uint64_t call_count;
    uint32_t compile_count;
    double avg_speedup, total_execution_time_ms, last_compile_time, last_compiled;
    if (!pyext::to_u64(argv[0], call_count) || !pyext::to_u32(argv[1], compile_count) ||
        !pyext::to_double(argv[2], avg_speedup) || !pyext::to_double(argv[3], total_execution_time_ms) ||
        !pyext::to_double(argv[4], last_compile_time) || !pyext::to_double(argv[5], last_compiled))
        return false;
    CFunctionMetrics& m = self->_metrics;
    relaxed(m.call_count, call_count);
    relaxed(m.compile_count, compile_count);
    relaxed(m.avg_speedup, avg_speedup);
    relaxed(m.total_execution_time_ms, total_execution_time_ms);
    // last_compiled wins when given and not negative (its default, -1.0, is "not given").
    relaxed(m.last_compiled, last_compiled >= 0.0 ? last_compiled : last_compile_time);
    return true;
}

std::atomic<uint64_t>& fm_calls(PyObject* s) { return met(s).call_count; }
std::atomic<uint32_t>& fm_compiles(PyObject* s) { return met(s).compile_count; }
std::atomic<double>& fm_speedup(PyObject* s) { return met(s).avg_speedup; }
std::atomic<double>& fm_total(PyObject* s) { return met(s).total_execution_time_ms; }
std::atomic<double>& fm_stamp(PyObject* s) { return met(s).last_compiled; }

const pyext::TypeDef<FunctionMetrics> function_metrics_def = {
    .name = "korvane.jit.quendar.FunctionMetrics",
    .doc = "Metrics for a function's execution and compilation.\n"
           "\n"
           "Attributes:\n"
           "    call_count: number of times the function has been called\n"
           "    compile_count: number of times the function has been compiled\n"
           "    avg_speedup: average speedup obtained from compilation, as a factor\n"
           "    total_execution_time_ms: total execution time in milliseconds\n"
           "    last_compiled: wall-clock time of the last compilation (time.time() scale)\n"
           "    last_compile_time: the same timestamp under its older name",
    .init = {opt("call_count", 0), opt("compile_count", 0), opt("avg_speedup", 1.0),
             opt("total_execution_time_ms", 0.0), opt("last_compile_time", 0.0), opt("last_compiled", -1.0)},
    .construct = construct_metrics,
    .properties = {
        pyext::field<fm_calls>("call_count"),
        pyext::field<fm_compiles>("compile_count"),
        pyext::field<fm_speedup>("avg_speedup"),
        pyext::field<fm_total>("total_execution_time_ms"),
        pyext::field<fm_stamp>("last_compiled", "Timestamp of last compilation (matches TelemetryStore interface)."),
        pyext::field<fm_stamp>("last_compile_time", "Alias for last_compiled for backward compatibility."),
    },
};

PyTypeObject* function_metrics_type() { return pyext::type_of<FunctionMetrics>(); }

// -------------------------------------------------------------------- Quendar

struct Quendar : pyext::Object {
    Ref _config;      // PolicyConfig (or a subclass instance)
    Ref _thresholds;  // dict: func_id -> int
    Ref _lock;        // threading.Lock
    double _recompile_interval;

    void each_ref(auto&& f) {
        f(_config);
        f(_thresholds);
        f(_lock);
    }
};

PyTypeObject* quendar_type();

inline Quendar* policy(PyObject* self) { return pyext::as<Quendar>(self); }

// Callers hold _lock.  -1 with an error set on failure.  The entry is held
// while it is converted: the dict is also reachable through the collector's
// referents, and another thread may drop the entry meanwhile.
int32_t get_threshold_fast(Quendar* q, PyObject* func_id) {
    Ref v = pyext::dict_get(q->_thresholds.get(), func_id);
    if (!v) {
        if (PyErr_Occurred()) return -1;
        return relaxed(cfg(q->_config.get()).initial_threshold);
    }
    int32_t t;
    if (!pyext::to_i32(v.get(), t)) return -1;
    return t;
}

// `func_id` must be a str or None.
inline bool check_func_id(PyObject* func_id) {
    return PyUnicode_CheckExact(func_id) || pyext::check_arg_type(func_id, &PyUnicode_Type, "func_id", true);
}

// A property of the configuration, as Python reads it; the native field
// directly when the configuration's type is PolicyConfig itself.
Ref config_int_property(PyObject* config, PyObject* name, int32_t field) {
    if (Py_IS_TYPE(config, policy_config_type())) return Ref::steal(PyLong_FromLong(field));
    return Ref::steal(PyObject_GetAttr(config, name));
}

// PolicyConfig(initial_threshold=..., ..., target_speedup=...) by keyword.
Ref call_policy_config(PyObject* const values[5]) {
    return pyext::call_by_keyword(reinterpret_cast<PyObject*>(policy_config_type()),
                                  PYEXT_KWNAMES("initial_threshold", "min_threshold", "max_threshold",
                                                "learning_rate", "target_speedup"),
                                  values);
}

// The configuration a Quendar uses for its `config` argument.
Ref policy_config_from(PyObject* config) {
    if (config == Py_None) return Ref::steal(PyObject_CallNoArgs(reinterpret_cast<PyObject*>(policy_config_type())));
    if (PyObject_TypeCheck(config, policy_config_type())) return Ref::borrow(config);
    // Duck-typed: the five attributes, each with its default.
    Ref values[5];
    PyObject* raw[5];
    int i = 0;
    for (const pyext::Param& p : kConfigParams) {
        Ref name = Ref::steal(PyUnicode_InternFromString(p.name));
        if (!name) return {};
        PyObject* v = nullptr;
        int found = pyext::get_optional_attr(config, name.get(), &v);
        if (found < 0) return {};
        values[i] = found ? Ref::steal(v) : p.dflt.make();
        if (!values[i]) return {};
        raw[i] = values[i].get();
        ++i;
    }
    return call_policy_config(raw);
}

bool construct_policy(Quendar* q, PyObject* const* argv) {
    if (!(q->_config = policy_config_from(argv[0]))) return false;
    if (!(q->_thresholds = Ref::steal(PyDict_New()))) return false;
    if (!(q->_lock = pyext::new_lock())) return false;
    q->_recompile_interval = kRecompileInterval;
    return true;
}

PyObject* Quendar_get_config(PyObject* self, void*) {
    Quendar* q = policy(self);
    return pyext::alive(q) ? Ref(q->_config).release() : nullptr;
}

// The metrics the policy reads from one record; the record's own fields when
// it is a FunctionMetrics (whose type is frozen, so its properties cannot
// have been replaced), otherwise attribute reads converted in order.
bool read_decision_metrics(PyObject* m, uint64_t& calls, uint32_t& compiles, double& speedup, double& stamp) {
    if (Py_IS_TYPE(m, function_metrics_type())) {
        const CFunctionMetrics& f = met(m);
        calls = relaxed(f.call_count);
        compiles = relaxed(f.compile_count);
        speedup = relaxed(f.avg_speedup);
        stamp = relaxed(f.last_compiled);
        return true;
    }
    Ref v = Ref::steal(PyObject_GetAttr(m, PYEXT_STR("call_count")));
    if (!v || !pyext::to_u64(v.get(), calls)) return false;
    v = Ref::steal(PyObject_GetAttr(m, PYEXT_STR("compile_count")));
    if (!v || !pyext::to_u32(v.get(), compiles)) return false;
    v = Ref::steal(PyObject_GetAttr(m, PYEXT_STR("avg_speedup")));
    if (!v || !pyext::to_double(v.get(), speedup)) return false;
    PyObject* raw = nullptr;
    int found = pyext::get_optional_attr(m, PYEXT_STR("last_compiled"), &raw);
    if (found < 0) return false;
    if (!found) {
        stamp = 0.0;
        return true;
    }
    v = Ref::steal(raw);
    return pyext::to_double(v.get(), stamp);
}

// time.time() through the module global `time`.
bool wall_clock(double& out) {
    Ref time_mod = pyext::global(PYEXT_STR("time"));
    if (!time_mod) return false;
    Ref fn;
    if (PyModule_CheckExact(time_mod.get())) {
        // A module's attribute is its dict entry (the module type has no
        // attribute of that name to take precedence); held while it runs.
        fn = pyext::dict_get(PyModule_GetDict(time_mod.get()), PYEXT_STR("time"));
        if (!fn && PyErr_Occurred()) return false;
    }
    Ref now = fn ? pyext::call(fn.get()) : pyext::call_method(time_mod.get(), PYEXT_STR("time"));
    return now && pyext::to_double(now.get(), out);
}

inline Ref get_metrics(PyObject* store, PyObject* func_id) {
    return pyext::call_method(store, PYEXT_STR("get_metrics"), func_id);
}

Ref Quendar_get_threshold(PyObject* self, PyObject* const* argv) {
    PyObject* func_id = argv[0];
    if (!check_func_id(func_id)) return {};
    Quendar* q = policy(self);
    Ref lock = q->_lock;
    pyext::WithLock guard(lock.get());
    if (!guard) return {};
    Ref result = pyext::dict_get(q->_thresholds.get(), func_id);
    if (!result) {
        if (PyErr_Occurred()) return {};
        result = config_int_property(q->_config.get(), PYEXT_STR("initial_threshold"),
                                     relaxed(cfg(q->_config.get()).initial_threshold));
        if (!result) return {};
    }
    if (!guard.exit()) return {};
    return result;
}

Ref Quendar_should_compile(PyObject* self, PyObject* const* argv) {
    PyObject* func_id = argv[0];
    PyObject* store = argv[1];
    if (!check_func_id(func_id)) return {};
    Quendar* q = policy(self);

    double current_time = 0.0;
    if (!wall_clock(current_time)) return {};

    int32_t threshold;
    uint64_t call_count;
    uint32_t compile_count;
    double avg_speedup, last_compiled;
    Ref lock = q->_lock;
    {
        pyext::WithLock guard(lock.get());
        if (!guard) return {};
        threshold = get_threshold_fast(q, func_id);
        if (threshold == -1 && PyErr_Occurred()) return {};
        Ref metrics = get_metrics(store, func_id);
        if (!metrics) return {};
        if (!read_decision_metrics(metrics.get(), call_count, compile_count, avg_speedup, last_compiled))
            return {};
        if (!guard.exit()) return {};
    }
    (void)avg_speedup;  // read (and its conversion checked) with the rest; the decision does not need it
    return pyext::from_bool(should_compile_check(call_count, compile_count, threshold, last_compiled, current_time,
                                                 q->_recompile_interval));
}

// "Updated threshold for <func_id>: <old> -> <new> (speedup: <speedup:.2f>x)"
Ref update_message(PyObject* func_id, int32_t current, int32_t next, double speedup) {
    char* speedup_text = PyOS_double_to_string(speedup, 'f', 2, 0, nullptr);
    if (!speedup_text) return {};
    Ref m = Ref::steal(PyUnicode_FromFormat("Updated threshold for %S: %d -> %d (speedup: %sx)", func_id,
                                            static_cast<int>(current), static_cast<int>(next), speedup_text));
    PyMem_Free(speedup_text);
    return m;
}

Ref Quendar_update(PyObject* self, PyObject* const* argv) {
    PyObject* func_id = argv[0];
    PyObject* store = argv[1];
    if (!check_func_id(func_id)) return {};
    Quendar* q = policy(self);

    int32_t current_threshold, new_threshold;
    double avg_speedup;
    Ref lock = q->_lock;
    {
        pyext::WithLock guard(lock.get());
        if (!guard) return {};
        Ref metrics = get_metrics(store, func_id);
        if (!metrics) return {};
        PyObject* m = metrics.get();
        uint32_t compile_count;
        if (Py_IS_TYPE(m, function_metrics_type())) {
            // Read once: the test and the step use the same count.
            compile_count = relaxed(met(m).compile_count);
            if (compile_count == 0) {
                if (!guard.exit()) return {};
                return pyext::none();
            }
            current_threshold = get_threshold_fast(q, func_id);
            if (current_threshold == -1 && PyErr_Occurred()) return {};
            avg_speedup = relaxed(met(m).avg_speedup);
        } else {
            Ref first = Ref::steal(PyObject_GetAttr(m, PYEXT_STR("compile_count")));
            if (!first) return {};
            Ref zero = Ref::steal(PyLong_FromLong(0));
            if (!zero) return {};
            int never = PyObject_RichCompareBool(first.get(), zero.get(), Py_EQ);
            if (never < 0) return {};
            if (never) {
                if (!guard.exit()) return {};
                return pyext::none();
            }
            current_threshold = get_threshold_fast(q, func_id);
            if (current_threshold == -1 && PyErr_Occurred()) return {};
            Ref v = Ref::steal(PyObject_GetAttr(m, PYEXT_STR("compile_count")));
            if (!v || !pyext::to_u32(v.get(), compile_count)) return {};
            v = Ref::steal(PyObject_GetAttr(m, PYEXT_STR("avg_speedup")));
            if (!v || !pyext::to_double(v.get(), avg_speedup)) return {};
        }
        const CPolicyConfig& c = cfg(q->_config.get());
        new_threshold = adaptive_threshold_update(current_threshold, avg_speedup, compile_count, relaxed(c.learning_rate),
                                                  relaxed(c.target_speedup), relaxed(c.min_threshold),
                                                  relaxed(c.max_threshold));
        Ref value = Ref::steal(PyLong_FromLong(new_threshold));
        if (!value || PyDict_SetItem(q->_thresholds.get(), func_id, value.get()) < 0) return {};
        if (!guard.exit()) return {};
    }
    int enabled = pyext::log_enabled(10);
    if (enabled < 0) return {};
    if (!enabled) return pyext::none();  // logger.debug() would drop the message unseen
    Ref message = update_message(func_id, current_threshold, new_threshold, avg_speedup);
    if (!message || !pyext::log("debug", message.get())) return {};
    return pyext::none();
}

// The learned thresholds summed up: their number and exact sum, and the
// first smallest and the first largest of them.
struct ThresholdSummary {
    Py_ssize_t n = 0;
    int64_t sum = 0;    // the sum modulo 2**64 ...
    int64_t wraps = 0;  // ... and how often it wrapped (values of any size come through the referents)
    PyObject* lo = nullptr;  // borrowed from where the values are read
    PyObject* hi = nullptr;
    long lo_v = 0, hi_v = 0;

    // False with an error set.
    bool add(PyObject* value) {
        long v;
        if (!PyLong_Check(value) || !pyext::compact_long_value(value, v)) {
            v = PyLong_AsLong(value);
            if (v == -1 && PyErr_Occurred()) return false;
        }
        ++n;
        if (__builtin_add_overflow(sum, v, &sum)) wraps += v < 0 ? -1 : 1;
        if (!lo || v < lo_v) lo = value, lo_v = v;
        if (!hi || v > hi_v) hi = value, hi_v = v;
        return true;
    }
    __int128 total() const { return static_cast<__int128>(wraps) * (__int128{1} << 64) + sum; }
};

// sum / n by true division, correctly rounded: in doubles while the sum is
// exact in one, else with Python ints.
Ref mean_of(__int128 sum, Py_ssize_t n) {
    constexpr __int128 kExact = __int128{1} << 53;
    if (sum <= kExact && sum >= -kExact)
        return pyext::from_double(static_cast<double>(sum) / static_cast<double>(n));
    const bool negative = sum < 0;
    const unsigned __int128 m = negative ? -static_cast<unsigned __int128>(sum) : static_cast<unsigned __int128>(sum);
    Ref high = pyext::from_u64(static_cast<uint64_t>(m >> 64));
    Ref low = pyext::from_u64(static_cast<uint64_t>(m));
    Ref shift = Ref::steal(PyLong_FromLong(64));
    if (!high || !low || !shift) return {};
    Ref s = Ref::steal(PyNumber_Lshift(high.get(), shift.get()));
    if (!s || !(s = Ref::steal(PyNumber_Or(s.get(), low.get())))) return {};
    if (negative && !(s = Ref::steal(PyNumber_Negative(s.get())))) return {};
    Ref d = Ref::steal(PyLong_FromSsize_t(n));
    if (!d) return {};
    return Ref::steal(PyNumber_TrueDivide(s.get(), d.get()));
}

Ref Quendar_get_statistics(PyObject* self, PyObject* const*) {
    Quendar* q = policy(self);
    Ref lock = q->_lock;
    pyext::WithLock guard(lock.get());
    if (!guard) return {};
    PyObject* thresholds = q->_thresholds.get();
    ThresholdSummary s;
    Ref lo, hi;
    bool all_ints = true;
    {
        // The values are the ints that update() stored: read in place, in
        // one step (another thread may change the dict, which is also
        // reachable through the collector's referents).
        pyext::CriticalSection cs(thresholds);
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(thresholds, &pos, &key, &value)) {
            if (!PyLong_Check(value)) {
                all_ints = false;
                break;
            }
            if (!s.add(value)) return {};
        }
        if (all_ints) {
            lo = Ref::borrow(s.lo);
            hi = Ref::borrow(s.hi);
        }
    }
    if (!all_ints) {
        // Another value, put there through the referents, may run code when
        // converted (__index__): the values are copied and read from the copy.
        Ref values = Ref::steal(pyext::dict_values(thresholds));
        if (!values) return {};
        s = ThresholdSummary{};
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(values.get()); ++i)
            if (!s.add(PyList_GET_ITEM(values.get(), i))) return {};
        lo = Ref::borrow(s.lo);
        hi = Ref::borrow(s.hi);
    }
    Ref tracked = Ref::steal(PyLong_FromSsize_t(s.n));
    if (!tracked) return {};
    Ref avg;
    if (s.n == 0) {
        PyObject* config = q->_config.get();
        const CPolicyConfig& c = cfg(config);
        avg = config_int_property(config, PYEXT_STR("initial_threshold"), relaxed(c.initial_threshold));
        if (!avg) return {};
        lo = config_int_property(config, PYEXT_STR("min_threshold"), relaxed(c.min_threshold));
        if (!lo) return {};
        hi = config_int_property(config, PYEXT_STR("max_threshold"), relaxed(c.max_threshold));
        if (!hi) return {};
    } else if (!(avg = mean_of(s.total(), s.n))) {
        return {};
    }
    if (!guard.exit()) return {};
    Ref d = Ref::steal(PyDict_New());
    if (!d || PyDict_SetItem(d.get(), PYEXT_STR("tracked_functions"), tracked.get()) < 0 ||
        PyDict_SetItem(d.get(), PYEXT_STR("avg_threshold"), avg.get()) < 0 ||
        PyDict_SetItem(d.get(), PYEXT_STR("min_threshold"), lo.get()) < 0 ||
        PyDict_SetItem(d.get(), PYEXT_STR("max_threshold"), hi.get()) < 0)
        return {};
    return d;
}

const pyext::TypeDef<Quendar> quendar_def = {
    .name = "korvane.jit.quendar.Quendar",
    .doc = "Adaptive JIT threshold policy.\n"
           "\n"
           "Learns optimal compilation thresholds based on observed performance.\n"
           "Adapts per-function to workload characteristics.\n"
           "\n"
           "Usage:\n"
           "    policy = Quendar()\n"
           "    store.record_call(func_id)\n"
           "    if policy.should_compile(func_id, store):\n"
           "        speedup = ...  # compile the function and measure the gain\n"
           "        store.record_compile(func_id, speedup)\n"
           "        policy.update(func_id, store)\n"
           "\n"
           "Thread-safe: one lock per policy guards the learned thresholds and every\n"
           "read of the telemetry store, preventing TOCTOU race conditions.",
    .init = {opt("config", nullptr)},
    .construct = construct_policy,
    .methods = {
        {.name = "get_threshold", .impl = pyext::impl<Quendar_get_threshold>, .params = {req("func_id")},
         .doc = "Get current threshold for function.\n\n"
                "The learned threshold, or the configured initial threshold for a\n"
                "function that has none yet.  Thread-safe; target: <100ns (dict\n"
                "lookup with lock)."},
        {.name = "should_compile", .impl = pyext::impl<Quendar_should_compile>, .params = {req("func_id"), req("telemetry_store")},
         .doc = "Decide if function should be compiled.\n\n"
                "True once the call count reaches the function's threshold, for the\n"
                "first compilation or when the last one is at least ten minutes old.\n"
                "The threshold and the metrics are read under one lock (no TOCTOU\n"
                "race conditions).  Target: <1us (threshold check + metrics lookup)."},
        {.name = "update", .impl = pyext::impl<Quendar_update>, .params = {req("func_id"), req("telemetry_store")},
         .doc = "Update policy based on compilation outcome.\n\n"
                "Moves the function's threshold down when its average speedup beats\n"
                "the target and up otherwise, by a step that shrinks with each\n"
                "compilation, within the configured bounds.  Target: <1us (adaptive\n"
                "update)."},
        {.name = "get_statistics", .impl = pyext::impl<Quendar_get_statistics>,
         .doc = "Get policy statistics.\n\n"
                "tracked_functions, avg_threshold, min_threshold and max_threshold\n"
                "over the learned thresholds (the configuration's values while there\n"
                "are none).",
         .returns = "Dict"},
    },
    .properties = {{"config", Quendar_get_config, nullptr, "Get policy configuration.", nullptr}},
};

PyTypeObject* quendar_type() { return pyext::type_of<Quendar>(); }

// ------------------------------------------------------- module functions

// The process-wide policy (a Quendar or None).  _policy_lock serialises
// get_quendar and reset_quendar; the slot itself is read and replaced under
// g_policy_mutex as well, so that it stays sound whatever the module global
// `_policy_lock` holds (a stand-in that excludes nothing, or a lock put in
// place of the one another thread holds).
pyext::Global g_global_policy;
pyext::Mutex g_policy_mutex;

Ref current_policy() {
    pyext::MutexGuard m(g_policy_mutex);
    return g_global_policy.ref();
}

Ref py_get_quendar(PyObject*, PyObject* const*) {
    Ref lock = pyext::global(PYEXT_STR("_policy_lock"));
    if (!lock) return {};
    pyext::WithLock guard(lock.get());
    if (!guard) return {};
    Ref result = current_policy();
    if (result.get() == Py_None) {
        Ref p = Ref::steal(PyObject_CallNoArgs(reinterpret_cast<PyObject*>(quendar_type())));
        if (!p) return {};
        pyext::MutexGuard m(g_policy_mutex);
        if (g_global_policy.get() == Py_None)
            g_global_policy.set(p);  // the old value is None: nothing runs
        result = g_global_policy.ref();
    }
    if (!guard.exit()) return {};
    return result;
}

Ref py_reset_quendar(PyObject*, PyObject* const*) {
    Ref lock = pyext::global(PYEXT_STR("_policy_lock"));
    if (!lock) return {};
    Ref old;
    {
        pyext::WithLock guard(lock.get());
        if (!guard) return {};
        {
            pyext::MutexGuard m(g_policy_mutex);
            old = g_global_policy.exchange(pyext::none());  // released below, after the locks
        }
        if (!guard.exit()) return {};
    }
    old.reset();
    return pyext::none();
}

Ref float_arg(PyObject* o) {
    double d;
    if (!pyext::to_double(o, d)) return {};
    return pyext::from_double(d);
}

Ref py_create_function_metrics(PyObject*, PyObject* const* argv) {
    Ref v[5] = {pyext::coerce_int_arg(argv[0], "call_count")};
    if (!v[0]) return {};
    if (!(v[1] = pyext::coerce_int_arg(argv[1], "compile_count"))) return {};
    for (int i = 2; i < 5; ++i)
        if (!(v[i] = float_arg(argv[i]))) return {};
    PyObject* raw[5] = {v[0].get(), v[1].get(), v[2].get(), v[3].get(), v[4].get()};
    return pyext::call_by_keyword(reinterpret_cast<PyObject*>(function_metrics_type()),
                                  PYEXT_KWNAMES("call_count", "compile_count", "avg_speedup",
                                                "total_execution_time_ms", "last_compile_time"),
                                  raw);
}

Ref py_create_policy_config(PyObject*, PyObject* const* argv) {
    Ref v[5];
    int i = 0;
    for (const pyext::Param& p : kConfigParams) {
        v[i] = i < 3 ? pyext::coerce_int_arg(argv[i], p.name) : float_arg(argv[i]);
        if (!v[i++]) return {};
    }
    PyObject* raw[5] = {v[0].get(), v[1].get(), v[2].get(), v[3].get(), v[4].get()};
    return call_policy_config(raw);
}

// ------------------------------------------------------------------ module

bool exec_quendar() {
    if (!pyext::add_type(policy_config_def) || !pyext::add_type(function_metrics_def) ||
        !pyext::add_type(quendar_def))
        return false;
    g_global_policy.set(pyext::none());
    if (!pyext::import_as("time") || !pyext::import_as("logging") || !pyext::import_as("threading") ||
        !pyext::import_from("typing", "Dict") || !pyext::import_from("typing", "Optional") || !pyext::bind_logger())
        return false;
    Ref lock = pyext::new_lock();
    if (!lock || !pyext::set_global("_policy_lock", lock.get())) return false;
    return pyext::add_functions({
        {.name = "get_quendar", .impl = pyext::impl<py_get_quendar>,
         .doc = "Get the process-wide Quendar, creating it on first use (thread-safe).", .returns = "Quendar"},
        {.name = "reset_quendar", .impl = pyext::impl<py_reset_quendar>,
         .doc = "Drop the process-wide Quendar; the next get_quendar() creates a fresh one.\n\n"
                "Policies handed out earlier stay usable."},
        {.name = "create_function_metrics", .impl = pyext::impl<py_create_function_metrics>,
         .params = {opt("call_count", 0, "int"), opt("compile_count", 0, "int"), opt("avg_speedup", 1.0, "float"),
                    opt("total_execution_time_ms", 0.0, "float"), opt("last_compile_time", 0.0, "float")},
         .doc = "Factory function to create FunctionMetrics.\n\n"
                "Provides a Python-friendly interface for creating metrics objects.",
         .returns = "FunctionMetrics"},
        {.name = "create_policy_config", .impl = pyext::impl<py_create_policy_config>, .params = kConfigParams,
         .doc = "Factory function to create PolicyConfig.\n\n"
                "Provides a Python-friendly interface for creating config objects.",
         .returns = "PolicyConfig"},
    });
}

}  // namespace

PYEXT_MODULE(quendar, {.fullname = "korvane.jit.quendar",
                       .exec = exec_quendar,
                       .doc = "Adaptive JIT threshold policy.\n"
                              "\n"
                              "Dynamically adjusts compilation thresholds based on observed performance.\n"
                              "Reduces compilation attempts while maximizing benefit.",
                       .load_message = "Korvane Quendar Cython module loaded - IP protected"})
