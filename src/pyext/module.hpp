// The module life cycle, the same for every extension module:
//
//   * PyInit_<short> returns a multi-phase module definition;
//   * the create step records the first interpreter (a load into another
//     one raises ImportError) and returns the existing module object when
//     there is one, so a re-import never runs the execution step again;
//   * the execution step refuses a second module object, warns when the
//     running interpreter differs from the one the module was built for,
//     enters the module into sys.modules, then runs the module's own
//     statements; a failure drops the module and adds an "init <name>"
//     traceback entry.
//
// Usage, at the end of a module's source file:
//
//   bool exec_varnok() { ...bind names in order... }
//   PYEXT_MODULE(varnok, {.fullname = "korvane.memory.varnok", .exec = exec_varnok,
//                         .load_message = "...", ...})
//
// The step is the same in every module: __doc__ (when the module has one),
// then the module's own statements (`exec`), then (for `.logger`) `import
// logging` and `logger = logging.getLogger(__name__)`, then the load message
// logged at level info through the module's `logger`, then `__test__ = {}`.
#pragma once
#include "ref.hpp"

namespace pyext {

struct ModuleInfo {
    const char* fullname;
    bool (*exec)();                    // binds the module's names in order
    const char* doc = nullptr;         // __doc__
    bool logger = false;               // binds `logging` and `logger` after `exec`
    const char* load_message = nullptr;
    bool test_dict = false;            // ends with `__test__ = {}`
};

// Implementation of the two slots; `info` is the module's own.
PyObject* module_create(const ModuleInfo& info, PyObject* spec);
int module_exec(const ModuleInfo& info, PyObject* module);

// The module of this shared library (null before its execution).
Borrowed current_module();
Borrowed current_module_dict();
Ref current_module_name();

// Global of this module looked up at call time (module dict, then
// builtins), so that callers and tests can substitute it.
//   NameError "name '%U' is not defined"
Ref global(PyObject* name);
// Binds `name` in the module namespace (steals nothing).
bool set_global(const char* name, PyObject* value);

// `import name` / `from name import attr` bound under the given name.
bool import_as(const char* module, const char* bind_as = nullptr);
bool import_from(const char* module, const char* attr, const char* bind_as = nullptr);

// `threading.Lock()` through the module's `threading` global: the lock an
// instance makes for itself.
Ref new_lock();

// logger.<level>(message, *args) through the module's `logger` global.
bool log(const char* level, PyObject* message);
bool log(const char* level, const char* message);

// `logger = logging.getLogger(__name__)`.
bool bind_logger();

// Whether logger.<method>(msg) through the module's `logger` could emit
// anything, for a standard level and its method: 10 debug, 20 info,
// 30 warning, 40 error, 50 critical.  0 only when `logger` is a plain
// logging.Logger (that class's own <method> and isEnabledFor, no instance
// overrides) that is disabled or whose level cache already answers False
// for `level`: then the call would do nothing, and a hot path may skip
// building its message.  1 in every other case (the caller logs as
// usual), -1 with an error set.
int log_enabled(int level);

}  // namespace pyext

// Every module runs without the interpreter lock: an interpreter that can
// run without it (3.13 on, free-threaded builds) is told so, and importing a
// module leaves the lock off.
#ifdef Py_mod_gil
#define PYEXT_GIL_SLOT_ {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#else
#define PYEXT_GIL_SLOT_
#endif

#define PYEXT_MODULE(short_name, ...)                                                          \
    namespace {                                                                                \
    const ::pyext::ModuleInfo pyext_module_info_ = __VA_ARGS__;                                \
    PyObject* pyext_create_(PyObject* spec, PyModuleDef*) {                                    \
        return ::pyext::module_create(pyext_module_info_, spec);                              \
    }                                                                                          \
    int pyext_exec_(PyObject* m) { return ::pyext::module_exec(pyext_module_info_, m); }       \
    PyModuleDef_Slot pyext_slots_[] = {                                                        \
        {Py_mod_create, reinterpret_cast<void*>(pyext_create_)},                               \
        {Py_mod_exec, reinterpret_cast<void*>(pyext_exec_)},                                   \
        PYEXT_GIL_SLOT_                                                                        \
        {0, nullptr},                                                                          \
    };                                                                                         \
    PyModuleDef pyext_def_ = {PyModuleDef_HEAD_INIT, pyext_module_info_.fullname, nullptr, 0,  \
                              nullptr, pyext_slots_, nullptr, nullptr, nullptr};               \
    }                                                                                          \
    extern "C" PyMODINIT_FUNC PyInit_##short_name() { return PyModuleDef_Init(&pyext_def_); }
