#pragma once

#include <cstddef>
#include <string_view>
#include <type_traits>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__x86_64__) && defined(__GNUC__)
#include <cpuid.h>
#include <immintrin.h>
#define VN_AVX2_PATHS 1
#endif

namespace vn::textio {

// The one line splitter of the program, for 8-bit code units and for UTF-16 code units alike.
// A line ends at CR LF, at LF, or at a lone CR. A break at the very end of the text starts no
// further line, and an empty text is one empty line, so a text of n lines always reads as n
// lines whatever its breaks are.

template <class CharT>
constexpr bool isBreak(CharT c) {
    return c == CharT('\n') || c == CharT('\r');
}

// Length of the break that starts at `pos` (which must hold CR or LF): 2 for CR LF, else 1.
template <class CharT>
constexpr std::size_t breakLength(std::basic_string_view<CharT> text, std::size_t pos) {
    return (text[pos] == CharT('\r') && pos + 1 < text.size() && text[pos + 1] == CharT('\n')) ? 2
                                                                                               : 1;
}

// Start of the line that holds the character at `pos`, where `pos` is inside a line's content
// (or at its end).
namespace detail {
#if defined(__SSE2__)
// Just past the last CR or LF before `pos` (0 when there is none), sixteen bytes at a time:
// where most lines hold a match, finding each one's start is a large share of a search.
template <class CharT>
std::size_t findBreakBefore(const CharT* p, std::size_t pos) {
    constexpr bool bytes = sizeof(CharT) == 1;
    constexpr std::size_t lanes = 16 / sizeof(CharT);
    const __m128i cr = bytes ? _mm_set1_epi8('\r') : _mm_set1_epi16('\r');
    const __m128i lf = bytes ? _mm_set1_epi8('\n') : _mm_set1_epi16('\n');
    for (; pos >= lanes; pos -= lanes) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + pos - lanes));
        const __m128i hit = bytes ? _mm_or_si128(_mm_cmpeq_epi8(v, cr), _mm_cmpeq_epi8(v, lf))
                                  : _mm_or_si128(_mm_cmpeq_epi16(v, cr), _mm_cmpeq_epi16(v, lf));
        const unsigned mask = unsigned(_mm_movemask_epi8(hit));
        if (mask != 0) {
            const std::size_t lastByte = std::size_t(31 - __builtin_clz(mask));
            return pos - lanes + lastByte / sizeof(CharT) + 1;
        }
    }
    while (pos > 0 && p[pos - 1] != CharT('\r') && p[pos - 1] != CharT('\n')) --pos;
    return pos;
}
#endif
}  // namespace detail

template <class CharT>
constexpr std::size_t lineStartAt(std::basic_string_view<CharT> text, std::size_t pos) {
#if defined(__SSE2__)
    if constexpr (std::is_same_v<CharT, char> || std::is_same_v<CharT, char16_t>) {
        if (!std::is_constant_evaluated())
            return detail::findBreakBefore(text.data(), pos);
    }
#endif
    while (pos > 0 && !isBreak(text[pos - 1])) --pos;
    return pos;
}

// End of the content of the line that starts at or before `pos`: the first CR or LF at or after
// `pos`, or the end of the text.
namespace detail {
#if defined(__SSE2__)
// The first CR or LF at or after `pos`, sixteen bytes at a time; the engine walks every line of
// files of hundreds of megabytes with this, so a unit-by-unit loop would be its largest cost.
inline std::size_t findBreak(const char* p, std::size_t pos, std::size_t size) {
    const __m128i cr = _mm_set1_epi8('\r'), lf = _mm_set1_epi8('\n');
    for (; pos + 16 <= size; pos += 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + pos));
        const int mask =
            _mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(v, cr), _mm_cmpeq_epi8(v, lf)));
        if (mask != 0)
            return pos + std::size_t(__builtin_ctz(unsigned(mask)));
    }
    while (pos < size && p[pos] != '\r' && p[pos] != '\n') ++pos;
    return pos;
}
inline std::size_t findBreak(const char16_t* p, std::size_t pos, std::size_t size) {
    const __m128i cr = _mm_set1_epi16('\r'), lf = _mm_set1_epi16('\n');
    for (; pos + 8 <= size; pos += 8) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + pos));
        const int mask =
            _mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi16(v, cr), _mm_cmpeq_epi16(v, lf)));
        if (mask != 0)
            return pos + std::size_t(__builtin_ctz(unsigned(mask))) / 2;
    }
    while (pos < size && p[pos] != u'\r' && p[pos] != u'\n') ++pos;
    return pos;
}
#endif
}  // namespace detail

template <class CharT>
constexpr std::size_t lineEndAt(std::basic_string_view<CharT> text, std::size_t pos) {
#if defined(__SSE2__)
    if constexpr (std::is_same_v<CharT, char> || std::is_same_v<CharT, char16_t>) {
        if (!std::is_constant_evaluated())
            return detail::findBreak(text.data(), pos, text.size());
    }
#endif
    while (pos < text.size() && !isBreak(text[pos])) ++pos;
    return pos;
}

// Walks the lines of a text in order. next() hands out each line's content without its break.
template <class CharT>
class LineCursor {
public:
    using View = std::basic_string_view<CharT>;
    explicit constexpr LineCursor(View text) : m_text(text) {}

    constexpr bool next(View& line) {
        if (m_done)
            return false;
        const std::size_t end = lineEndAt(m_text, m_pos);
        line = m_text.substr(m_pos, end - m_pos);
        if (end == m_text.size()) {
            m_done = true;
        } else {
            m_pos = end + breakLength(m_text, end);
            if (m_pos == m_text.size())
                m_done = true;  // a final break starts no line
        }
        return true;
    }
    // Offset of the next line's start (the text's size once the last line was handed out).
    constexpr std::size_t position() const { return m_done ? m_text.size() : m_pos; }

private:
    View m_text;
    std::size_t m_pos = 0;
    bool m_done = false;
};

// The three kinds of line break. An output ends its lines with one kind throughout: the first
// break of its input, so a file keeps the convention it was written with.
enum class Break { CrLf, Lf, Cr };

// The break an output takes when its input has none at all.
#if defined(_WIN32)
inline constexpr Break kPlatformBreak = Break::CrLf;
#else
inline constexpr Break kPlatformBreak = Break::Lf;
#endif

// The units of a break and their number (1 or 2).
template <class CharT>
struct BreakUnits {
    CharT units[2];
    std::size_t length;
};
template <class CharT>
constexpr BreakUnits<CharT> unitsOf(Break b) {
    switch (b) {
        case Break::CrLf:
            return {{CharT('\r'), CharT('\n')}, 2};
        case Break::Cr:
            return {{CharT('\r'), CharT(0)}, 1};
        default:
            return {{CharT('\n'), CharT(0)}, 1};
    }
}

// The kind of the first break in a text, or kPlatformBreak when it has none. A CR at the very
// end counts as a lone CR, so the text must not end inside a CR LF.
template <class CharT>
constexpr Break firstBreak(std::basic_string_view<CharT> text) {
    const std::size_t at = lineEndAt(text, 0);
    if (at == text.size())
        return kPlatformBreak;
    if (text[at] == CharT('\n'))
        return Break::Lf;
    return breakLength(text, at) == 2 ? Break::CrLf : Break::Cr;
}

// What one pass over a text tells about its breaks: its number of lines, by the rule above
// (never 0), and which kind all its breaks are of (if one), so that lines can be copied with
// their breaks as they stand. Each CR LF holds one CR and one LF and counts once; a lone CR or
// LF counts once. A text without breaks is of every kind. The same pass notes a zero unit, which
// no text file holds.
struct LineCensus {
    std::size_t lines = 1;
    bool onlyCrLf = true;
    bool onlyLf = true;
    bool onlyCr = true;
    bool holdsNul = false;
    constexpr bool only(Break b) const {
        return b == Break::CrLf ? onlyCrLf : (b == Break::Lf ? onlyLf : onlyCr);
    }
};

// The counts a census is made of: CRs, LFs, CR LF pairs and zero units.
struct BreakTally {
    std::size_t cr = 0, lf = 0, pairs = 0, nul = 0;
};

namespace detail {
#if defined(VN_AVX2_PATHS)
// The build targets every x86-64 machine; where the processor has AVX2, the census below takes
// thirty-two bytes a step, which halves its share of a search that keeps few lines.
//
// The processor is asked directly, three questions in all, when first wanted: the compiler's own
// check has the whole list of features read as the program starts, and on a virtual machine each
// question traps to the host (some 6 µs here), some 0.1 ms of every start.
struct ProcessorSteps {
    bool avx2 = false;    // AVX2, with the system saving its registers
    bool avx512 = false;  // AVX-512 F and BW, POPCNT, BMI1 and BMI2, likewise
};
inline ProcessorSteps askProcessor() {
    ProcessorSteps s;
    unsigned a = 0, b = 0, c = 0, d = 0;
    __cpuid(0, a, b, c, d);
    if (a < 7)
        return s;
    __cpuid(1, a, b, c, d);
    if ((c & bit_OSXSAVE) == 0 || (c & bit_AVX) == 0)
        return s;
    const bool popcnt = (c & bit_POPCNT) != 0;
    unsigned lo = 0, hi = 0;
    __asm__("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
    // The system saves the vector registers: XMM and YMM (bits 1, 2), and for AVX-512 the mask
    // and upper ZMM state too (bits 5, 6, 7).
    const bool ymm = (lo & 0x06u) == 0x06u, zmm = (lo & 0xe6u) == 0xe6u;
    __cpuid_count(7, 0, a, b, c, d);
    s.avx2 = ymm && (b & bit_AVX2) != 0;
    s.avx512 = zmm && s.avx2 && popcnt && (b & bit_AVX512F) != 0 && (b & bit_AVX512BW) != 0 &&
               (b & bit_BMI) != 0 && (b & bit_BMI2) != 0;
    return s;
}
inline const ProcessorSteps& processorSteps() {
    static const ProcessorSteps s = askProcessor();
    return s;
}
inline bool hasAvx2() {
    return processorSteps().avx2;
}

// A scan over a large input waits on memory more than it works: asking for the bytes a little
// ahead of the step keeps more of them on their way at once. A hint only, which never faults.
inline void askAhead(const void* p) {
    _mm_prefetch(static_cast<const char*>(p) + 2048, _MM_HINT_T0);
}

// The census thirty-two bytes a step, as parts a search loop can run in its own steps (see
// Finder::findAllCounting): per-lane counters that take at most `kSteps` steps before addTo()
// sums them into a tally. Written without lambdas: they would not inherit the instruction set.
template <class CharT>
struct CensusLanes {
    static constexpr std::size_t kUnits = 32 / sizeof(CharT);
    static constexpr int kSteps = sizeof(CharT) == 1 ? 255 : 32767;
    __m256i cr, lf, pairs, nul;

    __attribute__((target("avx2"))) void clear() { cr = lf = pairs = nul = _mm256_setzero_si256(); }
    // Counts units [p, p + kUnits); p[-1] must be readable (it tells a CR LF at p).
    __attribute__((target("avx2"))) void step(const CharT* p) {
        constexpr bool bytes = sizeof(CharT) == 1;
        askAhead(p);
        const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
        const __m256i before = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p - 1));
        const __m256i vcr = bytes ? _mm256_set1_epi8('\r') : _mm256_set1_epi16('\r');
        const __m256i vlf = bytes ? _mm256_set1_epi8('\n') : _mm256_set1_epi16('\n');
        const __m256i zero = _mm256_setzero_si256();
        if constexpr (bytes) {
            const __m256i isLf = _mm256_cmpeq_epi8(v, vlf);
            cr = _mm256_sub_epi8(cr, _mm256_cmpeq_epi8(v, vcr));
            lf = _mm256_sub_epi8(lf, isLf);
            nul = _mm256_sub_epi8(nul, _mm256_cmpeq_epi8(v, zero));
            pairs = _mm256_sub_epi8(pairs, _mm256_and_si256(isLf, _mm256_cmpeq_epi8(before, vcr)));
        } else {
            const __m256i isLf = _mm256_cmpeq_epi16(v, vlf);
            cr = _mm256_sub_epi16(cr, _mm256_cmpeq_epi16(v, vcr));
            lf = _mm256_sub_epi16(lf, isLf);
            nul = _mm256_sub_epi16(nul, _mm256_cmpeq_epi16(v, zero));
            pairs =
                _mm256_sub_epi16(pairs, _mm256_and_si256(isLf, _mm256_cmpeq_epi16(before, vcr)));
        }
    }
    // Adds the counters to `t` and clears them.
    __attribute__((target("avx2"))) void addTo(BreakTally& t) {
        constexpr bool bytes = sizeof(CharT) == 1;
        const __m256i sums[4] = {cr, lf, pairs, nul};
        std::size_t* counts[4] = {&t.cr, &t.lf, &t.pairs, &t.nul};
        for (int c = 0; c < 4; ++c) {
            // Bytes sum into four 64-bit lanes, 16-bit counters (below 32768) into eight 32-bit
            // ones.
            const __m256i wide = bytes ? _mm256_sad_epu8(sums[c], _mm256_setzero_si256())
                                       : _mm256_madd_epi16(sums[c], _mm256_set1_epi16(1));
            alignas(32) unsigned int part[8];
            _mm256_store_si256(reinterpret_cast<__m256i*>(part), wide);
            *counts[c] += bytes ? std::size_t(part[0]) + part[2] + part[4] + part[6]
                                : std::size_t(part[0]) + part[1] + part[2] + part[3] + part[4] +
                                      part[5] + part[6] + part[7];
        }
        clear();
    }
};

// Where the processor has AVX-512 (its byte and word forms), the census and the search that
// rides on it take sixty-four bytes a step, and the counts come from bit masks, not lanes. Tests
// turn `WideStepsAllowed` off to walk the thirty-two byte steps on such a processor too.
inline bool WideStepsAllowed = true;
inline bool hasAvx512() {
    return processorSteps().avx512 && WideStepsAllowed;
}

#define VN_AVX512_TARGET __attribute__((target("avx512f,avx512bw,popcnt,bmi,bmi2")))

// The census sixty-four bytes a step, as CensusLanes is thirty-two: each count is the population
// of a bit mask, added up in plain counters, so there is nothing to sum before an overflow.
template <class CharT>
struct CensusMasks {
    static constexpr std::size_t kUnits = 64 / sizeof(CharT);
    BreakTally counts;

    // Counts units [p, p + kUnits); p[-1] must be readable (it tells a CR LF at p).
    VN_AVX512_TARGET void step(const CharT* p) {
        askAhead(p);
        const __m512i v = _mm512_loadu_si512(p);
        unsigned long long isLf, isCr, isNul;
        if constexpr (sizeof(CharT) == 1) {
            isLf = _mm512_cmpeq_epi8_mask(v, _mm512_set1_epi8('\n'));
            isCr = _mm512_cmpeq_epi8_mask(v, _mm512_set1_epi8('\r'));
            isNul = _mm512_testn_epi8_mask(v, v);
        } else {
            isLf = _mm512_cmpeq_epi16_mask(v, _mm512_set1_epi16('\n'));
            isCr = _mm512_cmpeq_epi16_mask(v, _mm512_set1_epi16('\r'));
            isNul = _mm512_testn_epi16_mask(v, v);
        }
        // Bit i of crBefore: the unit before unit i is a CR.
        const unsigned long long crBefore = (isCr << 1) | (p[-1] == CharT('\r') ? 1u : 0u);
        counts.lf += std::size_t(_mm_popcnt_u64(isLf));
        counts.cr += std::size_t(_mm_popcnt_u64(isCr));
        counts.nul += std::size_t(_mm_popcnt_u64(isNul));
        counts.pairs += std::size_t(_mm_popcnt_u64(isLf & crBefore));
    }
    // Adds the counts to `t` and clears them.
    void addTo(BreakTally& t) {
        t.cr += counts.cr;
        t.lf += counts.lf;
        t.pairs += counts.pairs;
        t.nul += counts.nul;
        counts = {};
    }
};

// countBreaks below, sixty-four bytes at a time.
template <class CharT>
VN_AVX512_TARGET std::size_t countBreaksAvx512(const CharT* p, std::size_t from, std::size_t size,
                                               BreakTally& t) {
    CensusMasks<CharT> masks;
    std::size_t i = from;
    for (; i + masks.kUnits <= size; i += masks.kUnits) masks.step(p + i);
    masks.addTo(t);
    return i;
}

// countBreaks below, thirty-two bytes at a time.
template <class CharT>
__attribute__((target("avx2"))) std::size_t countBreaksAvx2(const CharT* p, std::size_t from,
                                                            std::size_t size, BreakTally& t) {
    using Lanes = CensusLanes<CharT>;
    Lanes lanes;
    std::size_t i = from;
    while (i + Lanes::kUnits <= size) {
        lanes.clear();
        for (int k = 0; k < Lanes::kSteps && i + Lanes::kUnits <= size; ++k, i += Lanes::kUnits)
            lanes.step(p + i);
        lanes.addTo(t);
    }
    return i;
}
#endif

#if defined(__SSE2__)
// Counts CR, LF and CR LF pairs sixteen bytes at a time from unit `from` (at least 1, since a
// pair is found by looking one unit back) while a whole vector fits; returns where it stopped.
// The per-lane counters are summed before they can overflow.
template <class CharT>
std::size_t countBreaks(const CharT* p, std::size_t from, std::size_t size, BreakTally& t) {
    constexpr bool bytes = sizeof(CharT) == 1;
    constexpr std::size_t lanes = 16 / sizeof(CharT);
    constexpr int flushEvery = bytes ? 255 : 32767;
#if defined(VN_AVX2_PATHS)
    if (hasAvx512())
        from = countBreaksAvx512(p, from, size, t);
    else if (hasAvx2())
        from = countBreaksAvx2(p, from, size, t);
#endif
    auto eq = [](__m128i x, __m128i y) {
        return bytes ? _mm_cmpeq_epi8(x, y) : _mm_cmpeq_epi16(x, y);
    };
    auto sub = [](__m128i x, __m128i y) {
        return bytes ? _mm_sub_epi8(x, y) : _mm_sub_epi16(x, y);
    };
    auto total = [](__m128i acc) -> std::size_t {
        const __m128i wide =
            bytes ? _mm_sad_epu8(acc, _mm_setzero_si128()) : _mm_madd_epi16(acc, _mm_set1_epi16(1));
        alignas(16) unsigned int part[4];
        _mm_store_si128(reinterpret_cast<__m128i*>(part), wide);
        return bytes ? std::size_t(part[0]) + part[2]
                     : std::size_t(part[0]) + part[1] + part[2] + part[3];
    };
    const __m128i vcr = bytes ? _mm_set1_epi8('\r') : _mm_set1_epi16('\r');
    const __m128i vlf = bytes ? _mm_set1_epi8('\n') : _mm_set1_epi16('\n');
    const __m128i zero = _mm_setzero_si128();
    std::size_t i = from;
    while (i + lanes <= size) {
        __m128i acr = _mm_setzero_si128(), alf = acr, apair = acr, anul = acr;
        for (int k = 0; k < flushEvery && i + lanes <= size; ++k, i += lanes) {
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
            const __m128i before = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i - 1));
            const __m128i isLf = eq(v, vlf);
            acr = sub(acr, eq(v, vcr));
            alf = sub(alf, isLf);
            anul = sub(anul, eq(v, zero));
            apair = sub(apair, _mm_and_si128(isLf, eq(before, vcr)));
        }
        t.cr += total(acr);
        t.lf += total(alf);
        t.pairs += total(apair);
        t.nul += total(anul);
    }
    return i;
}
#endif
}  // namespace detail

namespace detail {
// Adds the CRs, LFs, CR LF pairs and zero units of text[from, end) to `t`; a CR LF counts as a
// pair only where its CR is at or after `first` (where the counted text begins).
template <class CharT>
constexpr void tallyUnits(const CharT* text, std::size_t first, std::size_t from, std::size_t end,
                          BreakTally& t) {
    for (std::size_t i = from; i < end; ++i) {
        if (text[i] == CharT('\r'))
            ++t.cr;
        if (text[i] == CharT(0))
            ++t.nul;
        if (text[i] == CharT('\n')) {
            ++t.lf;
            if (i > first && text[i - 1] == CharT('\r'))
                ++t.pairs;
        }
    }
}

// Adds the CRs, LFs, CR LF pairs and zero units inside `text` to `t`.
template <class CharT>
constexpr void tallyBreaks(std::basic_string_view<CharT> text, BreakTally& t) {
    std::size_t i = 0;
#if defined(__SSE2__)
    if constexpr (std::is_same_v<CharT, char> || std::is_same_v<CharT, char16_t>) {
        if (text.size() > 1 && !std::is_constant_evaluated()) {
            tallyUnits(text.data(), 0, 0, 1, t);
            i = countBreaks(text.data(), 1, text.size(), t);
        }
    }
#endif
    tallyUnits(text.data(), 0, i, text.size(), t);
}
}  // namespace detail

// The census of a text from the tally of its units.
template <class CharT>
constexpr LineCensus censusFrom(const BreakTally& t, std::basic_string_view<CharT> text) {
    LineCensus c;
    c.holdsNul = t.nul > 0;
    c.lines = t.cr + t.lf - t.pairs + ((text.empty() || !isBreak(text.back())) ? 1 : 0);
    c.onlyCrLf = t.cr == t.pairs && t.lf == t.pairs;
    c.onlyLf = t.cr == 0;
    c.onlyCr = t.lf == 0;
    return c;
}

template <class CharT>
constexpr LineCensus censusOf(std::basic_string_view<CharT> text) {
    BreakTally t;
    detail::tallyBreaks(text, t);
    return censusFrom(t, text);
}

// The line count of a text that arrives in consecutive parts, which may split a CR LF.
template <class CharT>
class LineTally {
public:
    constexpr void add(std::basic_string_view<CharT> part) {
        if (part.empty())
            return;
        detail::tallyBreaks(part, m_tally);
        if (m_any && m_last == CharT('\r') && part.front() == CharT('\n'))
            ++m_tally.pairs;
        m_last = part.back();
        m_any = true;
    }
    // By the rule above, as countLines gives for all the parts joined.
    constexpr std::size_t lines() const {
        return m_tally.cr + m_tally.lf - m_tally.pairs + ((!m_any || !isBreak(m_last)) ? 1 : 0);
    }

private:
    BreakTally m_tally;
    bool m_any = false;
    CharT m_last = CharT(0);
};

// Number of lines in a text, by the rule above. Never 0.
template <class CharT>
constexpr std::size_t countLines(std::basic_string_view<CharT> text) {
    return censusOf(text).lines;
}

}  // namespace vn::textio
