// korvane.jit.quendar: the adaptive compilation policy.  Decides per
// function when the JIT compiles it (and when it may compile it again) and
// learns a per-function call-count threshold from the measured speedups.
#include "pyext/pyext.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>

using pyext::Param;
using pyext::Ref;

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

// --------------------------------------------------------------- PolicyConfig

struct CPolicyConfig {
    int32_t initial_threshold;
    int32_t min_threshold;
    int32_t max_threshold;
    double learning_rate;
    double target_speedup;
};

struct PolicyConfigObject;

// Native method table, in slot order; plain field reads, no checks.
struct PolicyConfigVTable {
    int32_t (*get_initial_threshold_fast)(PolicyConfigObject*);
    int32_t (*get_min_threshold_fast)(PolicyConfigObject*);
    int32_t (*get_max_threshold_fast)(PolicyConfigObject*);
    double (*get_learning_rate_fast)(PolicyConfigObject*);
    double (*get_target_speedup_fast)(PolicyConfigObject*);
};

struct PolicyConfigObject {
    PyObject_HEAD
    const PolicyConfigVTable* vtab;
    CPolicyConfig _config;
};

const PolicyConfigVTable policy_config_vtable = {
    [](PolicyConfigObject* c) { return c->_config.initial_threshold; },
    [](PolicyConfigObject* c) { return c->_config.min_threshold; },
    [](PolicyConfigObject* c) { return c->_config.max_threshold; },
    [](PolicyConfigObject* c) { return c->_config.learning_rate; },
    [](PolicyConfigObject* c) { return c->_config.target_speedup; },
};

PyTypeObject* PolicyConfig_Type = nullptr;

inline CPolicyConfig& cfg(PyObject* self) { return reinterpret_cast<PolicyConfigObject*>(self)->_config; }

// The first failing rule, or null when the values are acceptable.
const char* validate_config(const CPolicyConfig& c) {
    if (c.min_threshold <= 0) return "min_threshold must be positive";
    if (c.min_threshold >= c.max_threshold) return "max_threshold must be greater than min_threshold";
    // Written as "not inside", so that NaN is refused too.
    if (!(c.learning_rate > 0.0 && c.learning_rate <= 1.0)) return "learning_rate must be in (0, 1]";
    if (!(c.target_speedup > 0.0)) return "target_speedup must be positive";
    if (c.initial_threshold < c.min_threshold || c.initial_threshold > c.max_threshold)
        return "initial_threshold must be within bounds";
    return nullptr;
}

PyObject* PolicyConfig_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
    static pyext::ArgSpec spec("__cinit__",
                               {"initial_threshold", "min_threshold", "max_threshold", "learning_rate",
                                "target_speedup"},
                               0);
    PyObject* argv[5];
    if (!spec.ok() || !spec.parse(args, kwds, argv)) return nullptr;
    CPolicyConfig c = {100, 10, 10000, 0.1, 2.0};
    if ((argv[0] && !pyext::to_i32(argv[0], c.initial_threshold)) ||
        (argv[1] && !pyext::to_i32(argv[1], c.min_threshold)) ||
        (argv[2] && !pyext::to_i32(argv[2], c.max_threshold)) ||
        (argv[3] && !pyext::to_double(argv[3], c.learning_rate)) ||
        (argv[4] && !pyext::to_double(argv[4], c.target_speedup)))
        return nullptr;
    if (const char* err = validate_config(c)) {
        PyErr_SetString(PyExc_ValueError, err);
        return nullptr;
    }
    PyObject* self = type->tp_alloc(type, 0);
    if (!self) return nullptr;
    auto* o = reinterpret_cast<PolicyConfigObject*>(self);
    o->vtab = &policy_config_vtable;
    o->_config = c;
    return self;
}

void plain_dealloc(PyObject* self) {
    PyTypeObject* tp = Py_TYPE(self);
    tp->tp_free(self);
    Py_DECREF(tp);
}

int32_t& pc_initial(PyObject* s) { return cfg(s).initial_threshold; }
int32_t& pc_min(PyObject* s) { return cfg(s).min_threshold; }
int32_t& pc_max(PyObject* s) { return cfg(s).max_threshold; }
double& pc_rate(PyObject* s) { return cfg(s).learning_rate; }
double& pc_target(PyObject* s) { return cfg(s).target_speedup; }

PyGetSetDef PolicyConfig_getset[] = {
    pyext::field_property<int32_t, pc_initial>("initial_threshold"),
    pyext::field_property<int32_t, pc_min>("min_threshold"),
    pyext::field_property<int32_t, pc_max>("max_threshold"),
    pyext::field_property<double, pc_rate>("learning_rate"),
    pyext::field_property<double, pc_target>("target_speedup"),
    {nullptr},
};

PyType_Slot PolicyConfig_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(PolicyConfig_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(plain_dealloc)},
    {Py_tp_getset, PolicyConfig_getset},
    {Py_tp_doc, const_cast<char*>(
                    "PolicyConfig(initial_threshold=100, min_threshold=10, max_threshold=10000, "
                    "learning_rate=0.1, target_speedup=2.0)\n--\n\n"
                    "Configuration of the adaptive threshold policy.\n"
                    "\n"
                    "PolicyConfig(initial_threshold=100, min_threshold=10, max_threshold=10000,\n"
                    "             learning_rate=0.1, target_speedup=2.0)\n"
                    "\n"
                    "The constructor validates the values; the properties store what they are\n"
                    "given, and the policy uses the values as they stand.")},
    {0, nullptr},
};

PyType_Spec PolicyConfig_spec = {
    "korvane.jit.quendar.PolicyConfig",
    sizeof(PolicyConfigObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,
    PolicyConfig_slots,
};

// ------------------------------------------------------------ FunctionMetrics

struct CFunctionMetrics {
    uint64_t call_count;
    uint32_t compile_count;
    double avg_speedup;
    double total_execution_time_ms;
    double last_compiled;
};

struct FunctionMetricsObject;

struct FunctionMetricsVTable {
    uint64_t (*get_call_count_fast)(FunctionMetricsObject*);
    uint32_t (*get_compile_count_fast)(FunctionMetricsObject*);
    double (*get_avg_speedup_fast)(FunctionMetricsObject*);
    double (*get_last_compiled_fast)(FunctionMetricsObject*);
};

struct FunctionMetricsObject {
    PyObject_HEAD
    const FunctionMetricsVTable* vtab;
    CFunctionMetrics _metrics;
};

const FunctionMetricsVTable function_metrics_vtable = {
    [](FunctionMetricsObject* m) { return m->_metrics.call_count; },
    [](FunctionMetricsObject* m) { return m->_metrics.compile_count; },
    [](FunctionMetricsObject* m) { return m->_metrics.avg_speedup; },
    [](FunctionMetricsObject* m) { return m->_metrics.last_compiled; },
};

PyTypeObject* FunctionMetrics_Type = nullptr;

inline CFunctionMetrics& met(PyObject* self) { return reinterpret_cast<FunctionMetricsObject*>(self)->_metrics; }

PyObject* FunctionMetrics_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
    static pyext::ArgSpec spec("__cinit__",
                               {"call_count", "compile_count", "avg_speedup", "total_execution_time_ms",
                                "last_compile_time", "last_compiled"},
                               0);
    PyObject* argv[6];
    if (!spec.ok() || !spec.parse(args, kwds, argv)) return nullptr;
    CFunctionMetrics m = {0, 0, 1.0, 0.0, 0.0};
    double last_compile_time = 0.0;
    double last_compiled = -1.0;  // "not given"
    if ((argv[0] && !pyext::to_u64(argv[0], m.call_count)) ||
        (argv[1] && !pyext::to_u32(argv[1], m.compile_count)) ||
        (argv[2] && !pyext::to_double(argv[2], m.avg_speedup)) ||
        (argv[3] && !pyext::to_double(argv[3], m.total_execution_time_ms)) ||
        (argv[4] && !pyext::to_double(argv[4], last_compile_time)) ||
        (argv[5] && !pyext::to_double(argv[5], last_compiled)))
        return nullptr;
    m.last_compiled = (argv[5] && last_compiled >= 0.0) ? last_compiled : last_compile_time;
    PyObject* self = type->tp_alloc(type, 0);
    if (!self) return nullptr;
    auto* o = reinterpret_cast<FunctionMetricsObject*>(self);
    o->vtab = &function_metrics_vtable;
    o->_metrics = m;
    return self;
}

uint64_t& fm_calls(PyObject* s) { return met(s).call_count; }
uint32_t& fm_compiles(PyObject* s) { return met(s).compile_count; }
double& fm_speedup(PyObject* s) { return met(s).avg_speedup; }
double& fm_total(PyObject* s) { return met(s).total_execution_time_ms; }
double& fm_stamp(PyObject* s) { return met(s).last_compiled; }

PyGetSetDef FunctionMetrics_getset[] = {
    pyext::field_property<uint64_t, fm_calls>("call_count"),
    pyext::field_property<uint32_t, fm_compiles>("compile_count"),
    pyext::field_property<double, fm_speedup>("avg_speedup"),
    pyext::field_property<double, fm_total>("total_execution_time_ms"),
    pyext::field_property<double, fm_stamp>("last_compiled",
                                            "Timestamp of last compilation (matches TelemetryStore interface)."),
    pyext::field_property<double, fm_stamp>("last_compile_time", "Alias for last_compiled for backward compatibility."),
    {nullptr},
};

PyType_Slot FunctionMetrics_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(FunctionMetrics_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(plain_dealloc)},
    {Py_tp_getset, FunctionMetrics_getset},
    {Py_tp_doc, const_cast<char*>(
                    "FunctionMetrics(call_count=0, compile_count=0, avg_speedup=1.0, "
                    "total_execution_time_ms=0.0, last_compile_time=0.0, last_compiled=-1.0)\n--\n\n"
                    "Metrics for a function's execution and compilation.\n"
                    "\n"
                    "Attributes:\n"
                    "    call_count: number of times the function has been called\n"
                    "    compile_count: number of times the function has been compiled\n"
                    "    avg_speedup: average speedup obtained from compilation, as a factor\n"
                    "    total_execution_time_ms: total execution time in milliseconds\n"
                    "    last_compiled: wall-clock time of the last compilation (time.time() scale)\n"
                    "    last_compile_time: the same timestamp under its older name")},
    {0, nullptr},
};

PyType_Spec FunctionMetrics_spec = {
    "korvane.jit.quendar.FunctionMetrics",
    sizeof(FunctionMetricsObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,
    FunctionMetrics_slots,
};

// -------------------------------------------------------------------- Quendar

struct QuendarObject;

struct QuendarVTable {
    // -1 with an error set on failure.
    int32_t (*_get_threshold_fast)(QuendarObject*, PyObject* func_id);
};

struct QuendarObject {
    PyObject_HEAD
    const QuendarVTable* vtab;
    PyObject* _config;      // PolicyConfig (or a subclass instance)
    PyObject* _thresholds;  // dict: func_id -> int
    PyObject* _lock;        // threading.Lock
    double _recompile_interval;
};

PyTypeObject* Quendar_Type = nullptr;

inline QuendarObject* policy(PyObject* self) { return reinterpret_cast<QuendarObject*>(self); }

// Callers hold _lock.
int32_t get_threshold_fast(QuendarObject* q, PyObject* func_id) {
    PyObject* v = PyDict_GetItemWithError(q->_thresholds, func_id);
    if (!v) {
        if (PyErr_Occurred()) return -1;
        return cfg(q->_config).initial_threshold;
    }
    int32_t t;
    if (!pyext::to_i32(v, t)) return -1;
    return t;
}

const QuendarVTable quendar_vtable = {get_threshold_fast};

// A policy whose fields the garbage collector cleared (while breaking a
// reference cycle) answers no more calls.
bool check_alive(QuendarObject* q) {
    if (q->_config && q->_thresholds && q->_lock) return true;
    PyErr_SetString(PyExc_ReferenceError, "Quendar state was released by the garbage collector");
    return false;
}

// `func_id` must be a str or None.
inline bool check_func_id(PyObject* func_id) {
    return PyUnicode_CheckExact(func_id) || pyext::check_arg_type(func_id, &PyUnicode_Type, "func_id", true);
}

// A property of the configuration, as Python reads it; the native field
// directly when the configuration's type is PolicyConfig itself.
Ref config_int_property(PyObject* config, PyObject* name, int32_t field) {
    if (Py_IS_TYPE(config, PolicyConfig_Type)) return Ref::steal(PyLong_FromLong(field));
    return Ref::steal(PyObject_GetAttr(config, name));
}

// PolicyConfig(initial_threshold=..., ..., target_speedup=...) by keyword.
Ref call_policy_config(PyObject* const values[5]) {
    static PyObject* kwnames = nullptr;
    if (!kwnames) {
        kwnames = Py_BuildValue("(sssss)", "initial_threshold", "min_threshold", "max_threshold", "learning_rate",
                                "target_speedup");
        if (!kwnames) return {};
    }
    return Ref::steal(PyObject_Vectorcall(reinterpret_cast<PyObject*>(PolicyConfig_Type), values, 0, kwnames));
}

// The configuration a Quendar uses for its `config` argument.
Ref policy_config_from(PyObject* config) {
    if (config == Py_None) return Ref::steal(PyObject_CallNoArgs(reinterpret_cast<PyObject*>(PolicyConfig_Type)));
    if (PyObject_TypeCheck(config, PolicyConfig_Type)) return Ref::borrow(config);
    // Duck-typed: the five attributes, each with its default.
    struct Attr {
        const char* name;
        Ref dflt;
    };
    Attr attrs[5] = {{"initial_threshold", Ref::steal(PyLong_FromLong(100))},
                     {"min_threshold", Ref::steal(PyLong_FromLong(10))},
                     {"max_threshold", Ref::steal(PyLong_FromLong(10000))},
                     {"learning_rate", Ref::steal(PyFloat_FromDouble(0.1))},
                     {"target_speedup", Ref::steal(PyFloat_FromDouble(2.0))}};
    Ref values[5];
    PyObject* raw[5];
    for (int i = 0; i < 5; ++i) {
        if (!attrs[i].dflt) return {};
        Ref name = Ref::steal(PyUnicode_InternFromString(attrs[i].name));
        if (!name) return {};
        PyObject* v = nullptr;
        int found = pyext::get_optional_attr(config, name.get(), &v);
        if (found < 0) return {};
        values[i] = found ? Ref::steal(v) : attrs[i].dflt;
        raw[i] = values[i].get();
    }
    return call_policy_config(raw);
}

PyObject* Quendar_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
    static pyext::ArgSpec spec("__cinit__", {"config"}, 0);
    PyObject* argv[1];
    if (!spec.ok() || !spec.parse(args, kwds, argv)) return nullptr;
    Ref config = policy_config_from(argv[0] ? argv[0] : Py_None);
    if (!config) return nullptr;
    Ref thresholds = Ref::steal(PyDict_New());
    if (!thresholds) return nullptr;
    Ref threading = pyext::global(PYEXT_STR("threading"));
    if (!threading) return nullptr;
    Ref lock = pyext::call_method(threading.get(), PYEXT_STR("Lock"));
    if (!lock) return nullptr;
    PyObject* self = type->tp_alloc(type, 0);
    if (!self) return nullptr;
    QuendarObject* q = policy(self);
    q->vtab = &quendar_vtable;
    q->_config = config.release();
    q->_thresholds = thresholds.release();
    q->_lock = lock.release();
    q->_recompile_interval = kRecompileInterval;
    return self;
}

int Quendar_traverse(PyObject* self, visitproc visit, void* arg) {
    QuendarObject* q = policy(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(q->_config);
    Py_VISIT(q->_thresholds);
    Py_VISIT(q->_lock);
    return 0;
}

int Quendar_clear(PyObject* self) {
    QuendarObject* q = policy(self);
    Py_CLEAR(q->_config);
    Py_CLEAR(q->_thresholds);
    Py_CLEAR(q->_lock);
    return 0;
}

void Quendar_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    Quendar_clear(self);
    PyTypeObject* tp = Py_TYPE(self);
    tp->tp_free(self);
    Py_DECREF(tp);
}

PyObject* Quendar_get_config(PyObject* self, void*) {
    PyObject* c = policy(self)->_config;
    return Py_NewRef(c ? c : Py_None);
}

PyGetSetDef Quendar_getset[] = {
    {"config", Quendar_get_config, nullptr, "Get policy configuration.", nullptr},
    {nullptr},
};

// The metrics the policy reads from one record; the record's own fields when
// it is a FunctionMetrics (whose type is frozen, so its properties cannot
// have been replaced), otherwise attribute reads converted in order.
bool read_decision_metrics(PyObject* m, uint64_t& calls, uint32_t& compiles, double& speedup, double& stamp) {
    if (Py_IS_TYPE(m, FunctionMetrics_Type)) {
        const CFunctionMetrics& f = met(m);
        calls = f.call_count;
        compiles = f.compile_count;
        speedup = f.avg_speedup;
        stamp = f.last_compiled;
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
    Ref now;
    PyObject* fn = nullptr;
    if (PyModule_CheckExact(time_mod.get())) {
        // A module's attribute is its dict entry (the module type has no
        // attribute of that name to take precedence).
        fn = PyDict_GetItemWithError(PyModule_GetDict(time_mod.get()), PYEXT_STR("time"));
        if (!fn && PyErr_Occurred()) return false;
    }
    now = fn ? pyext::call(fn) : pyext::call_method(time_mod.get(), PYEXT_STR("time"));
    return now && pyext::to_double(now.get(), out);
}

inline Ref get_metrics(PyObject* store, PyObject* func_id) {
    return pyext::call_method(store, PYEXT_STR("get_metrics"), func_id);
}

PyObject* Quendar_get_threshold(PyObject* self, PyObject* const* argv) {
    PyObject* func_id = argv[0];
    if (!check_func_id(func_id)) return nullptr;
    QuendarObject* q = policy(self);
    if (!check_alive(q)) return nullptr;
    Ref lock = Ref::borrow(q->_lock);
    pyext::WithLock guard(lock.get());
    if (!guard) return nullptr;
    PyObject* v = PyDict_GetItemWithError(q->_thresholds, func_id);
    Ref result;
    if (v) {
        result = Ref::borrow(v);
    } else {
        if (PyErr_Occurred()) return nullptr;
        result = config_int_property(q->_config, PYEXT_STR("initial_threshold"), cfg(q->_config).initial_threshold);
        if (!result) return nullptr;
    }
    if (!guard.exit()) return nullptr;
    return result.release();
}

PyObject* Quendar_should_compile(PyObject* self, PyObject* const* argv) {
    PyObject* func_id = argv[0];
    PyObject* store = argv[1];
    if (!check_func_id(func_id)) return nullptr;
    QuendarObject* q = policy(self);
    if (!check_alive(q)) return nullptr;

    double current_time = 0.0;
    if (!wall_clock(current_time)) return nullptr;

    int32_t threshold;
    uint64_t call_count;
    uint32_t compile_count;
    double avg_speedup, last_compiled;
    Ref lock = Ref::borrow(q->_lock);
    {
        pyext::WithLock guard(lock.get());
        if (!guard) return nullptr;
        threshold = get_threshold_fast(q, func_id);
        if (threshold == -1 && PyErr_Occurred()) return nullptr;
        Ref metrics = get_metrics(store, func_id);
        if (!metrics) return nullptr;
        if (!read_decision_metrics(metrics.get(), call_count, compile_count, avg_speedup, last_compiled))
            return nullptr;
        if (!guard.exit()) return nullptr;
    }
    (void)avg_speedup;  // read (and its conversion checked) with the rest; the decision does not need it
    return pyext::from_bool(should_compile_check(call_count, compile_count, threshold, last_compiled, current_time,
                                                 q->_recompile_interval));
}

// "Updated threshold for <func_id>: <old> -> <new> (speedup: <speedup:.2f>x)"
Ref update_message(PyObject* func_id, int32_t current, int32_t next, double speedup) {
    char* speedup_text = PyOS_double_to_string(speedup, 'f', 2, 0, nullptr);
    if (!speedup_text) return {};
    const char* id = "None";
    Py_ssize_t id_len = 4;
    if (func_id != Py_None) {
        id = PyUnicode_AsUTF8AndSize(func_id, &id_len);
        if (!id) {  // lone surrogates have no UTF-8 form; let the formatter copy the str
            PyErr_Clear();
            Ref m = Ref::steal(PyUnicode_FromFormat("Updated threshold for %S: %d -> %d (speedup: %sx)", func_id,
                                                    static_cast<int>(current), static_cast<int>(next), speedup_text));
            PyMem_Free(speedup_text);
            return m;
        }
    }
    // Built in an interpreter buffer: an allocation failure is a
    // MemoryError, never a C++ exception.
    static constexpr char kHead[] = "Updated threshold for ";
    constexpr size_t head = sizeof kHead - 1;
    const size_t tail = 64 + std::strlen(speedup_text);  // ": %d -> %d (speedup: %sx)"
    char* text = static_cast<char*>(PyMem_Malloc(head + static_cast<size_t>(id_len) + tail));
    if (!text) {
        PyMem_Free(speedup_text);
        PyErr_NoMemory();
        return {};
    }
    std::memcpy(text, kHead, head);
    std::memcpy(text + head, id, static_cast<size_t>(id_len));
    size_t len = head + static_cast<size_t>(id_len);
    len += static_cast<size_t>(PyOS_snprintf(text + len, tail, ": %d -> %d (speedup: %sx)", static_cast<int>(current),
                                             static_cast<int>(next), speedup_text));
    PyMem_Free(speedup_text);
    Ref m = Ref::steal(PyUnicode_DecodeUTF8(text, static_cast<Py_ssize_t>(len), nullptr));
    PyMem_Free(text);
    return m;
}

PyObject* Quendar_update(PyObject* self, PyObject* const* argv) {
    PyObject* func_id = argv[0];
    PyObject* store = argv[1];
    if (!check_func_id(func_id)) return nullptr;
    QuendarObject* q = policy(self);
    if (!check_alive(q)) return nullptr;

    int32_t current_threshold, new_threshold;
    double avg_speedup;
    Ref lock = Ref::borrow(q->_lock);
    {
        pyext::WithLock guard(lock.get());
        if (!guard) return nullptr;
        Ref metrics = get_metrics(store, func_id);
        if (!metrics) return nullptr;
        PyObject* m = metrics.get();
        uint32_t compile_count;
        if (Py_IS_TYPE(m, FunctionMetrics_Type)) {
            if (met(m).compile_count == 0) {
                if (!guard.exit()) return nullptr;
                Py_RETURN_NONE;
            }
            current_threshold = get_threshold_fast(q, func_id);
            if (current_threshold == -1 && PyErr_Occurred()) return nullptr;
            compile_count = met(m).compile_count;
            avg_speedup = met(m).avg_speedup;
        } else {
            Ref first = Ref::steal(PyObject_GetAttr(m, PYEXT_STR("compile_count")));
            if (!first) return nullptr;
            Ref zero = Ref::steal(PyLong_FromLong(0));
            if (!zero) return nullptr;
            int never = PyObject_RichCompareBool(first.get(), zero.get(), Py_EQ);
            if (never < 0) return nullptr;
            if (never) {
                if (!guard.exit()) return nullptr;
                Py_RETURN_NONE;
            }
            current_threshold = get_threshold_fast(q, func_id);
            if (current_threshold == -1 && PyErr_Occurred()) return nullptr;
            Ref v = Ref::steal(PyObject_GetAttr(m, PYEXT_STR("compile_count")));
            if (!v || !pyext::to_u32(v.get(), compile_count)) return nullptr;
            v = Ref::steal(PyObject_GetAttr(m, PYEXT_STR("avg_speedup")));
            if (!v || !pyext::to_double(v.get(), avg_speedup)) return nullptr;
        }
        const CPolicyConfig& c = cfg(q->_config);
        new_threshold = adaptive_threshold_update(current_threshold, avg_speedup, compile_count, c.learning_rate,
                                                  c.target_speedup, c.min_threshold, c.max_threshold);
        Ref value = Ref::steal(PyLong_FromLong(new_threshold));
        if (!value || PyDict_SetItem(q->_thresholds, func_id, value.get()) < 0) return nullptr;
        if (!guard.exit()) return nullptr;
    }
    int enabled = pyext::log_enabled(10);
    if (enabled < 0) return nullptr;
    if (!enabled) Py_RETURN_NONE;  // logger.debug() would drop the message unseen
    Ref message = update_message(func_id, current_threshold, new_threshold, avg_speedup);
    if (!message || !pyext::log("debug", message.get())) return nullptr;
    Py_RETURN_NONE;
}

PyObject* Quendar_get_statistics(PyObject* self, PyObject* const*) {
    QuendarObject* q = policy(self);
    if (!check_alive(q)) return nullptr;
    Ref lock = Ref::borrow(q->_lock);
    pyext::WithLock guard(lock.get());
    if (!guard) return nullptr;
    Ref tracked, avg, lo, hi;
    Py_ssize_t n = PyDict_GET_SIZE(q->_thresholds);
    if (n == 0) {
        const CPolicyConfig& c = cfg(q->_config);
        tracked = Ref::steal(PyLong_FromLong(0));
        if (!tracked) return nullptr;
        avg = config_int_property(q->_config, PYEXT_STR("initial_threshold"), c.initial_threshold);
        if (!avg) return nullptr;
        lo = config_int_property(q->_config, PYEXT_STR("min_threshold"), c.min_threshold);
        if (!lo) return nullptr;
        hi = config_int_property(q->_config, PYEXT_STR("max_threshold"), c.max_threshold);
        if (!hi) return nullptr;
    } else {
        // The values are ints that update() stored, each within int32.
        int64_t sum = 0;
        PyObject *key, *value, *min_obj = nullptr, *max_obj = nullptr;
        long min_v = 0, max_v = 0;
        Py_ssize_t pos = 0;
        while (PyDict_Next(q->_thresholds, &pos, &key, &value)) {
            long v = PyLong_AsLong(value);
            if (v == -1 && PyErr_Occurred()) return nullptr;
            sum += v;
            if (!min_obj || v < min_v) min_obj = value, min_v = v;
            if (!max_obj || v > max_v) max_obj = value, max_v = v;
        }
        lo = Ref::borrow(min_obj);
        hi = Ref::borrow(max_obj);
        tracked = Ref::steal(PyLong_FromSsize_t(n));
        if (!tracked) return nullptr;
        constexpr int64_t kExact = int64_t{1} << 53;  // sums beyond this are not exact in a double
        if (sum <= kExact && sum >= -kExact) {
            avg = Ref::steal(PyFloat_FromDouble(static_cast<double>(sum) / static_cast<double>(n)));
        } else {
            Ref s = Ref::steal(PyLong_FromLongLong(sum));
            Ref d = Ref::steal(PyLong_FromSsize_t(n));
            if (!s || !d) return nullptr;
            avg = Ref::steal(PyNumber_TrueDivide(s.get(), d.get()));
        }
        if (!avg) return nullptr;
    }
    if (!guard.exit()) return nullptr;
    Ref d = Ref::steal(PyDict_New());
    if (!d || PyDict_SetItem(d.get(), PYEXT_STR("tracked_functions"), tracked.get()) < 0 ||
        PyDict_SetItem(d.get(), PYEXT_STR("avg_threshold"), avg.get()) < 0 ||
        PyDict_SetItem(d.get(), PYEXT_STR("min_threshold"), lo.get()) < 0 ||
        PyDict_SetItem(d.get(), PYEXT_STR("max_threshold"), hi.get()) < 0)
        return nullptr;
    return d.release();
}

PyType_Slot Quendar_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(Quendar_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(Quendar_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(Quendar_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(Quendar_clear)},
    {Py_tp_getset, Quendar_getset},
    {Py_tp_doc, const_cast<char*>(
                    "Quendar(config=None)\n--\n\n"
                    "Adaptive JIT threshold policy.\n"
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
                    "read of the telemetry store, preventing TOCTOU race conditions.")},
    {0, nullptr},
};

PyType_Spec Quendar_spec = {
    "korvane.jit.quendar.Quendar",
    sizeof(QuendarObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    Quendar_slots,
};

bool attach_quendar_methods() {
    PyTypeObject* t = Quendar_Type;
    return pyext::add_method(t, {.name = "get_threshold", .impl = Quendar_get_threshold,
                                 .params = {Param::req("func_id")},
                                 .doc = "Get current threshold for function.\n\n"
                                        "The learned threshold, or the configured initial threshold for a\n"
                                        "function that has none yet.  Thread-safe; target: <100ns (dict\n"
                                        "lookup with lock)."}) &&
           pyext::add_method(t, {.name = "should_compile", .impl = Quendar_should_compile,
                                 .params = {Param::req("func_id"), Param::req("telemetry_store")},
                                 .doc = "Decide if function should be compiled.\n\n"
                                        "True once the call count reaches the function's threshold, for the\n"
                                        "first compilation or when the last one is at least ten minutes old.\n"
                                        "The threshold and the metrics are read under one lock (no TOCTOU\n"
                                        "race conditions).  Target: <1us (threshold check + metrics lookup)."}) &&
           pyext::add_method(t, {.name = "update", .impl = Quendar_update,
                                 .params = {Param::req("func_id"), Param::req("telemetry_store")},
                                 .doc = "Update policy based on compilation outcome.\n\n"
                                        "Moves the function's threshold down when its average speedup beats\n"
                                        "the target and up otherwise, by a step that shrinks with each\n"
                                        "compilation, within the configured bounds.  Target: <1us (adaptive\n"
                                        "update)."}) &&
           pyext::add_method(t, {.name = "get_statistics", .impl = Quendar_get_statistics,
                                 .doc = "Get policy statistics.\n\n"
                                        "tracked_functions, avg_threshold, min_threshold and max_threshold\n"
                                        "over the learned thresholds (the configuration's values while there\n"
                                        "are none).",
                                 .returns = "Dict"});
}

// ------------------------------------------------------- module functions

// The process-wide policy (a Quendar or None), guarded by _policy_lock.
PyObject* g_global_policy = nullptr;

void set_global_policy(PyObject* value) {
    PyObject* old = g_global_policy;
    g_global_policy = Py_NewRef(value);
    Py_XDECREF(old);
}

PyObject* py_get_quendar(PyObject*, PyObject* const*) {
    Ref lock = pyext::global(PYEXT_STR("_policy_lock"));
    if (!lock) return nullptr;
    pyext::WithLock guard(lock.get());
    if (!guard) return nullptr;
    if (g_global_policy == Py_None) {
        Ref p = Ref::steal(PyObject_CallNoArgs(reinterpret_cast<PyObject*>(Quendar_Type)));
        if (!p) return nullptr;
        set_global_policy(p.get());  // the old value is None: nothing runs
    }
    Ref result = Ref::borrow(g_global_policy);
    if (!guard.exit()) return nullptr;
    return result.release();
}

PyObject* py_reset_quendar(PyObject*, PyObject* const*) {
    Ref lock = pyext::global(PYEXT_STR("_policy_lock"));
    if (!lock) return nullptr;
    Ref old;
    {
        pyext::WithLock guard(lock.get());
        if (!guard) return nullptr;
        old = Ref::steal(g_global_policy);  // released below, after the lock
        g_global_policy = Py_NewRef(Py_None);
        if (!guard.exit()) return nullptr;
    }
    old.reset();
    Py_RETURN_NONE;
}

// Keyword call of `type` with the given names and values.
Ref call_by_keyword(PyTypeObject* type, PyObject* kwnames, PyObject* const* values) {
    return Ref::steal(PyObject_Vectorcall(reinterpret_cast<PyObject*>(type), values, 0, kwnames));
}

Ref float_arg(PyObject* o) {
    double d;
    if (!pyext::to_double(o, d)) return {};
    return Ref::steal(PyFloat_FromDouble(d));
}

PyObject* py_create_function_metrics(PyObject*, PyObject* const* argv) {
    static PyObject* kwnames = nullptr;
    if (!kwnames) {
        kwnames = Py_BuildValue("(sssss)", "call_count", "compile_count", "avg_speedup", "total_execution_time_ms",
                                "last_compile_time");
        if (!kwnames) return nullptr;
    }
    Ref v[5] = {pyext::coerce_int_arg(argv[0], "call_count")};
    if (!v[0]) return nullptr;
    if (!(v[1] = pyext::coerce_int_arg(argv[1], "compile_count"))) return nullptr;
    for (int i = 2; i < 5; ++i)
        if (!(v[i] = float_arg(argv[i]))) return nullptr;
    PyObject* raw[5] = {v[0].get(), v[1].get(), v[2].get(), v[3].get(), v[4].get()};
    return call_by_keyword(FunctionMetrics_Type, kwnames, raw).release();
}

PyObject* py_create_policy_config(PyObject*, PyObject* const* argv) {
    static const char* const names[3] = {"initial_threshold", "min_threshold", "max_threshold"};
    Ref v[5];
    for (int i = 0; i < 3; ++i)
        if (!(v[i] = pyext::coerce_int_arg(argv[i], names[i]))) return nullptr;
    for (int i = 3; i < 5; ++i)
        if (!(v[i] = float_arg(argv[i]))) return nullptr;
    PyObject* raw[5] = {v[0].get(), v[1].get(), v[2].get(), v[3].get(), v[4].get()};
    return call_policy_config(raw).release();
}

bool add_module_functions(PyObject* m) {
    Ref i0 = Ref::steal(PyLong_FromLong(0));
    Ref i10 = Ref::steal(PyLong_FromLong(10));
    Ref i100 = Ref::steal(PyLong_FromLong(100));
    Ref i10000 = Ref::steal(PyLong_FromLong(10000));
    Ref f0 = Ref::steal(PyFloat_FromDouble(0.0));
    Ref f01 = Ref::steal(PyFloat_FromDouble(0.1));
    Ref f1 = Ref::steal(PyFloat_FromDouble(1.0));
    Ref f2 = Ref::steal(PyFloat_FromDouble(2.0));
    if (!i0 || !i10 || !i100 || !i10000 || !f0 || !f01 || !f1 || !f2) return false;
    return pyext::add_function(m, {.name = "get_quendar", .impl = py_get_quendar,
                                   .doc = "Get the process-wide Quendar, creating it on first use (thread-safe).",
                                   .returns = "Quendar"}) &&
           pyext::add_function(m, {.name = "reset_quendar", .impl = py_reset_quendar,
                                   .doc = "Drop the process-wide Quendar; the next get_quendar() creates a "
                                          "fresh one.\n\nPolicies handed out earlier stay usable."}) &&
           pyext::add_function(m, {.name = "create_function_metrics", .impl = py_create_function_metrics,
                                   .params = {Param::opt("call_count", i0.get(), "int"),
                                              Param::opt("compile_count", i0.get(), "int"),
                                              Param::opt("avg_speedup", f1.get(), "float"),
                                              Param::opt("total_execution_time_ms", f0.get(), "float"),
                                              Param::opt("last_compile_time", f0.get(), "float")},
                                   .doc = "Factory function to create FunctionMetrics.\n\n"
                                          "Provides a Python-friendly interface for creating metrics objects.",
                                   .returns = "FunctionMetrics"}) &&
           pyext::add_function(m, {.name = "create_policy_config", .impl = py_create_policy_config,
                                   .params = {Param::opt("initial_threshold", i100.get(), "int"),
                                              Param::opt("min_threshold", i10.get(), "int"),
                                              Param::opt("max_threshold", i10000.get(), "int"),
                                              Param::opt("learning_rate", f01.get(), "float"),
                                              Param::opt("target_speedup", f2.get(), "float")},
                                   .doc = "Factory function to create PolicyConfig.\n\n"
                                          "Provides a Python-friendly interface for creating config objects.",
                                   .returns = "PolicyConfig"});
}

// ------------------------------------------------------------------ module

constexpr const char kModuleDoc[] =
    "Adaptive JIT threshold policy.\n"
    "\n"
    "Dynamically adjusts compilation thresholds based on observed performance.\n"
    "Reduces compilation attempts while maximizing benefit.";

PyTypeObject* make_type(PyType_Spec* spec) {
    PyTypeObject* t = pyext::add_type(spec);
    if (!t || !pyext::add_pickle_refusal(t)) return nullptr;
    return t;
}

int exec_quendar(PyObject* m) {
    Ref doc = Ref::steal(PyUnicode_FromString(kModuleDoc));
    if (!doc || !pyext::set_global("__doc__", doc.get())) return -1;

    if (!(PolicyConfig_Type = make_type(&PolicyConfig_spec))) return -1;
    pyext::freeze_type(PolicyConfig_Type);
    if (!(FunctionMetrics_Type = make_type(&FunctionMetrics_spec))) return -1;
    pyext::freeze_type(FunctionMetrics_Type);
    if (!(Quendar_Type = make_type(&Quendar_spec)) || !attach_quendar_methods()) return -1;
    pyext::freeze_type(Quendar_Type);
    set_global_policy(Py_None);

    if (!pyext::import_as("time", "time") || !pyext::import_as("logging", "logging") ||
        !pyext::import_as("threading", "threading") || !pyext::import_from("typing", "Dict") ||
        !pyext::import_from("typing", "Optional"))
        return -1;
    if (!pyext::bind_logger()) return -1;

    set_global_policy(Py_None);
    Ref threading = pyext::global(PYEXT_STR("threading"));
    if (!threading) return -1;
    Ref lock = pyext::call_method(threading.get(), PYEXT_STR("Lock"));
    if (!lock || !pyext::set_global("_policy_lock", lock.get())) return -1;

    if (!add_module_functions(m)) return -1;
    return pyext::log("info", "Korvane Quendar Cython module loaded - IP protected") ? 0 : -1;
}

}  // namespace

PYEXT_MODULE(quendar, "korvane.jit.quendar", exec_quendar)
