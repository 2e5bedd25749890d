// korvane.memory.brisel: the fast paths of the slab allocator and the
// memory pool: 16-byte slab headers with a CRC-16 and a free-object bitmap,
// alignment and size-class arithmetic, per-size-class free lists with a
// best-fit bucket search, and allocation statistics.
#include "pyext/pyext.hpp"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstdint>
#include <cstdio>
#include <new>
#include <utility>

using pyext::opt;
using pyext::Ref;
using pyext::req;

namespace {

// ============================================================ native logic
//
// Sizes, offsets and alignments arrive as signed 32-bit values.  Every sum
// is formed in 64 bits, so no input can overflow; for inputs whose sums
// stay inside the 32-bit range the results are those of 32-bit arithmetic.

// CRC-16, reflected polynomial 0x8005 (0xA001), initial value 0xFFFF, no
// final XOR.  Filled once while the module loads.
uint16_t crc16_table[256];

void init_crc16_table() {
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t v = i;
        for (int k = 0; k < 8; ++k) v = (v & 1) ? (v >> 1) ^ 0xA001u : v >> 1;
        crc16_table[i] = static_cast<uint16_t>(v);
    }
}

inline uint16_t fast_crc16(const uint8_t* data, int32_t length) {
    uint32_t r = 0xFFFF;
    for (int32_t i = 0; i < length; ++i) r = (r >> 8) ^ crc16_table[(r ^ data[i]) & 0xFF];
    return static_cast<uint16_t>(r);
}

inline bool is_power_of_2(int32_t x) { return x > 0 && (x & (x - 1)) == 0; }

// (size + alignment - 1) AND NOT (alignment - 1), on two's-complement values.
inline int64_t fast_align(int64_t size, int64_t alignment) { return (size + alignment - 1) & ~(alignment - 1); }

// size rounded up to a multiple of step (the division truncates toward
// zero); step must not be 0.
inline int64_t get_bucket_size(int64_t size, int64_t step) { return ((size + step - 1) / step) * step; }

// Bitmap indexes outside 0..63 (negative ones included) address no bit.
inline bool bit_in_range(int32_t index) { return static_cast<uint32_t>(index) < 64; }

inline bool bitmap_is_set(uint64_t bitmap, int32_t index) {
    return bit_in_range(index) && ((bitmap >> index) & 1u) != 0;
}
inline uint64_t bitmap_set(uint64_t bitmap, int32_t index) {
    return bit_in_range(index) ? bitmap | (uint64_t{1} << index) : bitmap;
}
inline uint64_t bitmap_clear(uint64_t bitmap, int32_t index) {
    return bit_in_range(index) ? bitmap & ~(uint64_t{1} << index) : bitmap;
}
inline int32_t bitmap_find_first_set(uint64_t bitmap) {
    return bitmap ? static_cast<int32_t>(std::countr_zero(bitmap)) : -1;
}

// Bitmap of a slab whose objects are all free; a slab of zero or fewer
// objects has none.
inline uint64_t full_mask(int32_t objects) {
    if (objects <= 0) return 0;
    if (objects >= 64) return ~uint64_t{0};
    return (uint64_t{1} << objects) - 1;
}

// ------------------------------------------------------------ slab header

constexpr uint8_t FLAG_IN_USE = 0x10;
constexpr uint8_t FLAG_CORRUPT = 0x80;
constexpr Py_ssize_t HEADER_BYTES = 16;

struct __attribute__((packed)) FastSlabHeader {
    uint8_t size_class_index;
    uint8_t flags;
    uint32_t epoch;
    uint16_t crc;
    uint64_t free_bitmap;
};
static_assert(sizeof(FastSlabHeader) == HEADER_BYTES);

inline void put_le(uint8_t* p, uint64_t v, int n) {
    for (int i = 0; i < n; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
inline uint64_t get_le(const uint8_t* p, int n) {
    uint64_t v = 0;
    for (int i = 0; i < n; ++i) v |= static_cast<uint64_t>(p[i]) << (8 * i);
    return v;
}

// The checksum covers size_class_index, flags and epoch (bytes 0 to 5).
inline uint16_t header_checksum(const FastSlabHeader& h) {
    uint8_t b[6];
    b[0] = h.size_class_index;
    b[1] = h.flags;
    put_le(b + 2, h.epoch, 4);
    return fast_crc16(b, 6);
}

// Little-endian byte form, struct format "<BBLHQ".
inline void header_to_bytes(const FastSlabHeader& h, uint8_t* out) {
    out[0] = h.size_class_index;
    out[1] = h.flags;
    put_le(out + 2, h.epoch, 4);
    put_le(out + 6, h.crc, 2);
    put_le(out + 8, h.free_bitmap, 8);
}

// ======================================================== FastSlabHeaderOps

// Each Python-visible method reads and changes the header in one step: on
// free-threaded builds inside the instance's critical section, which none
// of them leaves for Python code (the corruption warning is logged after
// it), so that calls from several threads do not interleave.

struct SlabHeaderOps : pyext::Object {
    FastSlabHeader header;
    int32_t objects_per_slab;
};

// The native methods; callers are in the critical section.

bool is_object_free(SlabHeaderOps* s, int32_t index) { return bitmap_is_set(s->header.free_bitmap, index); }

void allocate_object(SlabHeaderOps* s, int32_t index) {
    s->header.free_bitmap = bitmap_clear(s->header.free_bitmap, index);
    s->header.flags = static_cast<uint8_t>(s->header.flags | FLAG_IN_USE);
    s->header.epoch = s->header.epoch + 1;  // wraps modulo 2**32
}

void deallocate_object(SlabHeaderOps* s, int32_t index) {
    s->header.free_bitmap = bitmap_set(s->header.free_bitmap, index);
    s->header.epoch = s->header.epoch + 1;
    if (s->header.free_bitmap == full_mask(s->objects_per_slab))
        s->header.flags = static_cast<uint8_t>(s->header.flags & ~FLAG_IN_USE);
}

int32_t find_free_object(SlabHeaderOps* s) { return bitmap_find_first_set(s->header.free_bitmap); }

uint16_t compute_checksum(SlabHeaderOps* s) { return header_checksum(s->header); }

// --- construction and the Python-visible methods

inline SlabHeaderOps* slab(PyObject* self) { return pyext::as<SlabHeaderOps>(self); }

bool construct_slab_header(SlabHeaderOps* s, PyObject* const* argv) {
    int32_t size_class_index, objects_per_slab;
    if (!pyext::to_int32_t(argv[0], size_class_index) || !pyext::to_int32_t(argv[1], objects_per_slab))
        return false;
    s->header.size_class_index = static_cast<uint8_t>(static_cast<uint32_t>(size_class_index) & 0xFF);
    s->header.flags = 0;
    s->header.epoch = 0;
    s->header.crc = 0;
    s->objects_per_slab = objects_per_slab;
    s->header.free_bitmap = full_mask(objects_per_slab);
    return true;
}

Ref py_pack_header(PyObject* self, PyObject* const*) {
    SlabHeaderOps* s = slab(self);
    Ref out = Ref::steal(PyBytes_FromStringAndSize(nullptr, HEADER_BYTES));
    if (!out) return {};
    pyext::CriticalSection cs(self);
    s->header.crc = compute_checksum(s);
    header_to_bytes(s->header, reinterpret_cast<uint8_t*>(PyBytes_AS_STRING(out.get())));
    return out;
}

Ref py_unpack_header(PyObject* self, PyObject* const* argv) {
    PyObject* data = argv[0];
    if (!pyext::check_arg_type(data, &PyBytes_Type, "data", true)) return {};
    if (data == Py_None) {
        PyErr_SetString(PyExc_TypeError, "object of type 'NoneType' has no len()");
        return {};
    }
    Py_ssize_t n = PyBytes_GET_SIZE(data);
    if (n != HEADER_BYTES) {
        PyErr_Format(PyExc_ValueError, "Slab header data must be %zd bytes, got %zd", HEADER_BYTES, n);
        return {};
    }
    const uint8_t* p = reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(data));
    SlabHeaderOps* s = slab(self);
    const uint16_t stored = static_cast<uint16_t>(get_le(p + 6, 2));
    uint16_t computed;
    {
        pyext::CriticalSection cs(self);
        s->header.size_class_index = p[0];
        s->header.flags = p[1];
        s->header.epoch = static_cast<uint32_t>(get_le(p + 2, 4));
        s->header.free_bitmap = get_le(p + 8, 8);
        computed = compute_checksum(s);
        if (stored != computed) s->header.flags = static_cast<uint8_t>(s->header.flags | FLAG_CORRUPT);
    }
    if (stored != computed) {
        char msg[80];
        std::snprintf(msg, sizeof msg, "Header corruption detected: stored=%04x, computed=%04x",
                      static_cast<unsigned>(stored), static_cast<unsigned>(computed));
        if (!pyext::log("warning", msg)) return {};
    }
    return pyext::none();
}

Ref py_is_object_free(PyObject* self, PyObject* const* argv) {
    int32_t index;
    if (!pyext::to_i32(argv[0], index)) return {};
    bool free;
    {
        pyext::CriticalSection cs(self);
        free = is_object_free(slab(self), index);
    }
    return pyext::from_bool(free);
}

Ref py_find_free_object(PyObject* self, PyObject* const*) {
    int32_t index;
    {
        pyext::CriticalSection cs(self);
        index = find_free_object(slab(self));
    }
    return Ref::steal(PyLong_FromLong(index));
}

// py_allocate_object_at and py_deallocate_object_at.
template <void (*Change)(SlabHeaderOps*, int32_t)>
Ref py_change_object_at(PyObject* self, PyObject* const* argv) {
    int32_t index;
    if (!pyext::to_i32(argv[0], index)) return {};
    {
        pyext::CriticalSection cs(self);
        Change(slab(self), index);
    }
    return pyext::none();
}

const pyext::TypeDef<SlabHeaderOps> slab_header_ops_def = {
    .name = "korvane.memory.brisel.FastSlabHeaderOps",
    .doc = "Slab header: size class, flags, epoch, CRC-16 and free-object bitmap.",
    .init = {req("size_class_index"), req("objects_per_slab")},
    .construct = construct_slab_header,
    .methods = {
        {.name = "pack_header", .impl = pyext::impl<py_pack_header>, .doc = "Pack header into bytes for storage."},
        {.name = "unpack_header", .impl = pyext::impl<py_unpack_header>, .params = {req("data")},
         .doc = "Unpack header from bytes."},
        {.name = "py_is_object_free", .impl = pyext::impl<py_is_object_free>, .params = {req("object_index")},
         .doc = "Check if object at index is free (Python interface)."},
        {.name = "py_find_free_object", .impl = pyext::impl<py_find_free_object>,
         .doc = "Find first free object index (Python interface)."},
        {.name = "py_allocate_object_at", .impl = pyext::impl<py_change_object_at<allocate_object>>, .params = {req("object_index")},
         .doc = "Mark object as allocated (Python interface)."},
        {.name = "py_deallocate_object_at", .impl = pyext::impl<py_change_object_at<deallocate_object>>, .params = {req("object_index")},
         .doc = "Mark object as free (Python interface)."},
    },
};

// ====================================================== FastBucketAllocator
//
// bucketed_free_lists maps each bucket size to a list of offsets used as a
// stack.  Its key set only changes in _init_buckets, which also rebuilds
// `index`: the buckets in ascending size order, each with a reference to
// its list, so that lookups are a binary search and the best-fit search is
// a walk up the array (no per-call sort of the keys).
//
// An index is never changed once made; _init_buckets puts a new one in
// place.  It takes no lock, so on free-threaded builds it may do so while a
// call on another thread walks the old one: each call holds the index it
// took (a count of holders, the allocator's own hold included), and the
// last holder frees it.  With the GIL a walk runs no Python code, so no
// other thread can replace the index meanwhile, and nothing is counted.

struct Bucket {
    int64_t size;
    PyObject* list;  // owned by the index
};

struct BucketIndex {
    std::atomic<Py_ssize_t> holders;
    Py_ssize_t count;

    Bucket* begin() { return reinterpret_cast<Bucket*>(this + 1); }
    Bucket* end() { return begin() + count; }
};

struct BucketAllocator : pyext::Object {
    int32_t bucket_size_step;  // never 0 (checked by the constructor)
    int32_t small_block_max;
    int32_t medium_block_max;
    Ref bucketed_free_lists;  // dict
    Ref lock;                 // threading.Lock
    BucketIndex* index;       // raw memory; its references are not shown to the collector

    void each_ref(auto&& f) {
        f(bucketed_free_lists);
        f(lock);
    }
    void drop_native();
};

// The native method: -1 for sizes above both limits.
int64_t get_bucket_size_fast(BucketAllocator* a, int32_t size) {
    if (size <= a->small_block_max || size <= a->medium_block_max) return get_bucket_size(size, a->bucket_size_step);
    return -1;
}

// An empty index with room for `capacity` buckets and one holder; null with
// MemoryError set.
BucketIndex* new_index(Py_ssize_t capacity) {
    constexpr size_t kMax = (PY_SSIZE_T_MAX - sizeof(BucketIndex)) / sizeof(Bucket);
    void* mem = static_cast<size_t>(capacity) <= kMax
                    ? PyMem_Malloc(sizeof(BucketIndex) + static_cast<size_t>(capacity) * sizeof(Bucket))
                    : nullptr;
    if (!mem) {
        PyErr_NoMemory();
        return nullptr;
    }
    BucketIndex* ix = new (mem) BucketIndex;
    ix->holders.store(1, std::memory_order_relaxed);
    ix->count = 0;
    return ix;
}

// Gives up one hold; the last releases the lists (a list that goes may run
// code, its items' finalizers, which then finds the allocator consistent)
// and frees the index.
void release_index(BucketIndex* ix) {
    if (!ix || ix->holders.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
    for (Bucket& b : *ix) Py_DECREF(b.list);
    ix->~BucketIndex();
    PyMem_Free(ix);
}

// Puts `fresh` in place of the index and gives up the allocator's hold on
// the old one.
void replace_index(BucketAllocator* a, BucketIndex* fresh) {
    BucketIndex* old;
    {
        pyext::CriticalSection cs(a->obj());
        old = std::exchange(a->index, fresh);
    }
    release_index(old);
}

// Nothing else uses the allocator once it is released or cleared.
void BucketAllocator::drop_native() { release_index(std::exchange(index, nullptr)); }

// The allocator's index for the rest of a call (none before take()); taken
// once the lock is held.
class IndexHold {
public:
    IndexHold() = default;
    IndexHold(const IndexHold&) = delete;
    IndexHold& operator=(const IndexHold&) = delete;
    ~IndexHold() {
        if constexpr (pyext::kFreeThreaded) release_index(ix_);
    }

    void take(BucketAllocator* a) {
        if constexpr (pyext::kFreeThreaded) {
            pyext::CriticalSection cs(a->obj());
            ix_ = a->index;
            if (ix_) ix_->holders.fetch_add(1, std::memory_order_relaxed);
        } else {
            ix_ = a->index;
        }
    }

    const Bucket* begin() const { return ix_ ? ix_->begin() : nullptr; }
    const Bucket* end() const { return ix_ ? ix_->end() : nullptr; }

    // The first bucket not smaller than `size`.
    const Bucket* lower(int64_t size) const {
        return std::lower_bound(begin(), end(), size, [](const Bucket& b, int64_t s) { return b.size < s; });
    }
    // The bucket of exactly `size`, or null.
    const Bucket* find(int64_t size) const {
        const Bucket* b = lower(size);
        return (b != end() && b->size == size) ? b : nullptr;
    }

private:
    BucketIndex* ix_ = nullptr;
};

// Rebuilds `index` from the dict's current contents.
bool rebuild_index(BucketAllocator* a) {
    PyObject* dict = a->bucketed_free_lists.get();
    BucketIndex* fresh;
    {
        // The dict read in one step: _init_buckets on another thread may be
        // changing it.  The keys are the bucket sizes made by _init_buckets.
        // The dict can also be reached through the collector's referents; a
        // key of another type is refused before any of its code (__index__)
        // could run.
        pyext::CriticalSection cs(dict);
        const Py_ssize_t capacity = PyDict_GET_SIZE(dict);
        if (!(fresh = new_index(capacity))) return false;
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (fresh->count < capacity && PyDict_Next(dict, &pos, &key, &value)) {
            long long size = -1;
            if (PyLong_Check(key))
                size = PyLong_AsLongLong(key);
            else
                PyErr_Format(PyExc_TypeError, "'%.200s' object cannot be interpreted as an integer",
                             Py_TYPE(key)->tp_name);
            if (size == -1 && PyErr_Occurred()) {
                release_index(fresh);  // the lists it holds are in the dict too
                return false;
            }
            fresh->begin()[fresh->count++] = {size, Py_NewRef(value)};
        }
    }
    std::sort(fresh->begin(), fresh->end(), [](const Bucket& x, const Bucket& y) { return x.size < y.size; });
    replace_index(a, fresh);
    return true;
}

// Python's range(start, stop, step) for a non-zero step, as a count and a
// way to get its i-th value.
struct Range {
    int64_t start, step, count;
    Range(int64_t b, int64_t e, int64_t s) : start(b), step(s) {
        if (s > 0)
            count = b < e ? (e - b - 1) / s + 1 : 0;
        else
            count = b > e ? (b - e - 1) / (-s) + 1 : 0;
    }
    int64_t at(int64_t i) const { return start + i * step; }
};

// An exact int passes through; another number becomes the int of its value.
inline Ref offset_object(PyObject* given, int32_t value) {
    if (PyLong_CheckExact(given)) return Ref::borrow(given);
    return Ref::steal(PyLong_FromLong(value));
}

// An offset taken from a bucket as a native value.  The lists hold the ints
// add_to_bucket stored; anything else put there (through the collector's
// referents) is refused without running its code (__int__), which could
// rebuild the index the search is walking.
inline bool offset_value(PyObject* item, int32_t& out) {
    if (!PyLong_Check(item)) {
        PyErr_SetString(PyExc_TypeError, "an integer is required");
        return false;
    }
    return pyext::to_int32_t(item, out);
}

// Removes and returns the last item of a list; null with no error set when
// it is empty.  On free-threaded builds another thread may change the list
// meanwhile (through the referents): list.pop() does it in one step under
// the list's own lock.
inline Ref pop_last(PyObject* list) {
    if (PyList_GET_SIZE(list) == 0) return {};
    if constexpr (pyext::kFreeThreaded) {
        Ref item = pyext::call_method(list, PYEXT_STR("pop"));
        if (!item && PyErr_ExceptionMatches(PyExc_IndexError)) PyErr_Clear();  // emptied meanwhile
        return item;
    } else {
        Py_ssize_t n = PyList_GET_SIZE(list);
        Ref item = Ref::borrow(PyList_GET_ITEM(list, n - 1));
        if (PyList_SetSlice(list, n - 1, n, nullptr) < 0) return {};
        return item;
    }
}

// The bucket's last offset when an aligned allocation of `size` ends within
// the block (inclusive); it is then removed.  A rejected offset stays where
// it was.  `out` stays null when rejected or empty; false with an error set.
inline bool try_bucket(const Bucket& b, int32_t size, int32_t alignment, Ref& out) {
    auto fits = [&](int32_t offset) { return fast_align(offset, alignment) + size <= int64_t{offset} + b.size; };
    int32_t offset;
    if constexpr (pyext::kFreeThreaded) {
        // The last item, held (read under the list's lock, as its writers
        // hold it); then, if it fits, the pop must take that same item, or
        // what it took goes back and the bucket counts as rejected.
        Ref last;
        {
            pyext::CriticalSection cs(b.list);
            const Py_ssize_t n = PyList_GET_SIZE(b.list);
            if (n > 0) last = Ref::borrow(PyList_GET_ITEM(b.list, n - 1));
        }
        if (!last) return true;
        if (!offset_value(last.get(), offset)) return false;
        if (!fits(offset)) return true;
        Ref taken = pop_last(b.list);
        if (taken.get() == last.get()) {
            out = std::move(taken);
            return true;
        }
        if (!taken) return !PyErr_Occurred();
        return PyList_Append(b.list, taken.get()) == 0;
    } else {
        // Nothing else runs while the GIL is held: look, then take.
        if (PyList_GET_SIZE(b.list) == 0) return true;
        if (!offset_value(PyList_GET_ITEM(b.list, PyList_GET_SIZE(b.list) - 1), offset)) return false;
        if (!fits(offset)) return true;
        out = pop_last(b.list);
        return static_cast<bool>(out);
    }
}

// --- construction and the Python-visible methods

inline BucketAllocator* allocator(PyObject* self) { return pyext::as<BucketAllocator>(self); }

bool construct_allocator(BucketAllocator* a, PyObject* const* argv) {
    int32_t values[3];
    for (int i = 0; i < 3; ++i)
        if (!pyext::to_int32_t(argv[i], values[i])) return false;
    if (values[0] == 0) {
        PyErr_SetString(PyExc_ValueError, "bucket_size_step must not be zero");
        return false;
    }
    a->bucket_size_step = values[0];
    a->small_block_max = values[1];
    a->medium_block_max = values[2];
    if (!(a->bucketed_free_lists = Ref::steal(PyDict_New()))) return false;
    if (!(a->lock = pyext::new_lock())) return false;
    return static_cast<bool>(pyext::call_method(a->obj(), PYEXT_STR("_init_buckets")));
}

Ref py_init_buckets(PyObject* self, PyObject* const*) {
    BucketAllocator* a = allocator(self);
    const int64_t step = a->bucket_size_step, small = a->small_block_max, medium = a->medium_block_max;
    const Range ranges[2] = {Range(step, small + 1, step), Range(small + step, medium + 1, step)};
    int64_t total = ranges[0].count + ranges[1].count;
    if (total > PY_SSIZE_T_MAX / static_cast<int64_t>(sizeof(Bucket))) {
        PyErr_NoMemory();
        return {};
    }
    PyObject* dict = a->bucketed_free_lists.get();
    // All new lists first: creating them may run the collector, and the
    // dict and index must stay consistent while it does.
    Ref lists = Ref::steal(pyext::new_list(static_cast<Py_ssize_t>(total)));
    if (!lists) return {};
    for (Py_ssize_t i = 0; i < total; ++i) {
        PyObject* l = PyList_New(0);
        if (!l) return {};
        PyList_SET_ITEM(lists.get(), i, l);
    }
    bool ok = true;
    Py_ssize_t i = 0;
    for (const Range& r : ranges) {
        for (int64_t k = 0; ok && k < r.count; ++k, ++i) {
            Ref key = Ref::steal(PyLong_FromLongLong(r.at(k)));
            ok = key && PyDict_SetItem(dict, key.get(), PyList_GET_ITEM(lists.get(), i)) == 0;
        }
    }
    // Rebuilt also after a partial update, so the index matches the dict.
    if (!rebuild_index(a) || !ok) return {};
    return pyext::none();
}

Ref py_add_to_bucket(PyObject* self, PyObject* const* argv) {
    int32_t size, offset;
    if (!pyext::to_int32_t(argv[0], size) || !pyext::to_int32_t(argv[1], offset)) return {};
    BucketAllocator* a = allocator(self);
    int64_t bucket_size = get_bucket_size_fast(a, size);
    if (bucket_size <= 0 || bucket_size != size) return pyext::from_bool(false);
    Ref item = offset_object(argv[1], offset);
    if (!item) return {};
    IndexHold index;  // given back after the lock
    pyext::WithLock guard(a->lock.get());
    if (!guard) return {};
    index.take(a);
    bool stored = false;
    if (const Bucket* b = index.find(bucket_size)) {
        if (PyList_Append(b->list, item.get()) < 0) return {};
        stored = true;
    }
    if (!guard.exit()) return {};
    return pyext::from_bool(stored);
}

Ref py_remove_from_bucket(PyObject* self, PyObject* const* argv) {
    int32_t size;
    if (!pyext::to_int32_t(argv[0], size)) return {};
    BucketAllocator* a = allocator(self);
    int64_t bucket_size = get_bucket_size_fast(a, size);
    if (bucket_size <= 0) return pyext::none();
    IndexHold index;
    pyext::WithLock guard(a->lock.get());
    if (!guard) return {};
    index.take(a);
    Ref result;
    if (const Bucket* b = index.find(bucket_size)) {
        result = pop_last(b->list);
        if (!result && PyErr_Occurred()) return {};
    }
    if (!guard.exit()) return {};
    return result ? result : pyext::none();
}

Ref py_find_best_fit_bucket(PyObject* self, PyObject* const* argv) {
    int32_t size, alignment;
    if (!pyext::to_int32_t(argv[0], size) || !pyext::to_int32_t(argv[1], alignment)) return {};
    BucketAllocator* a = allocator(self);
    int64_t bucket_size = get_bucket_size_fast(a, size);
    if (bucket_size <= 0) return pyext::none();
    IndexHold index;
    pyext::WithLock guard(a->lock.get());
    if (!guard) return {};
    index.take(a);
    Ref found;
    const Bucket* b = index.lower(bucket_size);
    const Bucket* end = index.end();
    // Own bucket first, then every larger bucket from the smallest up.
    if (b != end && b->size == bucket_size) {
        if (!try_bucket(*b, size, alignment, found)) return {};
        ++b;
    }
    for (; !found; ++b) {
        while (b != end && PyList_GET_SIZE(b->list) == 0) ++b;  // the empty ones in a tight loop
        if (b == end) break;
        if (!try_bucket(*b, size, alignment, found)) return {};
    }
    if (!guard.exit()) return {};
    return found ? found : pyext::none();
}

const pyext::TypeDef<BucketAllocator> bucket_allocator_def = {
    .name = "korvane.memory.brisel.FastBucketAllocator",
    .doc = "Fast bucketed allocator using Cython for O(1) allocation performance.",
    .init = {opt("bucket_size_step", 8), opt("small_block_max", 256), opt("medium_block_max", 4096)},
    .construct = construct_allocator,
    .methods = {
        {.name = "_init_buckets", .impl = pyext::impl<py_init_buckets>, .doc = "Initialize size-class buckets."},
        {.name = "add_to_bucket", .impl = pyext::impl<py_add_to_bucket>, .params = {req("size"), req("offset")},
         .doc = "Add block to appropriate bucket."},
        {.name = "remove_from_bucket", .impl = pyext::impl<py_remove_from_bucket>, .params = {req("size")},
         .doc = "Remove block from appropriate bucket."},
        {.name = "find_best_fit_bucket", .impl = pyext::impl<py_find_best_fit_bucket>, .params = {req("size"), req("alignment")},
         .doc = "Find best fit bucket for allocation."},
    },
};

// ======================================================= FastStatsCollector

struct FastAllocStats {
    uint64_t total_allocations;
    uint64_t total_deallocations;
    uint64_t bucketed_allocations;
    uint64_t fallback_allocations;
    uint64_t alignment_padding_bytes;
};

struct StatsCollector : pyext::Object {
    FastAllocStats stats;
    Ref lock;  // threading.Lock

    void each_ref(auto&& f) { f(lock); }
};

// The native methods; callers hold the lock.

// Counters wrap modulo 2**64; a negative padding lowers the padding total.
void record_allocation(StatsCollector* c, int32_t /*size*/, int32_t padding, bool is_bucketed) {
    FastAllocStats& s = c->stats;
    s.total_allocations += 1;
    if (is_bucketed)
        s.bucketed_allocations += 1;
    else
        s.fallback_allocations += 1;
    s.alignment_padding_bytes += static_cast<uint64_t>(static_cast<int64_t>(padding));
}

void record_deallocation(StatsCollector* c) { c->stats.total_deallocations += 1; }

// bucketed / total * 100 formatted with ".1f" and "%"; the division is
// Python's true division of the two ints (correctly rounded at any size).
Ref ratio_text(PyObject* bucketed, PyObject* total, uint64_t total_value) {
    double ratio = 0.0;
    if (total_value > 0) {
        Ref q = Ref::steal(PyNumber_TrueDivide(bucketed, total));
        if (!q) return {};
        ratio = PyFloat_AsDouble(q.get()) * 100.0;
    }
    char* text = PyOS_double_to_string(ratio, 'f', 1, 0, nullptr);
    if (!text) return {};
    Ref s = Ref::steal(PyUnicode_FromFormat("%s%%", text));
    PyMem_Free(text);
    return s;
}

// --- construction and the Python-visible methods

inline StatsCollector* collector(PyObject* self) { return pyext::as<StatsCollector>(self); }

bool construct_collector(StatsCollector* c, PyObject* const*) {
    c->stats = {};
    c->lock = pyext::new_lock();
    return static_cast<bool>(c->lock);
}

Ref py_record_allocation(PyObject* self, PyObject* const* argv) {
    int32_t size, padding;
    bool is_bucketed;
    if (!pyext::to_i32(argv[0], size) || !pyext::to_i32(argv[1], padding) || !pyext::to_bool(argv[2], is_bucketed))
        return {};
    StatsCollector* c = collector(self);
    pyext::WithLock guard(c->lock.get());
    if (!guard) return {};
    record_allocation(c, size, padding, is_bucketed);
    if (!guard.exit()) return {};
    return pyext::none();
}

Ref py_record_deallocation(PyObject* self, PyObject* const*) {
    StatsCollector* c = collector(self);
    pyext::WithLock guard(c->lock.get());
    if (!guard) return {};
    record_deallocation(c);
    if (!guard.exit()) return {};
    return pyext::none();
}

Ref py_get_stats(PyObject* self, PyObject* const*) {
    StatsCollector* c = collector(self);
    FastAllocStats s;
    {
        // One snapshot of all five counters, so the report is consistent.
        pyext::WithLock guard(c->lock.get());
        if (!guard) return {};
        s = c->stats;
        if (!guard.exit()) return {};
    }
    Ref total = pyext::from_u64(s.total_allocations);
    Ref deallocs = pyext::from_u64(s.total_deallocations);
    Ref bucketed = pyext::from_u64(s.bucketed_allocations);
    Ref fallback = pyext::from_u64(s.fallback_allocations);
    Ref padding = pyext::from_u64(s.alignment_padding_bytes);
    if (!total || !deallocs || !bucketed || !fallback || !padding) return {};
    Ref ratio = ratio_text(bucketed.get(), total.get(), s.total_allocations);
    Ref d = Ref::steal(PyDict_New());
    if (!ratio || !d) return {};
    if (PyDict_SetItem(d.get(), PYEXT_STR("total_allocations"), total.get()) < 0 ||
        PyDict_SetItem(d.get(), PYEXT_STR("total_deallocations"), deallocs.get()) < 0 ||
        PyDict_SetItem(d.get(), PYEXT_STR("bucketed_allocations"), bucketed.get()) < 0 ||
        PyDict_SetItem(d.get(), PYEXT_STR("fallback_allocations"), fallback.get()) < 0 ||
        PyDict_SetItem(d.get(), PYEXT_STR("bucketed_allocation_ratio"), ratio.get()) < 0 ||
        PyDict_SetItem(d.get(), PYEXT_STR("alignment_padding_bytes"), padding.get()) < 0)
        return {};
    return d;
}

Ref py_reset_stats(PyObject* self, PyObject* const*) {
    StatsCollector* c = collector(self);
    pyext::WithLock guard(c->lock.get());
    if (!guard) return {};
    c->stats = {};
    if (!guard.exit()) return {};
    return pyext::none();
}

const pyext::TypeDef<StatsCollector> stats_collector_def = {
    .name = "korvane.memory.brisel.FastStatsCollector",
    .doc = "Fast statistics collection using Cython.",
    .construct = construct_collector,
    .methods = {
        {.name = "py_record_allocation", .impl = pyext::impl<py_record_allocation>,
         .params = {req("size"), req("padding"), req("is_bucketed")},
         .doc = "Record allocation statistics (Python interface)."},
        {.name = "py_record_deallocation", .impl = pyext::impl<py_record_deallocation>,
         .doc = "Record deallocation statistics (Python interface)."},
        {.name = "get_stats", .impl = pyext::impl<py_get_stats>, .doc = "Get statistics dictionary."},
        {.name = "reset_stats", .impl = pyext::impl<py_reset_stats>, .doc = "Reset all statistics."},
    },
};

// ========================================================= module functions

Ref fast_align_size(PyObject*, PyObject* const* argv) {
    int32_t size, alignment;
    if (!pyext::to_i32(argv[0], size) || !pyext::to_i32(argv[1], alignment)) return {};
    if (!is_power_of_2(alignment)) {
        PyErr_SetString(PyExc_ValueError, "Alignment must be a power of 2");
        return {};
    }
    return Ref::steal(PyLong_FromLongLong(fast_align(size, alignment)));
}

Ref fast_get_bucket_size(PyObject*, PyObject* const* argv) {
    int32_t size, step;
    if (!pyext::to_i32(argv[0], size) || !pyext::to_i32(argv[1], step)) return {};
    if (step == 0) {
        PyErr_SetString(PyExc_ValueError, "step must not be zero");
        return {};
    }
    return Ref::steal(PyLong_FromLongLong(get_bucket_size(size, step)));
}

enum class BitmapOp { is_set, set, clear, find_first, unknown };

// The operation named by `op` (a str or None).  Names written as literals
// are interned, so the identity pass usually decides.
BitmapOp bitmap_op(PyObject* op) {
    PyObject* const names[4] = {PYEXT_STR("is_set"), PYEXT_STR("set"), PYEXT_STR("clear"), PYEXT_STR("find_first")};
    for (int i = 0; i < 4; ++i)
        if (op == names[i]) return static_cast<BitmapOp>(i);
    if (op != Py_None)
        for (int i = 0; i < 4; ++i)
            if (PyUnicode_Compare(op, names[i]) == 0) return static_cast<BitmapOp>(i);
    return BitmapOp::unknown;
}

Ref fast_bitmap_operations(PyObject*, PyObject* const* argv) {
    uint64_t bitmap;
    int32_t index;
    if (!pyext::to_u64(argv[0], bitmap) || !pyext::to_i32(argv[1], index)) return {};
    PyObject* op = argv[2];
    if (!pyext::check_arg_type(op, &PyUnicode_Type, "operation", true)) return {};
    switch (bitmap_op(op)) {
        case BitmapOp::is_set: return pyext::from_bool(bitmap_is_set(bitmap, index));
        case BitmapOp::set: return pyext::from_u64(bitmap_set(bitmap, index));
        case BitmapOp::clear: return pyext::from_u64(bitmap_clear(bitmap, index));
        case BitmapOp::find_first: return Ref::steal(PyLong_FromLong(bitmap_find_first_set(bitmap)));
        case BitmapOp::unknown: break;
    }
    PyErr_Format(PyExc_ValueError, "Unknown operation: %S", op);
    return {};
}

Ref fast_can_fit_aligned(PyObject*, PyObject* const* argv) {
    int32_t block_offset, block_size, alloc_size, alignment;
    if (!pyext::to_i32(argv[0], block_offset) || !pyext::to_i32(argv[1], block_size) ||
        !pyext::to_i32(argv[2], alloc_size) || !pyext::to_i32(argv[3], alignment))
        return {};
    int64_t aligned_offset = fast_align(block_offset, alignment);
    return pyext::from_bool(aligned_offset + alloc_size < int64_t{block_offset} + block_size);
}

// ================================================================== module

bool exec_brisel() {
    init_crc16_table();  // before any name is bound: no instance ever sees it half-filled
    if (!pyext::add_type(slab_header_ops_def) || !pyext::add_type(bucket_allocator_def) ||
        !pyext::add_type(stats_collector_def))
        return false;
    if (!pyext::import_as("threading") || !pyext::bind_logger()) return false;
    if (!pyext::add_functions({
            {.name = "fast_align_size", .impl = pyext::impl<fast_align_size>, .params = {req("size"), req("alignment")},
             .doc = "Fast alignment calculation (Python interface)."},
            {.name = "fast_get_bucket_size", .impl = pyext::impl<fast_get_bucket_size>, .params = {req("size"), opt("step", 8)},
             .doc = "Fast bucket size calculation (Python interface)."},
            {.name = "fast_bitmap_operations", .impl = pyext::impl<fast_bitmap_operations>,
             .params = {req("bitmap"), req("index"), req("operation")},
             .doc = "Fast bitmap operations (Python interface)."},
            {.name = "fast_can_fit_aligned", .impl = pyext::impl<fast_can_fit_aligned>,
             .params = {req("block_offset"), req("block_size"), req("alloc_size"), req("alignment")},
             .doc = "Fast alignment check with exclusive boundary (Python interface)."},
        }))
        return false;
    return true;
}

}  // namespace

PYEXT_MODULE(brisel, {.fullname = "korvane.memory.brisel",
                      .exec = exec_brisel,
                      .doc = "Slab headers, size classes, bucket free lists and allocation statistics: "
                             "O(1) bucketed allocation, bitmap operations and alignment calculations "
                             "for the slab allocator and the memory pool.",
                      .load_message = "Korvane Brisel Cython module loaded - targeting 1.8-3\u00d7 performance "
                                      "improvement",
                      .test_dict = true})
