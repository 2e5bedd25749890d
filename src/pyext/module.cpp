#include "module.hpp"
#include "function.hpp"
#include "type.hpp"
#include <cstring>

#include <exception>
#include <new>
#include "compat.hpp"

namespace pyext {

namespace {

bool load_logger_class();

struct ModuleState {
    int64_t interpreter = -1;    // first interpreter that loaded the module
    PyObject* module = nullptr;  // strong: one module object per process
    PyObject* executed = nullptr;  // the module object the execution step filled
    bool running = false;
};

ModuleState g_state;

// A traceback entry "<funcname>" in file "<filename>", as an interpreted
// frame would leave it.
void add_traceback(const char* funcname, const char* filename) {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyCodeObject* code = PyCode_NewEmpty(filename, funcname, 1);
    PyObject* globals = PyDict_New();
    PyFrameObject* frame = nullptr;
    if (code && globals) frame = PyFrame_New(PyThreadState_Get(), code, globals, nullptr);
    PyErr_Restore(type, value, tb);
    if (frame) PyTraceBack_Here(frame);
    Py_XDECREF(frame);
    Py_XDECREF(code);
    Py_XDECREF(globals);
}

}  // namespace

PyObject* module_create(const ModuleInfo& info, PyObject* spec) {
    int64_t id = interpreter_id();
    if (g_state.interpreter == -1) {
        g_state.interpreter = id;
    } else if (g_state.interpreter != id) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one interpreter per process.");
        return nullptr;
    }
    if (g_state.module) return Py_NewRef(g_state.module);
    Ref name = Ref::steal(PyObject_GetAttrString(spec, "name"));
    if (!name) return nullptr;
    PyObject* m = PyModule_NewObject(name.get());
    if (!m) return nullptr;
    (void)info;
    g_state.module = Py_NewRef(m);
    return m;
}

// The module's own statements, between __doc__ and the epilogue.
bool run_body(const ModuleInfo& info) {
    if (info.doc) {
        Ref doc = Ref::steal(PyUnicode_FromString(info.doc));
        if (!doc || !set_global("__doc__", doc.get())) return false;
    }
    if (!info.exec()) return false;
    if (info.logger && !bind_logger()) return false;
    if (info.load_message && !log("info", info.load_message)) return false;
    if (info.test_dict) {
        Ref test = Ref::steal(PyDict_New());
        if (!test || !set_global("__test__", test.get())) return false;
    }
    return true;
}

int module_exec(const ModuleInfo& info, PyObject* module) {
    if (g_state.executed) {
        if (g_state.executed == module) return 0;
        const char* dot = std::strrchr(info.fullname, '.');
        PyErr_Format(PyExc_RuntimeError,
                     "Module '%s' has already been imported. Re-initialisation is not supported.",
                     dot ? dot + 1 : info.fullname);
        return -1;
    }
    if (g_state.running) return 0;
    g_state.running = true;
    g_state.executed = module;
    if (g_state.module != module) {
        Py_XSETREF(g_state.module, Py_NewRef(module));
    }

    auto fail = [&]() -> int {
        Ref ctx = Ref::steal(PyUnicode_FromFormat("init %s", info.fullname));
        if (PyErr_Occurred()) {
            add_traceback(ctx ? PyUnicode_AsUTF8(ctx.get()) : info.fullname, info.fullname);
        } else {
            PyErr_Format(PyExc_ImportError, "init %s", info.fullname);
        }
        g_state.executed = nullptr;
        g_state.running = false;
        Py_CLEAR(g_state.module);
        return -1;
    };
    // Constants the library load could not make, and the function type.
    if (!make_pending() || !init_function_type()) return fail();

    int major = 0, minor = 0;
    runtime_version(major, minor);
    if (major != PY_MAJOR_VERSION || minor != PY_MINOR_VERSION) {
        if (PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                             "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                             PY_MAJOR_VERSION, PY_MINOR_VERSION, info.fullname, "does not match", major, minor) < 0)
            return fail();
    }
    PyObject* dict = PyModule_GetDict(module);
    if (PyDict_GetItemString(dict, "__builtins__") == nullptr &&
        PyDict_SetItemString(dict, "__builtins__", PyEval_GetBuiltins()) < 0)
        return fail();
    PyObject* modules = PyImport_GetModuleDict();
    if (!PyDict_GetItemString(modules, info.fullname) && PyDict_SetItemString(modules, info.fullname, module) < 0)
        return fail();
    // The step may build C++ tables: a failed allocation there is the
    // import's MemoryError, never an exception escaping into the interpreter.
    bool ok;
    try {
        ok = run_body(info);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        ok = false;
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_SystemError, e.what());
        ok = false;
    }
    if (!ok) return fail();
    g_state.running = false;
    return 0;
}

Borrowed current_module() { return Borrowed(g_state.module); }

Borrowed current_module_dict() { return Borrowed(g_state.module ? PyModule_GetDict(g_state.module) : nullptr); }

Ref current_module_name() {
    if (!g_state.module) return Ref::steal(PyUnicode_FromString(""));
    return Ref::steal(PyModule_GetNameObject(g_state.module));
}

Ref global(PyObject* name) {
    PyObject* dict = current_module_dict().get();
    if (dict) {
        Ref v = dict_get(dict, name);
        if (v || PyErr_Occurred()) return v;
    }
    Ref v = dict_get(PyEval_GetBuiltins(), name);
    if (!v && !PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return v;
}

bool set_global(const char* name, PyObject* value) {
    PyObject* dict = current_module_dict().get();
    return dict && PyDict_SetItemString(dict, name, value) == 0;
}

bool import_as(const char* module, const char* bind_as) {
    Ref m = Ref::steal(PyImport_ImportModule(module));
    return m && set_global(bind_as ? bind_as : module, m.get());
}

Ref new_lock() {
    Ref threading = global(PYEXT_STR("threading"));
    if (!threading) return {};
    return call_method(threading.get(), PYEXT_STR("Lock"));
}

bool import_from(const char* module, const char* attr, const char* bind_as) {
    Ref fromlist = Ref::steal(Py_BuildValue("(s)", attr));
    if (!fromlist) return false;
    Ref m = Ref::steal(PyImport_ImportModuleLevel(module, current_module_dict().get(), nullptr, fromlist.get(), 0));
    if (!m) return false;
    Ref name = Ref::steal(PyUnicode_FromString(attr));
    if (!name) return false;
    Ref v = Ref::steal(PyObject_GetAttr(m.get(), name.get()));
    if (!v) {
        if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
            PyErr_Clear();
            PyErr_Format(PyExc_ImportError, "cannot import name %S", name.get());
        }
        return false;
    }
    return set_global(bind_as ? bind_as : attr, v.get());
}

bool log(const char* level, PyObject* message) {
    Ref logger = global(PYEXT_STR("logger"));
    if (!logger) return false;
    Ref meth = Ref::steal(PyUnicode_InternFromString(level));
    if (!meth) return false;
    PyObject* args[2] = {logger.get(), message};
    Ref r = Ref::steal(PyObject_VectorcallMethod(meth.get(), args, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    return static_cast<bool>(r);
}

bool log(const char* level, const char* message) {
    Ref m = Ref::steal(PyUnicode_FromString(message));
    return m && log(level, m.get());
}

bool bind_logger() {
    if (!import_as("logging", "logging")) return false;
    Ref logging = global(PYEXT_STR("logging"));
    if (!logging) return false;
    Ref name = global(PYEXT_STR("__name__"));
    if (!name) return false;
    Ref logger = Ref::steal(PyObject_CallMethod(logging.get(), "getLogger", "O", name.get()));
    if (!logger || !set_global("logger", logger.get())) return false;
    load_logger_class();  // the class's functions as they are at load (for log_enabled)
    return true;
}

namespace {

// logging.Logger and the functions its instances log through, as they were
// when first needed; a later replacement of either on the class makes
// log_enabled answer 1.
struct LoggerClass {
    PyTypeObject* type = nullptr;
    PyObject* is_enabled_for = nullptr;
    PyObject* names[5] = {};    // "debug", "info", "warning", "error", "critical"
    PyObject* methods[5] = {};  // the class's functions of those names
    bool tried = false;
};
LoggerClass g_logger_class;

// The instance dict of `o`: null with no error set when it has none.
// Free-threaded builds take it through the API that holds it safely while
// another thread may replace it.
Ref instance_dict(PyObject* o) {
#ifdef Py_GIL_DISABLED
    Ref d = Ref::steal(PyObject_GenericGetDict(o, nullptr));
    if (!d && PyErr_ExceptionMatches(PyExc_AttributeError)) PyErr_Clear();
    return d;
#else
    PyObject** p = _PyObject_GetDictPtr(o);
    return Ref::borrow(p ? *p : nullptr);
#endif
}

int level_slot(int level) {
    switch (level) {
        case 10: return 0;
        case 20: return 1;
        case 30: return 2;
        case 40: return 3;
        case 50: return 4;
        default: return -1;
    }
}

bool load_logger_class() {
    LoggerClass& c = g_logger_class;
    if (c.tried) return c.type != nullptr;
    c.tried = true;
    Ref logging = Ref::steal(PyImport_ImportModule("logging"));
    Ref cls = logging ? Ref::steal(PyObject_GetAttrString(logging.get(), "Logger")) : Ref();
    if (!cls || !PyType_Check(cls.get())) {
        PyErr_Clear();
        return false;
    }
    PyTypeObject* t = reinterpret_cast<PyTypeObject*>(cls.get());
    static const char* const names[5] = {"debug", "info", "warning", "error", "critical"};
    PyObject* ief = _PyType_Lookup(t, PYEXT_STR("isEnabledFor"));
    if (!ief || !PyFunction_Check(ief)) return false;
    for (int i = 0; i < 5; ++i) {
        PyObject* name = PyUnicode_InternFromString(names[i]);
        PyObject* f = name ? _PyType_Lookup(t, name) : nullptr;
        if (!f || !PyFunction_Check(f)) {
            Py_XDECREF(name);
            PyErr_Clear();
            return false;
        }
        c.names[i] = name;  // both kept for the life of the process
        c.methods[i] = Py_NewRef(f);
    }
    c.is_enabled_for = Py_NewRef(ief);
    c.type = reinterpret_cast<PyTypeObject*>(cls.release());
    return true;
}

}  // namespace

int log_enabled(int level) {
    int slot = level_slot(level);
    if (slot < 0 || !load_logger_class()) return 1;
    Ref logger = global(PYEXT_STR("logger"));
    if (!logger) return -1;
    LoggerClass& c = g_logger_class;
    PyObject* lg = logger.get();
    if (!Py_IS_TYPE(lg, c.type)) return 1;
    PyObject* name = c.names[slot];
    if (_PyType_Lookup(c.type, name) != c.methods[slot] ||
        _PyType_Lookup(c.type, PYEXT_STR("isEnabledFor")) != c.is_enabled_for ||
        _PyType_Lookup(c.type, PYEXT_STR("disabled")) || _PyType_Lookup(c.type, PYEXT_STR("_cache")))
        return 1;
    // The instance's attributes are only compared with True, False and
    // absence, so they are read inside the dict's critical section without
    // taking references (the keys are strs: no Python code runs there).  The
    // level cache, looked into afterwards, is held.
    Ref dict = instance_dict(lg);
    if (!dict) return PyErr_Occurred() ? -1 : 1;
    Ref cache;
    {
        PyObject* d = dict.get();
        CriticalSection cs(d);
        // Instance attributes that would shadow the class's functions.
        if (PyDict_GetItemWithError(d, name) || PyDict_GetItemWithError(d, PYEXT_STR("isEnabledFor"))) return 1;
        if (PyErr_Occurred()) return -1;
        PyObject* disabled = PyDict_GetItemWithError(d, PYEXT_STR("disabled"));
        if (disabled == Py_True) return 0;
        if (disabled != Py_False) return PyErr_Occurred() ? -1 : 1;
        cache = Ref::borrow(PyDict_GetItemWithError(d, PYEXT_STR("_cache")));
    }
    if (!cache || !PyDict_CheckExact(cache.get())) return PyErr_Occurred() ? -1 : 1;
    Ref key = Ref::steal(PyLong_FromLong(level));
    if (!key) return -1;
    CriticalSection cs(cache.get());
    PyObject* cached = PyDict_GetItemWithError(cache.get(), key.get());
    if (cached == Py_False) return 0;
    return PyErr_Occurred() ? -1 : 1;
}

}  // namespace pyext
