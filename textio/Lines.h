#pragma once

#include <cstddef>
#include <string_view>
#include <type_traits>

#if defined(__SSE2__)
#include <emmintrin.h>
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
template <class CharT>
constexpr std::size_t lineStartAt(std::basic_string_view<CharT> text, std::size_t pos) {
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
        if (mask != 0) return pos + std::size_t(__builtin_ctz(unsigned(mask)));
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
        if (mask != 0) return pos + std::size_t(__builtin_ctz(unsigned(mask))) / 2;
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
        if (!std::is_constant_evaluated()) return detail::findBreak(text.data(), pos, text.size());
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
        if (m_done) return false;
        const std::size_t end = lineEndAt(m_text, m_pos);
        line = m_text.substr(m_pos, end - m_pos);
        if (end == m_text.size()) {
            m_done = true;
        } else {
            m_pos = end + breakLength(m_text, end);
            if (m_pos == m_text.size()) m_done = true;  // a final break starts no line
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

// Number of lines in a text, by the rule above. Never 0.
template <class CharT>
constexpr std::size_t countLines(std::basic_string_view<CharT> text) {
    std::size_t lines = 0;
    LineCursor<CharT> cursor(text);
    std::basic_string_view<CharT> line;
    while (cursor.next(line)) ++lines;
    return lines;
}

}  // namespace vn::textio
