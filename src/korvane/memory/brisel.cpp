// korvane.memory.brisel: the fast paths of the slab allocator and the
// memory pool: 16-byte slab headers with a CRC-16 and a free-object bitmap,
// alignment and size-class arithmetic, per-size-class free lists with a
// best-fit bucket search, and allocation statistics.
#include "pyext/pyext.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstdio>

using pyext::Param;
using pyext::Ref;

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

struct SlabHeaderOps;

// Native method table, in slot order.
struct SlabHeaderOpsVTable {
    bool (*is_object_free)(SlabHeaderOps*, int32_t);
    void (*allocate_object)(SlabHeaderOps*, int32_t);
    void (*deallocate_object)(SlabHeaderOps*, int32_t);
    int32_t (*find_free_object)(SlabHeaderOps*);
    uint16_t (*compute_checksum)(SlabHeaderOps*);
};

struct SlabHeaderOps {
    PyObject_HEAD
    const SlabHeaderOpsVTable* vtab;
    FastSlabHeader header;
    int32_t objects_per_slab;
};

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

const SlabHeaderOpsVTable slab_header_ops_vtable = {is_object_free, allocate_object, deallocate_object,
                                                    find_free_object, compute_checksum};

PyTypeObject* SlabHeaderOps_Type = nullptr;

inline SlabHeaderOps* slab(PyObject* self) { return reinterpret_cast<SlabHeaderOps*>(self); }

PyObject* SlabHeaderOps_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
    static pyext::ArgSpec spec("__cinit__", {"size_class_index", "objects_per_slab"}, 2);
    PyObject* argv[2];
    if (!spec.ok() || !spec.parse(args, kwds, argv)) return nullptr;
    int32_t size_class_index, objects_per_slab;
    if (!pyext::to_int32_t(argv[0], size_class_index) || !pyext::to_int32_t(argv[1], objects_per_slab))
        return nullptr;
    PyObject* self = type->tp_alloc(type, 0);
    if (!self) return nullptr;
    SlabHeaderOps* s = slab(self);
    s->vtab = &slab_header_ops_vtable;
    s->header.size_class_index = static_cast<uint8_t>(static_cast<uint32_t>(size_class_index) & 0xFF);
    s->header.flags = 0;
    s->header.epoch = 0;
    s->header.crc = 0;
    s->objects_per_slab = objects_per_slab;
    s->header.free_bitmap = full_mask(objects_per_slab);
    return self;
}

void SlabHeaderOps_dealloc(PyObject* self) {
    PyTypeObject* tp = Py_TYPE(self);
    tp->tp_free(self);
    Py_DECREF(tp);
}

PyObject* py_pack_header(PyObject* self, PyObject* const*) {
    SlabHeaderOps* s = slab(self);
    s->header.crc = compute_checksum(s);
    PyObject* out = PyBytes_FromStringAndSize(nullptr, HEADER_BYTES);
    if (!out) return nullptr;
    header_to_bytes(s->header, reinterpret_cast<uint8_t*>(PyBytes_AS_STRING(out)));
    return out;
}

PyObject* py_unpack_header(PyObject* self, PyObject* const* argv) {
    PyObject* data = argv[0];
    if (!pyext::check_arg_type(data, &PyBytes_Type, "data", true)) return nullptr;
    if (data == Py_None) {
        PyErr_SetString(PyExc_TypeError, "object of type 'NoneType' has no len()");
        return nullptr;
    }
    Py_ssize_t n = PyBytes_GET_SIZE(data);
    if (n != HEADER_BYTES) {
        PyErr_Format(PyExc_ValueError, "Slab header data must be %zd bytes, got %zd", HEADER_BYTES, n);
        return nullptr;
    }
    const uint8_t* p = reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(data));
    SlabHeaderOps* s = slab(self);
    s->header.size_class_index = p[0];
    s->header.flags = p[1];
    s->header.epoch = static_cast<uint32_t>(get_le(p + 2, 4));
    uint16_t stored = static_cast<uint16_t>(get_le(p + 6, 2));
    s->header.free_bitmap = get_le(p + 8, 8);
    uint16_t computed = compute_checksum(s);
    if (stored != computed) {
        s->header.flags = static_cast<uint8_t>(s->header.flags | FLAG_CORRUPT);
        char msg[80];
        std::snprintf(msg, sizeof msg, "Header corruption detected: stored=%04x, computed=%04x",
                      static_cast<unsigned>(stored), static_cast<unsigned>(computed));
        if (!pyext::log("warning", msg)) return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject* py_is_object_free(PyObject* self, PyObject* const* argv) {
    int32_t index;
    if (!pyext::to_i32(argv[0], index)) return nullptr;
    return pyext::from_bool(is_object_free(slab(self), index));
}

PyObject* py_find_free_object(PyObject* self, PyObject* const*) {
    return PyLong_FromLong(find_free_object(slab(self)));
}

PyObject* py_allocate_object_at(PyObject* self, PyObject* const* argv) {
    int32_t index;
    if (!pyext::to_i32(argv[0], index)) return nullptr;
    allocate_object(slab(self), index);
    Py_RETURN_NONE;
}

PyObject* py_deallocate_object_at(PyObject* self, PyObject* const* argv) {
    int32_t index;
    if (!pyext::to_i32(argv[0], index)) return nullptr;
    deallocate_object(slab(self), index);
    Py_RETURN_NONE;
}

PyType_Slot SlabHeaderOps_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(SlabHeaderOps_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(SlabHeaderOps_dealloc)},
    {Py_tp_doc, const_cast<char*>("FastSlabHeaderOps(size_class_index, objects_per_slab)\n--\n\n"
                                  "Slab header: size class, flags, epoch, CRC-16 and free-object bitmap.")},
    {0, nullptr},
};

PyType_Spec SlabHeaderOps_spec = {
    "korvane.memory.brisel.FastSlabHeaderOps",
    sizeof(SlabHeaderOps),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,
    SlabHeaderOps_slots,
};

bool attach_slab_header_methods() {
    PyTypeObject* t = SlabHeaderOps_Type;
    Param index = Param::req("object_index");
    return pyext::add_method(t, {.name = "pack_header", .impl = pyext::impl<py_pack_header>,
                                 .doc = "Pack header into bytes for storage."}) &&
           pyext::add_method(t, {.name = "unpack_header", .impl = pyext::impl<py_unpack_header>,
                                 .params = {Param::req("data")}, .doc = "Unpack header from bytes."}) &&
           pyext::add_method(t, {.name = "py_is_object_free", .impl = pyext::impl<py_is_object_free>, .params = {index},
                                 .doc = "Check if object at index is free (Python interface)."}) &&
           pyext::add_method(t, {.name = "py_find_free_object", .impl = pyext::impl<py_find_free_object>,
                                 .doc = "Find first free object index (Python interface)."}) &&
           pyext::add_method(t, {.name = "py_allocate_object_at", .impl = pyext::impl<py_allocate_object_at>, .params = {index},
                                 .doc = "Mark object as allocated (Python interface)."}) &&
           pyext::add_method(t, {.name = "py_deallocate_object_at", .impl = pyext::impl<py_deallocate_object_at>,
                                 .params = {index}, .doc = "Mark object as free (Python interface)."});
}

// ====================================================== FastBucketAllocator
//
// bucketed_free_lists maps each bucket size to a list of offsets used as a
// stack.  Its key set only changes in _init_buckets, which also rebuilds
// `index`: the buckets in ascending size order, each with a reference to
// its list, so that lookups are a binary search and the best-fit search is
// a walk up the array (no per-call sort of the keys).

struct Bucket {
    int64_t size;
    PyObject* list;  // owned
};

struct BucketAllocator;

struct BucketAllocatorVTable {
    int64_t (*get_bucket_size_fast)(BucketAllocator*, int32_t);
};

struct BucketAllocator {
    PyObject_HEAD
    const BucketAllocatorVTable* vtab;
    int32_t bucket_size_step;  // never 0 (checked by the constructor)
    int32_t small_block_max;
    int32_t medium_block_max;
    PyObject* bucketed_free_lists;  // dict
    PyObject* lock;                 // threading.Lock
    Bucket* index;
    Py_ssize_t nbuckets;
};

// -1 for sizes above both limits.
int64_t get_bucket_size_fast(BucketAllocator* a, int32_t size) {
    if (size <= a->small_block_max || size <= a->medium_block_max) return get_bucket_size(size, a->bucket_size_step);
    return -1;
}

const BucketAllocatorVTable bucket_allocator_vtable = {get_bucket_size_fast};

PyTypeObject* BucketAllocator_Type = nullptr;

inline BucketAllocator* allocator(PyObject* self) { return reinterpret_cast<BucketAllocator*>(self); }

const Bucket* bucket_lower(const BucketAllocator* a, int64_t size) {
    return std::lower_bound(a->index, a->index + a->nbuckets, size,
                            [](const Bucket& b, int64_t s) { return b.size < s; });
}

// The bucket of exactly `size`, or null.
const Bucket* find_bucket(const BucketAllocator* a, int64_t size) {
    const Bucket* b = bucket_lower(a, size);
    return (b != a->index + a->nbuckets && b->size == size) ? b : nullptr;
}

void drop_index(BucketAllocator* a) {
    Bucket* old = a->index;
    Py_ssize_t n = a->nbuckets;
    a->index = nullptr;
    a->nbuckets = 0;
    for (Py_ssize_t i = 0; i < n; ++i) Py_DECREF(old[i].list);
    PyMem_Free(old);
}

// Rebuilds `index` from the dict's current contents.
bool rebuild_index(BucketAllocator* a) {
    PyObject* dict = a->bucketed_free_lists;
    Py_ssize_t n = PyDict_GET_SIZE(dict);
    Bucket* fresh = PyMem_New(Bucket, n > 0 ? n : 1);
    if (!fresh) {
        PyErr_NoMemory();
        return false;
    }
    Py_ssize_t pos = 0, count = 0;
    PyObject *key, *value;
    while (PyDict_Next(dict, &pos, &key, &value)) {
        long long size = PyLong_AsLongLong(key);  // keys are bucket sizes made here
        if (size == -1 && PyErr_Occurred()) {
            for (Py_ssize_t i = 0; i < count; ++i) Py_DECREF(fresh[i].list);
            PyMem_Free(fresh);
            return false;
        }
        fresh[count++] = {size, Py_NewRef(value)};
    }
    std::sort(fresh, fresh + count, [](const Bucket& x, const Bucket& y) { return x.size < y.size; });
    drop_index(a);
    a->index = fresh;
    a->nbuckets = count;
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

PyObject* py_init_buckets(PyObject* self, PyObject* const*) {
    BucketAllocator* a = allocator(self);
    const int64_t step = a->bucket_size_step, small = a->small_block_max, medium = a->medium_block_max;
    const Range ranges[2] = {Range(step, small + 1, step), Range(small + step, medium + 1, step)};
    int64_t total = ranges[0].count + ranges[1].count;
    if (total > PY_SSIZE_T_MAX / static_cast<int64_t>(sizeof(Bucket))) return PyErr_NoMemory();
    PyObject* dict = a->bucketed_free_lists;
    if (!PyDict_CheckExact(dict)) {
        // Only after the collector has cleared the instance (None).
        PyErr_Format(PyExc_TypeError, "'%.200s' object does not support item assignment", Py_TYPE(dict)->tp_name);
        return nullptr;
    }
    // All new lists first: creating them may run the collector, and the
    // dict and index must stay consistent while it does.
    Ref lists = Ref::steal(PyList_New(static_cast<Py_ssize_t>(total)));
    if (!lists) return nullptr;
    for (Py_ssize_t i = 0; i < total; ++i) {
        PyObject* l = PyList_New(0);
        if (!l) return nullptr;
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
    if (!rebuild_index(a) || !ok) return nullptr;
    Py_RETURN_NONE;
}

// An exact int passes through; another number becomes the int of its value.
inline PyObject* offset_object(PyObject* given, int32_t value) {
    if (PyLong_CheckExact(given)) return Py_NewRef(given);
    return PyLong_FromLong(value);
}

// Last offset of a non-empty list, as a native value.
inline bool peek_offset(PyObject* list, int32_t& out) {
    return pyext::to_int32_t(PyList_GET_ITEM(list, PyList_GET_SIZE(list) - 1), out);
}

// Removes and returns (new reference) the last item of a non-empty list.
inline PyObject* pop_last(PyObject* list) {
    Py_ssize_t n = PyList_GET_SIZE(list);
    PyObject* item = Py_NewRef(PyList_GET_ITEM(list, n - 1));
    if (PyList_SetSlice(list, n - 1, n, nullptr) < 0) {
        Py_DECREF(item);
        return nullptr;
    }
    return item;
}

PyObject* py_add_to_bucket(PyObject* self, PyObject* const* argv) {
    int32_t size, offset;
    if (!pyext::to_int32_t(argv[0], size) || !pyext::to_int32_t(argv[1], offset)) return nullptr;
    BucketAllocator* a = allocator(self);
    int64_t bucket_size = get_bucket_size_fast(a, size);
    if (bucket_size <= 0 || bucket_size != size) Py_RETURN_FALSE;
    Ref item = Ref::steal(offset_object(argv[1], offset));
    if (!item) return nullptr;
    pyext::WithLock guard(a->lock);
    if (!guard) return nullptr;
    bool stored = false;
    if (const Bucket* b = find_bucket(a, bucket_size)) {
        if (PyList_Append(b->list, item.get()) < 0) return nullptr;
        stored = true;
    }
    if (!guard.exit()) return nullptr;
    return pyext::from_bool(stored);
}

PyObject* py_remove_from_bucket(PyObject* self, PyObject* const* argv) {
    int32_t size;
    if (!pyext::to_int32_t(argv[0], size)) return nullptr;
    BucketAllocator* a = allocator(self);
    int64_t bucket_size = get_bucket_size_fast(a, size);
    if (bucket_size <= 0) Py_RETURN_NONE;
    pyext::WithLock guard(a->lock);
    if (!guard) return nullptr;
    Ref result = pyext::none();
    const Bucket* b = find_bucket(a, bucket_size);
    if (b && PyList_GET_SIZE(b->list) > 0) {
        result = Ref::steal(pop_last(b->list));
        if (!result) return nullptr;
    }
    if (!guard.exit()) return nullptr;
    return result.release();
}

// The bucket's last offset when an aligned allocation of `size` ends within
// the block (inclusive); it is then removed.  A rejected offset stays where
// it was.  Null with no error set when rejected or empty.
inline bool try_bucket(const Bucket* b, int32_t size, int32_t alignment, Ref& out) {
    if (PyList_GET_SIZE(b->list) == 0) return true;
    int32_t offset;
    if (!peek_offset(b->list, offset)) return false;
    if (fast_align(offset, alignment) + size <= int64_t{offset} + b->size) {
        out = Ref::steal(pop_last(b->list));
        return static_cast<bool>(out);
    }
    return true;
}

PyObject* py_find_best_fit_bucket(PyObject* self, PyObject* const* argv) {
    int32_t size, alignment;
    if (!pyext::to_int32_t(argv[0], size) || !pyext::to_int32_t(argv[1], alignment)) return nullptr;
    BucketAllocator* a = allocator(self);
    int64_t bucket_size = get_bucket_size_fast(a, size);
    if (bucket_size <= 0) Py_RETURN_NONE;
    pyext::WithLock guard(a->lock);
    if (!guard) return nullptr;
    Ref found;
    const Bucket* b = bucket_lower(a, bucket_size);
    const Bucket* end = a->index + a->nbuckets;
    // Own bucket first, then every larger bucket from the smallest up.
    if (b != end && b->size == bucket_size) {
        if (!try_bucket(b, size, alignment, found)) return nullptr;
        ++b;
    }
    for (; !found && b != end; ++b)
        if (!try_bucket(b, size, alignment, found)) return nullptr;
    if (!guard.exit()) return nullptr;
    return found ? found.release() : Py_NewRef(Py_None);
}

PyObject* BucketAllocator_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
    static pyext::ArgSpec spec("__cinit__", {"bucket_size_step", "small_block_max", "medium_block_max"}, 0);
    PyObject* argv[3];
    if (!spec.ok() || !spec.parse(args, kwds, argv)) return nullptr;
    int32_t values[3] = {8, 256, 4096};
    for (int i = 0; i < 3; ++i)
        if (argv[i] && !pyext::to_int32_t(argv[i], values[i])) return nullptr;
    if (values[0] == 0) {
        PyErr_SetString(PyExc_ValueError, "bucket_size_step must not be zero");
        return nullptr;
    }
    Ref self = Ref::steal(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    BucketAllocator* a = allocator(self.get());
    a->vtab = &bucket_allocator_vtable;
    a->bucket_size_step = values[0];
    a->small_block_max = values[1];
    a->medium_block_max = values[2];
    a->index = nullptr;
    a->nbuckets = 0;
    a->lock = Py_NewRef(Py_None);
    a->bucketed_free_lists = PyDict_New();
    if (!a->bucketed_free_lists) return nullptr;
    Ref threading = pyext::global(PYEXT_STR("threading"));
    if (!threading) return nullptr;
    Ref lock = pyext::call_method(threading.get(), PYEXT_STR("Lock"));
    if (!lock) return nullptr;
    Py_SETREF(a->lock, lock.release());
    if (!pyext::call_method(self.get(), PYEXT_STR("_init_buckets"))) return nullptr;
    return self.release();
}

int BucketAllocator_traverse(PyObject* self, visitproc visit, void* arg) {
    BucketAllocator* a = allocator(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(a->bucketed_free_lists);
    Py_VISIT(a->lock);
    return 0;
}

// The lists hold only ints, so a cycle can run through the lock (or a
// subclass's attributes) only; the fields become None as after a failed
// constructor, and the methods then fail instead of crashing.
int BucketAllocator_clear(PyObject* self) {
    BucketAllocator* a = allocator(self);
    drop_index(a);
    Py_XSETREF(a->bucketed_free_lists, Py_NewRef(Py_None));
    Py_XSETREF(a->lock, Py_NewRef(Py_None));
    return 0;
}

void BucketAllocator_dealloc(PyObject* self) {
    PyTypeObject* tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    BucketAllocator* a = allocator(self);
    drop_index(a);
    Py_CLEAR(a->bucketed_free_lists);
    Py_CLEAR(a->lock);
    tp->tp_free(self);
    Py_DECREF(tp);
}

PyType_Slot BucketAllocator_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(BucketAllocator_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(BucketAllocator_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(BucketAllocator_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(BucketAllocator_clear)},
    {Py_tp_doc, const_cast<char*>("FastBucketAllocator(bucket_size_step=8, small_block_max=256, "
                                  "medium_block_max=4096)\n--\n\n"
                                  "Fast bucketed allocator using Cython for O(1) allocation performance.")},
    {0, nullptr},
};

PyType_Spec BucketAllocator_spec = {
    "korvane.memory.brisel.FastBucketAllocator",
    sizeof(BucketAllocator),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    BucketAllocator_slots,
};

bool attach_bucket_allocator_methods() {
    PyTypeObject* t = BucketAllocator_Type;
    Param size = Param::req("size");
    return pyext::add_method(t, {.name = "_init_buckets", .impl = pyext::impl<py_init_buckets>,
                                 .doc = "Initialize size-class buckets."}) &&
           pyext::add_method(t, {.name = "add_to_bucket", .impl = pyext::impl<py_add_to_bucket>,
                                 .params = {size, Param::req("offset")}, .doc = "Add block to appropriate bucket."}) &&
           pyext::add_method(t, {.name = "remove_from_bucket", .impl = pyext::impl<py_remove_from_bucket>, .params = {size},
                                 .doc = "Remove block from appropriate bucket."}) &&
           pyext::add_method(t, {.name = "find_best_fit_bucket", .impl = pyext::impl<py_find_best_fit_bucket>,
                                 .params = {size, Param::req("alignment")},
                                 .doc = "Find best fit bucket for allocation."});
}

// ======================================================= FastStatsCollector

struct FastAllocStats {
    uint64_t total_allocations;
    uint64_t total_deallocations;
    uint64_t bucketed_allocations;
    uint64_t fallback_allocations;
    uint64_t alignment_padding_bytes;
};

struct StatsCollector;

struct StatsCollectorVTable {
    void (*record_allocation)(StatsCollector*, int32_t, int32_t, bool);
    void (*record_deallocation)(StatsCollector*);
};

struct StatsCollector {
    PyObject_HEAD
    const StatsCollectorVTable* vtab;
    FastAllocStats stats;
    PyObject* lock;  // threading.Lock
};

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

const StatsCollectorVTable stats_collector_vtable = {record_allocation, record_deallocation};

PyTypeObject* StatsCollector_Type = nullptr;

inline StatsCollector* collector(PyObject* self) { return reinterpret_cast<StatsCollector*>(self); }

PyObject* StatsCollector_new(PyTypeObject* type, PyObject*, PyObject*) {
    Ref self = Ref::steal(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    StatsCollector* c = collector(self.get());
    c->vtab = &stats_collector_vtable;
    c->stats = {};
    c->lock = Py_NewRef(Py_None);
    Ref threading = pyext::global(PYEXT_STR("threading"));
    if (!threading) return nullptr;
    Ref lock = pyext::call_method(threading.get(), PYEXT_STR("Lock"));
    if (!lock) return nullptr;
    Py_SETREF(c->lock, lock.release());
    return self.release();
}

int StatsCollector_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(collector(self)->lock);
    return 0;
}

int StatsCollector_clear(PyObject* self) {
    Py_XSETREF(collector(self)->lock, Py_NewRef(Py_None));
    return 0;
}

void StatsCollector_dealloc(PyObject* self) {
    PyTypeObject* tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    Py_CLEAR(collector(self)->lock);
    tp->tp_free(self);
    Py_DECREF(tp);
}

PyObject* py_record_allocation(PyObject* self, PyObject* const* argv) {
    int32_t size, padding;
    bool is_bucketed;
    if (!pyext::to_i32(argv[0], size) || !pyext::to_i32(argv[1], padding) || !pyext::to_bool(argv[2], is_bucketed))
        return nullptr;
    StatsCollector* c = collector(self);
    pyext::WithLock guard(c->lock);
    if (!guard) return nullptr;
    record_allocation(c, size, padding, is_bucketed);
    if (!guard.exit()) return nullptr;
    Py_RETURN_NONE;
}

PyObject* py_record_deallocation(PyObject* self, PyObject* const*) {
    StatsCollector* c = collector(self);
    pyext::WithLock guard(c->lock);
    if (!guard) return nullptr;
    record_deallocation(c);
    if (!guard.exit()) return nullptr;
    Py_RETURN_NONE;
}

PyObject* py_reset_stats(PyObject* self, PyObject* const*) {
    StatsCollector* c = collector(self);
    pyext::WithLock guard(c->lock);
    if (!guard) return nullptr;
    c->stats = {};
    if (!guard.exit()) return nullptr;
    Py_RETURN_NONE;
}

// bucketed / total * 100 formatted with ".1f" and "%"; the division is
// Python's true division of the two ints (correctly rounded at any size).
PyObject* ratio_text(PyObject* bucketed, PyObject* total, uint64_t total_value) {
    double ratio = 0.0;
    if (total_value > 0) {
        Ref q = Ref::steal(PyNumber_TrueDivide(bucketed, total));
        if (!q) return nullptr;
        ratio = PyFloat_AsDouble(q.get()) * 100.0;
    }
    char* text = PyOS_double_to_string(ratio, 'f', 1, 0, nullptr);
    if (!text) return nullptr;
    PyObject* s = PyUnicode_FromFormat("%s%%", text);
    PyMem_Free(text);
    return s;
}

PyObject* py_get_stats(PyObject* self, PyObject* const*) {
    StatsCollector* c = collector(self);
    FastAllocStats s;
    {
        // One snapshot of all five counters, so the report is consistent.
        pyext::WithLock guard(c->lock);
        if (!guard) return nullptr;
        s = c->stats;
        if (!guard.exit()) return nullptr;
    }
    Ref total = Ref::steal(pyext::from_u64(s.total_allocations));
    Ref deallocs = Ref::steal(pyext::from_u64(s.total_deallocations));
    Ref bucketed = Ref::steal(pyext::from_u64(s.bucketed_allocations));
    Ref fallback = Ref::steal(pyext::from_u64(s.fallback_allocations));
    Ref padding = Ref::steal(pyext::from_u64(s.alignment_padding_bytes));
    if (!total || !deallocs || !bucketed || !fallback || !padding) return nullptr;
    Ref ratio = Ref::steal(ratio_text(bucketed.get(), total.get(), s.total_allocations));
    Ref d = Ref::steal(PyDict_New());
    if (!ratio || !d) return nullptr;
    if (PyDict_SetItem(d.get(), PYEXT_STR("total_allocations"), total.get()) < 0 ||
        PyDict_SetItem(d.get(), PYEXT_STR("total_deallocations"), deallocs.get()) < 0 ||
        PyDict_SetItem(d.get(), PYEXT_STR("bucketed_allocations"), bucketed.get()) < 0 ||
        PyDict_SetItem(d.get(), PYEXT_STR("fallback_allocations"), fallback.get()) < 0 ||
        PyDict_SetItem(d.get(), PYEXT_STR("bucketed_allocation_ratio"), ratio.get()) < 0 ||
        PyDict_SetItem(d.get(), PYEXT_STR("alignment_padding_bytes"), padding.get()) < 0)
        return nullptr;
    return d.release();
}

PyType_Slot StatsCollector_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(StatsCollector_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(StatsCollector_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(StatsCollector_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(StatsCollector_clear)},
    {Py_tp_doc, const_cast<char*>("FastStatsCollector()\n--\n\nFast statistics collection using Cython.")},
    {0, nullptr},
};

PyType_Spec StatsCollector_spec = {
    "korvane.memory.brisel.FastStatsCollector",
    sizeof(StatsCollector),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    StatsCollector_slots,
};

bool attach_stats_collector_methods() {
    PyTypeObject* t = StatsCollector_Type;
    return pyext::add_method(t, {.name = "py_record_allocation", .impl = pyext::impl<py_record_allocation>,
                                 .params = {Param::req("size"), Param::req("padding"), Param::req("is_bucketed")},
                                 .doc = "Record allocation statistics (Python interface)."}) &&
           pyext::add_method(t, {.name = "py_record_deallocation", .impl = pyext::impl<py_record_deallocation>,
                                 .doc = "Record deallocation statistics (Python interface)."}) &&
           pyext::add_method(t, {.name = "get_stats", .impl = pyext::impl<py_get_stats>, .doc = "Get statistics dictionary."}) &&
           pyext::add_method(t, {.name = "reset_stats", .impl = pyext::impl<py_reset_stats>, .doc = "Reset all statistics."});
}

// ========================================================= module functions

PyObject* fast_align_size(PyObject*, PyObject* const* argv) {
    int32_t size, alignment;
    if (!pyext::to_i32(argv[0], size) || !pyext::to_i32(argv[1], alignment)) return nullptr;
    if (!is_power_of_2(alignment)) {
        PyErr_SetString(PyExc_ValueError, "Alignment must be a power of 2");
        return nullptr;
    }
    return PyLong_FromLongLong(fast_align(size, alignment));
}

PyObject* fast_get_bucket_size(PyObject*, PyObject* const* argv) {
    int32_t size, step;
    if (!pyext::to_i32(argv[0], size) || !pyext::to_i32(argv[1], step)) return nullptr;
    if (step == 0) {
        PyErr_SetString(PyExc_ValueError, "step must not be zero");
        return nullptr;
    }
    return PyLong_FromLongLong(get_bucket_size(size, step));
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

PyObject* fast_bitmap_operations(PyObject*, PyObject* const* argv) {
    uint64_t bitmap;
    int32_t index;
    if (!pyext::to_u64(argv[0], bitmap) || !pyext::to_i32(argv[1], index)) return nullptr;
    PyObject* op = argv[2];
    if (!pyext::check_arg_type(op, &PyUnicode_Type, "operation", true)) return nullptr;
    switch (bitmap_op(op)) {
        case BitmapOp::is_set: return pyext::from_bool(bitmap_is_set(bitmap, index));
        case BitmapOp::set: return pyext::from_u64(bitmap_set(bitmap, index));
        case BitmapOp::clear: return pyext::from_u64(bitmap_clear(bitmap, index));
        case BitmapOp::find_first: return PyLong_FromLong(bitmap_find_first_set(bitmap));
        case BitmapOp::unknown: break;
    }
    PyErr_Format(PyExc_ValueError, "Unknown operation: %S", op);
    return nullptr;
}

PyObject* fast_can_fit_aligned(PyObject*, PyObject* const* argv) {
    int32_t block_offset, block_size, alloc_size, alignment;
    if (!pyext::to_i32(argv[0], block_offset) || !pyext::to_i32(argv[1], block_size) ||
        !pyext::to_i32(argv[2], alloc_size) || !pyext::to_i32(argv[3], alignment))
        return nullptr;
    int64_t aligned_offset = fast_align(block_offset, alignment);
    return pyext::from_bool(aligned_offset + alloc_size < int64_t{block_offset} + block_size);
}

bool add_module_functions(PyObject* m) {
    PyObject* eight = PyLong_FromLong(8);  // cached small int
    Py_XDECREF(eight);
    return pyext::add_function(m, {.name = "fast_align_size", .impl = pyext::impl<fast_align_size>,
                                   .params = {Param::req("size"), Param::req("alignment")},
                                   .doc = "Fast alignment calculation (Python interface)."}) &&
           pyext::add_function(m, {.name = "fast_get_bucket_size", .impl = pyext::impl<fast_get_bucket_size>,
                                   .params = {Param::req("size"), Param::opt("step", eight)},
                                   .doc = "Fast bucket size calculation (Python interface)."}) &&
           pyext::add_function(m, {.name = "fast_bitmap_operations", .impl = pyext::impl<fast_bitmap_operations>,
                                   .params = {Param::req("bitmap"), Param::req("index"), Param::req("operation")},
                                   .doc = "Fast bitmap operations (Python interface)."}) &&
           pyext::add_function(m, {.name = "fast_can_fit_aligned", .impl = pyext::impl<fast_can_fit_aligned>,
                                   .params = {Param::req("block_offset"), Param::req("block_size"),
                                              Param::req("alloc_size"), Param::req("alignment")},
                                   .doc = "Fast alignment check with exclusive boundary (Python interface)."});
}

// ================================================================== module

PyTypeObject* add_refusing_pickle(PyType_Spec* spec) {
    PyTypeObject* t = pyext::add_type(spec);
    return t && pyext::add_pickle_refusal(t) ? t : nullptr;
}

int exec_brisel(PyObject* m) {
    if (PyObject_SetAttrString(m, "__doc__",
                               PYEXT_STR("Slab headers, size classes, bucket free lists and allocation statistics: "
                                         "O(1) bucketed allocation, bitmap operations and alignment calculations "
                                         "for the slab allocator and the memory pool.")) < 0)
        return -1;
    if (!(SlabHeaderOps_Type = add_refusing_pickle(&SlabHeaderOps_spec)) ||
        !(BucketAllocator_Type = add_refusing_pickle(&BucketAllocator_spec)) ||
        !(StatsCollector_Type = add_refusing_pickle(&StatsCollector_spec)))
        return -1;
    if (!pyext::import_as("threading", "threading") || !pyext::bind_logger()) return -1;
    if (!attach_slab_header_methods() || !attach_bucket_allocator_methods() || !attach_stats_collector_methods())
        return -1;
    pyext::freeze_type(SlabHeaderOps_Type);
    pyext::freeze_type(BucketAllocator_Type);
    pyext::freeze_type(StatsCollector_Type);
    if (!add_module_functions(m)) return -1;
    init_crc16_table();
    if (!pyext::log("info", "Korvane Brisel Cython module loaded - targeting 1.8-3\u00d7 performance improvement"))
        return -1;
    Ref test = Ref::steal(PyDict_New());
    return test && pyext::set_global("__test__", test.get()) ? 0 : -1;
}

}  // namespace

PYEXT_MODULE(brisel, "korvane.memory.brisel", exec_brisel)
