#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "textio/Lines.h"

#if defined(VN_AVX2_PATHS)
#include <immintrin.h>
#endif

namespace vn::engine {

// Finds the first place where any of a few patterns starts, thirty-two bytes of the text at a
// time (the "Teddy" method of Hyperscan and ripgrep). The patterns are dealt into eight buckets.
// For each of the first few units of a pattern (its fingerprint), two tables of sixteen entries
// say in which buckets a byte with that low half, and with that high half, comes at that place;
// one table look-up per half for thirty-two text bytes at once, and the AND of them over the
// fingerprint's bytes, leaves the positions where some bucket's fingerprint starts. Only there
// are the bucket's patterns compared in full. An automaton steps through the text a unit at a
// time; this passes over text without candidates many times faster, and a list of a few dozen
// keywords rarely has one.
//
// UTF-16 text is searched as its bytes: a fingerprint takes the low byte of each of its units,
// and a candidate counts only where it starts a unit. Patterns are compared unit for unit (folding
// case is the caller's part, as for MultiFinder).
template <class CharT>
class FewFinder {
public:
    static constexpr std::size_t npos = std::size_t(-1);
    static constexpr std::size_t kMostPatterns = 64;
    using View = std::basic_string_view<CharT>;

    // Whether FewFinder can take these patterns on this processor: AVX2, at least one pattern
    // and no more than kMostPatterns, none empty, none holding a line break (a pattern found
    // here belongs to the line where it starts, which is the line where it ends only without
    // breaks inside).
    static bool suits(const std::vector<View>& patterns) {
#if defined(VN_AVX2_PATHS)
        if (!textio::detail::hasAvx2() || patterns.empty() || patterns.size() > kMostPatterns)
            return false;
        for (View p : patterns) {
            if (p.empty() || p.find_first_of(View(kBreaks, 2)) != View::npos)
                return false;
        }
        return true;
#else
        (void)patterns;
        return false;
#endif
    }

    // Patterns that suit() approved.
    explicit FewFinder(const std::vector<View>& patterns) {
        std::size_t shortest = SIZE_MAX;
        for (View p : patterns) shortest = std::min(shortest, p.size());
        m_width = std::min<std::size_t>(shortest, 4);
        // Patterns with the same first bytes go to the same bucket, so a bucket stands for as
        // few different fingerprints as can be.
        std::vector<View> sorted = patterns;
        std::sort(sorted.begin(), sorted.end());
        for (std::size_t i = 0; i < sorted.size(); ++i) {
            const std::size_t bucket = i * kBuckets / sorted.size();
            m_buckets[bucket].emplace_back(sorted[i]);
            for (std::size_t k = 0; k < m_width; ++k) {
                const unsigned byte = unsigned(sorted[i][k]) & 0xFF;
                m_low[k][byte & 0x0F] |= std::uint8_t(1u << bucket);
                m_high[k][byte >> 4] |= std::uint8_t(1u << bucket);
            }
        }
    }

    // The first position p with from <= p at which some pattern occurs whole before `end`, or
    // npos.
    std::size_t find(const CharT* text, std::size_t from, std::size_t end) const {
        if (from >= end)
            return npos;
        const auto* bytes = reinterpret_cast<const unsigned char*>(text);
        std::size_t at = from * sizeof(CharT);
        const std::size_t stop = end * sizeof(CharT);
#if defined(VN_AVX2_PATHS)
        std::size_t found = npos;
        switch (m_width) {
            case 1:
                found = findAvx2<1>(text, bytes, at, stop);
                break;
            case 2:
                found = findAvx2<2>(text, bytes, at, stop);
                break;
            case 3:
                found = findAvx2<3>(text, bytes, at, stop);
                break;
            default:
                found = findAvx2<4>(text, bytes, at, stop);
                break;
        }
        if (found != npos)
            return found;
#endif
        // What is left is too short for a whole vector: the same tables, a position at a time.
        // No pattern is shorter than the fingerprint, so none starts closer to the end.
        for (std::size_t p = at / sizeof(CharT); p + m_width <= end; ++p) {
            unsigned buckets = 0xFF;
            for (std::size_t k = 0; k < m_width && buckets != 0; ++k) {
                const unsigned byte = unsigned(text[p + k]) & 0xFF;
                buckets &= unsigned(m_low[k][byte & 0x0F] & m_high[k][byte >> 4]);
            }
            for (; buckets != 0; buckets &= buckets - 1)
                for (const auto& pattern : m_buckets[std::size_t(__builtin_ctz(buckets))])
                    if (occursAt(text, p, end, pattern))
                        return p;
        }
        return npos;
    }

private:
    static constexpr std::size_t kBuckets = 8;
    static constexpr CharT kBreaks[] = {CharT('\r'), CharT('\n')};

    // A pattern, with its first eight bytes (fewer when it is shorter) as a number and a mask
    // of them, to compare most candidates in one step.
    struct Pattern {
        explicit Pattern(View p) : units(p) {
            const std::size_t n = std::min<std::size_t>(8, p.size() * sizeof(CharT));
            std::memcpy(&head, p.data(), n);
            mask = n == 8 ? ~std::uint64_t(0) : (std::uint64_t(1) << (8 * n)) - 1;
        }
        std::basic_string<CharT> units;
        std::uint64_t head = 0, mask = 0;
    };

    static bool occursAt(const CharT* text, std::size_t p, std::size_t end,
                         const Pattern& pattern) {
        const std::size_t m = pattern.units.size();
        if (end - p < m)
            return false;
        if (end - p >= 8 / sizeof(CharT)) {
            std::uint64_t got;
            std::memcpy(&got, text + p, 8);
            if (((got ^ pattern.head) & pattern.mask) != 0)
                return false;
            if (m <= 8 / sizeof(CharT))
                return true;
        }
        return std::equal(pattern.units.begin(), pattern.units.end(), text + p);
    }

#if defined(VN_AVX2_PATHS)
    // The loop of find over whole vectors, from byte `at`, for fingerprints of `width` units
    // (of each, its low byte); leaves `at` where the next vector would no longer fit, for the
    // plain loop to finish.
    template <std::size_t width>
    __attribute__((target("avx2"))) std::size_t findAvx2(const CharT* text,
                                                         const unsigned char* bytes,
                                                         std::size_t& at, std::size_t stop) const {
        constexpr std::size_t lanes = 32;
        // The bytes read past a candidate: the fingerprint's last unit's low byte.
        constexpr std::size_t reach = (width - 1) * sizeof(CharT);
        if (stop < lanes + reach)
            return npos;
        const __m256i nibble = _mm256_set1_epi8(0x0F);
        __m256i low[width], high[width];
        for (std::size_t k = 0; k < width; ++k) {
            low[k] = _mm256_broadcastsi128_si256(
                _mm_loadu_si128(reinterpret_cast<const __m128i*>(m_low[k].data())));
            high[k] = _mm256_broadcastsi128_si256(
                _mm_loadu_si128(reinterpret_cast<const __m128i*>(m_high[k].data())));
        }
        const std::size_t end = stop / sizeof(CharT);
        // Candidates at bytes [at, at + 32) need the fingerprint's bytes up to at + 31 + reach;
        // the pattern itself is then checked against the end.
        while (at + lanes + reach <= stop) {
            __m256i hits = _mm256_set1_epi8(char(0xFF));
            for (std::size_t k = 0; k < width; ++k) {
                const __m256i v = _mm256_loadu_si256(
                    reinterpret_cast<const __m256i*>(bytes + at + k * sizeof(CharT)));
                const __m256i lo = _mm256_shuffle_epi8(low[k], _mm256_and_si256(v, nibble));
                const __m256i hi =
                    _mm256_shuffle_epi8(high[k], _mm256_and_si256(_mm256_srli_epi16(v, 4), nibble));
                hits = _mm256_and_si256(hits, _mm256_and_si256(lo, hi));
            }
            const __m256i none = _mm256_cmpeq_epi8(hits, _mm256_setzero_si256());
            std::uint32_t mask = ~std::uint32_t(_mm256_movemask_epi8(none));
            // A UTF-16 unit starts at every even byte (`at` stays even).
            if constexpr (sizeof(CharT) == 2)
                mask &= 0x55555555u;
            if (mask == 0) {
                at += lanes;
                continue;
            }
            alignas(32) std::uint8_t buckets[lanes];
            _mm256_store_si256(reinterpret_cast<__m256i*>(buckets), hits);
            while (mask != 0) {
                const unsigned lane = unsigned(__builtin_ctz(mask));
                mask &= mask - 1;
                const std::size_t p = (at + lane) / sizeof(CharT);
                for (unsigned b = buckets[lane]; b != 0; b &= b - 1)
                    for (const auto& pattern : m_buckets[std::size_t(__builtin_ctz(b))])
                        if (occursAt(text, p, end, pattern))
                            return p;
            }
            at += lanes;
        }
        return npos;
    }
#endif

    std::size_t m_width = 1;  // fingerprint units, at most the shortest pattern's
    std::array<std::vector<Pattern>, kBuckets> m_buckets;
    std::array<std::array<std::uint8_t, 16>, 4> m_low{}, m_high{};
};

}  // namespace vn::engine
