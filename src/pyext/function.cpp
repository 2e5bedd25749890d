#include "function.hpp"
#include "module.hpp"
#include <cstring>
#include <structmember.h>

namespace pyext {

// ---------------------------------------------------------------- ArgSpec

ArgSpec::ArgSpec(const char* fname, std::initializer_list<const char*> names, Py_ssize_t nrequired)
    : ArgSpec(fname, names.begin(), static_cast<Py_ssize_t>(names.size()), nrequired) {}

ArgSpec::ArgSpec(const char* fname, const char* const* names, Py_ssize_t nparams, Py_ssize_t nrequired)
    : fname_(fname), nparams_(nparams), nrequired_(nrequired) {
    if (nparams_ > kMaxParams) {
        PyErr_SetString(PyExc_SystemError, "too many parameters");
        return;
    }
    for (Py_ssize_t i = 0; i < nparams_; ++i) {
        names_[i] = PyUnicode_InternFromString(names[i]);
        if (!names_[i]) return;
    }
    ok_ = true;
}

ArgSpec::~ArgSpec() {
    // A spec in a static is destroyed when the process exits, possibly after
    // the interpreter is gone; function objects release their names first.
    if (Py_IsInitialized()) release_names();
}

void ArgSpec::release_names() {
    for (Py_ssize_t i = 0; i < nparams_; ++i) Py_CLEAR(names_[i]);
}

void ArgSpec::raise_count(Py_ssize_t given) const {
    Py_ssize_t expected;
    const char* more_or_less;
    if (given < nrequired_) {
        expected = nrequired_;
        more_or_less = "at least";
    } else {
        expected = nparams_;
        more_or_less = "at most";
    }
    if (nrequired_ == nparams_) more_or_less = "exactly";
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", fname_,
                 more_or_less, expected, (expected == 1) ? "" : "s", given);
}

Py_ssize_t ArgSpec::index_of(PyObject* key) const {
    for (Py_ssize_t i = 0; i < nparams_; ++i)
        if (names_[i] == key) return i;
    for (Py_ssize_t i = 0; i < nparams_; ++i) {
        int eq = PyUnicode_Compare(names_[i], key);
        if (eq == 0) return i;
        if (eq == -1 && PyErr_Occurred()) PyErr_Clear();
    }
    return -1;
}

bool ArgSpec::finish(Py_ssize_t nargs, PyObject** out) const {
    (void)nargs;
    for (Py_ssize_t i = 0; i < nrequired_; ++i) {
        if (!out[i]) {
            raise_count(i);
            return false;
        }
    }
    return true;
}

bool ArgSpec::parse(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out) const {
    if (nargs > nparams_) {
        raise_count(nargs);
        return false;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
    for (Py_ssize_t i = nargs; i < nparams_; ++i) out[i] = nullptr;
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    if (nkw == 0) return finish(nargs, out);

    PyObject* const* kwvalues = args + nargs;
    // Keyword values for the parameters after the positional ones, in
    // parameter order; a required one that is missing ends the parse.
    Py_ssize_t matched = 0;
    for (Py_ssize_t i = nargs; i < nparams_; ++i) {
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            if (PyTuple_GET_ITEM(kwnames, k) == names_[i]) {
                out[i] = kwvalues[k];
                ++matched;
                break;
            }
        }
        if (!out[i]) {
            for (Py_ssize_t k = 0; k < nkw; ++k) {
                PyObject* key = PyTuple_GET_ITEM(kwnames, k);
                if (PyUnicode_Check(key) && PyUnicode_Compare(key, names_[i]) == 0) {
                    out[i] = kwvalues[k];
                    ++matched;
                    break;
                }
            }
        }
        if (!out[i] && i < nrequired_) {
            raise_count(i);
            return false;
        }
    }
    if (matched == nkw) return true;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        if (!PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", fname_);
            return false;
        }
        Py_ssize_t idx = index_of(key);
        if (idx < 0) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", fname_, key);
            return false;
        }
        if (idx < nargs) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", fname_, key);
            return false;
        }
    }
    return true;
}

bool ArgSpec::parse(PyObject* args, PyObject* kwds, PyObject** out) const {
    Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    if (nargs > nparams_) {
        raise_count(nargs);
        return false;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = PyTuple_GET_ITEM(args, i);
    for (Py_ssize_t i = nargs; i < nparams_; ++i) out[i] = nullptr;
    Py_ssize_t nkw = kwds ? PyDict_GET_SIZE(kwds) : 0;
    if (nkw == 0) return finish(nargs, out);
    Py_ssize_t matched = 0;
    for (Py_ssize_t i = nargs; i < nparams_; ++i) {
        PyObject* v = PyDict_GetItemWithError(kwds, names_[i]);
        if (!v && PyErr_Occurred()) return false;
        if (v) {
            out[i] = v;
            ++matched;
        } else if (i < nrequired_) {
            raise_count(i);
            return false;
        }
    }
    if (matched == nkw) return true;
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(kwds, &pos, &key, &value)) {
        if (!PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", fname_);
            return false;
        }
        Py_ssize_t idx = index_of(key);
        if (idx < 0) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", fname_, key);
            return false;
        }
        if (idx < nargs) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", fname_, key);
            return false;
        }
    }
    return true;
}

static bool no_args_fail(const char* fname, Py_ssize_t nargs) {
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", fname,
                 "exactly", (Py_ssize_t)0, "s", nargs);
    return false;
}

static bool bad_keyword(const char* fname, PyObject* key) {
    if (!PyUnicode_Check(key))
        PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", fname);
    else
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", fname, key);
    return false;
}

bool check_no_args(const char* fname, Py_ssize_t nargs, PyObject* kwnames) {
    if (nargs > 0) return no_args_fail(fname, nargs);
    if (kwnames && PyTuple_GET_SIZE(kwnames) > 0) return bad_keyword(fname, PyTuple_GET_ITEM(kwnames, 0));
    return true;
}

bool check_no_args(const char* fname, PyObject* args, PyObject* kwds) {
    Py_ssize_t nargs = args ? PyTuple_GET_SIZE(args) : 0;
    if (nargs > 0) return no_args_fail(fname, nargs);
    if (kwds && PyDict_GET_SIZE(kwds) > 0) {
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        PyDict_Next(kwds, &pos, &key, &value);
        return bad_keyword(fname, key);
    }
    return true;
}

// --------------------------------------------------------------- Function

namespace {

struct Function {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    Impl impl;
    ArgSpec* spec;
    PyObject* defaults[kMaxParams];  // owned; null for required parameters
    PyObject* name;
    PyObject* qualname;
    PyObject* module;
    PyObject* doc;
    PyObject* annotations;  // dict
    PyObject* signature;    // built on first use
    PyTypeObject* owner;    // owned reference, methods only
    bool method;
    const char* cname;      // for messages
};

PyTypeObject* g_function_type = nullptr;

PyObject* function_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    Function* f = reinterpret_cast<Function*>(callable);
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    PyObject* self = nullptr;
    if (f->method) {
        if (nargs < 1) {
            PyErr_Format(PyExc_TypeError, "unbound method %U() needs an argument", f->qualname);
            return nullptr;
        }
        self = args[0];
        if (f->owner && !PyObject_TypeCheck(self, f->owner)) {
            PyErr_Format(PyExc_TypeError, "descriptor '%U' for '%.100s' objects doesn't apply to a '%.100s' object",
                         f->name, f->owner->tp_name, Py_TYPE(self)->tp_name);
            return nullptr;
        }
        ++args;
        --nargs;
    }
    const ArgSpec& spec = *f->spec;
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
    Py_VISIT(f->annotations);
    Py_VISIT(f->signature);
    Py_VISIT(f->doc);
    for (Py_ssize_t i = 0; i < kMaxParams; ++i) Py_VISIT(f->defaults[i]);
    return 0;
}

int function_clear(PyObject* o) {
    Function* f = reinterpret_cast<Function*>(o);
    Py_CLEAR(f->annotations);
    Py_CLEAR(f->signature);
    for (Py_ssize_t i = 0; i < kMaxParams; ++i) Py_CLEAR(f->defaults[i]);
    return 0;
}

void function_dealloc(PyObject* o) {
    Function* f = reinterpret_cast<Function*>(o);
    PyObject_GC_UnTrack(o);
    function_clear(o);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->module);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->owner);
    if (f->spec) f->spec->release_names();  // also while the interpreter finalizes
    delete f->spec;
    PyTypeObject* tp = Py_TYPE(o);
    PyObject_GC_Del(o);
    Py_DECREF(tp);
}

PyObject* function_repr(PyObject* o) {
    Function* f = reinterpret_cast<Function*>(o);
    return PyUnicode_FromFormat("<function %U at %p>", f->qualname, o);
}

PyObject* get_defaults(PyObject* o, void*) {
    Function* f = reinterpret_cast<Function*>(o);
    Py_ssize_t n = f->spec->nparams(), r = f->spec->nrequired();
    if (n == r) Py_RETURN_NONE;
    PyObject* t = PyTuple_New(n - r);
    if (!t) return nullptr;
    for (Py_ssize_t i = r; i < n; ++i) PyTuple_SET_ITEM(t, i - r, Py_NewRef(f->defaults[i]));
    return t;
}

PyObject* get_annotations(PyObject* o, void*) {
    Function* f = reinterpret_cast<Function*>(o);
    if (!f->annotations && !(f->annotations = PyDict_New())) return nullptr;
    return Py_NewRef(f->annotations);
}

int set_annotations(PyObject* o, PyObject* v, void*) {
    Function* f = reinterpret_cast<Function*>(o);
    if (v && !PyDict_Check(v)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    Py_XINCREF(v);
    Py_XSETREF(f->annotations, v);
    return 0;
}

// inspect.Signature built from the parameter list, the defaults and the
// annotations; methods show `self` first, as Python methods do.
PyObject* get_signature(PyObject* o, void*) {
    Function* f = reinterpret_cast<Function*>(o);
    if (f->signature) return Py_NewRef(f->signature);
    Ref inspect = Ref::steal(PyImport_ImportModule("inspect"));
    if (!inspect) return nullptr;
    Ref param_cls = Ref::steal(PyObject_GetAttrString(inspect.get(), "Parameter"));
    Ref sig_cls = param_cls ? Ref::steal(PyObject_GetAttrString(inspect.get(), "Signature")) : Ref();
    if (!sig_cls) return nullptr;
    Ref kind = Ref::steal(PyObject_GetAttrString(param_cls.get(), "POSITIONAL_OR_KEYWORD"));
    Ref empty = kind ? Ref::steal(PyObject_GetAttrString(param_cls.get(), "empty")) : Ref();
    Ref params = empty ? Ref::steal(PyList_New(0)) : Ref();
    if (!params) return nullptr;
    PyObject* ann = f->annotations;
    auto add = [&](PyObject* name, PyObject* dflt) -> bool {
        Ref kw = Ref::steal(PyDict_New());
        if (!kw) return false;
        if (dflt && PyDict_SetItemString(kw.get(), "default", dflt) < 0) return false;
        PyObject* a = ann ? PyDict_GetItemWithError(ann, name) : nullptr;
        if (!a && PyErr_Occurred()) return false;
        if (a && PyDict_SetItemString(kw.get(), "annotation", a) < 0) return false;
        PyObject* pargs[2] = {name, kind.get()};
        Ref args = Ref::steal(PyTuple_Pack(2, pargs[0], pargs[1]));
        if (!args) return false;
        Ref p = Ref::steal(PyObject_Call(param_cls.get(), args.get(), kw.get()));
        return p && PyList_Append(params.get(), p.get()) == 0;
    };
    if (f->method && !add(PYEXT_STR("self"), nullptr)) return nullptr;
    for (Py_ssize_t i = 0; i < f->spec->nparams(); ++i)
        if (!add(f->spec->name(i), f->defaults[i])) return nullptr;
    Ref kw = Ref::steal(PyDict_New());
    if (!kw) return nullptr;
    PyObject* ret = ann ? PyDict_GetItemWithError(ann, PYEXT_STR("return")) : nullptr;
    if (!ret && PyErr_Occurred()) return nullptr;
    if (ret && PyDict_SetItemString(kw.get(), "return_annotation", ret) < 0) return nullptr;
    Ref args = Ref::steal(PyTuple_Pack(1, params.get()));
    if (!args) return nullptr;
    f->signature = PyObject_Call(sig_cls.get(), args.get(), kw.get());
    return Py_XNewRef(f->signature);
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
    return Py_NewRef(*reinterpret_cast<PyObject**>(reinterpret_cast<char*>(o) + Offset));
}

template <size_t Offset>
int set_str_field(PyObject* o, PyObject* v, void* closure) {
    if (!v || !PyUnicode_Check(v)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a string object", static_cast<const char*>(closure));
        return -1;
    }
    Py_SETREF(*reinterpret_cast<PyObject**>(reinterpret_cast<char*>(o) + Offset), Py_NewRef(v));
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

PyTypeObject* function_type() {
    if (!g_function_type) g_function_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&function_spec));
    return g_function_type;
}

bool is_function(PyObject* o) { return g_function_type && Py_IS_TYPE(o, g_function_type); }

Ref make_function(const FunctionDef& def) {
    PyTypeObject* tp = function_type();
    if (!tp) return {};
    Py_ssize_t n = static_cast<Py_ssize_t>(def.params.size());
    if (n > kMaxParams) {
        PyErr_SetString(PyExc_SystemError, "too many parameters");
        return {};
    }
    const char* names[kMaxParams];
    Py_ssize_t nrequired = 0;
    for (Py_ssize_t i = 0; i < n; ++i) {
        names[i] = def.params[i].name;
        if (!def.params[i].default_value) nrequired = i + 1;
    }
    Ref obj = Ref::steal(reinterpret_cast<PyObject*>(PyObject_GC_New(Function, tp)));
    if (!obj) return {};
    Function* f = reinterpret_cast<Function*>(obj.get());
    f->vectorcall = function_vectorcall;
    f->impl = def.impl;
    f->spec = nullptr;
    for (auto& d : f->defaults) d = nullptr;
    f->name = f->qualname = f->module = f->doc = f->annotations = f->signature = nullptr;
    f->owner = reinterpret_cast<PyTypeObject*>(Py_XNewRef(reinterpret_cast<PyObject*>(def.owner)));
    f->method = def.method;
    f->cname = def.name;
    PyObject_GC_Track(obj.get());

    f->spec = new ArgSpec(def.name, names, n, nrequired);
    if (!f->spec->ok()) return {};
    for (Py_ssize_t i = nrequired; i < n; ++i) {
        if (!def.params[i].default_value) {
            PyErr_SetString(PyExc_SystemError, "required parameter after an optional one");
            return {};
        }
        f->defaults[i] = Py_NewRef(def.params[i].default_value);
    }
    f->name = PyUnicode_InternFromString(def.name);
    if (!f->name) return {};
    if (def.qualname) {
        f->qualname = PyUnicode_FromString(def.qualname);
    } else if (def.owner) {
        const char* dot = std::strrchr(def.owner->tp_name, '.');
        f->qualname = PyUnicode_FromFormat("%s.%s", dot ? dot + 1 : def.owner->tp_name, def.name);
    } else {
        f->qualname = Py_NewRef(f->name);
    }
    if (!f->qualname) return {};
    if (def.module) {
        f->module = PyUnicode_FromString(def.module);
    } else {
        f->module = current_module_name();
    }
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
    return obj;
}

Ref add_function(PyObject* target, const FunctionDef& def) {
    Ref f = make_function(def);
    if (!f || PyObject_SetAttrString(target, def.name, f.get()) < 0) return {};
    return f;
}

Ref add_method(PyTypeObject* type, FunctionDef def) {
    def.method = true;
    if (!def.owner) def.owner = type;
    return add_function(reinterpret_cast<PyObject*>(type), def);
}

bool alias(PyObject* target, const char* new_name, const char* existing) {
    PyObject* dict = PyType_Check(target) ? reinterpret_cast<PyTypeObject*>(target)->tp_dict : nullptr;
    Ref v;
    if (dict) {
        v = Ref::borrow(PyDict_GetItemString(dict, existing));
        if (!v) {
            PyErr_Format(PyExc_AttributeError, "%s", existing);
            return false;
        }
    } else {
        v = Ref::steal(PyObject_GetAttrString(target, existing));
        if (!v) return false;
    }
    return PyObject_SetAttrString(target, new_name, v.get()) == 0;
}

}  // namespace pyext
