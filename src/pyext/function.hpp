// One function type for every Python-visible function and method, and the
// declarations it is made from.
//
// A Function carries __name__, __qualname__, __module__, __doc__,
// __annotations__, __defaults__ and __signature__ (so inspect.signature
// works), parses its arguments with ArgSpec, is called through vectorcall
// and binds like a Python function when stored in a class: `obj.m()` calls
// it without creating a bound method (Py_TPFLAGS_METHOD_DESCRIPTOR), and a
// plain class made with type(...) gets real methods.
//
// Two calling shapes:
//   * methods of extension types: the instance comes separately as `self`
//     and is not counted in argument messages (see type.hpp);
//   * plain functions: every argument is a parameter, `self` included when
//     the function is a method of a plain class.
//
// A declaration, written once next to the code it binds:
//
//   Ref py_increment(PyObject* self, PyObject* const* argv) { ... }
//   ...
//   {.name = "increment", .impl = pyext::impl<py_increment>, .params = {opt("delta", 1)},
//    .doc = "Atomically increment and return new value.", .returns = "int"},
#pragma once
#include "args.hpp"
#include "convert.hpp"
#include <cstddef>
#include <initializer_list>
#include <tuple>
#include <utility>

namespace pyext {

// A Python-visible function's body: argv holds one borrowed reference per
// parameter, defaults filled in; `self` is the instance for methods and null
// for plain functions.  It returns the new reference (null: an error is set).
using Body = Ref (*)(PyObject* self, PyObject* const* argv);

// What the layer calls: impl<body>, the body inlined into an entry that
// hands the reference on as a plain pointer.  (A class with a destructor is
// returned through memory and keeps a call from ending in a tail call: this
// is the return path of every call.)
//   {.name = "load", .impl = pyext::impl<py_load>, ...}
using Impl = PyObject* (*)(PyObject* self, PyObject* const* argv);

template <Body F>
PyObject* impl(PyObject* self, PyObject* const* argv) {
    return F(self, argv).release();
}

// A constant Python value, written in C++: the default of a parameter.
// Made into an object when the function is made.
class Value {
public:
    enum class Kind : unsigned char { kNone, kFalse, kTrue, kInt, kFloat, kStr };
    constexpr Value(std::nullptr_t) noexcept : kind_(Kind::kNone) {}
    constexpr Value(bool b) noexcept : kind_(b ? Kind::kTrue : Kind::kFalse) {}
    constexpr Value(int v) noexcept : kind_(Kind::kInt), int_(v) {}
    constexpr Value(long long v) noexcept : kind_(Kind::kInt), int_(v) {}
    constexpr Value(double v) noexcept : kind_(Kind::kFloat), float_(v) {}
    constexpr Value(const char* s) noexcept : kind_(Kind::kStr), str_(s) {}

    constexpr Kind kind() const { return kind_; }
    constexpr long long as_int() const { return int_; }
    constexpr double as_float() const { return float_; }
    Ref make() const;

private:
    Kind kind_;
    long long int_ = 0;
    double float_ = 0.0;
    const char* str_ = nullptr;
};

struct Param {
    const char* name;
    bool optional = false;
    Value dflt = nullptr;
    const char* annotation = nullptr;  // string shown in __annotations__
};

// A required parameter, and one with a default.
constexpr Param req(const char* name, const char* annotation = nullptr) { return {name, false, nullptr, annotation}; }
constexpr Param opt(const char* name, Value dflt, const char* annotation = nullptr) {
    return {name, true, dflt, annotation};
}

using Params = std::initializer_list<Param>;

struct FunctionDef {
    const char* name;
    Impl impl;
    Params params = {};               // required ones first; methods: without self
    const char* doc = nullptr;
    const char* returns = nullptr;    // return annotation string
    const char* bind_as = nullptr;    // attribute name, when not `name`
    std::initializer_list<const char*> aliases = {};  // more attribute names for the same function
};

using Functions = std::initializer_list<FunctionDef>;

namespace detail {

// A native argument, left unset until its conversion writes it.
template <typename T>
struct Unset {
    T value;
    Unset() {}
};

template <typename F>
struct NativeCall;
template <typename R, typename... A>
struct NativeCall<R (*)(A...)> {
    // Flattened: the conversions of a long parameter list stay inline, as
    // in a hand-written wrapper.
    template <R (*F)(A...), size_t... I>
    [[gnu::flatten]] static Ref call(PyObject* const* argv, std::index_sequence<I...>) {
        std::tuple<Unset<A>...> args;
        if (!(to_native(argv[I], std::get<I>(args).value) && ...)) return {};
        return from_native(F(std::get<I>(args).value...));
    }
    static constexpr size_t arity = sizeof...(A);
};

}  // namespace detail

// The Impl of a plain function over a native function of numbers and truth
// values: each argument converted by its parameter's type (to_native), in
// parameter order, stopping at the first that fails; the result by its type
// (from_native).
//   {.name = "recommend_headroom", .impl = pyext::native<recommend_headroom>, ...}
template <auto F>
PyObject* native(PyObject*, PyObject* const* argv) {
    using Call = detail::NativeCall<decltype(F)>;
    return Call::template call<F>(argv, std::make_index_sequence<Call::arity>{}).release();
}

// How a function is bound; see the calling shapes above.
struct Binding {
    PyTypeObject* owner = nullptr;  // methods of an extension type
    const char* qualname = nullptr; // default: Owner.name for methods, name otherwise
};

// New function object.
Ref make_function(const FunctionDef& def, const Binding& binding = {});

// Creates the function and binds it in `target` (a module namespace dict
// or a type) under `bind_as` or its name, then under each alias.
bool add_function(PyObject* target, const FunctionDef& def, const Binding& binding = {});
// Module functions, in order, into the module being executed.
bool add_functions(Functions defs);

// Made by the first module execution of the library.
bool init_function_type();

}  // namespace pyext
