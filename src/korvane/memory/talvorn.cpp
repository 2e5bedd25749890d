// korvane.memory.talvorn: the free-block tree.
//
// FastRedBlackTree keeps a memory pool's free blocks by size: one native
// red-black node per distinct size (rbtree.hpp), further blocks of that
// size in a chain behind it.  Writers serialise on a threading.Lock and
// keep a sequence counter odd while they change the tree; readers take no
// Python lock and validate what they read against the counter.
//
// Rules that keep the structure safe while other threads run:
//   * only a writer (holding write_lock) changes nodes, and it relinks them
//     only inside the writer side of the node lock (NodeLock below), a
//     section that runs no Python code and releases no reference;
//   * readers walk the nodes, and take references to the blocks they
//     return, inside the reader side of the node lock, so no node and no
//     block they reach can go meanwhile;
//   * block references that a writer gives up are released after the tree
//     is consistent again and after write_lock is released, so that a
//     block's finaliser may call back into the tree;
//   * objects that may trigger the garbage collector (lists, dicts,
//     tuples) are allocated before a lock is taken.
// With the interpreter lock the node lock compiles to nothing: no other
// thread runs while a call is inside its native sections.
#include "pyext/pyext.hpp"
#include "rbtree.hpp"

#include <atomic>
#include <cstdint>
#include <ctime>
#include <thread>
#include <type_traits>

using pyext::opt;
using pyext::Ref;
using pyext::req;
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

// The block object a node or chain entry holds.
inline PyObject* block_of(void* block_obj) { return static_cast<PyObject*>(block_obj); }

// Frees a node or entry, then releases its block (which may run a
// finaliser).
struct FreeNode {
    template <typename Node>
    void operator()(Node* n) const {
        PyObject* block = block_of(n->block_obj);
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

// ------------------------------------------------------- node lock
//
// Without the interpreter lock a reader's walk runs while a writer
// relinks nodes and frees the ones it takes out.  The node lock keeps the
// two apart: readers share it for a walk and the references they take,
// a writer holds it alone while it relinks nodes.  Both sides hold it for
// a few hundred instructions of native code at most (the one long holder
// is get_stats' walk for the height), never across a Python call, never
// while blocking on anything else: so waiting for it is a short spin, and
// a thread that waits keeps the interpreter's stop-the-world requests
// waiting no longer than that.
//
// Readers do not write a shared cache line: each thread announces its
// reads in one of kSlots slots of its own (threads beyond kSlots share
// them), and counts its searches there too.  A writer raises the writer
// flag and then waits for every slot to empty; a reader that finds the
// flag raised after announcing itself withdraws and waits for it to drop.
// (Sequentially consistent operations on both sides: either the reader
// sees the flag, or the writer sees the reader.)  Writers are mutually
// excluded by the flag itself.
//
// With the interpreter lock all of it compiles to nothing but the search
// count.

inline void cpu_relax() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    __asm__ __volatile__("yield");
#endif
}

// Waits until ready(): a short spin, then yielding the processor, as the
// holder may have been preempted.
template <typename Ready>
void wait_until(Ready ready) {
    for (int spins = 0; !ready(); ++spins) {
        if (spins < 100)
            cpu_relax();
        else
            std::this_thread::yield();
    }
}

// A running total, changed by one thread at a time and read by others:
// relaxed loads and stores, plain moves on x86.
struct Total {
    std::atomic<uint64_t> v;
    uint64_t get() const { return pyext::relaxed(v); }
    void set(uint64_t x) { pyext::relaxed(v, x); }
    void add(uint64_t d) { set(get() + d); }
    void sub(uint64_t d) { set(get() - d); }
};

#ifdef Py_GIL_DISABLED
class NodeLock {
public:
    static constexpr unsigned kSlots = 8;

    // A reader's slot: the thread's own, unless more threads than slots read.
    static unsigned my_slot() {
        static std::atomic<unsigned> next{0};
        thread_local unsigned slot = next.fetch_add(1, std::memory_order_relaxed) % kSlots;
        return slot;
    }

    void lock_shared(unsigned slot) {
        std::atomic<uint32_t>& mine = slots_[slot].readers;
        for (;;) {
            mine.fetch_add(1, std::memory_order_seq_cst);
            if (writer_.load(std::memory_order_seq_cst) == 0) return;
            mine.fetch_sub(1, std::memory_order_relaxed);
            wait_until([&] { return writer_.load(std::memory_order_relaxed) == 0; });
        }
    }
    void unlock_shared(unsigned slot) { slots_[slot].readers.fetch_sub(1, std::memory_order_release); }

    void lock() {
        wait_until([&] {
            uint32_t idle = 0;
            return writer_.compare_exchange_weak(idle, 1, std::memory_order_seq_cst, std::memory_order_relaxed);
        });
        for (Slot& s : slots_) wait_until([&] { return s.readers.load(std::memory_order_seq_cst) == 0; });
    }
    void unlock() { writer_.store(0, std::memory_order_release); }

    void count_search() { slots_[my_slot()].searches.fetch_add(1, std::memory_order_relaxed); }
    uint64_t searches() const {
        uint64_t n = 0;
        for (const Slot& s : slots_) n += s.searches.load(std::memory_order_relaxed);
        return n;
    }
    void reset_searches() {
        for (Slot& s : slots_) s.searches.store(0, std::memory_order_relaxed);
    }

private:
    // 128 bytes apart: the counters of two slots never share a cache line,
    // whatever the alignment of the instance.
    struct Slot {
        std::atomic<uint32_t> readers;
        std::atomic<uint64_t> searches;
        char pad[128 - 16];
    };

    std::atomic<uint32_t> writer_;  // 1 while a writer holds the lock or waits for the readers
    char pad_[124];                 // keeps the slots off the line of the fields every call reads
    Slot slots_[kSlots];
};
#else
class NodeLock {
public:
    static unsigned my_slot() { return 0; }
    void lock_shared(unsigned) {}
    void unlock_shared(unsigned) {}
    void lock() {}
    void unlock() {}
    void count_search() { searches_.add(1); }
    uint64_t searches() const { return searches_.get(); }
    void reset_searches() { searches_.set(0); }

private:
    Total searches_;
};
#endif

// --------------------------------------------------- FastRedBlackTree

// Running totals, shown by get_stats() in this order ("total_searches" is
// counted by the node lock).  Counted natively: nothing outside the type
// can see them between reports.  Writers change them inside the node
// lock's writer side, so a report taken inside the reader side agrees
// with the tree.
struct Stats {
    Total total_blocks;
    Total total_insertions;
    Total total_deletions;
    Total bucket_hits;
    Total tree_hits;
    Total operation_count;
    std::atomic<bool> has_breaker_trips;  // "circuit_breaker_trips" present
    Total breaker_trips;

    void reset() {
        for (Total* c : {&total_blocks, &total_insertions, &total_deletions, &bucket_hits, &tree_hits,
                         &operation_count, &breaker_trips})
            c->set(0);
        has_breaker_trips.store(false, std::memory_order_relaxed);
    }
};

struct FastRedBlackTree : pyext::Object {
#ifdef Py_GIL_DISABLED
    // Without the interpreter lock every thread that calls a method of a
    // shared tree writes its reference count (atomically, in the header):
    // the fields every call reads go on another cache line.
    char off_the_header_line[64];
#endif
    rb::Tree tree;  // the nodes hold a reference to their block each
    Total node_count;
    Ref write_lock;
    std::atomic<uint64_t> seq_counter;
    uint32_t sample_rate;
    Ref operation_counter;  // AtomicCounter, or None
    Ref sampled_counter;    // AtomicCounter, or None
    int using_atomic;
    Ref stats_lock;
    Stats stats;
    NodeLock nodes;

    void each_ref(auto&& f) {
        f(write_lock);
        f(operation_counter);
        f(sampled_counter);
        f(stats_lock);
    }
    // The blocks, so that a cycle through a block (block.pool = tree) is
    // collected.  The collector calls this with every other thread
    // stopped (free-threaded builds) or with the interpreter lock held,
    // never while a writer is inside its change of the nodes.
    int traverse_native(visitproc visit, void* arg) {
        int rc = 0;
        rb::for_each_preorder(tree.root, [&](RBNode* n) {
            if (rc == 0) rc = visit(block_of(n->block_obj), arg);
            for (ChainEntry* e = n->next_same_size; e && rc == 0; e = e->next_same_size)
                rc = visit(block_of(e->block_obj), arg);
        });
        return rc;
    }
    // The nodes and their blocks; the tree reads empty before the first
    // block goes.  Only for an instance no other thread can reach.
    void drop_native() {
        DetachedTree old_nodes;
        old_nodes.root = tree.detach();
        node_count.set(0);
        seq_counter.store(seq_counter.load(std::memory_order_relaxed) + 2, std::memory_order_release);
    }
};

// The two sides of the node lock, for a scope.
class ReadGuard {
public:
    explicit ReadGuard(FastRedBlackTree* t) : lock_(t->nodes), slot_(NodeLock::my_slot()) { lock_.lock_shared(slot_); }
    ~ReadGuard() { lock_.unlock_shared(slot_); }
    ReadGuard(const ReadGuard&) = delete;
    ReadGuard& operator=(const ReadGuard&) = delete;

private:
    NodeLock& lock_;
    unsigned slot_;
};

class WriteGuard {
public:
    explicit WriteGuard(FastRedBlackTree* t) : lock_(t->nodes) { lock_.lock(); }
    ~WriteGuard() { lock_.unlock(); }
    WriteGuard(const WriteGuard&) = delete;
    WriteGuard& operator=(const WriteGuard&) = delete;

private:
    NodeLock& lock_;
};

inline uint64_t sequence(FastRedBlackTree* t) { return t->seq_counter.load(std::memory_order_acquire); }

pyext::Global g_backoff_delay;  // 0.0001, made at execution

inline FastRedBlackTree* as_tree(PyObject* o) { return pyext::as<FastRedBlackTree>(o); }
// Instances of the class itself: its methods cannot be replaced (the type
// is frozen), so their native logic may run without attribute lookup.
inline bool exact(PyObject* o) { return Py_IS_TYPE(o, pyext::type_of<FastRedBlackTree>()); }

// -------------------------------------------------------- size checks

Ref invalid_size(PyObject* size) {
    Ref msg = Ref::steal(PyUnicode_FromFormat("Invalid size: %S", size));
    if (msg) PyErr_SetObject(PyExc_ValueError, msg.get());
    return {};
}

// `_sanitize_size` on an exact int: -1 negative, 1 not, 0 with an error.
int int_is_negative(PyObject* v) {
    int overflow = 0;
    long long x = PyLong_AsLongLongAndOverflow(v, &overflow);
    if (x == -1 && !overflow && PyErr_Occurred()) return 0;
    return (overflow < 0 || (!overflow && x < 0)) ? -1 : 1;
}

// Subclasses: self._sanitize_size(size) through attribute lookup.
bool sanitized_request_size(PyObject* self, PyObject* size, uint64_t& out, bool* negative) {
    Ref r = pyext::call_method(self, PYEXT_STR("_sanitize_size"), size);
    if (r) return pyext::to_u64(r.get(), out);
    if (negative && PyErr_ExceptionMatches(PyExc_ValueError)) {
        PyErr_Clear();
        *negative = true;
    }
    return false;
}

// The request size of an operation: self._sanitize_size(size) converted
// to unsigned 64-bit; `size` is the already coerced int.  False with an
// error set; or, where `negative` is given, false with *negative set and
// no error when _sanitize_size refused the size with ValueError (the
// operation then answers with its empty result).
inline bool request_size(PyObject* self, PyObject* size, uint64_t& out, bool* negative) {
    if (!exact(self)) return sanitized_request_size(self, size, out, negative);
    int neg = int_is_negative(size);
    if (neg == 0) return false;
    if (neg > 0) return pyext::to_u64(size, out);
    if (negative)
        *negative = true;
    else
        invalid_size(size);
    return false;
}

Ref py_sanitize_size(PyObject*, PyObject* const* argv) {
    Ref size = pyext::coerce_int_arg(argv[0], "size");
    if (!size) return {};
    int neg = int_is_negative(size.get());
    if (neg == 0) return {};
    if (neg < 0) return invalid_size(size.get());
    return pyext::check_int_result(std::move(size));
}

// ----------------------------------------------------- reader side

// time.sleep(0.0001) through the module global `time`.
bool back_off() {
    Ref time = pyext::global(PYEXT_STR("time"));
    if (!time) return false;
    return static_cast<bool>(pyext::call_method(time.get(), PYEXT_STR("sleep"), g_backoff_delay.get()));
}

// The validated read: up to kMaxRetries attempts; an odd counter means a
// writer is inside its change (it can be running Python code, such as a
// block's __eq__), so the reader backs off.  `attempt(t, seq_start,
// retry)` returns the result, or null with an error set or with `retry`
// set when the read must be repeated.  The walk itself runs inside the
// reader side of the node lock, so it never meets a half-made change.
//
// Without the interpreter lock a writer in another thread keeps the
// counter odd for a microsecond or two per change, and a busy one changes
// the tree again and again: a reader that slept 0.1 ms each time it met an
// odd counter would meet one after nearly every sleep and end with the
// empty result while the tree holds what it asks for.  So there a reader
// first waits a few microseconds for the counter to turn even, and backs
// off as before when it stays odd (a writer inside a block's __eq__, a
// writer of this thread).  With the interpreter lock no writer runs while
// the reader waits: it backs off at once.
constexpr uint64_t kEvenWaitNs = 5000;

uint64_t wait_for_even(FastRedBlackTree* t, uint64_t seq) {
    if constexpr (pyext::kFreeThreaded) {
        uint64_t deadline = 0;
        for (int spins = 0; seq & 1; seq = sequence(t)) {
            cpu_relax();
            if (++spins % 32) continue;
            uint64_t now = monotonic_ns();
            if (!deadline)
                deadline = now + kEvenWaitNs;
            else if (now > deadline)
                break;
        }
    }
    return seq;
}

template <typename Attempt, typename Empty>
Ref validated_read(FastRedBlackTree* t, Attempt attempt, Empty empty) {
    for (int tries = 0; tries < kMaxRetries; ++tries) {
        uint64_t seq_start = sequence(t);
        if (seq_start & 1) [[unlikely]] {
            seq_start = wait_for_even(t, seq_start);
            if (seq_start & 1) {
                if (!back_off()) return {};
                continue;
            }
        }
        bool retry = false;
        Ref result = attempt(t, seq_start, retry);
        if (retry) [[unlikely]] continue;
        if (!result) [[unlikely]] return {};
        if (sequence(t) == seq_start) [[likely]] {
            t->nodes.count_search();
            return result;
        }
    }
    return empty();
}

Ref py_find_best_fit(PyObject* self, PyObject* const* argv) {
    Ref size = pyext::coerce_int_arg(argv[0], "size");
    if (!size) return {};
    Ref alignment = pyext::coerce_int_arg(argv[1], "alignment");  // checked, otherwise unused
    if (!alignment) return {};
    uint64_t req = 0;
    bool negative = false;
    if (!request_size(self, size.get(), req, &negative)) return negative ? pyext::none() : Ref();
    return validated_read(
        as_tree(self),
        [req](FastRedBlackTree* t, uint64_t, bool&) {
            ReadGuard nodes(t);  // the node, and with it its reference to the block, stays meanwhile
            RBNode* n = t->tree.find_best_fit_node(req);
            return Ref::borrow(n ? block_of(n->block_obj) : Py_None);
        },
        pyext::none);
}

Ref empty_list() { return Ref::steal(PyList_New(0)); }

Ref py_find_all_exact(PyObject* self, PyObject* const* argv) {
    Ref size = pyext::coerce_int_arg(argv[0], "size");
    if (!size) return {};
    uint64_t req = 0;
    bool negative = false;
    if (!request_size(self, size.get(), req, &negative)) return negative ? empty_list() : Ref();
    return validated_read(
        as_tree(self),
        [req](FastRedBlackTree* t, uint64_t seq_start, bool& retry) -> Ref {
            RBNode* n;
            Py_ssize_t count;
            {
                ReadGuard nodes(t);
                n = t->tree.find_node(req);
                count = n ? static_cast<Py_ssize_t>(rb::chain_count(n)) : 0;
            }
            // The list's allocation may run the garbage collector, and
            // with it finalisers that change the tree, and other threads
            // may change it meanwhile: fill it only if nothing changed
            // since the walk (a writer's change makes the counter odd
            // before it takes the node lock), then `n` is still the node.
            Ref list = Ref::steal(pyext::new_list(count));
            if (!list) return {};
            ReadGuard nodes(t);
            if (sequence(t) != seq_start) {
                retry = true;
                return {};
            }
            if (!n) return list;
            PyList_SET_ITEM(list.get(), 0, Py_NewRef(block_of(n->block_obj)));
            Py_ssize_t i = 1;
            for (ChainEntry* e = n->next_same_size; e; e = e->next_same_size)
                PyList_SET_ITEM(list.get(), i++, Py_NewRef(block_of(e->block_obj)));
            return list;
        },
        empty_list);
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
//
// Only the holder of write_lock changes nodes, so the change reads them
// freely (readers only read); it relinks them inside a WriteGuard, the
// only place where a reader could otherwise meet a half-made change.

// One step of the counter; odd on the way in, even on the way out.  The
// step in comes before the change takes the node lock, so a reader that
// walks after a change (and took the node lock after it) sees the
// counter moved.
void step_sequence(FastRedBlackTree* t) {
    t->seq_counter.store(t->seq_counter.load(std::memory_order_relaxed) + 1, std::memory_order_release);
}

template <typename Change>
bool write(FastRedBlackTree* t, Change change) {
    pyext::WithLock guard(t->write_lock.get());
    if (!guard) return false;
    step_sequence(t);
    bool ok = change();
    step_sequence(t);
    if (!ok) return false;  // the guard's destructor leaves the block with the exception
    return guard.exit();
}

// Inside a WriteGuard.
void count_removal(FastRedBlackTree* t) {
    t->node_count.sub(1);
    t->stats.total_blocks.sub(1);
    t->stats.total_deletions.add(1);
}

// Takes the block of tree node `node` out of the tree and returns the
// tree's reference to it: the first chain entry's block moves into the
// node, or, without a chain, the node goes.  The entry or node is freed
// once readers can no longer reach it.
Ref take_node_block(FastRedBlackTree* t, RBNode* node) {
    Ref block = Ref::steal(block_of(node->block_obj));
    void* spent;
    {
        WriteGuard nodes(t);
        if (ChainEntry* e = node->next_same_size) {
            node->block_obj = e->block_obj;
            node->next_same_size = e->next_same_size;
            spent = e;
        } else {
            t->tree.delete_node(node);
            spent = node;
        }
        count_removal(t);
    }
    PyMem_Free(spent);
    return block;
}

// Inside a WriteGuard.
void count_insertion(FastRedBlackTree* t) {
    t->node_count.add(1);
    t->stats.total_blocks.add(1);
    t->stats.total_insertions.add(1);
    t->stats.operation_count.add(1);
}

Ref py_insert(PyObject* self, PyObject* const* argv) {
    Ref size = pyext::coerce_int_arg(argv[0], "size");
    if (!size) return {};
    PyObject* block = argv[1];
    uint64_t req = 0;
    if (!request_size(self, size.get(), req, nullptr)) return {};
    FastRedBlackTree* t = as_tree(self);

    bool sample = false;
    if (t->using_atomic) {
        Ref counter;  // held: increment() may run clear()
        {
            ReadGuard nodes(t);  // clear() replaces it inside the writer side
            counter = t->operation_counter;
        }
        Ref r = pyext::call_method(counter.get(), PYEXT_STR("increment"));
        int64_t count;
        if (!r || !pyext::to_i64(r.get(), count)) return {};
        if (t->sample_rate != 0 && count % static_cast<int64_t>(t->sample_rate) == 0) sample = true;
    }
    bool ok = write(t, [&]() {
        if (RBNode* existing = t->tree.find_node(req)) {
            ChainEntry* e = allocate<ChainEntry>(req, block);
            if (!e) return false;
            WriteGuard nodes(t);
            e->next_same_size = existing->next_same_size;
            existing->next_same_size = e;
            count_insertion(t);
        } else {
            RBNode* n = allocate<RBNode>(req, block);
            if (!n) return false;
            WriteGuard nodes(t);
            t->tree.insert_node(n);
            count_insertion(t);
        }
        if (sample && t->using_atomic) {
            Ref counter = t->sampled_counter;  // clear() replaces it under write_lock only
            if (!pyext::call_method(counter.get(), PYEXT_STR("increment"))) return false;
        }
        return true;
    });
    if (!ok) return {};
    return pyext::boolean(true);
}

// stored == block, with the stored object as left operand: 1, 0, or -1
// with an error set.
int blocks_equal(void* stored, PyObject* block) {
    Ref s = Ref::borrow(block_of(stored));
    Ref r = Ref::steal(PyObject_RichCompare(s.get(), block, Py_EQ));
    if (!r) return -1;
    if (r.get() == Py_True) return 1;
    if (r.get() == Py_False) return 0;
    return PyObject_IsTrue(r.get());
}

Ref py_delete(PyObject* self, PyObject* const* argv) {
    Ref size = pyext::coerce_int_arg(argv[0], "size");
    if (!size) return {};
    PyObject* block = argv[1];
    uint64_t req = 0;
    bool negative = false;
    if (!request_size(self, size.get(), req, &negative)) return negative ? pyext::boolean(false) : Ref();
    FastRedBlackTree* t = as_tree(self);
    Ref given_up;  // the removed block, released after the lock
    bool ok = write(t, [&]() {
        RBNode* node = t->tree.find_node(req);
        if (!node) return true;
        // Comparisons run Python code; the tree stays as it is meanwhile
        // (other writers wait for the lock), and nothing is changed
        // before the match is known.
        int eq = blocks_equal(node->block_obj, block);
        if (eq < 0) return false;
        if (eq) {
            given_up = take_node_block(t, node);
            return true;
        }
        ChainEntry** link = &node->next_same_size;
        ChainEntry* e = *link;
        for (; e; link = &e->next_same_size, e = *link) {
            eq = blocks_equal(e->block_obj, block);
            if (eq < 0) return false;
            if (eq) break;
        }
        if (!e) return true;
        given_up = Ref::steal(block_of(e->block_obj));
        {
            WriteGuard nodes(t);
            *link = e->next_same_size;
            count_removal(t);
        }
        PyMem_Free(e);
        return true;
    });
    if (!ok) return {};
    return pyext::boolean(static_cast<bool>(given_up));
}

Ref py_remove_ge(PyObject* self, PyObject* const* argv) {
    Ref size = pyext::coerce_int_arg(argv[0], "size");
    if (!size) return {};
    uint64_t req = 0;
    bool negative = false;
    if (!request_size(self, size.get(), req, &negative) && !negative) return {};
    Ref result = Ref::steal(PyTuple_New(2));
    if (!result) return {};
    FastRedBlackTree* t = as_tree(self);
    Ref found_size, found_block;
    bool ok = negative || write(t, [&]() {
        RBNode* node = t->tree.find_best_fit_node(req);
        if (!node) return true;
        found_size = pyext::from_u64(node->size);
        if (!found_size) return false;  // nothing changed yet
        found_block = take_node_block(t, node);
        return true;
    });
    PyTuple_SET_ITEM(result.get(), 0, found_size ? found_size.release() : pyext::none().release());
    PyTuple_SET_ITEM(result.get(), 1, found_block ? found_block.release() : pyext::none().release());
    if (!ok) return {};  // a removed block goes with the tuple
    return result;
}

Ref py_clear(PyObject* self, PyObject* const*) {
    FastRedBlackTree* t = as_tree(self);
    DetachedTree old_nodes;    // released after the lock,
    Ref old_ops, old_sampled;  // and so are the replaced counters
    bool ok = write(t, [&]() {
        {
            WriteGuard nodes(t);
            old_nodes.root = t->tree.detach();
            t->node_count.set(0);
            t->stats.reset();
            t->nodes.reset_searches();
        }
        if (t->using_atomic) {
            Ref cls = pyext::global(PYEXT_STR("AtomicCounter"));
            if (!cls) return false;
            Ref zero = Ref::steal(PyLong_FromLong(0));
            if (!zero) return false;
            Ref ops = pyext::call(cls.get(), zero.get());
            if (!ops) return false;
            {
                WriteGuard nodes(t);  // insert() and get_stats() read them inside the reader side
                old_ops = t->operation_counter.exchange(std::move(ops));
            }
            Ref sampled = pyext::call(cls.get(), zero.get());
            if (!sampled) return false;
            WriteGuard nodes(t);
            old_sampled = t->sampled_counter.exchange(std::move(sampled));
        }
        return true;
    });
    if (!ok) return {};
    return pyext::none();
}

// ----------------------------------------------------- reports

Ref py_size(PyObject* self, PyObject* const*) { return pyext::from_u64(as_tree(self)->node_count.get()); }

// A new dict filled by `fill(dict)` while `lock` is held.
template <typename Fill>
Ref dict_under(PyObject* lock, Fill fill) {
    Ref d = Ref::steal(PyDict_New());
    if (!d) return {};
    pyext::WithLock guard(lock);
    if (!guard || !fill(d.get()) || !guard.exit()) return {};
    return d;
}

Ref py_get_size_distribution(PyObject* self, PyObject* const*) {
    FastRedBlackTree* t = as_tree(self);
    return dict_under(t->write_lock.get(), [t](PyObject* dist) {
        bool ok = true;
        rb::for_each_preorder(t->tree.root, [&](RBNode* n) {
            if (!ok) return;
            Ref k = pyext::from_u64(n->size);
            Ref v = k ? pyext::from_u64(rb::chain_count(n)) : Ref();
            ok = v && PyDict_SetItem(dist, k.get(), v.get()) == 0;
        });
        return ok;
    });
}

bool set_item(PyObject* d, PyObject* key, Ref value) { return value && PyDict_SetItem(d, key, value.get()) == 0; }

// The running totals are kept unsigned and shown as signed 64-bit values.
bool set_count(PyObject* d, PyObject* key, uint64_t v) {
    return set_item(d, key, pyext::from_i64(static_cast<int64_t>(v)));
}

// What get_stats() reports, read at one moment.
struct Report {
    uint64_t total_blocks, total_insertions, total_deletions, total_searches, bucket_hits, tree_hits,
        operation_count;
    bool has_breaker_trips;
    uint64_t breaker_trips, node_count;
    int32_t height;
    Ref sampled_counter;
};

Ref py_get_stats(PyObject* self, PyObject* const*) {
    FastRedBlackTree* t = as_tree(self);
    return dict_under(t->stats_lock.get(), [t](PyObject* r) {
        Report s;
        {
            ReadGuard nodes(t);  // the totals agree with the tree and with each other
            const Stats& st = t->stats;
            s = {st.total_blocks.get(), st.total_insertions.get(), st.total_deletions.get(), t->nodes.searches(),
                 st.bucket_hits.get(), st.tree_hits.get(), st.operation_count.get(),
                 st.has_breaker_trips.load(std::memory_order_relaxed), st.breaker_trips.get(), t->node_count.get(),
                 rb::height(t->tree.root), t->sampled_counter};
        }
        if (!set_count(r, PYEXT_STR("total_blocks"), s.total_blocks) ||
            !set_count(r, PYEXT_STR("total_insertions"), s.total_insertions) ||
            !set_count(r, PYEXT_STR("total_deletions"), s.total_deletions) ||
            !set_count(r, PYEXT_STR("total_searches"), s.total_searches) ||
            !set_count(r, PYEXT_STR("bucket_hits"), s.bucket_hits) ||
            !set_count(r, PYEXT_STR("tree_hits"), s.tree_hits) ||
            !set_count(r, PYEXT_STR("operation_count"), s.operation_count) ||
            (s.has_breaker_trips && !set_count(r, PYEXT_STR("circuit_breaker_trips"), s.breaker_trips)) ||
            !set_item(r, PYEXT_STR("node_count"), pyext::from_u64(s.node_count)) ||
            !set_item(r, PYEXT_STR("height"), Ref::steal(PyLong_FromLong(s.height))))
            return false;
        Ref sampled = t->using_atomic ? pyext::call_method(s.sampled_counter.get(), PYEXT_STR("load"))
                                      : Ref::steal(PyLong_FromLong(0));
        return set_item(r, PYEXT_STR("sampled_operations"), std::move(sampled)) &&
               set_item(r, PYEXT_STR("is_valid"), pyext::boolean(true));
    });
}

Ref py_reset_circuit_breaker(PyObject* self, PyObject* const*) {
    FastRedBlackTree* t = as_tree(self);
    pyext::WithLock guard(t->stats_lock.get());
    if (!guard) return {};
    {
        WriteGuard nodes(t);  // writers count operations inside it
        t->stats.has_breaker_trips.store(true, std::memory_order_relaxed);
        t->stats.breaker_trips.set(0);
        t->stats.operation_count.set(0);
    }
    if (!guard.exit()) return {};
    return pyext::none();
}

Ref py_get_statistics(PyObject*, PyObject* const*) { return Ref::steal(PyDict_New()); }

// ----------------------------------------------------- slots

// self.size(), through attribute lookup (for subclasses).
Ref size_of(PyObject* self) { return pyext::call_method(self, PYEXT_STR("size")); }

Py_ssize_t tree_length(PyObject* self) {
    if (exact(self)) {
        FastRedBlackTree* t = as_tree(self);
        if (!pyext::alive(t)) return -1;
        uint64_t n = t->node_count.get();
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
    if (exact(self)) {
        FastRedBlackTree* t = as_tree(self);
        return pyext::alive(t) ? t->node_count.get() > 0 : -1;
    }
    Ref r = size_of(self);
    if (!r) return -1;
    Ref zero = Ref::steal(PyLong_FromLong(0));
    if (!zero) return -1;
    Ref gt = Ref::steal(PyObject_RichCompare(r.get(), zero.get(), Py_GT));
    return gt ? PyObject_IsTrue(gt.get()) : -1;
}

PyObject* tree_repr(PyObject* self) {
    FastRedBlackTree* t = as_tree(self);
    if (!pyext::alive(t)) return nullptr;
    return PyUnicode_FromFormat("FastRedBlackTree(blocks=%llu, native=True)",
                                static_cast<unsigned long long>(t->node_count.get()));
}

// ----------------------------------------------------- construction

bool construct(FastRedBlackTree* t, PyObject* const* argv) {
    uint32_t rate;
    if (!pyext::to_u32(argv[0], rate)) return false;
    if (!(t->write_lock = pyext::new_lock())) return false;
    t->sample_rate = rate;
    // Atomic insert counters when both module globals say so at this moment.
    Ref available = pyext::global(PYEXT_STR("ATOMIC_AVAILABLE"));
    if (!available) return false;
    int use = PyObject_IsTrue(available.get());
    if (use < 0) return false;
    if (use) {
        Ref cls = pyext::global(PYEXT_STR("AtomicCounter"));
        if (!cls || (use = PyObject_IsTrue(cls.get())) < 0) return false;
        if (use) {
            Ref zero = Ref::steal(PyLong_FromLong(0));
            if (!zero) return false;
            if (!(t->operation_counter = pyext::call(cls.get(), zero.get()))) return false;
            if (!(t->sampled_counter = pyext::call(cls.get(), zero.get()))) return false;
            t->using_atomic = 1;
        }
    }
    if (!t->using_atomic) {
        t->operation_counter = pyext::none();
        t->sampled_counter = pyext::none();
    }
    return static_cast<bool>(t->stats_lock = pyext::new_lock());
}

constexpr pyext::Param kSize = req("size", "int");

const pyext::TypeDef<FastRedBlackTree> tree_def = {
    .name = "korvane.memory.talvorn.FastRedBlackTree",
    .doc = "Red-black tree of free memory blocks keyed by size.\n\n"
           "Design:\n"
           "    - native node structs, not Python objects\n"
           "    - lock-free reads validated by a sequence lock\n"
           "    - a single-writer mutex\n"
           "    - an intrusive list for blocks of the same size\n"
           "    - O(log n) insert, delete and search; O(1) access among blocks of one size\n",
    .init = {opt("sample_rate", 100)},
    .construct = construct,
    .methods = {
        {.name = "insert", .impl = pyext::impl<py_insert>, .params = {kSize, req("block", "MemoryBlock")},
         .doc = "Insert block into tree.\n\n"
                "Blocks of a size already present join that size's chain.\n\n"
                "Args:\n    size: Block size (must not be negative)\n    block: MemoryBlock to store\n\n"
                "Returns:\n    True\n",
         .returns = "bool"},
        {.name = "find_best_fit", .impl = pyext::impl<py_find_best_fit>, .params = {kSize, opt("alignment", 1, "int")},
         .doc = "Find best-fit block (LOCK-FREE read).\n\n"
                "Sequence lock protocol:\n"
                "    Even seq_counter = stable state (safe to read)\n"
                "    Odd seq_counter = write in progress (retry)\n\n"
                "Args:\n    size: Requested size\n    alignment: Alignment (unused)\n\n"
                "Returns:\n    The block of the smallest size >= size, or None\n",
         .returns = "Optional[MemoryBlock]"},
        {.name = "find_all_exact", .impl = pyext::impl<py_find_all_exact>, .params = {kSize},
         .doc = "Find all blocks of exact size (lock-free read).\n\n"
                "Args:\n    size: Block size\n\n"
                "Returns:\n    List of the blocks of that size (empty if there are none)\n",
         .returns = "List[MemoryBlock]"},
        {.name = "delete", .impl = pyext::impl<py_delete>, .params = {kSize, req("block", "MemoryBlock")},
         .doc = "Delete specific block.\n\n"
                "Args:\n    size: Block size\n    block: Block to remove (matched with ==)\n\n"
                "Returns:\n    True if a block was removed\n",
         .returns = "bool"},
        {.name = "size", .impl = pyext::impl<py_size>, .doc = "Get total block count.", .returns = "int"},
        {.name = "remove_ge", .impl = pyext::impl<py_remove_ge>, .params = {kSize},
         .doc = "Remove and return best-fit block >= size.\n\n"
                "Args:\n    size: Minimum block size\n\n"
                "Returns:\n    (size, block) or (None, None)\n",
         .returns = "Tuple[Optional[int], Optional[MemoryBlock]]"},
        {.name = "get_stats", .impl = pyext::impl<py_get_stats>, .doc = "Get tree statistics.", .returns = "Dict[str, Any]"},
        {.name = "clear", .impl = pyext::impl<py_clear>, .doc = "Clear all blocks.", .returns = "None"},
        {.name = "get_size_distribution", .impl = pyext::impl<py_get_size_distribution>, .doc = "Get size distribution.",
         .returns = "Dict[int, int]"},
        {.name = "reset_circuit_breaker", .impl = pyext::impl<py_reset_circuit_breaker>, .doc = "Reset circuit breaker stats.",
         .returns = "None"},
        {.name = "get_statistics", .impl = pyext::impl<py_get_statistics>,
         .doc = "Get timing statistics (empty for sampling mode).", .returns = "Dict[int, List[float]]"},
    },
    .static_methods = {
        {.name = "_sanitize_size", .impl = pyext::impl<py_sanitize_size>, .params = {kSize}, .doc = "Validate size.",
         .returns = "int"},
    },
    .slots = {
        {Py_tp_repr, reinterpret_cast<void*>(tree_repr)},
        {Py_sq_length, reinterpret_cast<void*>(tree_length)},
        {Py_mp_length, reinterpret_cast<void*>(tree_length)},
        {Py_nb_bool, reinterpret_cast<void*>(tree_bool)},
    },
};

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

bool exec_talvorn() {
    if (!pyext::add_type(tree_def)) return false;
    g_backoff_delay.set(pyext::from_double(0.0001));
    if (!g_backoff_delay) return false;
    if (!pyext::import_as("threading") || !pyext::import_as("time") || !pyext::import_as("math")) return false;
    for (const char* name : {"List", "Optional", "Tuple", "Dict", "Any"})
        if (!pyext::import_from("typing", name)) return false;
    return pyext::import_from("korvane.memory.halvet", "MemoryBlock") && import_atomic_counter();
}

}  // namespace

PYEXT_MODULE(talvorn, {.fullname = "korvane.memory.talvorn", .exec = exec_talvorn, .test_dict = true})
