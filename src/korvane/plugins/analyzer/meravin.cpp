// korvane.plugins.analyzer.meravin: scoring of a function's source text for
// framework use and workload indicators, and the classification of a
// workload pattern from those scores.
//
// The text scorers answer exactly what the straightforward Python would:
//   * keyword counting is `keyword in text.lower()` for every keyword; it is
//     done in one pass with a multi-keyword automaton over the lower-cased
//     text.  ASCII text is lower-cased on the fly; any other text is
//     lower-cased by str.lower() itself (full Unicode mapping), and the
//     automaton then runs over the result, where only ASCII code points can
//     be part of a keyword;
//   * framework matching is `len(pattern.findall(code))` for the compiled
//     patterns `\b(alt|alt|...)\b` with re.IGNORECASE.  The native matcher
//     tries the alternatives in order at each word boundary, with the same
//     character predicates the regex engine uses for str patterns: a word
//     character is alphanumeric (Py_UNICODE_ISALNUM) or "_", and a cased
//     pattern letter matches a character whose simple lower-case mapping
//     (Py_UNICODE_TOLOWER) is that letter, or, for "i" and "s", the dotless
//     i U+0131 and the long s U+017F that the engine treats as equivalent.
#include "pyext/pyext.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <iterator>
#include <string_view>
#include <utility>
#include <vector>

using pyext::Ref;
using pyext::req;

namespace {

// ------------------------------------------------------------ shared logic

inline double clamp(double value, double min_val, double max_val) {
    if (value < min_val) return min_val;
    if (value > max_val) return max_val;
    return value;
}

using sv = std::string_view;

// Keyword lists, in their documented order.
constexpr sv kNumpyIndicators[] = {"numpy", "np.",     "ndarray",   "array",       "matrix",    "vectorize", "broadcast",
                                   "ufunc", "dot",     "matmul",    "linalg",      "fft",       "sum",       "mean",
                                   "std",   "var",     "min",       "max",         "argmax",    "argmin",    "reshape",
                                   "transpose", "concatenate", "stack", "split"};
constexpr sv kPandasIndicators[] = {"pandas", "pd.",  "dataframe", "series", "groupby", "apply",
                                    "agg",    "transform", "merge", "join",   "concat",  "pivot",
                                    "melt",   "query", "eval",     "rolling", "resample", "sort_values"};
constexpr sv kSklearnIndicators[] = {"sklearn",        "fit",           "predict",         "transform",
                                     "score",          "cross_val",     "gridsearchcv",    "randomizedsearchcv",
                                     "pipeline",       "featureunion",  "train_test_split", "classification",
                                     "regression",     "clustering",    "preprocessing",   "model_selection",
                                     "metrics",        "ensemble"};

constexpr sv kCpuIndicators[] = {"for",       "while",   "range",     "numpy", "scipy", "math", "calculation", "compute",
                                 "algorithm", "sum",     "prod",      "dot",   "matmul", "fft", "linalg"};
constexpr sv kMemoryIndicators[] = {"array",    "list",   "dict",  "pandas", "dataframe",
                                    "allocate", "buffer", "cache", "append", "extend"};
constexpr sv kParallelIndicators[] = {"multiprocessing", "threading", "concurrent", "async",
                                      "parallel",        "pool",      "worker",     "chunk",
                                      "batch",           "processpoolexecutor", "threadpoolexecutor"};
constexpr sv kGpuOpIndicators[] = {"matmul", "dot",      "tensordot", "@",    "fft",   "ifft",     "rfft",     "convolve",
                                   "correlate", "sum",   "mean",      "std",  "var",   "sin",      "cos",      "exp",
                                   "log",    "sqrt",     "power",     "**",   "add",   "subtract", "multiply", "divide",
                                   "/",      "*",        "+",         "-",    "linalg", "linear_algebra", "array",
                                   "asarray", "zeros",   "ones",      "empty", "full"};
constexpr sv kLargeDataIndicators[] = {"reshape", "resize", "huge", "large", "gigabyte", "gb",  "million",
                                       "billion", "1e6",    "1e9",  "1024",  "megabyte", "mb"};
constexpr sv kEmbarrassingIndicators[] = {"workload", "benchmark", "intensive", "chunk_workload",
                                          "map",      "apply",     "vectorize", "broadcast"};
constexpr sv kSequentialIndicators[] = {"global",       "nonlocal",   "lock",    "mutex",
                                        "synchronized", "sequential", "ordered", "dependencies"};

// Fixed divisors of the normalisations (the list sizes).
constexpr double kNumpyDivisor = 25.0, kPandasDivisor = 18.0, kSklearnDivisor = 18.0;
constexpr double kCpuDivisor = 15.0, kMemoryDivisor = 10.0, kParallelDivisor = 11.0, kGpuOpDivisor = 36.0,
                 kLargeDataDivisor = 13.0;

static_assert(std::size(kNumpyIndicators) == 25 && std::size(kPandasIndicators) == 18 &&
              std::size(kSklearnIndicators) == 18);
static_assert(std::size(kCpuIndicators) == 15 && std::size(kMemoryIndicators) == 10 &&
              std::size(kParallelIndicators) == 11 && std::size(kGpuOpIndicators) == 36 &&
              std::size(kLargeDataIndicators) == 13 && std::size(kEmbarrassingIndicators) == 8 &&
              std::size(kSequentialIndicators) == 8);

// ------------------------------------------------ multi-keyword substring search
//
// An Aho-Corasick automaton over the distinct keywords of a scorer (ASCII,
// at most 128 of them).  Input characters map to classes; upper-case ASCII
// letters share the class of their lower-case letter, which lower-cases
// ASCII text on the fly (a text that went through str.lower() holds no
// upper-case ASCII letters, so the mapping is harmless there).  Every other
// character has class 0, which no keyword contains.

using WordBits = std::array<uint64_t, 2>;
constexpr size_t kMaxWords = 128;

class KeywordAutomaton {
public:
    // False when the keywords exceed the automaton's limits.
    bool build(const std::vector<sv>& words) {
        nwords_ = words.size();
        if (nwords_ > kMaxWords) return false;
        uint32_t nclasses = 1;
        for (sv w : words) {
            if (w.empty()) return false;
            for (char ch : w) {
                auto c = static_cast<unsigned char>(ch);
                if (c >= 128 || (c >= 'A' && c <= 'Z')) return false;
                if (!cls_[c]) {
                    if (nclasses >= (1u << kClassBits)) return false;
                    cls_[c] = static_cast<uint8_t>(nclasses++);
                }
            }
        }
        for (int c = 'A'; c <= 'Z'; ++c) cls_[c] = cls_[c - 'A' + 'a'];

        // Trie.
        constexpr int32_t kNone = -1;
        std::vector<std::array<int32_t, 1u << kClassBits>> go(1);
        go[0].fill(kNone);
        std::vector<WordBits> out(1, WordBits{});
        for (size_t id = 0; id < words.size(); ++id) {
            int32_t s = 0;
            for (char ch : words[id]) {
                uint8_t k = cls_[static_cast<unsigned char>(ch)];
                if (go[s][k] == kNone) {
                    go[s][k] = static_cast<int32_t>(go.size());
                    go.emplace_back().fill(kNone);
                    out.emplace_back(WordBits{});
                }
                s = go[s][k];
            }
            out[s][id / 64] |= uint64_t{1} << (id % 64);
        }
        if (go.size() > kStateMask) return false;

        // Failure links, breadth first, folded into a complete transition
        // table; each state's output includes the keywords that end at it
        // as a suffix.
        std::vector<int32_t> fail(go.size(), 0), queue;
        queue.reserve(go.size());
        for (uint32_t k = 0; k < nclasses; ++k) {
            if (go[0][k] == kNone) {
                go[0][k] = 0;
            } else {
                fail[go[0][k]] = 0;
                queue.push_back(go[0][k]);
            }
        }
        for (size_t qi = 0; qi < queue.size(); ++qi) {
            int32_t r = queue[qi];
            for (uint32_t k = 0; k < nclasses; ++k) {
                int32_t u = go[r][k];
                if (u == kNone) {
                    go[r][k] = go[fail[r]][k];
                } else {
                    fail[u] = go[fail[r]][k];
                    out[u][0] |= out[fail[u]][0];
                    out[u][1] |= out[fail[u]][1];
                    queue.push_back(u);
                }
            }
        }
        delta_.assign(go.size() << kClassBits, 0);
        for (size_t s = 0; s < go.size(); ++s)
            for (uint32_t k = 0; k < nclasses; ++k) {
                auto t = static_cast<uint16_t>(go[s][k]);
                if (out[t][0] | out[t][1]) t |= kHit;
                delta_[(s << kClassBits) | k] = t;
            }
        out_ = std::move(out);
        return true;
    }

    // ORs into `found` the keywords occurring in s[0..n).
    template <typename Ch>
    void scan(const Ch* s, Py_ssize_t n, WordBits& found) const {
        const uint16_t* delta = delta_.data();
        const WordBits* out = out_.data();
        uint32_t state = 0;
        uint64_t f0 = found[0], f1 = found[1];
        for (Py_ssize_t i = 0; i < n; ++i) {
            uint32_t c = s[i];
            uint32_t k;
            if constexpr (sizeof(Ch) == 1)
                k = cls_[c];
            else
                k = c < 256 ? cls_[c] : 0;
            uint16_t t = delta[(state << kClassBits) | k];
            state = t & kStateMask;
            if (t & kHit) {
                f0 |= out[state][0];
                f1 |= out[state][1];
            }
        }
        found[0] = f0;
        found[1] = f1;
    }

    size_t nwords() const { return nwords_; }

private:
    static constexpr unsigned kClassBits = 6;
    static constexpr uint16_t kHit = 0x8000;
    static constexpr uint16_t kStateMask = 0x7fff;

    uint8_t cls_[256] = {};  // class of each 8-bit character
    std::vector<uint16_t> delta_;  // [state << kClassBits | class] -> next state, kHit if it has output
    std::vector<WordBits> out_;    // keywords ending at each state
    size_t nwords_ = 0;
};

// A group of keyword lists scored together: one automaton over their
// distinct keywords and, per list, the mask of its keywords.
class KeywordScorer {
public:
    bool build(std::initializer_list<std::pair<const sv*, size_t>> lists) {
        std::vector<sv> words;
        for (auto [list, n] : lists) {
            WordBits mask{};
            for (size_t i = 0; i < n; ++i) {
                size_t id = 0;
                while (id < words.size() && words[id] != list[i]) ++id;
                if (id == words.size()) {
                    if (id >= kMaxWords) return false;
                    words.push_back(list[i]);
                }
                uint64_t bit = uint64_t{1} << (id % 64);
                if (mask[id / 64] & bit) return false;  // a list names each keyword once
                mask[id / 64] |= bit;
            }
            masks_.push_back(mask);
        }
        return automaton_.build(words);
    }

    const KeywordAutomaton& automaton() const { return automaton_; }

    // Number of keywords of list `i` among `found`.
    int32_t count(size_t i, const WordBits& found) const {
        const WordBits& m = masks_[i];
        return std::popcount(found[0] & m[0]) + std::popcount(found[1] & m[1]);
    }

private:
    KeywordAutomaton automaton_;
    std::vector<WordBits> masks_;
};

enum FrameworkList : size_t { kNumpyList, kPandasList, kSklearnList };
enum IndicatorList : size_t { kCpuList, kMemoryList, kParallelList, kGpuOpList, kLargeDataList, kEmbarrassingList,
                              kSequentialList };

KeywordScorer g_framework_scorer;
KeywordScorer g_indicator_scorer;

// Builds both scorers and puts them in place only when both are complete,
// so that an import retried after a failure starts from scratch.
bool build_scorers() {
    auto list = [](const auto& a) { return std::pair<const sv*, size_t>{a, std::size(a)}; };
    KeywordScorer framework, indicator;
    if (!framework.build({list(kNumpyIndicators), list(kPandasIndicators), list(kSklearnIndicators)}) ||
        !indicator.build({list(kCpuIndicators), list(kMemoryIndicators), list(kParallelIndicators),
                          list(kGpuOpIndicators), list(kLargeDataIndicators), list(kEmbarrassingIndicators),
                          list(kSequentialIndicators)})) {
        PyErr_SetString(PyExc_SystemError, "meravin: keyword tables exceed the automaton's limits");
        return false;
    }
    g_framework_scorer = std::move(framework);
    g_indicator_scorer = std::move(indicator);
    return true;
}

// ---------------------------------------------------------- regex matching
//
// `\b(alt1|alt2|...)\b` with re.IGNORECASE over a str, as findall counts it:
// the search scans start positions left to right; at a word boundary the
// alternatives are tried in order, and the first whose end is also a word
// boundary is the match; the next search starts where it ended.  The
// alternatives are spelt in lower case ("." is the only uncased character).

struct WordPattern {
    const char* regex;          // the source given to re.compile
    const char* key;            // framework name
    std::vector<sv> alternatives;
};

const WordPattern kPatterns[] = {
    {R"(\b(numpy|np\.|ndarray|array|vectorize|matmul|linalg)\b)", "numpy",
     {"numpy", "np.", "ndarray", "array", "vectorize", "matmul", "linalg"}},
    {R"(\b(pandas|pd\.|DataFrame|Series|groupby|merge|pivot)\b)", "pandas",
     {"pandas", "pd.", "dataframe", "series", "groupby", "merge", "pivot"}},
    {R"(\b(sklearn|fit|predict|transform|GridSearchCV|RandomForest)\b)", "sklearn",
     {"sklearn", "fit", "predict", "transform", "gridsearchcv", "randomforest"}},
};
constexpr size_t kNumPatterns = std::size(kPatterns);

// ASCII: word characters, and the case-insensitive identity of each char.
struct AsciiTables {
    bool word[128] = {};
    char fold[128] = {};
    constexpr AsciiTables() {
        for (int c = 0; c < 128; ++c) {
            fold[c] = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
            word[c] = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
        }
    }
};
constexpr AsciiTables kAscii;

inline bool is_word(Py_UCS4 c) { return c < 128 ? kAscii.word[c] : Py_UNICODE_ISALNUM(c) != 0; }

// Whether `c` matches pattern character `p` (a lower-case ASCII letter or ".").
inline bool char_matches(Py_UCS4 c, char p) {
    if (c < 128) return kAscii.fold[c] == p;
    if (p < 'a' || p > 'z') return false;
    Py_UCS4 lower = Py_UNICODE_TOLOWER(c);
    return lower == static_cast<Py_UCS4>(p) || (p == 'i' && lower == 0x131) || (p == 's' && lower == 0x17f);
}

// ASCII characters that can begin an alternative of a pattern: a quick
// filter in front of the full test.
struct StartSet {
    bool ascii[128] = {};
    explicit StartSet(const std::vector<sv>& alts) {
        for (int c = 0; c < 128; ++c)
            for (sv alt : alts)
                if (char_matches(static_cast<Py_UCS4>(c), alt[0])) ascii[c] = true;
    }
    bool may_start(Py_UCS4 c) const { return c >= 128 || ascii[c]; }
};

const StartSet kStartSets[] = {StartSet(kPatterns[0].alternatives), StartSet(kPatterns[1].alternatives),
                               StartSet(kPatterns[2].alternatives)};
static_assert(std::size(kStartSets) == kNumPatterns);

// Number of matches of pattern `which` in s[0..n), counted up to `limit`
// (the scan stops there).
template <typename Ch>
int64_t count_word_matches(const Ch* s, Py_ssize_t n, size_t which, int64_t limit) {
    const std::vector<sv>& alts = kPatterns[which].alternatives;
    const StartSet& start = kStartSets[which];
    int64_t count = 0;
    Py_ssize_t p = 0;
    bool prev_word = false;  // is_word(s[p - 1]); false at the start
    while (p < n && count < limit) {
        Py_UCS4 c = s[p];
        bool cur_word = is_word(c);
        if (prev_word != cur_word && start.may_start(c)) {
            Py_ssize_t end = -1;
            for (sv alt : alts) {
                auto len = static_cast<Py_ssize_t>(alt.size());
                if (len > n - p) continue;
                Py_ssize_t j = 0;
                while (j < len && char_matches(s[p + j], alt[j])) ++j;
                if (j < len) continue;
                Py_ssize_t e = p + len;
                bool before = is_word(s[e - 1]);
                bool after = e < n && is_word(s[e]);
                if (before != after) {
                    end = e;
                    break;
                }
            }
            if (end >= 0) {
                ++count;
                prev_word = is_word(s[end - 1]);
                p = end;
                continue;
            }
        }
        prev_word = cur_word;
        ++p;
    }
    return count;
}

// ------------------------------------------------------------ module state

// Made by the module's execution step and only read afterwards; held for
// the rest of the process.
pyext::Global g_compiled_patterns;               // _COMPILED_PATTERNS (dict)
PyObject* g_pattern_objects[kNumPatterns] = {};  // its values, in key order (held by the dict)
pyext::Global g_str_lower;                       // the descriptor str.lower

// _COMPILED_PATTERNS through the module's `re`, put in place once complete.
bool build_compiled_patterns() {
    Ref re = pyext::global(PYEXT_STR("re"));
    if (!re) return false;
    Ref compile = Ref::steal(PyObject_GetAttrString(re.get(), "compile"));
    Ref flag = compile ? Ref::steal(PyObject_GetAttrString(re.get(), "IGNORECASE")) : Ref();
    Ref dict = flag ? Ref::steal(PyDict_New()) : Ref();
    if (!dict) return false;
    PyObject* objects[kNumPatterns];
    for (size_t i = 0; i < kNumPatterns; ++i) {
        Ref source = Ref::steal(PyUnicode_FromString(kPatterns[i].regex));
        if (!source) return false;
        Ref pattern = pyext::call(compile.get(), source.get(), flag.get());
        if (!pattern || PyDict_SetItemString(dict.get(), kPatterns[i].key, pattern.get()) < 0) return false;
        objects[i] = pattern.get();
    }
    std::copy(std::begin(objects), std::end(objects), g_pattern_objects);
    g_compiled_patterns.set(std::move(dict));
    return true;
}

// ------------------------------------------------------------ text access

// str.lower(text), exactly; for a non-str (None) the descriptor raises its
// own TypeError.
Ref str_lower(PyObject* text) {
    PyObject* args[2] = {nullptr, text};
    return Ref::steal(PyObject_Vectorcall(g_str_lower.get(), args + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

template <typename F>
void with_str_data(PyObject* s, F&& f) {
    Py_ssize_t n = PyUnicode_GET_LENGTH(s);
    switch (PyUnicode_KIND(s)) {
        case PyUnicode_1BYTE_KIND: f(PyUnicode_1BYTE_DATA(s), n); break;
        case PyUnicode_2BYTE_KIND: f(PyUnicode_2BYTE_DATA(s), n); break;
        default: f(PyUnicode_4BYTE_DATA(s), n); break;
    }
}

// ORs into `found` the scorer's keywords that occur in text.lower().
bool scan_lowered(const KeywordAutomaton& ac, PyObject* text, WordBits& found) {
    if (PyUnicode_CheckExact(text)) {
        if (pyext::unicode_ready(text) < 0) return false;
        if (PyUnicode_IS_ASCII(text)) {
            ac.scan(PyUnicode_1BYTE_DATA(text), PyUnicode_GET_LENGTH(text), found);
            return true;
        }
    }
    Ref lowered = str_lower(text);
    if (!lowered || pyext::unicode_ready(lowered.get()) < 0) return false;
    with_str_data(lowered.get(), [&](const auto* data, Py_ssize_t n) { ac.scan(data, n, found); });
    return true;
}

// --------------------------------------------------------- native entries
//
// One per module function, with its parameters and result; other native
// code calls these directly.  Those that can fail return false (or -1.0
// with an error set, for doubles; see each).

// -1.0 with an error set on failure.
double quick_framework_score_fast(PyObject* code, PyObject* framework) {
    PyObject* pattern = PyDict_GetItemWithError(g_compiled_patterns.get(), framework);
    if (!pattern) return PyErr_Occurred() ? -1.0 : 0.0;
    size_t which = 0;
    while (which < kNumPatterns && g_pattern_objects[which] != pattern) ++which;
    int64_t matches = 0;
    if (which < kNumPatterns && PyUnicode_CheckExact(code) && pyext::unicode_ready(code) == 0) {
        with_str_data(code, [&](const auto* data, Py_ssize_t n) {
            matches = count_word_matches(data, n, which, 11);
        });
    } else {
        // None (and anything unforeseen): the pattern itself answers or raises.
        if (PyErr_Occurred()) return -1.0;
        Ref found = pyext::call_method(pattern, PYEXT_STR("findall"), code);
        if (!found) return -1.0;
        Py_ssize_t n = PyObject_Length(found.get());
        if (n < 0) return -1.0;
        matches = n;
    }
    if (matches > 10) return 1.0;
    return static_cast<double>(matches) * 0.1;
}

struct FrameworkScores {
    double numpy_norm, pandas_norm, sklearn_norm;
};

bool score_framework_patterns_fast(PyObject* code, FrameworkScores& r) {
    WordBits found{};
    if (!scan_lowered(g_framework_scorer.automaton(), code, found)) return false;
    r.numpy_norm = clamp(g_framework_scorer.count(kNumpyList, found) / kNumpyDivisor, 0.0, 1.0);
    r.pandas_norm = clamp(g_framework_scorer.count(kPandasList, found) / kPandasDivisor, 0.0, 1.0);
    r.sklearn_norm = clamp(g_framework_scorer.count(kSklearnList, found) / kSklearnDivisor, 0.0, 1.0);
    return true;
}

struct IndicatorScores {
    int32_t cpu_score, memory_score, parallel_score, gpu_op_score, large_data_score, embarrassing_score,
        sequential_score;
};

bool score_indicators_fast(PyObject* code, PyObject* function_name, IndicatorScores& r) {
    const KeywordScorer& sc = g_indicator_scorer;
    WordBits in_code{};
    if (!scan_lowered(sc.automaton(), code, in_code)) return false;
    // The GPU-operation and embarrassingly-parallel keywords also count when
    // they occur in the lower-cased function name.
    WordBits in_either = in_code;
    if (function_name != Py_None) {
        if (pyext::unicode_ready(function_name) < 0) return false;
        if (PyUnicode_GET_LENGTH(function_name) > 0 && !scan_lowered(sc.automaton(), function_name, in_either))
            return false;
    }
    r.cpu_score = sc.count(kCpuList, in_code);
    r.memory_score = sc.count(kMemoryList, in_code);
    r.parallel_score = sc.count(kParallelList, in_code);
    r.gpu_op_score = sc.count(kGpuOpList, in_either);
    r.large_data_score = sc.count(kLargeDataList, in_code);
    r.embarrassing_score = sc.count(kEmbarrassingList, in_either);
    r.sequential_score = sc.count(kSequentialList, in_code);
    return true;
}

struct NormalizedScores {
    double cpu_norm, memory_norm, parallel_norm, gpu_op_norm, large_data_norm;
};

NormalizedScores normalize_scores_fast(int32_t cpu_score, int32_t memory_score, int32_t parallel_score,
                                       int32_t gpu_op_score, int32_t large_data_score) {
    return {clamp(cpu_score / kCpuDivisor, 0.0, 1.0), clamp(memory_score / kMemoryDivisor, 0.0, 1.0),
            clamp(parallel_score / kParallelDivisor, 0.0, 1.0), clamp(gpu_op_score / kGpuOpDivisor, 0.0, 1.0),
            clamp(large_data_score / kLargeDataDivisor, 0.0, 1.0)};
}

// Workload pattern codes.
enum WorkloadPattern : int {
    MIXED = 0,
    CPU_INTENSIVE = 1,
    MEMORY_INTENSIVE = 2,
    PARALLEL_FRIENDLY = 3,
    SEQUENTIAL = 4,
    GPU_SUITABLE = 5,
    GPU_COMPUTE_INTENSIVE = 6,
    GPU_MEMORY_BOUND = 7,
    NUMPY_VECTORIZED = 8,
    NUMPY_LINALG = 9,
    PANDAS_DATAFRAME = 10,
    PANDAS_GROUPBY = 11,
    SKLEARN_TRAINING = 12,
    SKLEARN_INFERENCE = 13,
};

// Every comparison is strict, so a NaN operand falls through to the next rule.
int determine_workload_pattern_fast(double cpu_intensity, double memory_intensity, double parallelization_potential,
                                    double gpu_suitability, double gpu_operation_score, double numpy_score,
                                    double pandas_score, double sklearn_score, int32_t sequential_count,
                                    int32_t embarrassing_count, double cpu_threshold, double memory_threshold,
                                    double gpu_threshold, double numpy_threshold, double pandas_threshold,
                                    double sklearn_threshold, bool gpu_available) {
    if (sklearn_score > sklearn_threshold) return SKLEARN_TRAINING;
    if (pandas_score > pandas_threshold) return PANDAS_DATAFRAME;
    if (numpy_score > numpy_threshold) return NUMPY_VECTORIZED;
    if (gpu_available && gpu_suitability > gpu_threshold) {
        if (gpu_operation_score > 0.7 && cpu_intensity > 0.6) return GPU_COMPUTE_INTENSIVE;
        if (memory_intensity > 0.5) return GPU_MEMORY_BOUND;
        return GPU_SUITABLE;
    }
    if (embarrassing_count > 0 || parallelization_potential > 0.6) return PARALLEL_FRIENDLY;
    if (cpu_intensity > cpu_threshold) return CPU_INTENSIVE;
    if (memory_intensity > memory_threshold) return MEMORY_INTENSIVE;
    if (sequential_count > 2) return SEQUENTIAL;
    return MIXED;
}

// Factor for a compute capability string ("8.6"): by the integer before
// the first "."; 1.0 for None, "", or a first piece int() rejects.
// False with an error set when int() gives a number outside 32 bits.
bool capability_factor(PyObject* compute_capability, double& factor) {
    factor = 1.0;
    if (compute_capability == Py_None) return true;
    if (pyext::unicode_ready(compute_capability) < 0) return false;
    Py_ssize_t len = PyUnicode_GET_LENGTH(compute_capability);
    if (len == 0) return true;
    Py_ssize_t dot = PyUnicode_FindChar(compute_capability, '.', 0, len, 1);
    if (dot == -2) return false;
    Py_ssize_t end = dot < 0 ? len : dot;
    int32_t major = 0;
    // Plain ASCII digits are read here; anything else (signs, whitespace,
    // underscores, other decimal digits, garbage) goes through int() itself.
    bool plain = end > 0 && end <= 9;
    for (Py_ssize_t i = 0; plain && i < end; ++i) {
        Py_UCS4 c = PyUnicode_READ_CHAR(compute_capability, i);
        if (c < '0' || c > '9') plain = false;
        else major = major * 10 + static_cast<int32_t>(c - '0');
    }
    if (!plain) {
        Ref piece = Ref::steal(PyUnicode_Substring(compute_capability, 0, end));
        if (!piece) return false;
        Ref value = Ref::steal(PyLong_FromUnicodeObject(piece.get(), 10));
        if (!value) {
            if (PyErr_ExceptionMatches(PyExc_ValueError) || PyErr_ExceptionMatches(PyExc_IndexError)) {
                PyErr_Clear();
                return true;
            }
            return false;
        }
        if (!pyext::to_i32(value.get(), major)) return false;
    }
    if (major >= 8) factor = 1.2;
    else if (major == 7) factor = 1.1;
    else if (major == 6) factor = 1.0;
    else factor = 0.8;
    return true;
}

// -1.0 with an error set on failure (only from the capability string).
double calculate_gpu_suitability_fast(double gpu_operation_score, double gpu_data_size_score, double cpu_intensity,
                                      bool gpu_available, PyObject* compute_capability) {
    if (!gpu_available) return 0.0;
    double base_score = gpu_operation_score * 0.6 + gpu_data_size_score * 0.4;
    double cpu_boost = clamp(cpu_intensity * 0.3, 0.0, 0.3);
    base_score += cpu_boost;
    double factor;
    if (!capability_factor(compute_capability, factor)) return -1.0;
    return clamp(base_score * factor, 0.0, 1.0);
}

double estimate_gpu_speedup_fast(double gpu_operation_score, double gpu_data_size_score, bool gpu_available) {
    if (!gpu_available || gpu_operation_score == 0.0) return 1.0;
    double base_speedup;
    if (gpu_operation_score > 0.8) base_speedup = 15.0;
    else if (gpu_operation_score > 0.6) base_speedup = 8.0;
    else if (gpu_operation_score > 0.3) base_speedup = 4.0;
    else base_speedup = 2.0;
    double data_size_factor = 1.0 + gpu_data_size_score * 0.5;
    return base_speedup * data_size_factor;
}

double calculate_parallelization_potential_fast(double base_parallel_score, double embarrassing_bonus,
                                                double sequential_penalty, double loop_chunking_potential) {
    double bonus = clamp(embarrassing_bonus * 0.3, 0.0, 0.7);
    double penalty = clamp(sequential_penalty * 0.2, 0.0, 0.5);
    double result = base_parallel_score + loop_chunking_potential * 0.4 + bonus - penalty;
    return clamp(result, 0.0, 1.0);
}

double update_adaptive_threshold_fast(double current_threshold, double success_rate, double learning_rate,
                                      double min_threshold, double max_threshold) {
    double new_threshold;
    if (success_rate > 0.8) new_threshold = current_threshold + learning_rate;
    else if (success_rate < 0.4) new_threshold = current_threshold - learning_rate;
    else new_threshold = current_threshold;
    return clamp(new_threshold, min_threshold, max_threshold);
}

// ------------------------------------------------------- Python functions
//
// Arguments are converted in parameter order; `str` parameters are checked
// after the numeric ones.

inline bool check_str(PyObject* o, const char* name) { return pyext::check_arg_type(o, &PyUnicode_Type, name, true); }

inline Ref number(double v) { return pyext::from_double(v); }
inline Ref number(int32_t v) { return pyext::from_i64(v); }

// A tuple of floats or ints.
template <typename... T>
Ref numbers(T... values) {
    return pyext::tuple_of(number(values)...);
}

template <size_t N>
bool to_doubles(PyObject* const* argv, double (&out)[N]) {
    for (size_t i = 0; i < N; ++i)
        if (!pyext::to_double(argv[i], out[i])) return false;
    return true;
}

Ref py_quick_framework_score(PyObject*, PyObject* const* argv) {
    if (!check_str(argv[0], "code") || !check_str(argv[1], "framework")) return {};
    double r = quick_framework_score_fast(argv[0], argv[1]);
    if (r == -1.0 && PyErr_Occurred()) return {};
    return pyext::from_double(r);
}

Ref py_calculate_gpu_suitability(PyObject*, PyObject* const* argv) {
    double d[3];
    bool gpu_available;
    if (!to_doubles(argv, d) || !pyext::to_bool(argv[3], gpu_available) || !check_str(argv[4], "compute_capability"))
        return {};
    double r = calculate_gpu_suitability_fast(d[0], d[1], d[2], gpu_available, argv[4]);
    if (r == -1.0 && PyErr_Occurred()) return {};
    return pyext::from_double(r);
}

Ref py_score_indicators(PyObject*, PyObject* const* argv) {
    if (!check_str(argv[0], "code") || !check_str(argv[1], "function_name")) return {};
    IndicatorScores s;
    if (!score_indicators_fast(argv[0], argv[1], s)) return {};
    return numbers(s.cpu_score, s.memory_score, s.parallel_score, s.gpu_op_score, s.large_data_score,
                   s.embarrassing_score, s.sequential_score);
}

Ref py_normalize_scores(PyObject*, PyObject* const* argv) {
    int32_t c[5];
    for (int i = 0; i < 5; ++i)
        if (!pyext::to_i32(argv[i], c[i])) return {};
    NormalizedScores s = normalize_scores_fast(c[0], c[1], c[2], c[3], c[4]);
    return numbers(s.cpu_norm, s.memory_norm, s.parallel_norm, s.gpu_op_norm, s.large_data_norm);
}

Ref py_score_framework_patterns(PyObject*, PyObject* const* argv) {
    if (!check_str(argv[0], "code")) return {};
    FrameworkScores s;
    if (!score_framework_patterns_fast(argv[0], s)) return {};
    return numbers(s.numpy_norm, s.pandas_norm, s.sklearn_norm);
}

// ------------------------------------------------------------------ docs

constexpr const char kModuleDoc[] =
    "Scoring algorithms for workload detection and pattern classification.\n"
    "\n"
    "Scores a function's source text for NumPy, pandas and scikit-learn use and\n"
    "for CPU, memory, parallel, GPU-operation, large-data, embarrassingly\n"
    "parallel and sequential indicators, normalises the scores, classifies the\n"
    "workload pattern, and derives GPU suitability, GPU speedup,\n"
    "parallelisation potential and an adaptive detection threshold.\n"
    "\n"
    "Workload pattern codes: 0 MIXED, 1 CPU_INTENSIVE, 2 MEMORY_INTENSIVE,\n"
    "3 PARALLEL_FRIENDLY, 4 SEQUENTIAL, 5 GPU_SUITABLE, 6 GPU_COMPUTE_INTENSIVE,\n"
    "7 GPU_MEMORY_BOUND, 8 NUMPY_VECTORIZED, 9 NUMPY_LINALG, 10 PANDAS_DATAFRAME,\n"
    "11 PANDAS_GROUPBY, 12 SKLEARN_TRAINING, 13 SKLEARN_INFERENCE.\n";

constexpr const char kQuickScoreDoc[] =
    "Fast pattern scoring using precompiled regex.\n\n"
    "Counts the whole-word, case-insensitive matches of the framework's\n"
    "pattern (\"numpy\", \"pandas\" or \"sklearn\") in `code`: 0.1 per match,\n"
    "1.0 from 10 matches on; 0.0 for any other framework name.\n\n"
    "Performance: <100us for typical code snippets";

constexpr const char kSuitabilityDoc[] =
    "Calculate overall GPU suitability score.\n\n"
    "0.6 * operation score + 0.4 * data size score + a CPU boost of up to 0.3,\n"
    "scaled by the compute capability's major version (1.2 from 8 on, 1.1 for 7,\n"
    "1.0 for 6, 0.8 below; 1.0 when absent or not a number) and limited to\n"
    "0.0..1.0.  0.0 without a GPU.";

constexpr const char kSpeedupDoc[] =
    "Estimate GPU speedup from static code analysis.\n\n"
    "A base speedup of 15, 8, 4 or 2 by operation score (above 0.8, 0.6, 0.3,\n"
    "else) times 1 + 0.5 * data size score; 1.0 without a GPU or with an\n"
    "operation score of 0.";

constexpr const char kParallelDoc[] =
    "Calculate parallelization potential score.\n\n"
    "base + 0.4 * loop chunking potential + min(0.3 * bonus, 0.7)\n"
    "- min(0.2 * penalty, 0.5), limited to 0.0..1.0.";

constexpr const char kIndicatorsDoc[] =
    "Count the workload indicator keywords found in the source text.\n\n"
    "Returns (cpu, memory, parallel, gpu_op, large_data, embarrassing,\n"
    "sequential): for each category, the number of its keywords that occur\n"
    "in code.lower(); GPU-operation and embarrassingly-parallel keywords\n"
    "also count when found in function_name.lower().";

constexpr const char kNormalizeDoc[] =
    "Normalize indicator counts to 0.0..1.0.\n\n"
    "Divides the counts by 15, 10, 11, 36 and 13 (the sizes of their keyword\n"
    "lists) and limits each quotient to 0.0..1.0.";

constexpr const char kFrameworksDoc[] =
    "Score NumPy, pandas and scikit-learn use in the source text.\n\n"
    "Returns (numpy, pandas, sklearn): the share of each framework's keywords\n"
    "(25, 18 and 18 of them) that occur in code.lower().";

constexpr const char kPatternDoc[] =
    "Classify the workload pattern.\n\n"
    "The first rule that holds decides: scikit-learn (12), pandas (10) and\n"
    "NumPy (8) scores above their thresholds; with a GPU and suitability\n"
    "above its threshold, compute-intensive (6), memory-bound (7) or\n"
    "suitable (5); parallel-friendly (3); CPU (1) and memory (2) intensity\n"
    "above their thresholds; three or more sequential indicators (4);\n"
    "else mixed (0).  All comparisons are strict.";

constexpr const char kThresholdDoc[] =
    "Update adaptive threshold based on performance feedback.\n\n"
    "Raises the threshold by the learning rate when the success rate is above\n"
    "0.8, lowers it when below 0.4, and limits it to min..max.";

// ------------------------------------------------------------------ module

bool exec_meravin() {
    Ref lower = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(&PyUnicode_Type), "lower"));
    if (!lower) return false;
    g_str_lower.set(std::move(lower));
    if (!build_scorers() || !pyext::import_as("re") || !build_compiled_patterns()) return false;

    auto S = [](const char* n) { return req(n, "str"); };
    auto F = [](const char* n) { return req(n, "float"); };
    auto I = [](const char* n) { return req(n, "int"); };
    auto B = [](const char* n) { return req(n, "bool"); };
    return pyext::add_functions({
        {.name = "quick_framework_score", .impl = pyext::impl<py_quick_framework_score>,
         .params = {S("code"), S("framework")}, .doc = kQuickScoreDoc, .returns = "float"},
        {.name = "calculate_gpu_suitability", .impl = pyext::impl<py_calculate_gpu_suitability>,
         .params = {F("gpu_operation_score"), F("gpu_data_size_score"), F("cpu_intensity"), B("gpu_available"),
                    S("compute_capability")},
         .doc = kSuitabilityDoc, .returns = "float"},
        {.name = "estimate_gpu_speedup", .impl = pyext::native<estimate_gpu_speedup_fast>,
         .params = {F("gpu_operation_score"), F("gpu_data_size_score"), B("gpu_available")},
         .doc = kSpeedupDoc, .returns = "float"},
        {.name = "calculate_parallelization_potential", .impl = pyext::native<calculate_parallelization_potential_fast>,
         .params = {F("base_parallel_score"), F("embarrassing_bonus"), F("sequential_penalty"),
                    F("loop_chunking_potential")},
         .doc = kParallelDoc, .returns = "float"},
        {.name = "score_indicators", .impl = pyext::impl<py_score_indicators>,
         .params = {S("code"), S("function_name")}, .doc = kIndicatorsDoc, .returns = "tuple"},
        {.name = "normalize_scores", .impl = pyext::impl<py_normalize_scores>,
         .params = {I("cpu_score"), I("memory_score"), I("parallel_score"), I("gpu_op_score"), I("large_data_score")},
         .doc = kNormalizeDoc, .returns = "tuple"},
        {.name = "score_framework_patterns", .impl = pyext::impl<py_score_framework_patterns>,
         .params = {S("code")}, .doc = kFrameworksDoc, .returns = "tuple"},
        {.name = "determine_workload_pattern", .impl = pyext::native<determine_workload_pattern_fast>,
         .params = {F("cpu_intensity"), F("memory_intensity"), F("parallelization_potential"), F("gpu_suitability"),
                    F("gpu_operation_score"), F("numpy_score"), F("pandas_score"), F("sklearn_score"),
                    I("sequential_count"), I("embarrassing_count"), F("cpu_threshold"), F("memory_threshold"),
                    F("gpu_threshold"), F("numpy_threshold"), F("pandas_threshold"), F("sklearn_threshold"),
                    B("gpu_available")},
         .doc = kPatternDoc, .returns = "int"},
        {.name = "update_adaptive_threshold", .impl = pyext::native<update_adaptive_threshold_fast>,
         .params = {F("current_threshold"), F("success_rate"), F("learning_rate"), F("min_threshold"),
                    F("max_threshold")},
         .doc = kThresholdDoc, .returns = "float"},
    });
}

}  // namespace

PYEXT_MODULE(meravin, {.fullname = "korvane.plugins.analyzer.meravin", .exec = exec_meravin, .doc = kModuleDoc,
                       .logger = true, .load_message = "Korvane Meravin Cython module loaded - IP protected",
                       .test_dict = true})
