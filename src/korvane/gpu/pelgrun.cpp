// korvane.gpu.pelgrun: GPU memory planning arithmetic.  Allocation
// estimates, the usable share of free device memory, the direct / chunked /
// CPU-fallback decision, chunk counts and first-axis chunk shapes, memory
// pressure, headroom, out-of-memory recognition and GPU suitability.
//
// Every figure comes from the caller; the module keeps no state apart from
// the two operation sets built at load time.  All arithmetic is defined for
// every input: byte counts are unsigned 64-bit, and each double that becomes
// an integer is range-checked first.
#include "pyext/pyext.hpp"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string_view>

using pyext::opt;
using pyext::Ref;
using pyext::req;

namespace pelgrun {

// Strategy codes of decide_allocation_strategy.
enum Strategy : int { GPU_DIRECT = 0, GPU_CHUNKED = 1, CPU_FALLBACK = 2 };

// Largest signed 64-bit value: the answer for estimates that overflow.
constexpr uint64_t kMaxSafe = 9223372036854775807ULL;
// 2^64 as a double: the first value that no longer fits an uint64_t.
constexpr double kTwo64 = 18446744073709551616.0;

// Operation sets, made by the module's execution step and only read
// afterwards; held for the rest of the process.
pyext::Global g_chunkable_ops;
pyext::Global g_non_chunkable_ops;

// --------------------------------------------------------------- sizing

// Double to uint64_t, truncating toward zero; values at or past 2^64 (and
// infinity) saturate.  `v` must not be negative or NaN.
inline uint64_t saturate_u64(double v) {
    return v >= kTwo64 ? UINT64_MAX : static_cast<uint64_t>(v);
}

// Headroom limited to 0.0 .. 0.99.  NaN counts as the largest headroom,
// which keeps the safe limit at its most careful (1% usable).
inline double clamp_headroom(double h) {
    if (!(h <= 0.99)) h = 0.99;
    if (h < 0.0) h = 0.0;
    return h;
}

struct SafeLimit {
    uint64_t bytes;   // the safe limit
    double product;   // the double product behind it, truncated toward zero
};

SafeLimit safe_limit(uint64_t available_bytes, double headroom_ratio) {
    double usable_fraction = 1.0 - clamp_headroom(headroom_ratio);
    double product = std::trunc(usable_fraction * static_cast<double>(available_bytes));
    return {saturate_u64(product), product};
}

uint64_t calculate_safe_limit(uint64_t available_bytes, double headroom_ratio) {
    return safe_limit(available_bytes, headroom_ratio).bytes;
}

// Passes of at most `limit.bytes` (> 0) bytes needed for `requested` bytes:
// the quotient of the doubles, rounded up.  Past 2^53 bytes the double
// quotient can round below the true one; the count is then raised to the
// exact integer ceiling so that the passes still cover the request.
uint64_t covering_chunks(uint64_t requested, const SafeLimit& limit) {
    uint64_t count = saturate_u64(std::ceil(static_cast<double>(requested) / limit.product));
    uint64_t exact = requested / limit.bytes + (requested % limit.bytes != 0 ? 1 : 0);
    return count < exact ? exact : count;
}

// Bytes an array of `shape` needs; false with an error set on bad input.
bool estimate_allocation_bytes(PyObject* shape, int32_t element_size, double overhead_factor, uint64_t& out) {
    if (element_size < 0) {
        PyErr_SetString(PyExc_ValueError, "element_size must be non-negative");
        return false;
    }
    Py_ssize_t ndim = PyObject_Size(shape);  // None: "object of type 'NoneType' has no len()"
    if (ndim < 0) return false;
    uint64_t total_elements = 1;
    for (Py_ssize_t i = 0; i < ndim; ++i) {
        int32_t dim;
        if (!pyext::to_i32(PyTuple_GET_ITEM(shape, i), dim)) return false;
        if (dim <= 0) {
            out = 0;
            return true;
        }
        uint64_t d = static_cast<uint64_t>(dim);
        if (kMaxSafe / d < total_elements) {
            out = kMaxSafe;
            return true;
        }
        total_elements *= d;
    }
    uint64_t size = static_cast<uint64_t>(element_size);
    if (size > 0 && total_elements > kMaxSafe / size) {
        out = kMaxSafe;
        return true;
    }
    uint64_t base_bytes = total_elements * size;
    // The factor only ever grows an estimate; one that carries it past the
    // 64-bit range answers MAX_SAFE like any other overflow.
    if (overhead_factor > 1.0 && base_bytes != 0) {
        double scaled = static_cast<double>(base_bytes) * overhead_factor;
        out = scaled >= kTwo64 ? kMaxSafe : static_cast<uint64_t>(scaled);
        return true;
    }
    out = base_bytes;
    return true;
}

// ------------------------------------------------------------- strategy

struct Decision {
    enum Reason { NO_MEMORY, FITS, CHUNKED, NOT_CHUNKABLE };
    Strategy strategy;
    uint64_t chunk_size;   // 0 unless chunking
    uint64_t chunk_count;  // 1 unless chunking
    Reason reason;
};

Decision decide_allocation_strategy(uint64_t requested_bytes, uint64_t available_bytes, double headroom_ratio,
                                    bool is_chunkable) {
    SafeLimit limit = safe_limit(available_bytes, headroom_ratio);
    // No usable memory is tested first: even an empty request falls back.
    if (limit.bytes == 0) return {CPU_FALLBACK, 0, 1, Decision::NO_MEMORY};
    if (requested_bytes <= limit.bytes) return {GPU_DIRECT, 0, 1, Decision::FITS};
    if (is_chunkable)
        return {GPU_CHUNKED, limit.bytes, covering_chunks(requested_bytes, limit), Decision::CHUNKED};
    return {CPU_FALLBACK, 0, 1, Decision::NOT_CHUNKABLE};
}

int32_t calculate_optimal_chunks(uint64_t total_bytes, uint64_t available_bytes, double headroom_ratio,
                                 int32_t min_chunks, int32_t max_chunks) {
    SafeLimit limit = safe_limit(available_bytes, headroom_ratio);
    if (limit.bytes == 0) return max_chunks;
    uint64_t count = covering_chunks(total_bytes, limit);
    int32_t chunks = count > static_cast<uint64_t>(INT32_MAX) ? INT32_MAX : static_cast<int32_t>(count);
    if (chunks < min_chunks) return min_chunks;
    if (chunks > max_chunks) return max_chunks;
    return chunks;
}

// A tuple (rows,) + shape[1:].
Ref chunk_shape(PyObject* shape, Py_ssize_t ndim, uint64_t rows) {
    Ref t = Ref::steal(PyTuple_New(ndim));
    if (!t) return t;
    PyObject* r = PyLong_FromUnsignedLongLong(rows);
    if (!r) return {};
    PyTuple_SET_ITEM(t.get(), 0, r);
    for (Py_ssize_t i = 1; i < ndim; ++i) PyTuple_SET_ITEM(t.get(), i, Py_NewRef(PyTuple_GET_ITEM(shape, i)));
    return t;
}

// Chunk shapes along the first axis; every chunk but the last has the same
// row count, so those chunks share one (immutable) tuple.
Ref compute_chunk_shapes(PyObject* shape, int32_t element_size, uint64_t max_chunk_bytes) {
    if (element_size <= 0) {
        PyErr_SetString(PyExc_ValueError, "element_size must be positive");
        return {};
    }
    if (max_chunk_bytes == 0) {
        PyErr_SetString(PyExc_ValueError, "max_chunk_bytes must be positive");
        return {};
    }
    Py_ssize_t ndim = PyObject_Size(shape);
    if (ndim < 0) return {};
    if (ndim == 0) {
        Ref list = Ref::steal(pyext::new_list(1));
        if (list) PyList_SET_ITEM(list.get(), 0, Py_NewRef(shape));
        return list;
    }
    // Bytes per row, modulo 2^64 like any unsigned product.
    uint64_t row_size = static_cast<uint64_t>(element_size);
    for (Py_ssize_t i = 1; i < ndim; ++i) {
        uint64_t d;
        if (!pyext::to_u64(PyTuple_GET_ITEM(shape, i), d)) return {};
        row_size *= d;
    }
    // A row wider than the budget still goes one row per chunk; rows of no
    // bytes at all fit any budget, so they all go into a single chunk.
    uint64_t rows_per_chunk;
    if (row_size > max_chunk_bytes)
        rows_per_chunk = 1;
    else if (row_size == 0)
        rows_per_chunk = UINT64_MAX;
    else
        rows_per_chunk = max_chunk_bytes / row_size;
    int32_t first_dim;
    if (!pyext::to_i32(PyTuple_GET_ITEM(shape, 0), first_dim)) return {};
    if (first_dim <= 0) return Ref::steal(PyList_New(0));

    uint64_t rows = static_cast<uint64_t>(first_dim);
    uint64_t full = rows / rows_per_chunk;
    uint64_t rest = rows % rows_per_chunk;
    Py_ssize_t count = static_cast<Py_ssize_t>(full + (rest ? 1 : 0));  // at most 2^31 - 1
    Ref list = Ref::steal(pyext::new_list(count));
    if (!list) return list;
    if (full) {
        Ref t = chunk_shape(shape, ndim, rows_per_chunk);
        if (!t) return {};
        for (Py_ssize_t i = 0; i < static_cast<Py_ssize_t>(full); ++i)
            PyList_SET_ITEM(list.get(), i, Py_NewRef(t.get()));
    }
    if (rest) {
        Ref t = chunk_shape(shape, ndim, rest);
        if (!t) return {};
        PyList_SET_ITEM(list.get(), count - 1, t.release());
    }
    return list;
}

// ------------------------------------------------ pressure and headroom

double calculate_memory_pressure(uint64_t used_bytes, uint64_t total_bytes) {
    if (total_bytes == 0) return 1.0;
    double pressure = static_cast<double>(used_bytes) / static_cast<double>(total_bytes);
    return pressure > 1.0 ? 1.0 : pressure;
}

// Always within 0.3 .. 0.8; a NaN base headroom gives the cap.
double recommend_headroom(double current_pressure, double base_headroom) {
    if (current_pressure > 0.8) return 0.8;
    double recommended;
    if (current_pressure > 0.6)
        recommended = base_headroom + (current_pressure - 0.5) * 0.5;
    else if (current_pressure > 0.3)
        recommended = base_headroom;
    else if (base_headroom <= 0.4)
        return 0.3;
    else
        recommended = base_headroom - 0.1;
    if (recommended < 0.3) return 0.3;
    return recommended < 0.8 ? recommended : 0.8;
}

// ------------------------------------------------- out-of-memory texts

// A str lower-cased for substring tests against ASCII fragments.  ASCII
// letters fold as str.lower() folds them; every other code point becomes a
// byte that no fragment contains.  That is exact for these fragments: the
// only non-ASCII characters whose lower case holds ASCII letters are
// U+0130 ("i" + U+0307) and U+212A ("k"), and no fragment has a "k" or an
// "i" that could be followed by U+0307.
class FoldedText {
public:
    FoldedText() = default;
    FoldedText(const FoldedText&) = delete;
    FoldedText& operator=(const FoldedText&) = delete;
    ~FoldedText() { PyMem_Free(heap_); }

    // False with MemoryError set when a long text's buffer cannot be had.
    bool fold(PyObject* s) {
        if (pyext::unicode_ready(s) < 0) return false;
        Py_ssize_t n = PyUnicode_GET_LENGTH(s);
        char* out = inline_;
        if (n > static_cast<Py_ssize_t>(sizeof inline_)) {
            PyMem_Free(heap_);
            heap_ = static_cast<char*>(PyMem_Malloc(static_cast<size_t>(n)));
            if (!heap_) {
                PyErr_NoMemory();
                return false;
            }
            out = heap_;
        }
        if (PyUnicode_IS_ASCII(s)) {
            const unsigned char* p = PyUnicode_1BYTE_DATA(s);
            Py_ssize_t i = 0;
            for (; i + 8 <= n; i += 8) {
                uint64_t w;
                std::memcpy(&w, p + i, 8);
                w = lower8(w);
                std::memcpy(out + i, &w, 8);
            }
            for (; i < n; ++i) out[i] = lower(p[i]);
        } else {
            int kind = PyUnicode_KIND(s);
            const void* data = PyUnicode_DATA(s);
            for (Py_ssize_t i = 0; i < n; ++i) {
                Py_UCS4 c = PyUnicode_READ(kind, data, i);
                out[i] = c < 0x80 ? lower(static_cast<unsigned char>(c)) : '\x80';
            }
        }
        text_ = std::string_view(out, static_cast<size_t>(n));
        return true;
    }
    bool has(std::string_view fragment) const { return text_.find(fragment) != std::string_view::npos; }

private:
    // Eight ASCII bytes at once: 0x20 added to each byte in 'A'..'Z'.  No
    // byte of ASCII text carries into its neighbour in either sum.
    static uint64_t lower8(uint64_t w) {
        constexpr uint64_t ones = 0x0101010101010101ULL;
        uint64_t at_least_a = w + (0x80 - 'A') * ones;
        uint64_t past_z = w + (0x80 - 'Z' - 1) * ones;
        return w | ((at_least_a & ~past_z & (0x80 * ones)) >> 2);
    }
    static char lower(unsigned char c) { return static_cast<char>(c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c); }
    char inline_[256];
    char* heap_ = nullptr;
    std::string_view text_;
};

// str.lower() applied to None.
bool fold_str(PyObject* s, FoldedText& out) {
    if (s == Py_None) {
        PyErr_SetString(PyExc_TypeError, "descriptor 'lower' for 'str' objects doesn't apply to a 'NoneType' object");
        return false;
    }
    return out.fold(s);
}

// 1 for an out-of-memory report, 0 otherwise, -1 with an error set.
int is_oom_error(PyObject* error_message, PyObject* error_type) {
    FoldedText msg, type;
    if (!fold_str(error_message, msg) || !fold_str(error_type, type)) return -1;
    return msg.has("out of memory") || type.has("outofmemoryerror") || (msg.has("cuda") && msg.has("memory")) ||
           (msg.has("allocat") && msg.has("failed")) || (msg.has("memory") && msg.has("insufficient")) ||
           (msg.has("gpu") && msg.has("memory"));
}

// ------------------------------------------------------- operations

// `operation` is a str or None.  1, 0, or -1 with an error set.
int in_set(PyObject* set, PyObject* operation) {
    if (operation == Py_None) return 0;
    return PySet_Contains(set, operation);
}

int is_chunkable_operation(PyObject* operation) { return in_set(g_chunkable_ops.get(), operation); }

// -1.0 with an error set on failure.
double score_gpu_suitability(uint64_t data_size_bytes, PyObject* operation_type, uint64_t available_gpu_memory,
                             double headroom_ratio) {
    SafeLimit limit = safe_limit(available_gpu_memory, headroom_ratio);
    double size_score;
    if (limit.bytes == 0) {
        size_score = 0.0;
    } else if (data_size_bytes <= limit.bytes) {
        size_score = static_cast<double>(data_size_bytes) * 1.25 / limit.product;
        if (size_score > 1.0) size_score = 1.0;
    } else {
        size_score = limit.product / static_cast<double>(data_size_bytes);
    }
    double operation_score = 0.5;
    int r = is_chunkable_operation(operation_type);
    if (r < 0) return -1.0;
    if (r) {
        operation_score = 0.9;
    } else {
        r = in_set(g_non_chunkable_ops.get(), operation_type);
        if (r < 0) return -1.0;
        if (r) operation_score = 0.7;
    }
    return size_score * operation_score;
}

}  // namespace pelgrun

namespace {

// ------------------------------------------------------ Python entries

bool check_tuple(PyObject* o, const char* name) { return pyext::check_arg_type(o, &PyTuple_Type, name, true); }
bool check_str(PyObject* o, const char* name) { return pyext::check_arg_type(o, &PyUnicode_Type, name, true); }

Ref py_estimate_allocation_bytes(PyObject*, PyObject* const* argv) {
    int32_t element_size;
    double overhead_factor;
    uint64_t bytes;
    if (!pyext::to_i32(argv[1], element_size) || !pyext::to_double(argv[2], overhead_factor) ||
        !check_tuple(argv[0], "shape") ||
        !pelgrun::estimate_allocation_bytes(argv[0], element_size, overhead_factor, bytes))
        return {};
    return pyext::from_u64(bytes);
}

// "Chunking into <count> GPU passes", written straight into an ASCII str.
Ref chunking_message(uint64_t count) {
    static constexpr std::string_view head = "Chunking into ", tail = " GPU passes";
    char digits[20];
    size_t n = 0;
    do {
        digits[n++] = static_cast<char>('0' + count % 10);
        count /= 10;
    } while (count);
    Ref s = Ref::steal(PyUnicode_New(static_cast<Py_ssize_t>(head.size() + n + tail.size()), 127));
    if (!s) return s;
    char* out = reinterpret_cast<char*>(PyUnicode_1BYTE_DATA(s.get()));
    std::memcpy(out, head.data(), head.size());
    out += head.size();
    while (n) *out++ = digits[--n];
    std::memcpy(out, tail.data(), tail.size());
    return s;
}

Ref py_decide_allocation_strategy(PyObject*, PyObject* const* argv) {
    uint64_t requested, available;
    double headroom;
    bool chunkable;
    if (!pyext::to_u64(argv[0], requested) || !pyext::to_u64(argv[1], available) ||
        !pyext::to_double(argv[2], headroom) || !pyext::to_bool(argv[3], chunkable))
        return {};
    pelgrun::Decision d = pelgrun::decide_allocation_strategy(requested, available, headroom, chunkable);
    Ref message;
    switch (d.reason) {
        case pelgrun::Decision::NO_MEMORY: message = Ref::borrow(PYEXT_STR("No GPU memory available")); break;
        case pelgrun::Decision::FITS: message = Ref::borrow(PYEXT_STR("Allocation fits in GPU memory")); break;
        case pelgrun::Decision::NOT_CHUNKABLE:
            message = Ref::borrow(PYEXT_STR("Operation not chunkable, falling back to CPU"));
            break;
        default: message = chunking_message(d.chunk_count);
    }
    return pyext::tuple_of(pyext::from_i64(d.strategy), pyext::from_u64(d.chunk_size), pyext::from_u64(d.chunk_count),
                           std::move(message));
}

Ref py_compute_chunk_shapes(PyObject*, PyObject* const* argv) {
    int32_t element_size;
    uint64_t max_chunk_bytes;
    if (!pyext::to_i32(argv[1], element_size) || !pyext::to_u64(argv[2], max_chunk_bytes) ||
        !check_tuple(argv[0], "shape"))
        return {};
    return pelgrun::compute_chunk_shapes(argv[0], element_size, max_chunk_bytes);
}

Ref py_is_oom_error(PyObject*, PyObject* const* argv) {
    if (!check_str(argv[0], "error_message") || !check_str(argv[1], "error_type")) return {};
    int r = pelgrun::is_oom_error(argv[0], argv[1]);
    if (r < 0) return {};
    return pyext::from_bool(r);
}

Ref py_is_chunkable_operation(PyObject*, PyObject* const* argv) {
    if (!check_str(argv[0], "operation")) return {};
    int r = pelgrun::is_chunkable_operation(argv[0]);
    if (r < 0) return {};
    return pyext::from_bool(r);
}

Ref py_score_gpu_suitability(PyObject*, PyObject* const* argv) {
    uint64_t data_size, available;
    double headroom;
    if (!pyext::to_u64(argv[0], data_size) || !pyext::to_u64(argv[2], available) ||
        !pyext::to_double(argv[3], headroom) || !check_str(argv[1], "operation_type"))
        return {};
    double score = pelgrun::score_gpu_suitability(data_size, argv[1], available, headroom);
    if (score < 0.0 && PyErr_Occurred()) return {};
    return pyext::from_double(score);
}

// ----------------------------------------------------------- docstrings

constexpr const char kModuleDoc[] =
    "Korvane Pelgrun: GPU memory planning.\n"
    "\n"
    "- Memory estimation with dynamic headroom\n"
    "- Three-tier allocation strategy decision: GPU_DIRECT (0), GPU_CHUNKED (1)\n"
    "  and CPU_FALLBACK (2)\n"
    "- Chunk size calculation for large arrays\n"
    "- OOM detection heuristics\n"
    "\n"
    "Byte counts are unsigned 64-bit integers; estimates that would overflow\n"
    "answer MAX_SAFE = 2**63 - 1.";

constexpr const char kEstimateDoc[] =
    "Estimate memory required for array allocation.\n"
    "\n"
    "shape: tuple of dimensions (signed 32-bit each); element_size: bytes per\n"
    "element (not negative); overhead_factor: multiplier applied when above\n"
    "1.0 (it never shrinks the estimate).  A dimension of 0 or less gives 0;\n"
    "an element or byte count past 2**63 - 1 gives 2**63 - 1.";

constexpr const char kSafeLimitDoc[] =
    "Calculate safe allocation limit with headroom.\n"
    "\n"
    "The headroom ratio is limited to 0.0 .. 0.99, so at least 1% of\n"
    "available_bytes stays usable; returns (1 - headroom) * available_bytes,\n"
    "truncated.";

constexpr const char kDecideDoc[] =
    "Decide allocation strategy based on memory requirements.\n"
    "\n"
    "Returns (strategy_code, chunk_size, chunk_count, message):\n"
    "  0 GPU_DIRECT    the request fits the safe limit;\n"
    "  1 GPU_CHUNKED   chunk_count passes of at most chunk_size bytes;\n"
    "  2 CPU_FALLBACK  no usable GPU memory, or the operation cannot be chunked.\n"
    "chunk_size is 0 and chunk_count 1 unless chunking.";

constexpr const char kChunkShapesDoc[] =
    "Compute optimal chunk shapes for a large array.\n"
    "\n"
    "Splits along the first axis for simplicity and efficiency.\n"
    "Ensures chunks are sized to fit within GPU memory limits.\n"
    "\n"
    "Returns a list of shapes whose first dimensions add up to shape[0]; a\n"
    "single row larger than max_chunk_bytes still makes a chunk of one row.";

constexpr const char kOptimalChunksDoc[] =
    "Calculate optimal number of chunks for a large operation.\n"
    "\n"
    "The number of safe-limit-sized passes for total_bytes, rounded up and\n"
    "bounded by min_chunks and max_chunks; max_chunks when no memory is usable.";

constexpr const char kOomDoc[] =
    "Detect if an error is an Out of Memory error.\n"
    "\n"
    "Matches the lower-cased message (and, for OutOfMemoryError, the type\n"
    "name) against the texts GPU libraries use for exhausted memory.";

constexpr const char kChunkableDoc[] =
    "Determine if an operation can be chunked for large allocations.\n"
    "\n"
    "Exact, case-sensitive match; unlisted operations and None are not\n"
    "chunkable.";

constexpr const char kScoreDoc[] =
    "Score how suitable a workload is for GPU execution.\n"
    "\n"
    "A size score (full from 80% of the safe limit, the fraction that fits\n"
    "beyond it) times an operation score (0.9 chunkable, 0.7 not chunkable,\n"
    "0.5 unlisted); 0.0 to 1.0.";

constexpr const char kPressureDoc[] =
    "Calculate current memory pressure as a ratio.\n"
    "\n"
    "used_bytes / total_bytes, at most 1.0; 1.0 when total_bytes is 0.";

constexpr const char kHeadroomDoc[] =
    "Recommend headroom ratio based on current memory pressure.\n"
    "\n"
    "Returns:\n"
    "    Recommended headroom ratio (0.3-0.8 range)";

// --------------------------------------------------------------- module

Ref make_set(std::initializer_list<const char*> names) {
    Ref set = Ref::steal(PySet_New(nullptr));
    if (!set) return set;
    for (const char* n : names) {
        Ref s = Ref::steal(PyUnicode_InternFromString(n));
        if (!s || PySet_Add(set.get(), s.get()) < 0) return {};
    }
    return set;
}

bool exec_pelgrun() {
    Ref chunkable = make_set({"zeros", "ones", "empty", "full", "random.randn", "random.rand", "random.random",
                              "random.standard_normal", "random.uniform", "arange", "linspace"});
    Ref non_chunkable = make_set({"matmul", "dot", "fft", "ifft", "fft2", "ifft2", "svd", "eig", "eigvals",
                                  "solve", "inv", "sort", "argsort"});
    if (!chunkable || !non_chunkable) return false;
    pelgrun::g_chunkable_ops.set(std::move(chunkable));
    pelgrun::g_non_chunkable_ops.set(std::move(non_chunkable));

    return pyext::add_functions({
        {.name = "estimate_allocation_bytes", .impl = pyext::impl<py_estimate_allocation_bytes>,
         .params = {req("shape"), req("element_size"), opt("overhead_factor", 1.0)}, .doc = kEstimateDoc},
        {.name = "calculate_safe_limit", .impl = pyext::native<pelgrun::calculate_safe_limit>,
         .params = {req("available_bytes"), req("headroom_ratio")}, .doc = kSafeLimitDoc},
        {.name = "decide_allocation_strategy", .impl = pyext::impl<py_decide_allocation_strategy>,
         .params = {req("requested_bytes"), req("available_bytes"), req("headroom_ratio"), req("is_chunkable")},
         .doc = kDecideDoc},
        {.name = "compute_chunk_shapes", .impl = pyext::impl<py_compute_chunk_shapes>,
         .params = {req("shape"), req("element_size"), req("max_chunk_bytes")}, .doc = kChunkShapesDoc},
        {.name = "calculate_optimal_chunks", .impl = pyext::native<pelgrun::calculate_optimal_chunks>,
         .params = {req("total_bytes"), req("available_bytes"), req("headroom_ratio"), opt("min_chunks", 1),
                    opt("max_chunks", 1000)},
         .doc = kOptimalChunksDoc},
        {.name = "is_oom_error", .impl = pyext::impl<py_is_oom_error>,
         .params = {req("error_message"), req("error_type")}, .doc = kOomDoc},
        {.name = "is_chunkable_operation", .impl = pyext::impl<py_is_chunkable_operation>,
         .params = {req("operation")}, .doc = kChunkableDoc},
        {.name = "score_gpu_suitability", .impl = pyext::impl<py_score_gpu_suitability>,
         .params = {req("data_size_bytes"), req("operation_type"), req("available_gpu_memory"), req("headroom_ratio")},
         .doc = kScoreDoc},
        {.name = "calculate_memory_pressure", .impl = pyext::native<pelgrun::calculate_memory_pressure>,
         .params = {req("used_bytes"), req("total_bytes")}, .doc = kPressureDoc},
        {.name = "recommend_headroom", .impl = pyext::native<pelgrun::recommend_headroom>,
         .params = {req("current_pressure"), opt("base_headroom", 0.5)}, .doc = kHeadroomDoc},
    });
}

}  // namespace

PYEXT_MODULE(pelgrun, {.fullname = "korvane.gpu.pelgrun", .exec = exec_pelgrun, .doc = kModuleDoc, .logger = true,
                       .load_message = "Korvane Pelgrun Cython module loaded - IP protected", .test_dict = true})
