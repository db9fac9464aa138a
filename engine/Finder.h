#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "textio/Lines.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace vn::engine {

// Finds a pattern in a whole text at a time, for 8-bit code units or UTF-16 units. Two of the
// pattern's units, the rarest ones by a table of typical text, are compared at sixteen bytes of
// candidate positions at once; only positions where both agree are compared in full. That
// keeps the search near memory speed on text, where a line-by-line test would pay a call and
// a set-up per line.
//
// With foldAscii the pattern must hold no ASCII capital letters; an ASCII letter in it then
// matches the text's letter in either case, and every other unit only itself. More generally a
// fold mask says, unit by unit, which units match the text's unit with bit 0x20 set as well as
// clear (the pattern's unit has it set): in UTF-16 most letters with case differ from their
// capital in that bit alone, in UTF-8 the last byte of many (é, ü, а, α).
template <class CharT>
std::basic_string<CharT> asciiLetterMask(std::basic_string_view<CharT> pattern) {
    std::basic_string<CharT> mask(pattern.size(), CharT(0));
    for (std::size_t i = 0; i < pattern.size(); ++i)
        if (pattern[i] >= CharT('a') && pattern[i] <= CharT('z'))
            mask[i] = CharT(0x20);
    return mask;
}

template <class CharT>
class Finder {
public:
    static constexpr std::size_t npos = std::size_t(-1);
    using String = std::basic_string<CharT>;

    Finder(std::basic_string_view<CharT> pattern, bool foldAscii)
        : m_pattern(pattern),
          m_mask(foldAscii ? asciiLetterMask(pattern) : String(pattern.size(), CharT(0))),
          m_fold(foldAscii) {
        pickRarePositions();
    }

    // `mask` as wide as the pattern, each unit 0 or 0x20, and 0x20 only where the pattern's
    // unit has that bit set.
    Finder(std::basic_string_view<CharT> pattern, std::basic_string_view<CharT> mask)
        : m_pattern(pattern), m_mask(mask) {
        m_fold = std::any_of(m_mask.begin(), m_mask.end(), [](CharT u) { return u != 0; });
        pickRarePositions();
    }

    std::size_t size() const { return m_pattern.size(); }

    // The first position p with from <= p and p + size() <= end at which the pattern occurs,
    // or npos.
    std::size_t find(const CharT* text, std::size_t from, std::size_t end) const {
        const std::size_t m = m_pattern.size();
        if (m == 0)
            return from <= end ? from : npos;
        if (end < m || from > end - m)
            return npos;
        const std::size_t last = end - m;  // the last candidate position
        std::size_t q = from;
#if defined(VN_AVX2_PATHS)
        if (textio::detail::hasAvx2()) {
            // Units to fold cost an operation each per vector; most patterns' rare units are
            // no letters or are matched exactly.
            const bool fold = foldsAt(m_rare1) || foldsAt(m_rare2);
            const std::size_t at =
                fold ? findAvx2<true>(text, q, last) : findAvx2<false>(text, q, last);
            if (at != npos)
                return at;
        }
#endif
#if defined(__SSE2__)
        constexpr std::size_t lanes = 16 / sizeof(CharT);
        const CharT a = m_pattern[m_rare1], b = m_pattern[m_rare2];
        const __m128i wantA = splat(a), wantB = splat(b);
        const __m128i foldA = splat(m_mask[m_rare1]);
        const __m128i foldB = splat(m_mask[m_rare2]);
        for (; q + lanes - 1 <= last; q += lanes) {
            const __m128i va = load(text + q + m_rare1), vb = load(text + q + m_rare2);
            unsigned mask = unsigned(_mm_movemask_epi8(_mm_and_si128(
                equal(_mm_or_si128(va, foldA), wantA), equal(_mm_or_si128(vb, foldB), wantB))));
            if constexpr (sizeof(CharT) == 2)
                mask &= 0x5555u;
            while (mask != 0) {
                const std::size_t at = q + std::size_t(__builtin_ctz(mask)) / sizeof(CharT);
                if (matchesAt(text + at))
                    return at;
                mask &= mask - 1;
            }
        }
#endif
        for (; q <= last; ++q) {
            if (unitMatches(text[q + m_rare1], m_rare1) && matchesAt(text + q))
                return q;
        }
        return npos;
    }

    // Every position p with begin <= p and p + size() <= end at which the pattern occurs,
    // appended to `found` in order, and the census tally of text[begin, end) added to `tally`,
    // in one pass over the text: where few lines match, both are bound by the time the text
    // takes to come from memory, so the search costs nearly nothing on top of the census. False
    // where the processor or the pattern has no such pass, or where the pattern turns up more
    // than `most` times; nothing is added then.
    bool findAllCounting(const CharT* text, std::size_t begin, std::size_t end,
                         std::vector<std::size_t>& found, textio::BreakTally& tally,
                         std::size_t most) const {
#if defined(VN_AVX2_PATHS)
        const std::size_t m = m_pattern.size();
        if (m == 0 || end <= begin || !textio::detail::hasAvx2())
            return false;
        const std::size_t before = found.size();
        const std::size_t limit = before + most;
        textio::BreakTally t;
        // Unit `begin` is counted alone: the loop looks one unit back for a CR LF.
        if (begin + m <= end && matchesAt(text + begin))
            found.push_back(begin);
        textio::detail::tallyUnits(text, begin, begin, begin + 1, t);
        std::size_t q = begin + 1;
        const bool fold = foldsAt(m_rare1) || foldsAt(m_rare2);
        const bool within =
            textio::detail::hasAvx512()
                ? (fold ? findAllCountingAvx512<true>(text, q, end, found, limit, t)
                        : findAllCountingAvx512<false>(text, q, end, found, limit, t))
                : (fold ? findAllCountingAvx2<true>(text, q, end, found, limit, t)
                        : findAllCountingAvx2<false>(text, q, end, found, limit, t));
        if (within) {
            textio::detail::tallyUnits(text, begin, q, end, t);
            for (; q + m <= end; ++q) {
                if (unitMatches(text[q + m_rare1], m_rare1) && matchesAt(text + q))
                    found.push_back(q);
            }
        }
        if (found.size() > limit) {
            found.resize(before);
            return false;
        }
        tally.cr += t.cr;
        tally.lf += t.lf;
        tally.pairs += t.pairs;
        tally.nul += t.nul;
        return true;
#else
        (void)text, (void)begin, (void)end, (void)found, (void)tally, (void)most;
        return false;
#endif
    }

private:
    bool foldsAt(std::size_t i) const {
        return m_mask[i] != 0;
    }

    bool unitMatches(CharT t, std::size_t i) const {
        return CharT(t | m_mask[i]) == m_pattern[i];
    }

    bool matchesAt(const CharT* at) const {
        const std::size_t m = m_pattern.size();
        if (!m_fold)
            return std::memcmp(at, m_pattern.data(), m * sizeof(CharT)) == 0;
        for (std::size_t i = 0; i < m; ++i) {
            if (!unitMatches(at[i], i))
                return false;
        }
        return true;
    }

    // How often a unit turns up in typical text, roughly: higher is more frequent.
    static int frequency(CharT c) {
        const unsigned u = static_cast<std::make_unsigned_t<CharT>>(c);
        if (u >= 0x80) {
            if constexpr (sizeof(CharT) == 2)
                return 40;  // one particular character
            if (u <= 0xBF)
                return 170;  // UTF-8 continuation bytes
            if (u <= 0xDF)
                return 150;
            if (u <= 0xEF)
                return 120;
            return 50;
        }
        const unsigned lower = (u >= 'A' && u <= 'Z') ? u + 32 : u;
        static constexpr char order[] = " etaoinsrhldcumfpgwybvkxjqz";
        for (int i = 0; order[i] != 0; ++i) {
            if (lower == unsigned(order[i]))
                return 250 - i * 7 - (lower != u ? 60 : 0);
        }
        if (u >= '0' && u <= '9')
            return 90;
        if (u == ',' || u == '.')
            return 140;
        return 60;
    }

    int cost(std::size_t i) const {
        // A folded unit is matched in both cases, so it counts as both.
        const CharT c = m_pattern[i];
        return foldsAt(i) ? frequency(c) + frequency(CharT(c & ~CharT(0x20))) / 2 : frequency(c);
    }

    void pickRarePositions() {
        const std::size_t m = m_pattern.size();
        m_rare1 = m_rare2 = 0;
        if (m == 0)
            return;
        for (std::size_t i = 1; i < m; ++i) {
            if (cost(i) < cost(m_rare1))
                m_rare1 = i;
        }
        bool found = false;
        for (std::size_t i = 0; i < m; ++i) {
            if (i == m_rare1)
                continue;
            const bool distinct = m_pattern[i] != m_pattern[m_rare1];
            if (!found || (distinct &&
                           (m_pattern[m_rare2] == m_pattern[m_rare1] || cost(i) < cost(m_rare2)))) {
                m_rare2 = i;
                found = true;
            }
        }
        if (!found)
            m_rare2 = m_rare1;
    }

#if defined(VN_AVX2_PATHS)
    // The two rare units, and the bits of each that may differ, in every lane.
    struct RareLanes {
        __m256i wantA, wantB, foldA, foldB;
    };
    __attribute__((target("avx2"))) RareLanes rareLanes() const {
        constexpr bool bytes = sizeof(CharT) == 1;
        const CharT u[4] = {m_pattern[m_rare1], m_pattern[m_rare2], m_mask[m_rare1],
                            m_mask[m_rare2]};
        __m256i v[4];
        for (int k = 0; k < 4; ++k)
            v[k] = bytes ? _mm256_set1_epi8(char(u[k])) : _mm256_set1_epi16(short(u[k]));
        return {v[0], v[1], v[2], v[3]};
    }
    // All ones in the lanes of the positions from q on (thirty-two bytes of them) where both
    // rare units agree. (No lambdas here: they would not take on this instruction set.)
    template <bool fold>
    __attribute__((target("avx2"))) __m256i candidatesAt(const CharT* text, std::size_t q,
                                                         const RareLanes& r) const {
        __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(text + q + m_rare1));
        __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(text + q + m_rare2));
        if constexpr (fold) {
            a = _mm256_or_si256(a, r.foldA);
            b = _mm256_or_si256(b, r.foldB);
        }
        if constexpr (sizeof(CharT) == 1)
            return _mm256_and_si256(_mm256_cmpeq_epi8(a, r.wantA), _mm256_cmpeq_epi8(b, r.wantB));
        else
            return _mm256_and_si256(_mm256_cmpeq_epi16(a, r.wantA), _mm256_cmpeq_epi16(b, r.wantB));
    }

    // The loop of find, thirty-two bytes of candidates at a time; leaves `q` where a whole
    // vector no longer fits, for the narrower loops to finish.
    template <bool fold>
    __attribute__((target("avx2"))) std::size_t findAvx2(const CharT* text, std::size_t& q,
                                                         std::size_t last) const {
        constexpr std::size_t lanes = 32 / sizeof(CharT);
        const RareLanes rare = rareLanes();
        // Two vectors of positions a step, with one test for both: candidates are rare in text.
        while (q + lanes - 1 <= last) {
            const bool pair = q + 2 * lanes - 1 <= last;
            textio::detail::askAhead(text + q);
            const __m256i first = candidatesAt<fold>(text, q, rare);
            const __m256i second =
                pair ? candidatesAt<fold>(text, q + lanes, rare) : _mm256_setzero_si256();
            const __m256i any = _mm256_or_si256(first, second);
            if (!_mm256_testz_si256(any, any)) {
                // 64 candidate bits, the first vector's in the low half.
                std::uint64_t mask = std::uint64_t(unsigned(_mm256_movemask_epi8(first))) |
                                     (std::uint64_t(unsigned(_mm256_movemask_epi8(second))) << 32);
                if constexpr (sizeof(CharT) == 2)
                    mask &= 0x5555555555555555ull;
                while (mask != 0) {
                    const std::size_t at = q + std::size_t(__builtin_ctzll(mask)) / sizeof(CharT);
                    if (matchesAt(text + at))
                        return at;
                    mask &= mask - 1;
                }
            }
            q += pair ? 2 * lanes : lanes;
        }
        return npos;
    }

    // The loop of findAllCounting: from `q` (at least one unit past the counted text's start),
    // census and candidates thirty-two bytes a step while the pattern fits after the whole
    // vector; leaves `q` at the first unit neither has looked at. False, at once, where `found`
    // grows past `limit`.
    template <bool fold>
    __attribute__((target("avx2"))) bool findAllCountingAvx2(const CharT* text, std::size_t& q,
                                                             std::size_t end,
                                                             std::vector<std::size_t>& found,
                                                             std::size_t limit,
                                                             textio::BreakTally& tally) const {
        using Lanes = textio::detail::CensusLanes<CharT>;
        constexpr std::size_t lanes = Lanes::kUnits;
        const std::size_t m = m_pattern.size();
        const RareLanes rare = rareLanes();
        Lanes census;
        census.clear();
        // Locals, not members or the caller's `q`: a push to `found` could otherwise change
        // them as far as the compiler knows, and it would reload them every step.
        std::size_t at0 = q;
        int steps = 0;
        for (; at0 + lanes + m - 1 <= end; at0 += lanes) {
            census.step(text + at0);
            if (++steps == Lanes::kSteps) {
                census.addTo(tally);
                steps = 0;
            }
            unsigned mask = unsigned(_mm256_movemask_epi8(candidatesAt<fold>(text, at0, rare)));
            if constexpr (sizeof(CharT) == 2)
                mask &= 0x55555555u;
            if (mask == 0)
                continue;
            do {
                const std::size_t at = at0 + std::size_t(__builtin_ctz(mask)) / sizeof(CharT);
                if (matchesAt(text + at))
                    found.push_back(at);
                mask &= mask - 1;
            } while (mask != 0);
            if (found.size() > limit) {
                q = at0;
                return false;
            }
        }
        q = at0;
        census.addTo(tally);
        return true;
    }

    // findAllCountingAvx2 sixty-four bytes a step, its candidates a bit mask.
    template <bool fold>
    VN_AVX512_TARGET bool findAllCountingAvx512(const CharT* text, std::size_t& q, std::size_t end,
                                                std::vector<std::size_t>& found, std::size_t limit,
                                                textio::BreakTally& tally) const {
        textio::detail::CensusMasks<CharT> census;
        constexpr std::size_t lanes = census.kUnits;
        const std::size_t m = m_pattern.size();
        const std::size_t rare1 = m_rare1, rare2 = m_rare2;
        const __m512i wantA = splat512(m_pattern[rare1]), wantB = splat512(m_pattern[rare2]);
        const __m512i foldA = splat512(m_mask[rare1]), foldB = splat512(m_mask[rare2]);
        std::size_t at0 = q;
        for (; at0 + lanes + m - 1 <= end; at0 += lanes) {
            census.step(text + at0);
            __m512i a = _mm512_loadu_si512(text + at0 + rare1);
            __m512i b = _mm512_loadu_si512(text + at0 + rare2);
            if constexpr (fold) {
                a = _mm512_or_si512(a, foldA);
                b = _mm512_or_si512(b, foldB);
            }
            unsigned long long mask;
            if constexpr (sizeof(CharT) == 1)
                mask = _mm512_mask_cmpeq_epi8_mask(_mm512_cmpeq_epi8_mask(a, wantA), b, wantB);
            else
                mask = _mm512_mask_cmpeq_epi16_mask(_mm512_cmpeq_epi16_mask(a, wantA), b, wantB);
            if (mask == 0)
                continue;
            do {
                const std::size_t at = at0 + std::size_t(__builtin_ctzll(mask));
                if (matchesAt(text + at))
                    found.push_back(at);
                mask &= mask - 1;
            } while (mask != 0);
            if (found.size() > limit) {
                q = at0;
                return false;
            }
        }
        q = at0;
        census.addTo(tally);
        return true;
    }
    VN_AVX512_TARGET static __m512i splat512(CharT c) {
        if constexpr (sizeof(CharT) == 1)
            return _mm512_set1_epi8(char(c));
        else
            return _mm512_set1_epi16(short(c));
    }
#endif

#if defined(__SSE2__)
    static __m128i splat(CharT c) {
        if constexpr (sizeof(CharT) == 1)
            return _mm_set1_epi8(char(c));
        else
            return _mm_set1_epi16(short(c));
    }
    static __m128i load(const CharT* p) {
        return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    }
    static __m128i equal(__m128i x, __m128i y) {
        if constexpr (sizeof(CharT) == 1)
            return _mm_cmpeq_epi8(x, y);
        else
            return _mm_cmpeq_epi16(x, y);
    }
#endif

    String m_pattern;
    String m_mask;  // per unit: 0x20 where the text's unit may lack that bit
    bool m_fold;
    std::size_t m_rare1 = 0, m_rare2 = 0;
};

}  // namespace vn::engine
