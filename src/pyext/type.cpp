#include "type.hpp"
#include <cstring>

namespace pyext {

PyTypeObject* add_type(PyType_Spec* spec, PyObject* base) {
    PyObject* module = current_module();
    Ref t = Ref::steal(base ? PyType_FromModuleAndSpec(module, spec, base)
                            : PyType_FromModuleAndSpec(module, spec, nullptr));
    if (!t) return nullptr;
    const char* dot = std::strrchr(spec->name, '.');
    if (!set_global(dot ? dot + 1 : spec->name, t.get())) return nullptr;
    return reinterpret_cast<PyTypeObject*>(t.get());  // the module holds it
}

namespace {

PyObject* refuse_pickle(PyObject*, PyObject* const*) {
    PyErr_SetString(PyExc_TypeError, "no default __reduce__ due to non-trivial __cinit__");
    return nullptr;
}

}  // namespace

bool add_pickle_refusal(PyTypeObject* type) {
    return add_method(type, {.name = "__reduce__", .impl = refuse_pickle}) &&
           add_method(type, {.name = "__reduce_ex__", .impl = refuse_pickle, .params = {Param::req("protocol")}}) &&
           add_method(type, {.name = "__setstate__", .impl = refuse_pickle, .params = {Param::req("state")}});
}

Ref find_override(PyObject* self, PyTypeObject* base, PyObject* name) {
    PyTypeObject* tp = Py_TYPE(self);
    if (tp == base) return {};
    PyObject* mine = _PyType_Lookup(tp, name);
    if (!mine || mine == _PyType_Lookup(base, name)) return {};
    return Ref::steal(PyObject_GetAttr(self, name));
}

Ref add_plain_class(const char* name, const char* doc, const std::vector<FunctionDef>& functions) {
    Ref ns = Ref::steal(PyDict_New());
    if (!ns) return {};
    Ref modname = Ref::steal(current_module_name());
    Ref qualname = Ref::steal(PyUnicode_FromString(name));
    Ref docstr = doc ? Ref::steal(PyUnicode_FromString(doc)) : none();
    if (!modname || !qualname || !docstr) return {};
    if (PyDict_SetItemString(ns.get(), "__module__", modname.get()) < 0 ||
        PyDict_SetItemString(ns.get(), "__qualname__", qualname.get()) < 0 ||
        PyDict_SetItemString(ns.get(), "__doc__", docstr.get()) < 0)
        return {};
    for (const FunctionDef& fd : functions) {
        FunctionDef d = fd;
        std::string q;
        if (!d.qualname) {
            q = std::string(name) + "." + d.name;
            d.qualname = q.c_str();
        }
        Ref f = make_function(d);
        if (!f || PyDict_SetItemString(ns.get(), d.name, f.get()) < 0) return {};
    }
    Ref bases = Ref::steal(PyTuple_New(0));
    if (!bases) return {};
    Ref cls = call(reinterpret_cast<PyObject*>(&PyType_Type), qualname.get(), bases.get(), ns.get());
    if (!cls || !set_global(name, cls.get())) return {};
    return cls;
}

}  // namespace pyext
