// References to Python objects, with their ownership in the type:
//
//   Ref        an owned (strong) reference, released when the Ref goes;
//   Borrowed   a pointer owned by something else, valid while that owner
//              keeps it (a container's item, an argument, a module global);
//   Global     a strong reference held for the rest of the process.
//
//   Ref::steal(p)   takes over a new reference (the result of most C API calls);
//   Ref::borrow(p)  adds a reference to a borrowed pointer;
//   r.release()     gives the reference away (to return it or to store it).
// Every function of this layer and of the modules that returns a new
// reference returns a Ref; a null Ref means "an error is set".
#pragma once
#include "compat.hpp"
#include <array>
#include <cstddef>
#include <type_traits>
#include <utility>

namespace pyext {

class Ref {
public:
    Ref() noexcept = default;
    Ref(std::nullptr_t) noexcept {}
    static Ref steal(PyObject* p) noexcept { return Ref(p); }
    static Ref borrow(PyObject* p) noexcept {
        Py_XINCREF(p);
        return Ref(p);
    }
    Ref(const Ref& o) noexcept : p_(o.p_) { Py_XINCREF(p_); }
    Ref(Ref&& o) noexcept : p_(o.p_) { o.p_ = nullptr; }
    Ref& operator=(Ref o) noexcept {
        std::swap(p_, o.p_);
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    PyObject* get() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    PyObject* release() noexcept {
        PyObject* p = p_;
        p_ = nullptr;
        return p;
    }
    // Drops the reference; the field reads null before the object goes, so
    // a finalizer that runs meanwhile never sees a freed object here.
    void reset() noexcept { Py_CLEAR(p_); }
    // Replaces the reference and returns the old one, to be released by the
    // caller once its structure is consistent (and its locks are dropped).
    [[nodiscard]] Ref exchange(Ref value) noexcept {
        std::swap(p_, value.p_);
        return value;
    }

private:
    explicit Ref(PyObject* p) noexcept : p_(p) {}
    PyObject* p_ = nullptr;
};

class Borrowed {
public:
    constexpr Borrowed() noexcept = default;
    constexpr explicit Borrowed(PyObject* p) noexcept : p_(p) {}
    Borrowed(const Ref& r) noexcept : p_(r.get()) {}
    PyObject* get() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    Ref ref() const noexcept { return Ref::borrow(p_); }

private:
    PyObject* p_ = nullptr;
};

// Held until the process exits and never released: no destructor runs after
// the interpreter is gone.  Set once, while the module executes (before any
// other thread can reach the module), and read afterwards.
class Global {
public:
    constexpr Global() noexcept = default;
    Global(const Global&) = delete;
    Global& operator=(const Global&) = delete;
    void set(Ref value) noexcept {
        PyObject* old = p_;
        p_ = value.release();
        Py_XDECREF(old);
    }
    // Replaces the reference and returns the old one, for the caller to
    // release once its locks are dropped.
    [[nodiscard]] Ref exchange(Ref value) noexcept {
        PyObject* old = p_;
        p_ = value.release();
        return Ref::steal(old);
    }
    PyObject* get() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    Ref ref() const noexcept { return Ref::borrow(p_); }

private:
    PyObject* p_ = nullptr;
};


inline Ref none() { return Ref::borrow(Py_None); }

// d[key] and list[i] as strong references, safe while other threads change
// the container: null with no error set when the key is missing; null with
// an error set (IndexError for an index out of range) otherwise.
inline Ref dict_get(PyObject* d, PyObject* key) {
    PyObject* v;
    dict_get_ref(d, key, &v);
    return Ref::steal(v);
}
inline Ref list_get(PyObject* list, Py_ssize_t i) { return Ref::steal(list_get_ref(list, i)); }
inline Ref boolean(bool b) { return Ref::borrow(b ? Py_True : Py_False); }

// A tuple of new references, each taken over; null when one of them is null
// (its error is set) or when the tuple cannot be made.
//   return pyext::tuple_of(pyext::from_double(a), pyext::from_i64(n));
template <typename... R>
Ref tuple_of(R... items) {
    static_assert((std::is_same_v<R, Ref> && ...), "tuple_of takes Refs");
    if (!(static_cast<bool>(items) && ...)) return {};
    Ref t = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(sizeof...(R))));
    if (!t) return t;
    Py_ssize_t i = 0;
    ((PyTuple_SET_ITEM(t.get(), i, items.release()), ++i), ...);
    return t;
}

// Constants made when the extension's library is loaded, so that using one
// can never fail: code reads PYEXT_STR("x") anywhere without a null check,
// also in calls made while allocations fail.  A constant that could not be
// made at load is made by the module's execution step (make_pending), which
// fails the import with MemoryError if it still cannot.  Constants live for
// the rest of the process.
//
//   PYEXT_STR("name")                   an interned str
//   PYEXT_KWNAMES("a", "b")             a tuple of interned names, for a call by keyword
#define PYEXT_STR(literal) (::pyext::detail::Constant<::pyext::detail::MakeStr<decltype([] { return literal; })>>::value)
#define PYEXT_KWNAMES(...) \
    (::pyext::detail::Constant<::pyext::detail::MakeNames<decltype([] { return std::to_array<const char*>({__VA_ARGS__}); })>>::value)

namespace detail {

using Maker = PyObject* (*)();

// Constants whose creation failed at load, to be made again.
struct Pending {
    PyObject** slot;
    Maker make;
};
inline constexpr int kMaxPending = 1024;
inline Pending g_pending[kMaxPending];
inline int g_num_pending = 0;
inline bool g_pending_overflow = false;

inline PyObject* make_at_load(PyObject** slot, Maker make) {
    PyObject* o = make();
    if (!o) {
        PyErr_Clear();
        if (g_num_pending < kMaxPending)
            g_pending[g_num_pending++] = {slot, make};
        else
            g_pending_overflow = true;
    }
    return o;
}

template <typename Make>
struct Constant {
    static PyObject* value;
};
template <typename Make>
PyObject* Constant<Make>::value = make_at_load(&Constant<Make>::value, &Make::make);

template <typename Text>
struct MakeStr {
    static PyObject* make() { return PyUnicode_InternFromString(Text{}()); }
};

template <typename Names>
struct MakeNames {
    static PyObject* make() {
        constexpr auto names = Names{}();
        PyObject* t = PyTuple_New(static_cast<Py_ssize_t>(names.size()));
        if (!t) return nullptr;
        for (size_t i = 0; i < names.size(); ++i) {
            PyObject* s = PyUnicode_InternFromString(names[i]);
            if (!s) {
                Py_DECREF(t);
                return nullptr;
            }
            PyTuple_SET_ITEM(t, static_cast<Py_ssize_t>(i), s);
        }
        return t;
    }
};

// A tuple of N Nones, which every thread's new_list extends from: shared for
// life, so that those threads do not all write its reference count.
template <Py_ssize_t N>
struct MakeNones {
    static PyObject* make() {
        PyObject* t = PyTuple_New(N);
        if (!t) return nullptr;
        for (Py_ssize_t i = 0; i < N; ++i) PyTuple_SET_ITEM(t, i, Py_NewRef(Py_None));
        share_for_life(t);
        return t;
    }
};

// The tuple of n Nones, 0 < n <= sizeof...(I).
template <size_t... I>
PyObject* nones(Py_ssize_t n, std::index_sequence<I...>) {
    static PyObject* const* const tuples[] = {&Constant<MakeNones<I + 1>>::value...};
    return *tuples[n - 1];
}

}  // namespace detail

// PyList_New(n): a new list of n slots to fill with PyList_SET_ITEM.  On
// free-threaded builds PyList_New drops the half-made list through its
// deallocator when the item array cannot be allocated, before its item
// pointer and size are set: the deallocator then releases and frees
// whatever that memory held before, which corrupts the heap.  There the
// list starts empty and grows by the list's own means, which fail cleanly:
// extended from a constant tuple of n Nones (one allocation of exactly n
// slots), or for longer lists one None repeated in place.  Its slots hold
// None (immortal), which PyList_SET_ITEM may overwrite.
inline PyObject* new_list(Py_ssize_t n) {
#ifdef Py_GIL_DISABLED
    constexpr Py_ssize_t kTuples = 16;  // the lengths made as constants
    if (n <= 0) return PyList_New(n);
    PyObject* list = PyList_New(0);
    if (!list) return nullptr;
    if (n <= kTuples) {
        if (PyList_Extend(list, detail::nones(n, std::make_index_sequence<kTuples>{})) == 0) return list;
        Py_DECREF(list);
        return nullptr;
    }
    PyObject* grown = PyList_Append(list, Py_None) == 0 ? PySequence_InPlaceRepeat(list, n) : nullptr;
    Py_DECREF(list);
    return grown;  // the same list
#else
    return PyList_New(n);
#endif
}

// False with MemoryError set when a constant still cannot be made.
inline bool make_pending() {
    using namespace detail;
    while (g_num_pending > 0) {
        Pending& p = g_pending[g_num_pending - 1];
        if (!*p.slot && !(*p.slot = p.make())) return false;
        --g_num_pending;
    }
    if (g_pending_overflow) {
        PyErr_NoMemory();
        return false;
    }
    return true;
}

}  // namespace pyext
