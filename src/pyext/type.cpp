#include "type.hpp"
#include <algorithm>
#include <cstring>
#include <new>
#include <string>
#include <vector>

namespace pyext {

namespace {

const char* short_name(const char* dotted) {
    const char* dot = std::strrchr(dotted, '.');
    return dot ? dot + 1 : dotted;
}

Ref refuse_pickle(PyObject*, PyObject* const*) {
    PyErr_SetString(PyExc_TypeError, "no default __reduce__ due to non-trivial __cinit__");
    return {};
}

// Extension types refuse pickling and copying, with the message of a type
// whose constructor takes arguments.
const FunctionDef kPickleRefusal[] = {
    {.name = "__reduce__", .impl = impl<refuse_pickle>},
    {.name = "__reduce_ex__", .impl = impl<refuse_pickle>, .params = {req("protocol")}},
    {.name = "__setstate__", .impl = impl<refuse_pickle>, .params = {req("state")}},
};

// "Name(a, b=1)\n--\n\n" + doc: CPython's signature header, which
// type.__text_signature__ reads and __doc__ leaves out.
bool signature_doc(const char* name, Params init, PyObject* const* defaults, const char* doc, std::string& out) {
    out = short_name(name);
    out += '(';
    Py_ssize_t i = 0;
    for (const Param& p : init) {
        if (i) out += ", ";
        out += p.name;
        if (p.optional) {
            Ref r = Ref::steal(PyObject_Repr(defaults[i]));
            const char* text = r ? PyUnicode_AsUTF8(r.get()) : nullptr;
            if (!text) return false;
            out += '=';
            out += text;
        }
        ++i;
    }
    out += ")\n--\n\n";
    if (doc) out += doc;
    return true;
}

bool bind_all(PyTypeObject* type, Functions defs) {
    PyObject* target = reinterpret_cast<PyObject*>(type);
    for (const FunctionDef& def : defs) {
        Ref f = make_function(def, {.owner = type});
        if (!f || PyObject_SetAttrString(target, def.bind_as ? def.bind_as : def.name, f.get()) < 0) return false;
    }
    // The aliases after every method: one function object, more names.
    for (const FunctionDef& def : defs) {
        for (const char* alias : def.aliases) {
            PyObject* f = PyDict_GetItemString(type->tp_dict, def.bind_as ? def.bind_as : def.name);
            if (!f || PyObject_SetAttrString(target, alias, f) < 0) return false;
        }
    }
    return true;
}

}  // namespace

Ref detail::make_type(const TypeParts& parts) {
    // The constructor's parameters and defaults, kept by the layer for the
    // life of the process (a retried import finds them made).
    const Py_ssize_t n = static_cast<Py_ssize_t>(parts.init.size());
    if (n > kMaxParams) {
        PyErr_SetString(PyExc_SystemError, "too many parameters");
        return {};
    }
    const char* names[kMaxParams];
    Py_ssize_t nrequired = 0, i = 0;
    for (const Param& p : parts.init) {
        names[i] = p.name;
        if (!p.optional) nrequired = i + 1;
        if (p.optional && !parts.defaults[i] && !(parts.defaults[i] = p.dflt.make().release())) return {};
        ++i;
    }
    if (!parts.init_spec->init("__cinit__", names, n, nrequired)) return {};

    std::string doc;
    std::vector<PyType_Slot> slots;
    PyGetSetDef* getset = nullptr;
    try {
        if (!signature_doc(parts.name, parts.init, parts.defaults, parts.doc, doc)) return {};
        slots = {
            {Py_tp_doc, const_cast<char*>(doc.c_str())},
            {Py_tp_new, reinterpret_cast<void*>(parts.tp_new)},
            {Py_tp_dealloc, reinterpret_cast<void*>(parts.tp_dealloc)},
        };
        if (parts.collected) {
            slots.push_back({Py_tp_traverse, reinterpret_cast<void*>(parts.tp_traverse)});
            slots.push_back({Py_tp_clear, reinterpret_cast<void*>(parts.tp_clear)});
        }
        if (parts.properties.size()) {
            // The type keeps pointing at the table (at the start of the
            // block, so that a leak checker sees it held): it stays for the
            // life of the process.  From the raw domain, not new[]: an array
            // new of a run-time length calls a C++ runtime entry point that
            // manylinux2014's libstdc++ lacks.
            const size_t count = parts.properties.size() + 1;
            getset = static_cast<PyGetSetDef*>(PyMem_RawMalloc(count * sizeof(PyGetSetDef)));
            if (!getset) {
                PyErr_NoMemory();
                return {};
            }
            std::copy(parts.properties.begin(), parts.properties.end(), getset);
            getset[parts.properties.size()] = {nullptr, nullptr, nullptr, nullptr, nullptr};
            slots.push_back({Py_tp_getset, getset});
        }
        slots.insert(slots.end(), parts.slots.begin(), parts.slots.end());
        slots.push_back({0, nullptr});
    } catch (const std::bad_alloc&) {
        PyMem_RawFree(getset);
        PyErr_NoMemory();
        return {};
    }
    const auto flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | (parts.collected ? Py_TPFLAGS_HAVE_GC : 0);
    PyType_Spec spec = {parts.name, parts.basicsize, 0, static_cast<unsigned int>(flags), slots.data()};
    Ref t = Ref::steal(PyType_FromModuleAndSpec(current_module().get(), &spec, nullptr));
    if (!t) {
        PyMem_RawFree(getset);
        return {};
    }
    auto* type = reinterpret_cast<PyTypeObject*>(t.get());
    if (!set_global(short_name(parts.name), t.get())) return {};
    for (const FunctionDef& def : kPickleRefusal)
        if (!add_function(t.get(), def, {.owner = type})) return {};
    for (const FunctionDef& def : parts.static_methods) {
        std::string qualname;
        try {
            qualname = std::string(short_name(parts.name)) + "." + def.name;
        } catch (const std::bad_alloc&) {
            PyErr_NoMemory();
            return {};
        }
        Ref f = make_function(def, {.qualname = qualname.c_str()});
        Ref sm = f ? Ref::steal(PyStaticMethod_New(f.get())) : Ref();
        if (!sm || PyObject_SetAttrString(t.get(), def.bind_as ? def.bind_as : def.name, sm.get()) < 0) return {};
    }
    if (!bind_all(type, parts.methods)) return {};
    type->tp_flags |= Py_TPFLAGS_IMMUTABLETYPE;
    PyType_Modified(type);
    return t;
}

PyObject* raise_cleared(PyTypeObject* owner) {
    PyErr_Format(PyExc_ReferenceError, "%s state was released by the garbage collector", short_name(owner->tp_name));
    return nullptr;
}

Ref find_override(PyObject* self, PyTypeObject* base, PyObject* name) {
    PyTypeObject* tp = Py_TYPE(self);
    if (tp == base) return {};
    PyObject* mine = _PyType_Lookup(tp, name);
    if (!mine || mine == _PyType_Lookup(base, name)) return {};
    return Ref::steal(PyObject_GetAttr(self, name));
}

bool add_plain_class(const char* name, const char* doc, Functions functions) {
    Ref ns = Ref::steal(PyDict_New());
    if (!ns) return false;
    Ref modname = current_module_name();
    Ref qualname = Ref::steal(PyUnicode_FromString(name));
    Ref docstr = doc ? Ref::steal(PyUnicode_FromString(doc)) : none();
    if (!modname || !qualname || !docstr) return false;
    if (PyDict_SetItemString(ns.get(), "__module__", modname.get()) < 0 ||
        PyDict_SetItemString(ns.get(), "__qualname__", qualname.get()) < 0 ||
        PyDict_SetItemString(ns.get(), "__doc__", docstr.get()) < 0)
        return false;
    for (const FunctionDef& def : functions) {
        std::string q;
        try {
            q = std::string(name) + "." + def.name;
        } catch (const std::bad_alloc&) {
            PyErr_NoMemory();
            return false;
        }
        if (!add_function(ns.get(), def, {.qualname = q.c_str()})) return false;
    }
    Ref bases = Ref::steal(PyTuple_New(0));
    if (!bases) return false;
    Ref cls = call(reinterpret_cast<PyObject*>(&PyType_Type), qualname.get(), bases.get(), ns.get());
    return cls && set_global(name, cls.get());
}

}  // namespace pyext
