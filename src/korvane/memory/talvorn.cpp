// korvane.memory.talvorn: the free-block tree.
//
// FastRedBlackTree keeps a memory pool's free blocks by size: one native
// red-black node per distinct size (rbtree.hpp), further blocks of that
// size in a chain behind it.  Writers serialise on a threading.Lock and
// keep a sequence counter odd while they change the tree; readers take no
// lock and validate what they read against the counter.
//
// Rules that keep the structure safe while Python code runs:
//   * nodes change only with the interpreter lock held and with no Python
//     code between the first and the last change of one operation;
//   * block references that a writer gives up are released after the tree
//     is consistent again and after write_lock is released, so that a
//     block's finaliser may call back into the tree;
//   * objects that may trigger the garbage collector (lists, dicts,
//     tuples) are allocated before a lock is taken.
#include "pyext/pyext.hpp"
#include "rbtree.hpp"

#include <cstdint>
#include <ctime>
#include <type_traits>

using pyext::Param;
using pyext::Ref;
using rb::ChainEntry;
using rb::RBNode;

namespace {

constexpr int kMaxRetries = 100;

// The clock of time.perf_counter_ns() on Linux.
uint64_t monotonic_ns() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000000u + static_cast<uint64_t>(ts.tv_nsec);
}

// ------------------------------------------------------------ nodes

// A tree node or a chain entry holding a new reference to `block`;
// MemoryError "Failed to allocate RB node" when the allocator fails.
template <typename Node>
Node* allocate(uint64_t size, PyObject* block) {
    auto* n = static_cast<Node*>(PyMem_Malloc(sizeof(Node)));
    if (!n) {
        PyErr_SetString(PyExc_MemoryError, "Failed to allocate RB node");
        return nullptr;
    }
    if constexpr (std::is_same_v<Node, RBNode>)
        rb::init_node(n, size, Py_NewRef(block), monotonic_ns());
    else
        rb::init_entry(n, size, Py_NewRef(block), monotonic_ns());
    return n;
}

// Frees a node or entry, then releases its block (which may run a
// finaliser).
struct FreeNode {
    template <typename Node>
    void operator()(Node* n) const {
        auto* block = static_cast<PyObject*>(n->block_obj);
        PyMem_Free(n);
        Py_XDECREF(block);
    }
};

// A detached tree, freed with its chains when the holder goes out of scope.
// Declared before the lock is taken, it goes after the lock is released.
struct DetachedTree {
    RBNode* root = nullptr;
    DetachedTree() = default;
    DetachedTree(const DetachedTree&) = delete;
    DetachedTree& operator=(const DetachedTree&) = delete;
    ~DetachedTree() { rb::destroy(root, FreeNode{}); }
};

// --------------------------------------------------- FastRedBlackTree

// Running totals, shown by get_stats() in this order.  Counted natively:
// nothing outside the type can see them between reports.
struct Stats {
    uint64_t total_blocks;
    uint64_t total_insertions;
    uint64_t total_deletions;
    uint64_t total_searches;
    uint64_t bucket_hits;
    uint64_t tree_hits;
    uint64_t operation_count;
    bool has_breaker_trips;  // "circuit_breaker_trips" present
    uint64_t breaker_trips;
};

struct FastRedBlackTree {
    PyObject_HEAD
    rb::Tree tree;
    uint64_t node_count;
    PyObject* write_lock;
    uint64_t seq_counter;
    uint32_t sample_rate;
    PyObject* operation_counter;
    PyObject* sampled_counter;
    int using_atomic;
    PyObject* stats_lock;
    Stats stats;
};

PyTypeObject* Tree_Type = nullptr;
PyObject* g_backoff_delay = nullptr;  // 0.0001, kept for the process

inline FastRedBlackTree* as_tree(PyObject* o) { return reinterpret_cast<FastRedBlackTree*>(o); }
// Instances of the class itself: its methods cannot be replaced (the type
// is frozen), so their native logic may run without attribute lookup.
inline bool exact(PyObject* o) { return Py_IS_TYPE(o, Tree_Type); }

// -------------------------------------------------------- size checks

enum class Req { OK, NEGATIVE, ERROR };

PyObject* invalid_size(PyObject* size) {
    Ref msg = Ref::steal(PyUnicode_FromFormat("Invalid size: %S", size));
    if (msg) PyErr_SetObject(PyExc_ValueError, msg.get());
    return nullptr;
}

// `_sanitize_size` on an exact int: -1 negative, 1 not, 0 with an error.
int int_is_negative(PyObject* v) {
    int overflow = 0;
    long long x = PyLong_AsLongLongAndOverflow(v, &overflow);
    if (x == -1 && !overflow && PyErr_Occurred()) return 0;
    return (overflow < 0 || (!overflow && x < 0)) ? -1 : 1;
}

// The request size of an operation: self._sanitize_size(size) converted
// to unsigned 64-bit.  `size` is the already coerced int.  A ValueError
// from _sanitize_size is turned into NEGATIVE (error cleared) unless
// `propagate_value_error`.
Req request_size(PyObject* self, PyObject* size, uint64_t& out, bool propagate_value_error) {
    if (exact(self)) {
        int neg = int_is_negative(size);
        if (neg == 0) return Req::ERROR;
        if (neg < 0) {
            if (!propagate_value_error) return Req::NEGATIVE;
            invalid_size(size);
            return Req::ERROR;
        }
        return pyext::to_u64(size, out) ? Req::OK : Req::ERROR;
    }
    Ref r = pyext::call_method(self, PYEXT_STR("_sanitize_size"), size);
    if (!r) {
        if (!propagate_value_error && PyErr_ExceptionMatches(PyExc_ValueError)) {
            PyErr_Clear();
            return Req::NEGATIVE;
        }
        return Req::ERROR;
    }
    return pyext::to_u64(r.get(), out) ? Req::OK : Req::ERROR;
}

PyObject* py_sanitize_size(PyObject*, PyObject* const* argv) {
    Ref size = pyext::coerce_int_arg(argv[0], "size");
    if (!size) return nullptr;
    int neg = int_is_negative(size.get());
    if (neg == 0) return nullptr;
    if (neg < 0) return invalid_size(size.get());
    return pyext::check_int_result(std::move(size)).release();
}

// ----------------------------------------------------- reader side

// time.sleep(0.0001) through the module global `time`.
bool back_off() {
    Ref time = pyext::global(PYEXT_STR("time"));
    if (!time) return false;
    return static_cast<bool>(pyext::call_method(time.get(), PYEXT_STR("sleep"), g_backoff_delay));
}

// The validated read: up to kMaxRetries attempts; an odd counter means a
// writer is inside its change (it can be running Python code, such as a
// block's __eq__), so the reader backs off.  `attempt(t, seq_start,
// retry)` returns a new reference, or null with an error set or with
// `retry` set when the read must be repeated.  The walk itself runs with
// the interpreter lock held, so it never meets a half-made change.
template <typename Attempt, typename Empty>
PyObject* validated_read(FastRedBlackTree* t, Attempt attempt, Empty empty) {
    for (int tries = 0; tries < kMaxRetries; ++tries) {
        uint64_t seq_start = t->seq_counter;
        if (seq_start & 1) {
            if (!back_off()) return nullptr;
            continue;
        }
        bool retry = false;
        PyObject* result = attempt(t, seq_start, retry);
        if (retry) continue;
        if (!result) return nullptr;
        if (t->seq_counter == seq_start) {
            ++t->stats.total_searches;
            return result;
        }
        Py_DECREF(result);
    }
    return empty();
}

PyObject* py_find_best_fit(PyObject* self, PyObject* const* argv) {
    Ref size = pyext::coerce_int_arg(argv[0], "size");
    if (!size) return nullptr;
    Ref alignment = pyext::coerce_int_arg(argv[1], "alignment");
    if (!alignment) return nullptr;
    uint64_t req;
    switch (request_size(self, size.get(), req, false)) {
        case Req::OK: break;
        case Req::NEGATIVE: Py_RETURN_NONE;
        case Req::ERROR: return nullptr;
    }
    return validated_read(
        as_tree(self),
        [req](FastRedBlackTree* t, uint64_t, bool&) -> PyObject* {
            RBNode* n = t->tree.find_best_fit_node(req);
            return Py_NewRef(n ? static_cast<PyObject*>(n->block_obj) : Py_None);
        },
        []() -> PyObject* { Py_RETURN_NONE; });
}

PyObject* py_find_all_exact(PyObject* self, PyObject* const* argv) {
    Ref size = pyext::coerce_int_arg(argv[0], "size");
    if (!size) return nullptr;
    uint64_t req;
    switch (request_size(self, size.get(), req, false)) {
        case Req::OK: break;
        case Req::NEGATIVE: return PyList_New(0);
        case Req::ERROR: return nullptr;
    }
    return validated_read(
        as_tree(self),
        [req](FastRedBlackTree* t, uint64_t seq_start, bool& retry) -> PyObject* {
            RBNode* n = t->tree.find_node(req);
            Py_ssize_t count = n ? static_cast<Py_ssize_t>(rb::chain_count(n)) : 0;
            // The list's allocation may run the garbage collector, and
            // with it finalisers that change the tree: fill it only if
            // nothing changed.
            Ref list = Ref::steal(PyList_New(count));
            if (!list) return nullptr;
            if (t->seq_counter != seq_start) {
                retry = true;
                return nullptr;
            }
            if (!n) return list.release();
            PyList_SET_ITEM(list.get(), 0, Py_NewRef(static_cast<PyObject*>(n->block_obj)));
            Py_ssize_t i = 1;
            for (ChainEntry* e = n->next_same_size; e; e = e->next_same_size)
                PyList_SET_ITEM(list.get(), i++, Py_NewRef(static_cast<PyObject*>(e->block_obj)));
            return list.release();
        },
        []() { return PyList_New(0); });
}

// ----------------------------------------------------- writer side
//
//   with self.write_lock:
//       self.seq_counter += 1
//       try: <change>
//       finally: self.seq_counter += 1
//
// References given up by the change are held by objects declared before
// the guard, so they are released after the lock.

template <typename Change>
bool write(FastRedBlackTree* t, Change change) {
    pyext::WithLock guard(t->write_lock);
    if (!guard) return false;
    ++t->seq_counter;
    bool ok = change();
    ++t->seq_counter;
    if (!ok) return false;  // the guard's destructor leaves the block with the exception
    return guard.exit();
}

void count_removal(FastRedBlackTree* t) {
    --t->node_count;
    --t->stats.total_blocks;
    ++t->stats.total_deletions;
}

// Takes a removed block's place: the first chain entry moves into the tree
// node.  The node's old block reference goes to `given_up`.
void promote_first_entry(RBNode* node, Ref& given_up) {
    ChainEntry* e = node->next_same_size;
    given_up = Ref::steal(static_cast<PyObject*>(node->block_obj));
    node->block_obj = e->block_obj;
    node->next_same_size = e->next_same_size;
    PyMem_Free(e);
}

PyObject* py_insert(PyObject* self, PyObject* const* argv) {
    Ref size = pyext::coerce_int_arg(argv[0], "size");
    if (!size) return nullptr;
    PyObject* block = argv[1];
    uint64_t req;
    if (request_size(self, size.get(), req, true) != Req::OK) return nullptr;
    FastRedBlackTree* t = as_tree(self);

    bool sample = false;
    if (t->using_atomic) {
        Ref counter = Ref::borrow(t->operation_counter);
        Ref r = pyext::call_method(counter.get(), PYEXT_STR("increment"));
        int64_t count;
        if (!r || !pyext::to_i64(r.get(), count)) return nullptr;
        if (t->sample_rate != 0 && count % static_cast<int64_t>(t->sample_rate) == 0) sample = true;
    }
    bool ok = write(t, [&]() {
        if (RBNode* existing = t->tree.find_node(req)) {
            ChainEntry* e = allocate<ChainEntry>(req, block);
            if (!e) return false;
            e->next_same_size = existing->next_same_size;
            existing->next_same_size = e;
        } else {
            RBNode* n = allocate<RBNode>(req, block);
            if (!n) return false;
            t->tree.insert_node(n);
        }
        ++t->node_count;
        ++t->stats.total_blocks;
        ++t->stats.total_insertions;
        ++t->stats.operation_count;
        if (sample && t->using_atomic) {
            Ref counter = Ref::borrow(t->sampled_counter);
            if (!pyext::call_method(counter.get(), PYEXT_STR("increment"))) return false;
        }
        return true;
    });
    if (!ok) return nullptr;
    Py_RETURN_TRUE;
}

// stored == block, with the stored object as left operand: 1, 0, or -1
// with an error set.
int blocks_equal(void* stored, PyObject* block) {
    Ref s = Ref::borrow(static_cast<PyObject*>(stored));
    Ref r = Ref::steal(PyObject_RichCompare(s.get(), block, Py_EQ));
    if (!r) return -1;
    if (r.get() == Py_True) return 1;
    if (r.get() == Py_False) return 0;
    return PyObject_IsTrue(r.get());
}

PyObject* py_delete(PyObject* self, PyObject* const* argv) {
    Ref size = pyext::coerce_int_arg(argv[0], "size");
    if (!size) return nullptr;
    PyObject* block = argv[1];
    uint64_t req;
    switch (request_size(self, size.get(), req, false)) {
        case Req::OK: break;
        case Req::NEGATIVE: Py_RETURN_FALSE;
        case Req::ERROR: return nullptr;
    }
    FastRedBlackTree* t = as_tree(self);
    Ref given_up;  // released after the lock
    bool removed = false;
    bool ok = write(t, [&]() {
        RBNode* node = t->tree.find_node(req);
        if (!node) return true;
        // Comparisons run Python code; the tree stays as it is meanwhile
        // (other writers wait for the lock), and nothing is changed
        // before the match is known.
        int eq = blocks_equal(node->block_obj, block);
        if (eq < 0) return false;
        if (eq) {
            if (node->next_same_size) {
                promote_first_entry(node, given_up);
            } else {
                t->tree.delete_node(node);
                given_up = Ref::steal(static_cast<PyObject*>(node->block_obj));
                PyMem_Free(node);
            }
        } else {
            ChainEntry** link = &node->next_same_size;
            ChainEntry* e = *link;
            for (; e; link = &e->next_same_size, e = *link) {
                eq = blocks_equal(e->block_obj, block);
                if (eq < 0) return false;
                if (eq) break;
            }
            if (!e) return true;
            *link = e->next_same_size;
            given_up = Ref::steal(static_cast<PyObject*>(e->block_obj));
            PyMem_Free(e);
        }
        count_removal(t);
        removed = true;
        return true;
    });
    if (!ok) return nullptr;
    return pyext::from_bool(removed);
}

PyObject* py_remove_ge(PyObject* self, PyObject* const* argv) {
    Ref size = pyext::coerce_int_arg(argv[0], "size");
    if (!size) return nullptr;
    uint64_t req;
    Req rs = request_size(self, size.get(), req, false);
    if (rs == Req::ERROR) return nullptr;
    Ref result = Ref::steal(PyTuple_New(2));
    if (!result) return nullptr;
    if (rs == Req::NEGATIVE) {
        PyTuple_SET_ITEM(result.get(), 0, Py_NewRef(Py_None));
        PyTuple_SET_ITEM(result.get(), 1, Py_NewRef(Py_None));
        return result.release();
    }
    FastRedBlackTree* t = as_tree(self);
    PyObject* found_size = nullptr;
    PyObject* found_block = nullptr;
    bool ok = write(t, [&]() {
        RBNode* node = t->tree.find_best_fit_node(req);
        if (!node) return true;
        found_size = PyLong_FromUnsignedLongLong(node->size);
        if (!found_size) return false;  // nothing changed yet
        // The node's reference to its block passes to the result.
        found_block = static_cast<PyObject*>(node->block_obj);
        if (node->next_same_size) {
            ChainEntry* e = node->next_same_size;
            node->block_obj = e->block_obj;
            node->next_same_size = e->next_same_size;
            PyMem_Free(e);
        } else {
            t->tree.delete_node(node);
            PyMem_Free(node);
        }
        count_removal(t);
        return true;
    });
    PyTuple_SET_ITEM(result.get(), 0, found_size ? found_size : Py_NewRef(Py_None));
    PyTuple_SET_ITEM(result.get(), 1, found_block ? found_block : Py_NewRef(Py_None));
    if (!ok) return nullptr;  // a removed block goes with the tuple
    return result.release();
}

PyObject* py_clear(PyObject* self, PyObject* const*) {
    FastRedBlackTree* t = as_tree(self);
    DetachedTree old_nodes;  // released after the lock,
    Ref old_ops, old_sampled;  // and so are the replaced counters
    bool ok = write(t, [&]() {
        old_nodes.root = t->tree.detach();
        t->node_count = 0;
        t->stats = Stats{};
        if (t->using_atomic) {
            Ref cls = pyext::global(PYEXT_STR("AtomicCounter"));
            if (!cls) return false;
            Ref zero = Ref::steal(PyLong_FromLong(0));
            if (!zero) return false;
            Ref ops = pyext::call(cls.get(), zero.get());
            if (!ops) return false;
            old_ops = Ref::steal(t->operation_counter);
            t->operation_counter = ops.release();
            Ref sampled = pyext::call(cls.get(), zero.get());
            if (!sampled) return false;
            old_sampled = Ref::steal(t->sampled_counter);
            t->sampled_counter = sampled.release();
        }
        return true;
    });
    if (!ok) return nullptr;
    Py_RETURN_NONE;
}

// ----------------------------------------------------- reports

PyObject* py_size(PyObject* self, PyObject* const*) {
    return PyLong_FromUnsignedLongLong(as_tree(self)->node_count);
}

PyObject* py_get_size_distribution(PyObject* self, PyObject* const*) {
    FastRedBlackTree* t = as_tree(self);
    Ref dist = Ref::steal(PyDict_New());
    if (!dist) return nullptr;
    pyext::WithLock guard(t->write_lock);
    if (!guard) return nullptr;
    bool ok = true;
    rb::for_each_preorder(t->tree.root, [&](RBNode* n) {
        if (!ok) return;
        Ref k = Ref::steal(PyLong_FromUnsignedLongLong(n->size));
        Ref v = k ? Ref::steal(PyLong_FromUnsignedLongLong(rb::chain_count(n))) : Ref();
        ok = v && PyDict_SetItem(dist.get(), k.get(), v.get()) == 0;
    });
    if (!ok || !guard.exit()) return nullptr;
    return dist.release();
}

bool set_count(PyObject* d, PyObject* key, uint64_t v) {
    Ref o = Ref::steal(PyLong_FromLongLong(static_cast<int64_t>(v)));
    return o && PyDict_SetItem(d, key, o.get()) == 0;
}

PyObject* py_get_stats(PyObject* self, PyObject* const*) {
    FastRedBlackTree* t = as_tree(self);
    Ref d = Ref::steal(PyDict_New());
    if (!d) return nullptr;
    pyext::WithLock guard(t->stats_lock);
    if (!guard) return nullptr;
    const Stats& s = t->stats;
    PyObject* r = d.get();
    bool ok = set_count(r, PYEXT_STR("total_blocks"), s.total_blocks) &&
              set_count(r, PYEXT_STR("total_insertions"), s.total_insertions) &&
              set_count(r, PYEXT_STR("total_deletions"), s.total_deletions) &&
              set_count(r, PYEXT_STR("total_searches"), s.total_searches) &&
              set_count(r, PYEXT_STR("bucket_hits"), s.bucket_hits) &&
              set_count(r, PYEXT_STR("tree_hits"), s.tree_hits) &&
              set_count(r, PYEXT_STR("operation_count"), s.operation_count) &&
              (!s.has_breaker_trips || set_count(r, PYEXT_STR("circuit_breaker_trips"), s.breaker_trips));
    if (!ok) return nullptr;
    Ref nc = Ref::steal(PyLong_FromUnsignedLongLong(t->node_count));
    if (!nc || PyDict_SetItem(r, PYEXT_STR("node_count"), nc.get()) < 0) return nullptr;
    Ref h = Ref::steal(PyLong_FromLong(rb::height(t->tree.root)));
    if (!h || PyDict_SetItem(r, PYEXT_STR("height"), h.get()) < 0) return nullptr;
    Ref sampled;
    if (t->using_atomic) {
        Ref counter = Ref::borrow(t->sampled_counter);
        sampled = pyext::call_method(counter.get(), PYEXT_STR("load"));
    } else {
        sampled = Ref::steal(PyLong_FromLong(0));
    }
    if (!sampled || PyDict_SetItem(r, PYEXT_STR("sampled_operations"), sampled.get()) < 0 ||
        PyDict_SetItem(r, PYEXT_STR("is_valid"), Py_True) < 0)
        return nullptr;
    if (!guard.exit()) return nullptr;
    return d.release();
}

PyObject* py_reset_circuit_breaker(PyObject* self, PyObject* const*) {
    FastRedBlackTree* t = as_tree(self);
    pyext::WithLock guard(t->stats_lock);
    if (!guard) return nullptr;
    t->stats.has_breaker_trips = true;
    t->stats.breaker_trips = 0;
    t->stats.operation_count = 0;
    if (!guard.exit()) return nullptr;
    Py_RETURN_NONE;
}

PyObject* py_get_statistics(PyObject*, PyObject* const*) { return PyDict_New(); }

// ----------------------------------------------------- slots

// self.size(), through attribute lookup unless self is of the exact class.
Ref size_of(PyObject* self) {
    if (exact(self)) return Ref::steal(PyLong_FromUnsignedLongLong(as_tree(self)->node_count));
    return pyext::call_method(self, PYEXT_STR("size"));
}

Py_ssize_t tree_length(PyObject* self) {
    if (exact(self)) {
        uint64_t n = as_tree(self)->node_count;
        return n > static_cast<uint64_t>(PY_SSIZE_T_MAX) ? PY_SSIZE_T_MAX : static_cast<Py_ssize_t>(n);
    }
    Ref r = size_of(self);
    if (!r) return -1;
    Py_ssize_t n = PyNumber_AsSsize_t(r.get(), PyExc_OverflowError);
    if (n == -1 && PyErr_Occurred()) return -1;
    if (n < 0) {
        PyErr_SetString(PyExc_ValueError, "__len__() should return >= 0");
        return -1;
    }
    return n;
}

int tree_bool(PyObject* self) {
    if (exact(self)) return as_tree(self)->node_count > 0;
    Ref r = size_of(self);
    if (!r) return -1;
    Ref zero = Ref::steal(PyLong_FromLong(0));
    if (!zero) return -1;
    Ref gt = Ref::steal(PyObject_RichCompare(r.get(), zero.get(), Py_GT));
    return gt ? PyObject_IsTrue(gt.get()) : -1;
}

PyObject* tree_repr(PyObject* self) {
    return PyUnicode_FromFormat("FastRedBlackTree(blocks=%llu, native=True)",
                                static_cast<unsigned long long>(as_tree(self)->node_count));
}

// threading.Lock() through the module global `threading`.
PyObject* new_lock() {
    Ref threading = pyext::global(PYEXT_STR("threading"));
    if (!threading) return nullptr;
    return pyext::call_method(threading.get(), PYEXT_STR("Lock")).release();
}

PyObject* tree_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
    static pyext::ArgSpec spec("__cinit__", {"sample_rate"}, 0);
    PyObject* argv[1];
    if (!spec.ok() || !spec.parse(args, kwds, argv)) return nullptr;
    uint32_t rate = 100;
    if (argv[0] && !pyext::to_u32(argv[0], rate)) return nullptr;
    Ref self = Ref::steal(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    FastRedBlackTree* t = as_tree(self.get());
    t->tree.root = nullptr;
    t->node_count = 0;
    if (!(t->write_lock = new_lock())) return nullptr;
    t->seq_counter = 0;
    t->sample_rate = rate;
    Ref available = pyext::global(PYEXT_STR("ATOMIC_AVAILABLE"));
    if (!available) return nullptr;
    int use = PyObject_IsTrue(available.get());
    if (use < 0) return nullptr;
    if (use) {
        Ref cls = pyext::global(PYEXT_STR("AtomicCounter"));
        if (!cls || (use = PyObject_IsTrue(cls.get())) < 0) return nullptr;
        if (use) {
            Ref zero = Ref::steal(PyLong_FromLong(0));
            if (!zero) return nullptr;
            t->operation_counter = pyext::call(cls.get(), zero.get()).release();
            if (!t->operation_counter) return nullptr;
            t->sampled_counter = pyext::call(cls.get(), zero.get()).release();
            if (!t->sampled_counter) return nullptr;
            t->using_atomic = 1;
        }
    }
    if (!t->using_atomic) {
        t->operation_counter = Py_NewRef(Py_None);
        t->sampled_counter = Py_NewRef(Py_None);
    }
    if (!(t->stats_lock = new_lock())) return nullptr;
    t->stats = Stats{};
    return self.release();
}

int tree_traverse(PyObject* self, visitproc visit, void* arg) {
    FastRedBlackTree* t = as_tree(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(t->write_lock);
    Py_VISIT(t->operation_counter);
    Py_VISIT(t->sampled_counter);
    Py_VISIT(t->stats_lock);
    int rc = 0;
    rb::for_each_preorder(t->tree.root, [&](RBNode* n) {
        if (rc == 0) rc = visit(static_cast<PyObject*>(n->block_obj), arg);
        for (ChainEntry* e = n->next_same_size; e && rc == 0; e = e->next_same_size)
            rc = visit(static_cast<PyObject*>(e->block_obj), arg);
    });
    return rc;
}

// Breaks reference cycles through blocks or counters.  The locks stay, so
// the tree remains usable (and empty) for whatever still reaches it.
int tree_clear(PyObject* self) {
    FastRedBlackTree* t = as_tree(self);
    DetachedTree old_nodes;
    old_nodes.root = t->tree.detach();
    t->node_count = 0;
    t->stats.total_blocks = 0;
    t->seq_counter += 2;  // readers that saw the old tree retry
    t->using_atomic = 0;
    PyObject* ops = t->operation_counter;
    PyObject* sampled = t->sampled_counter;
    t->operation_counter = Py_NewRef(Py_None);
    t->sampled_counter = Py_NewRef(Py_None);
    Py_XDECREF(ops);
    Py_XDECREF(sampled);
    return 0;
}

void tree_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    FastRedBlackTree* t = as_tree(self);
    {
        DetachedTree old_nodes;
        old_nodes.root = t->tree.detach();
        t->node_count = 0;
    }
    Py_CLEAR(t->write_lock);
    Py_CLEAR(t->operation_counter);
    Py_CLEAR(t->sampled_counter);
    Py_CLEAR(t->stats_lock);
    PyTypeObject* tp = Py_TYPE(self);
    tp->tp_free(self);
    Py_DECREF(tp);
}

const char kTreeDoc[] =
    "FastRedBlackTree(sample_rate=100)\n--\n\n"
    "Red-black tree of free memory blocks keyed by size.\n"
    "\n"
    "Design:\n"
    "    - native node structs, not Python objects\n"
    "    - lock-free reads validated by a sequence lock\n"
    "    - a single-writer mutex\n"
    "    - an intrusive list for blocks of the same size\n"
    "    - O(log n) insert, delete and search; O(1) access among blocks of one size\n";

PyType_Slot tree_slots[] = {
    {Py_tp_doc, const_cast<char*>(kTreeDoc)},
    {Py_tp_new, reinterpret_cast<void*>(tree_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(tree_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(tree_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(tree_clear)},
    {Py_tp_repr, reinterpret_cast<void*>(tree_repr)},
    {Py_sq_length, reinterpret_cast<void*>(tree_length)},
    {Py_mp_length, reinterpret_cast<void*>(tree_length)},
    {Py_nb_bool, reinterpret_cast<void*>(tree_bool)},
    {0, nullptr},
};

PyType_Spec tree_spec = {
    "korvane.memory.talvorn.FastRedBlackTree",
    sizeof(FastRedBlackTree),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    tree_slots,
};

// ----------------------------------------------------- methods

const char kInsertDoc[] =
    "Insert block into tree.\n"
    "\n"
    "Blocks of a size already present join that size's chain.\n"
    "\n"
    "Args:\n"
    "    size: Block size (must not be negative)\n"
    "    block: MemoryBlock to store\n"
    "\n"
    "Returns:\n"
    "    True\n";

const char kFindBestFitDoc[] =
    "Find best-fit block (LOCK-FREE read).\n"
    "\n"
    "Sequence lock protocol:\n"
    "    Even seq_counter = stable state (safe to read)\n"
    "    Odd seq_counter = write in progress (retry)\n"
    "\n"
    "Args:\n"
    "    size: Requested size\n"
    "    alignment: Alignment (unused)\n"
    "\n"
    "Returns:\n"
    "    The block of the smallest size >= size, or None\n";

const char kFindAllExactDoc[] =
    "Find all blocks of exact size (lock-free read).\n"
    "\n"
    "Args:\n"
    "    size: Block size\n"
    "\n"
    "Returns:\n"
    "    List of the blocks of that size (empty if there are none)\n";

const char kDeleteDoc[] =
    "Delete specific block.\n"
    "\n"
    "Args:\n"
    "    size: Block size\n"
    "    block: Block to remove (matched with ==)\n"
    "\n"
    "Returns:\n"
    "    True if a block was removed\n";

const char kRemoveGeDoc[] =
    "Remove and return best-fit block >= size.\n"
    "\n"
    "Args:\n"
    "    size: Minimum block size\n"
    "\n"
    "Returns:\n"
    "    (size, block) or (None, None)\n";

bool attach_methods() {
    PyTypeObject* t = Tree_Type;
    PyObject* one = PyLong_FromLong(1);  // cached small int
    Py_XDECREF(one);
    Ref sanitize = pyext::make_function({.name = "_sanitize_size",
                                         .impl = py_sanitize_size,
                                         .params = {Param::req("size", "int")},
                                         .doc = "Validate size.",
                                         .returns = "int",
                                         .qualname = "FastRedBlackTree._sanitize_size"});
    if (!sanitize) return false;
    Ref smethod = Ref::steal(PyStaticMethod_New(sanitize.get()));
    if (!smethod || PyObject_SetAttrString(reinterpret_cast<PyObject*>(t), "_sanitize_size", smethod.get()) < 0)
        return false;
    Param size = Param::req("size", "int");
    return pyext::add_method(t, {.name = "insert", .impl = py_insert,
                                 .params = {size, Param::req("block", "MemoryBlock")},
                                 .doc = kInsertDoc, .returns = "bool"}) &&
           pyext::add_method(t, {.name = "find_best_fit", .impl = py_find_best_fit,
                                 .params = {size, Param::opt("alignment", one, "int")},
                                 .doc = kFindBestFitDoc, .returns = "Optional[MemoryBlock]"}) &&
           pyext::add_method(t, {.name = "find_all_exact", .impl = py_find_all_exact, .params = {size},
                                 .doc = kFindAllExactDoc, .returns = "List[MemoryBlock]"}) &&
           pyext::add_method(t, {.name = "delete", .impl = py_delete,
                                 .params = {size, Param::req("block", "MemoryBlock")},
                                 .doc = kDeleteDoc, .returns = "bool"}) &&
           pyext::add_method(t, {.name = "size", .impl = py_size, .doc = "Get total block count.",
                                 .returns = "int"}) &&
           pyext::add_method(t, {.name = "remove_ge", .impl = py_remove_ge, .params = {size},
                                 .doc = kRemoveGeDoc,
                                 .returns = "Tuple[Optional[int], Optional[MemoryBlock]]"}) &&
           pyext::add_method(t, {.name = "get_stats", .impl = py_get_stats, .doc = "Get tree statistics.",
                                 .returns = "Dict[str, Any]"}) &&
           pyext::add_method(t, {.name = "clear", .impl = py_clear, .doc = "Clear all blocks.",
                                 .returns = "None"}) &&
           pyext::add_method(t, {.name = "get_size_distribution", .impl = py_get_size_distribution,
                                 .doc = "Get size distribution.", .returns = "Dict[int, int]"}) &&
           pyext::add_method(t, {.name = "reset_circuit_breaker", .impl = py_reset_circuit_breaker,
                                 .doc = "Reset circuit breaker stats.", .returns = "None"}) &&
           pyext::add_method(t, {.name = "get_statistics", .impl = py_get_statistics,
                                 .doc = "Get timing statistics (empty for sampling mode).",
                                 .returns = "Dict[int, List[float]]"});
}

// ------------------------------------------------------------------ module

// from ..memory.varnok import AtomicCounter, with the fallback for an
// ImportError (or a subclass); any other error ends the load.
bool import_atomic_counter() {
    if (pyext::import_from("korvane.memory.varnok", "AtomicCounter"))
        return pyext::set_global("ATOMIC_AVAILABLE", Py_True);
    if (!PyErr_ExceptionMatches(PyExc_ImportError)) return false;
    PyErr_Clear();
    return pyext::set_global("ATOMIC_AVAILABLE", Py_False) && pyext::set_global("AtomicCounter", Py_None);
}

int exec_talvorn(PyObject*) {
    Tree_Type = pyext::add_type(&tree_spec);
    if (!Tree_Type || !pyext::add_pickle_refusal(Tree_Type)) return -1;
    if (!g_backoff_delay && !(g_backoff_delay = PyFloat_FromDouble(0.0001))) return -1;
    if (!pyext::import_as("threading", "threading") || !pyext::import_as("time", "time") ||
        !pyext::import_as("math", "math"))
        return -1;
    for (const char* name : {"List", "Optional", "Tuple", "Dict", "Any"})
        if (!pyext::import_from("typing", name)) return -1;
    if (!pyext::import_from("korvane.memory.halvet", "MemoryBlock")) return -1;
    if (!import_atomic_counter()) return -1;
    if (!attach_methods()) return -1;
    pyext::freeze_type(Tree_Type);
    Ref test = Ref::steal(PyDict_New());
    return test && pyext::set_global("__test__", test.get()) ? 0 : -1;
}

}  // namespace

PYEXT_MODULE(talvorn, "korvane.memory.talvorn", exec_talvorn)
