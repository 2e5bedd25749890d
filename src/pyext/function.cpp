#include "function.hpp"
#include "module.hpp"
#include "type.hpp"
#include <new>
#include <cstring>
#include <structmember.h>

namespace pyext {

// --------------------------------------------------------------- Function

namespace {

// The fields that calls read (impl, spec, defaults, owner) are set when
// the function is made and never change; the collector's clear leaves them,
// so a function stays callable whatever the collector did.
struct Function {
    PyObject_HEAD
    vectorcallfunc vectorcall;  // what a call reads first, in one cache line
    Impl impl;
    PyTypeObject* owner;        // owned reference, methods of extension types only
    ArgSpec spec;
    PyObject* defaults[kMaxParams];  // owned constants; null for required parameters
    PyObject* name;
    PyObject* qualname;
    PyObject* module;
    PyObject* doc;
    PyObject* annotations;  // dict
    PyObject* signature;    // built on first use
};

Global g_function_type;

PyObject* function_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    Function* f = reinterpret_cast<Function*>(callable);
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    PyObject* self = nullptr;
    if (f->owner) {
        if (nargs < 1) {
            CriticalSection cs(callable);
            PyErr_Format(PyExc_TypeError, "unbound method %U() needs an argument", f->qualname);
            return nullptr;
        }
        self = args[0];
        if (!PyObject_TypeCheck(self, f->owner)) {
            CriticalSection cs(callable);
            PyErr_Format(PyExc_TypeError, "descriptor '%U' for '%.100s' objects doesn't apply to a '%.100s' object",
                         f->name, f->owner->tp_name, Py_TYPE(self)->tp_name);
            return nullptr;
        }
        // Every extension type's instance starts with Object; only the
        // collector's clear sets the flag.
        if (reinterpret_cast<Object*>(self)->cleared) return raise_cleared(f->owner);
        ++args;
        --nargs;
    }
    const ArgSpec& spec = f->spec;
    PyObject* argv[kMaxParams];
    Py_ssize_t n = spec.nparams();
    if (!kwnames && nargs == n) return f->impl(self, args);  // every parameter given: no copy
    if (!kwnames && nargs >= spec.nrequired() && nargs < n) {
        // One select per parameter (no memcpy call for a handful of pointers).
        for (Py_ssize_t i = 0; i < n; ++i) argv[i] = i < nargs ? args[i] : f->defaults[i];
    } else {
        if (!spec.parse(args, nargs, kwnames, argv)) return nullptr;
        for (Py_ssize_t i = spec.nrequired(); i < n; ++i)
            if (!argv[i]) argv[i] = f->defaults[i];
    }
    return f->impl(self, argv);
}

PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject*) {
    if (!obj || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

int function_traverse(PyObject* o, visitproc visit, void* arg) {
    Function* f = reinterpret_cast<Function*>(o);
    Py_VISIT(Py_TYPE(o));
    Py_VISIT(f->owner);
    Py_VISIT(f->module);
    Py_VISIT(f->doc);
    Py_VISIT(f->annotations);
    Py_VISIT(f->signature);
    return 0;
}

// Only what a user can replace and a call never reads; the defaults are
// ints, floats, strs and the like, which take part in no cycle.
int function_clear(PyObject* o) {
    Function* f = reinterpret_cast<Function*>(o);
    Py_CLEAR(f->annotations);
    Py_CLEAR(f->signature);
    Py_CLEAR(f->doc);
    return 0;
}

void function_dealloc(PyObject* o) {
    Function* f = reinterpret_cast<Function*>(o);
    PyObject_GC_UnTrack(o);
    function_clear(o);
    for (PyObject*& d : f->defaults) Py_CLEAR(d);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->module);
    Py_CLEAR(f->owner);
    f->spec.release_names();  // also while the interpreter finalizes
    PyTypeObject* tp = Py_TYPE(o);
    PyObject_GC_Del(o);
    Py_DECREF(tp);
}

PyObject* function_repr(PyObject* o) {
    Function* f = reinterpret_cast<Function*>(o);
    CriticalSection cs(o);
    return PyUnicode_FromFormat("<function %U at %p>", f->qualname, o);
}

PyObject* get_defaults(PyObject* o, void*) {
    Function* f = reinterpret_cast<Function*>(o);
    Py_ssize_t n = f->spec.nparams(), r = f->spec.nrequired();
    if (n == r) Py_RETURN_NONE;
    PyObject* t = PyTuple_New(n - r);
    if (!t) return nullptr;
    for (Py_ssize_t i = r; i < n; ++i) PyTuple_SET_ITEM(t, i - r, Py_NewRef(f->defaults[i]));
    return t;
}

// The fields a user may replace (__annotations__, __name__, __qualname__)
// are read and written inside the function's critical section, so a reader
// never takes a reference to an object another thread is releasing.
Ref annotations_of(Function* f) {
    CriticalSection cs(reinterpret_cast<PyObject*>(f));
    if (!f->annotations && !(f->annotations = PyDict_New())) return {};
    return Ref::borrow(f->annotations);
}

PyObject* get_annotations(PyObject* o, void*) { return annotations_of(reinterpret_cast<Function*>(o)).release(); }

int set_annotations(PyObject* o, PyObject* v, void*) {
    Function* f = reinterpret_cast<Function*>(o);
    if (v && !PyDict_Check(v)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    Ref old;
    {
        CriticalSection cs(o);
        old = Ref::steal(f->annotations);
        f->annotations = Py_XNewRef(v);
    }
    return 0;
}

// inspect.Signature built from the parameter list, the defaults and the
// annotations; methods show `self` first, as Python methods do.
PyObject* get_signature(PyObject* o, void*) {
    Function* f = reinterpret_cast<Function*>(o);
    {
        CriticalSection cs(o);
        if (f->signature) return Py_NewRef(f->signature);
    }
    Ref inspect = Ref::steal(PyImport_ImportModule("inspect"));
    if (!inspect) return nullptr;
    Ref param_cls = Ref::steal(PyObject_GetAttrString(inspect.get(), "Parameter"));
    Ref sig_cls = param_cls ? Ref::steal(PyObject_GetAttrString(inspect.get(), "Signature")) : Ref();
    if (!sig_cls) return nullptr;
    Ref kind = Ref::steal(PyObject_GetAttrString(param_cls.get(), "POSITIONAL_OR_KEYWORD"));
    Ref empty = kind ? Ref::steal(PyObject_GetAttrString(param_cls.get(), "empty")) : Ref();
    Ref params = empty ? Ref::steal(PyList_New(0)) : Ref();
    if (!params) return nullptr;
    // Held: building the parameters runs Python code, which may replace them.
    Ref annotations = annotations_of(f);
    if (!annotations) return nullptr;
    PyObject* ann = annotations.get();
    auto add = [&](PyObject* name, PyObject* dflt) -> bool {
        Ref kw = Ref::steal(PyDict_New());
        if (!kw) return false;
        if (dflt && PyDict_SetItemString(kw.get(), "default", dflt) < 0) return false;
        PyObject* a = nullptr;
        if (dict_get_ref(ann, name, &a) < 0) return false;
        Ref annotation = Ref::steal(a);
        if (a && PyDict_SetItemString(kw.get(), "annotation", a) < 0) return false;
        PyObject* pargs[2] = {name, kind.get()};
        Ref args = Ref::steal(PyTuple_Pack(2, pargs[0], pargs[1]));
        if (!args) return false;
        Ref p = Ref::steal(PyObject_Call(param_cls.get(), args.get(), kw.get()));
        return p && PyList_Append(params.get(), p.get()) == 0;
    };
    if (f->owner && !add(PYEXT_STR("self"), nullptr)) return nullptr;
    for (Py_ssize_t i = 0; i < f->spec.nparams(); ++i)
        if (!add(f->spec.name(i), f->defaults[i])) return nullptr;
    Ref kw = Ref::steal(PyDict_New());
    if (!kw) return nullptr;
    PyObject* ret = nullptr;
    if (dict_get_ref(ann, PYEXT_STR("return"), &ret) < 0) return nullptr;
    Ref return_annotation = Ref::steal(ret);
    if (ret && PyDict_SetItemString(kw.get(), "return_annotation", ret) < 0) return nullptr;
    Ref args = Ref::steal(PyTuple_Pack(1, params.get()));
    if (!args) return nullptr;
    Ref sig = Ref::steal(PyObject_Call(sig_cls.get(), args.get(), kw.get()));
    if (!sig) return nullptr;
    // The first signature made is kept (another thread may have made one).
    CriticalSection cs(o);
    if (!f->signature) f->signature = sig.release();
    return Py_NewRef(f->signature);
}

PyObject* get_text_signature(PyObject*, void*) { Py_RETURN_NONE; }

PyObject* function_reduce(PyObject* o, PyObject*) {
    return Py_NewRef(reinterpret_cast<Function*>(o)->qualname);
}

PyMemberDef function_members[] = {
    {"__module__", T_OBJECT, offsetof(Function, module), 0, nullptr},
    {"__doc__", T_OBJECT, offsetof(Function, doc), 0, nullptr},
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(Function, vectorcall), READONLY, nullptr},
    {nullptr},
};

// __name__ and __qualname__ go into messages and the repr as strings, so
// (as for Python functions) they only ever hold a str.
template <size_t Offset>
PyObject* get_str_field(PyObject* o, void*) {
    CriticalSection cs(o);
    return Py_NewRef(*reinterpret_cast<PyObject**>(reinterpret_cast<char*>(o) + Offset));
}

template <size_t Offset>
int set_str_field(PyObject* o, PyObject* v, void* closure) {
    if (!v || !PyUnicode_Check(v)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a string object", static_cast<const char*>(closure));
        return -1;
    }
    Ref old;
    {
        CriticalSection cs(o);
        PyObject** field = reinterpret_cast<PyObject**>(reinterpret_cast<char*>(o) + Offset);
        old = Ref::steal(*field);
        *field = Py_NewRef(v);
    }
    return 0;
}

PyGetSetDef function_getset[] = {
    {"__name__", get_str_field<offsetof(Function, name)>, set_str_field<offsetof(Function, name)>, nullptr,
     const_cast<char*>("__name__")},
    {"__qualname__", get_str_field<offsetof(Function, qualname)>, set_str_field<offsetof(Function, qualname)>,
     nullptr, const_cast<char*>("__qualname__")},
    {"__defaults__", get_defaults, nullptr, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"__signature__", get_signature, nullptr, nullptr, nullptr},
    {"__text_signature__", get_text_signature, nullptr, nullptr, nullptr},
    {nullptr},
};

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr},
};

PyType_Slot function_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(function_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(function_repr)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void*>(function_descr_get)},
    {Py_tp_traverse, reinterpret_cast<void*>(function_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(function_clear)},
    {Py_tp_members, function_members},
    {Py_tp_getset, function_getset},
    {Py_tp_methods, function_methods},
    {0, nullptr},
};

PyType_Spec function_spec = {
    "native_function",
    sizeof(Function),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_HAVE_VECTORCALL,
    function_slots,
};

}  // namespace

Ref Value::make() const {
    switch (kind_) {
        case Kind::kNone: return none();
        case Kind::kFalse: return boolean(false);
        case Kind::kTrue: return boolean(true);
        case Kind::kInt: return Ref::steal(PyLong_FromLongLong(int_));
        case Kind::kFloat: return Ref::steal(PyFloat_FromDouble(float_));
        case Kind::kStr: return Ref::steal(PyUnicode_InternFromString(str_));
    }
    return none();
}

bool init_function_type() {
    if (!g_function_type) g_function_type.set(Ref::steal(PyType_FromSpec(&function_spec)));
    return static_cast<bool>(g_function_type);
}

Ref make_function(const FunctionDef& def, const Binding& binding) {
    auto* tp = reinterpret_cast<PyTypeObject*>(g_function_type.get());
    Py_ssize_t n = static_cast<Py_ssize_t>(def.params.size());
    if (n > kMaxParams) {
        PyErr_SetString(PyExc_SystemError, "too many parameters");
        return {};
    }
    const char* names[kMaxParams];
    Py_ssize_t nrequired = 0;
    Py_ssize_t i = 0;
    for (const Param& p : def.params) {
        names[i++] = p.name;
        if (!p.optional) nrequired = i;
    }
    Ref obj = Ref::steal(reinterpret_cast<PyObject*>(PyObject_GC_New(Function, tp)));
    if (!obj) return {};
    Function* f = reinterpret_cast<Function*>(obj.get());
    f->vectorcall = function_vectorcall;
    f->impl = def.impl;
    new (&f->spec) ArgSpec();
    for (auto& d : f->defaults) d = nullptr;
    f->name = f->qualname = f->module = f->doc = f->annotations = f->signature = nullptr;
    f->owner = reinterpret_cast<PyTypeObject*>(Py_XNewRef(reinterpret_cast<PyObject*>(binding.owner)));
    PyObject_GC_Track(obj.get());

    if (!f->spec.init(def.name, names, n, nrequired)) return {};
    i = 0;
    for (const Param& p : def.params) {
        if (i >= nrequired && !p.optional) {
            PyErr_SetString(PyExc_SystemError, "required parameter after an optional one");
            return {};
        }
        if (i >= nrequired && !(f->defaults[i] = p.dflt.make().release())) return {};
        ++i;
    }
    f->name = PyUnicode_InternFromString(def.name);
    if (!f->name) return {};
    if (binding.qualname) {
        f->qualname = PyUnicode_FromString(binding.qualname);
    } else if (binding.owner) {
        const char* dot = std::strrchr(binding.owner->tp_name, '.');
        f->qualname = PyUnicode_FromFormat("%s.%s", dot ? dot + 1 : binding.owner->tp_name, def.name);
    } else {
        f->qualname = Py_NewRef(f->name);
    }
    if (!f->qualname) return {};
    f->module = current_module_name().release();
    if (!f->module) return {};
    f->doc = def.doc ? PyUnicode_FromString(def.doc) : Py_NewRef(Py_None);
    if (!f->doc) return {};
    f->annotations = PyDict_New();
    if (!f->annotations) return {};
    for (const Param& p : def.params) {
        if (!p.annotation) continue;
        Ref a = Ref::steal(PyUnicode_FromString(p.annotation));
        if (!a || PyDict_SetItemString(f->annotations, p.name, a.get()) < 0) return {};
    }
    if (def.returns) {
        Ref a = Ref::steal(PyUnicode_FromString(def.returns));
        if (!a || PyDict_SetItemString(f->annotations, "return", a.get()) < 0) return {};
    }
    share_across_threads(obj.get());
    return obj;
}

bool add_function(PyObject* target, const FunctionDef& def, const Binding& binding) {
    Ref f = make_function(def, binding);
    if (!f) return false;
    auto bind = [&](const char* name) {
        return PyDict_Check(target) ? PyDict_SetItemString(target, name, f.get()) == 0
                                    : PyObject_SetAttrString(target, name, f.get()) == 0;
    };
    if (!bind(def.bind_as ? def.bind_as : def.name)) return false;
    for (const char* alias : def.aliases)
        if (!bind(alias)) return false;
    return true;
}

bool add_functions(Functions defs) {
    PyObject* dict = current_module_dict().get();
    for (const FunctionDef& def : defs)
        if (!add_function(dict, def)) return false;
    return true;
}

}  // namespace pyext
