#pragma once

#include "textio/CaseFold.h"
#include "textio/Codec.h"

#include <algorithm>
#include <cstddef>
#include <memory>
#include <string_view>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace vn::engine {

// The engine folds case by the program's one rule, which lives with the text layer.
using textio::lowerBmpTable;
using textio::lowerCodePoint;
using textio::lowerSimple;

// A lower-cased copy of part of a text, so that ignoreCase searches compare units exactly and
// any needle, ASCII or not, takes the same fast search. The copy folds each code point as
// lowerSimple does: UTF-16 units with surrogate pairs taken together; 8-bit text decoded as UTF-8
// with the decoder's own rule, each valid sequence replaced by the UTF-8 of its lower-case form
// and every other byte (those that decode as escapes) copied as it stands. The copy therefore
// decodes to lowerSimple of what the original decodes to, and a well-formed needle found in it
// is found there as characters.
//
// Line breaks are ASCII and stay where they were relative to their neighbours, so lines in the
// copy are the original's lines. A character may fold to a form of another length (U+212A
// KELVIN SIGN to 'k', U+023A to three bytes), so positions in the copy are mapped back through
// a list of those rare places.
template <class CharT>
class FoldedText {
public:
    using View = std::basic_string_view<CharT>;

    // Folds text[begin, end).
    void fold(View text, std::size_t begin, std::size_t end) {
        m_begin = begin;
        m_shifts.clear();
        // A character grows by at most half its length (two UTF-8 bytes to three at most, one
        // UTF-16 unit to two), and the SIMD stores may write sixteen bytes past the last unit.
        const std::size_t room = (end - begin) * 2 + 16;
        if (m_room < room) {
            // Left unfilled: only the part the copy writes is ever brought into memory.
            m_buf.reset(new CharT[room]);
            m_room = room;
        }
        CharT* out = m_buf.get();
        const CharT* p = text.data() + begin;
        const CharT* const e = text.data() + end;
        while (p < e) {
#if defined(__SSE2__)
            constexpr std::size_t lanes = 16 / sizeof(CharT);
            if (std::size_t(e - p) >= lanes && foldAsciiBlock(p, out)) {
                p += lanes;
                out += lanes;
                continue;
            }
            // A block with a unit beyond ASCII: unit by unit through to the block's end.
            const CharT* blockEnd = std::min(e, p + lanes);
            while (p < blockEnd) foldOne(p, e, out, text.data());
#else
            foldOne(p, e, out, text.data());
#endif
        }
        m_size = std::size_t(out - m_buf.get());
    }

    View view() const {
        return View(m_buf.get(), m_size);
    }

    // The original position of a position in the copy; a position inside a character whose
    // folded form has another length maps to that character's start.
    std::size_t original(std::size_t q) const {
        auto it = std::upper_bound(m_shifts.begin(), m_shifts.end(), q,
                                   [](std::size_t v, const Shift& s) { return v < s.foldedBegin; });
        if (it == m_shifts.begin())
            return m_begin + q;
        --it;
        if (q < it->foldedEnd)
            return it->originalBegin;
        return it->originalEnd + (q - it->foldedEnd);
    }

private:
    // A character whose folded form has another length: where it is in both texts.
    struct Shift {
        std::size_t foldedBegin, foldedEnd, originalBegin, originalEnd;
    };

    static CharT lowerAscii(CharT u) {
        return (u >= CharT('A') && u <= CharT('Z')) ? CharT(u + 32) : u;
    }

#if defined(__SSE2__)
    // Folds sixteen bytes of units when they are all ASCII; false (nothing written) otherwise.
    static bool foldAsciiBlock(const CharT* p, CharT* out) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        __m128i upper;
        if constexpr (sizeof(CharT) == 1) {
            if (_mm_movemask_epi8(v) != 0)
                return false;
            upper = _mm_and_si128(_mm_cmpgt_epi8(v, _mm_set1_epi8('A' - 1)),
                                  _mm_cmplt_epi8(v, _mm_set1_epi8('Z' + 1)));
        } else {
            const __m128i high = _mm_and_si128(v, _mm_set1_epi16(short(0xFF80)));
            if (_mm_movemask_epi8(_mm_cmpeq_epi16(high, _mm_setzero_si128())) != 0xFFFF)
                return false;
            upper = _mm_and_si128(_mm_cmpgt_epi16(v, _mm_set1_epi16('A' - 1)),
                                  _mm_cmplt_epi16(v, _mm_set1_epi16('Z' + 1)));
        }
        __m128i folded;
        if constexpr (sizeof(CharT) == 1)
            folded = _mm_add_epi8(v, _mm_and_si128(upper, _mm_set1_epi8(0x20)));
        else
            folded = _mm_add_epi16(v, _mm_and_si128(upper, _mm_set1_epi16(0x20)));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out), folded);
        return true;
    }
#endif

    void foldOne(const CharT*& p, const CharT* e, CharT*& out, const CharT* text) {
        const auto u = std::make_unsigned_t<CharT>(*p);
        if (u < 0x80) {
            *out++ = lowerAscii(CharT(u));
            ++p;
            return;
        }
        const CharT* from = p;
        CharT* foldedFrom = out;
        if constexpr (sizeof(CharT) == 1) {
            char32_t cp = 0;
            const int n = textio::utf8Sequence(reinterpret_cast<const unsigned char*>(p),
                                               reinterpret_cast<const unsigned char*>(e), cp);
            if (n == 0) {  // an escaped byte folds to itself
                *out++ = *p++;
                return;
            }
            p += n;
            putUtf8(out, lowerOf(cp));
        } else {
            char32_t cp = u;
            if (u >= 0xD800 && u <= 0xDBFF && p + 1 < e && p[1] >= 0xDC00 && p[1] <= 0xDFFF) {
                cp = 0x10000 + ((char32_t(u) - 0xD800) << 10) + (char32_t(p[1]) - 0xDC00);
                p += 2;
            } else {
                ++p;
            }
            putUtf16(out, lowerOf(cp));
        }
        if (out - foldedFrom != p - from) {
            m_shifts.push_back({std::size_t(foldedFrom - m_buf.get()),
                                std::size_t(out - m_buf.get()), std::size_t(from - text),
                                std::size_t(p - text)});
        }
    }

    static char32_t lowerOf(char32_t cp) {
        if (cp < 0x10000) {
            const char16_t l = lowerBmpTable()[cp];
            if (l != 0)
                return l;
        }
        return lowerCodePoint(cp);
    }

    static void putUtf8(CharT*& out, char32_t cp) {
        if (cp < 0x80) {
            *out++ = CharT(cp);
        } else if (cp < 0x800) {
            *out++ = CharT(0xC0 | (cp >> 6));
            *out++ = CharT(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            *out++ = CharT(0xE0 | (cp >> 12));
            *out++ = CharT(0x80 | ((cp >> 6) & 0x3F));
            *out++ = CharT(0x80 | (cp & 0x3F));
        } else {
            *out++ = CharT(0xF0 | (cp >> 18));
            *out++ = CharT(0x80 | ((cp >> 12) & 0x3F));
            *out++ = CharT(0x80 | ((cp >> 6) & 0x3F));
            *out++ = CharT(0x80 | (cp & 0x3F));
        }
    }

    static void putUtf16(CharT*& out, char32_t cp) {
        if (cp < 0x10000) {
            *out++ = CharT(cp);
        } else {
            cp -= 0x10000;
            *out++ = CharT(0xD800 + (cp >> 10));
            *out++ = CharT(0xDC00 + (cp & 0x3FF));
        }
    }

    std::unique_ptr<CharT[]> m_buf;
    std::size_t m_room = 0;
    std::size_t m_size = 0;
    std::size_t m_begin = 0;
    std::vector<Shift> m_shifts;
};

}  // namespace vn::engine
