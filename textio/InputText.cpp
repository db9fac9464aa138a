#include "textio/InputText.h"

#include "core/ErrorLocations.h"
#include "core/ErrorReport.h"
#include "core/Failure.h"
#include "textio/Codec.h"
#include "textio/Lines.h"

#include <algorithm>
#include <bit>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace vn::textio {

static_assert(std::endian::native == std::endian::little,
              "UTF-16 input is viewed in place as little-endian code units");

std::size_t InputPieceBytes = std::size_t(1) << 20;

namespace {

template <class CharT>
using View = std::basic_string_view<CharT>;

// Where the last piece may end: just after its last break, unless that break is a CR at the very
// end of what was read, which may still be the first half of a CR LF. 0 when there is none.
template <class CharT>
std::size_t lastCut(const CharT* units, std::size_t count) {
    for (std::size_t k = count; k > 0; --k) {
        const CharT c = units[k - 1];
        if (c == CharT('\n'))
            return k;
        if (c == CharT('\r') && k < count)
            return k;
    }
    return 0;
}

// Whether a run of code units holds a zero unit, which no text file has.
bool holdsNul(const char* units, std::size_t count) {
    return count > 0 && std::memchr(units, 0, count) != nullptr;
}

bool holdsNul(const char16_t* units, std::size_t count) {
    std::size_t i = 0;
#if defined(__SSE2__)
    const __m128i zero = _mm_setzero_si128();
    for (; i + 8 <= count; i += 8) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(units + i));
        if (_mm_movemask_epi8(_mm_cmpeq_epi16(v, zero)) != 0)
            return true;
    }
#endif
    for (; i < count; ++i)
        if (units[i] == 0)
            return true;
    return false;
}

const QString kOddByte = QStringLiteral("its UTF-16 text ends in an odd byte");

const QString& nulReason(bool wide) {
    static const QString narrow = QStringLiteral("binary file (it holds a NUL byte)");
    static const QString units = QStringLiteral("binary file (it holds a NUL character)");
    return wide ? units : narrow;
}

// Why UTF-32 text cannot be carried back into a file, or empty. Only Unicode scalar values have
// a UTF-16 form, and the output of Unicode input is UTF-16.
QString utf32Problem(std::string_view payload, bool bigEndian) {
    if (payload.size() % 4 != 0)
        return QStringLiteral("its UTF-32 text ends in a partial unit");
    const auto* b = reinterpret_cast<const unsigned char*>(payload.data());
    for (std::size_t i = 0; i < payload.size(); i += 4) {
        const char32_t v = bigEndian ? (char32_t(b[i]) << 24) | (char32_t(b[i + 1]) << 16) |
                                           (char32_t(b[i + 2]) << 8) | b[i + 3]
                                     : (char32_t(b[i + 3]) << 24) | (char32_t(b[i + 2]) << 16) |
                                           (char32_t(b[i + 1]) << 8) | b[i];
        if (v == 0)
            return nulReason(true);
        if (v > 0x10FFFF || (v >= 0xD800 && v <= 0xDFFF))
            return QStringLiteral("its UTF-32 text holds a value outside Unicode");
    }
    return {};
}

void swapUnits(char16_t* units, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) units[i] = char16_t((units[i] << 8) | (units[i] >> 8));
}

}  // namespace

QString lineText(std::string_view line) {
    return decodeUtf8Escaped(line);
}

QString lineText(std::u16string_view line) {
    return QString(reinterpret_cast<const QChar*>(line.data()), qsizetype(line.size()));
}

InputText::InputText(WindowServices& ws, const QString& path) : m_ws(ws), m_path(path) {
    // The same steps and labels as ReadFileToStringLine and the reader it picks, on one open of
    // the file: the bytes that classify it are the bytes that are then read.
    Guard g(ws, loc::ReadFileToStringLine);
    unsigned char head[4] = {0, 0, 0, 0};
    std::size_t headBytes = 0;
    g.step(100, [&] {
        IsUTF8File = false;
        m_file = std::make_unique<FileReader>(path);
        headBytes = m_file->readAt(0, reinterpret_cast<char*>(head), sizeof head);
        const Classification c = classify(head, std::int64_t(m_file->size()));
        IsUTF8File = c.utf8;
        IsUnicodeFile = c.unicode;
    });
    const bool utf8 = g.test(102, [] { return IsUTF8File; });
    m_location = utf8 ? loc::ReadFileToStringUTFLine : loc::ReadFileToStringFSOLine;
    m_label = utf8 ? 106 : 102;
    m_cls = utf8 ? EncodingClass::Utf8Bom
                 : (IsUnicodeFile ? EncodingClass::Utf16Le : EncodingClass::EightBit);
    m_wide = IsUnicodeFile && !utf8;
    Guard inner(ws, m_location);
    m_ok = inner.step(m_label, [&] {
        // A file that could not be classified is opened once more here, so that the reader's
        // own step reports its failure too.
        if (!m_file) {
            m_file = std::make_unique<FileReader>(path);
            headBytes = m_file->readAt(0, reinterpret_cast<char*>(head), sizeof head);
        }
        m_stamp = m_file->stamp();
        const std::size_t n = headBytes;
        m_size = m_file->size();
        if (utf8) {
            m_payload = std::uint64_t(utf8MarkLength(head, std::int64_t(n)));
        } else if (IsUnicodeFile) {
            const Classification c = unicodeLayout(head, std::int64_t(n));
            m_cls = c.cls;
            m_payload = std::uint64_t(c.markLength);
            m_swap = c.cls == EncodingClass::Utf16Be;
            if (c.cls == EncodingClass::Utf32Le || c.cls == EncodingClass::Utf32Be) {
                // Rare enough to be converted whole.
                const FileBytes whole = readWholeFile(path);
                m_size = whole.size;
                const std::size_t mark = std::min<std::size_t>(whole.size, 4);
                const std::string_view payload(whole.data() + mark, whole.size - mark);
                const bool bigEndian = c.cls == EncodingClass::Utf32Be;
                m_skip = utf32Problem(payload, bigEndian);
                if (m_skip.isEmpty())
                    m_converted = decodeUtf32(payload, bigEndian);
                m_file.reset();
                m_convertedWhole = true;
            } else if ((m_size - std::min<std::uint64_t>(m_size, m_payload)) % 2 != 0) {
                m_skip = kOddByte;
            }
        }
        m_offset = m_payload;
    });
    if (!m_ok)
        m_file.reset();
    if (m_ok && !m_skip.isEmpty())
        skip(m_skip);
}

void InputText::skip(const QString& reason) {
    m_skip = reason;
    m_ended = true;
    m_file.reset();
    m_converted.clear();
}

InputText::~InputText() = default;

bool InputText::readAt(std::uint64_t offset, char* out, std::size_t count, std::size_t& got) {
    Guard g(m_ws, m_location);
    if (g.step(m_label, [&] { got = m_file->readAt(offset, out, count); }))
        return true;
    m_ok = false;
    m_ended = true;
    m_file.reset();
    return false;
}

bool InputText::reserve(std::size_t bytes) {
    Guard g(m_ws, m_location);
    const bool done = g.step(m_label, [&] {
        void* grown = std::realloc(m_buffer.units, bytes + sizeof(char16_t));
        if (!grown)
            throw Failure::withReason(QStringLiteral("Cannot read"), m_path,
                                      QStringLiteral("not enough memory to hold the file"));
        m_buffer.units = static_cast<char16_t*>(grown);
        m_capacity = bytes;
    });
    if (!done) {
        m_ok = false;
        m_ended = true;
        m_file.reset();
    }
    return done;
}

bool InputText::next(std::string_view& piece) {
    return nextPiece(piece);
}
bool InputText::next(std::u16string_view& piece) {
    return nextPiece(piece);
}

template <class CharT>
bool InputText::nextPiece(View<CharT>& piece) {
    if (!m_ok || m_ended)
        return false;
    if (m_convertedWhole) {
        piece = View<CharT>(reinterpret_cast<const CharT*>(m_converted.utf16()),
                            std::size_t(m_converted.size()));
        m_ended = true;
        return true;
    }
    constexpr std::size_t unit = sizeof(CharT);
    if (!m_buffer.units) {
        // No more room than the file needs: a small file costs a small buffer.
        const std::uint64_t rest = m_file->size() > m_offset ? m_file->size() - m_offset : 0;
        const std::size_t room =
            std::size_t(std::min<std::uint64_t>(std::max<std::size_t>(InputPieceBytes, 2 * unit),
                                                std::max<std::uint64_t>(rest + unit, 2 * unit)));
        if (!reserve(room / unit * unit))
            return false;
    }
    char* bytes = reinterpret_cast<char*>(m_buffer.units);
    // What is left of the last read comes first: the start of a line not yet handed out.
    if (m_cut > 0) {
        std::memmove(bytes, bytes + m_cut, m_filled - m_cut);
        m_filled -= m_cut;
        m_cut = 0;
    }
    for (;;) {
        if (m_filled == m_capacity) {
            // One line longer than the buffer: make room for it, but never for more than the
            // rest of the file.
            const std::uint64_t rest = m_file->size() > m_offset ? m_file->size() - m_offset : 0;
            const std::size_t grown = std::size_t(std::min<std::uint64_t>(
                std::uint64_t(m_capacity) * 2, std::uint64_t(m_filled) + rest + unit));
            if (!reserve(grown / unit * unit))
                return false;
            bytes = reinterpret_cast<char*>(m_buffer.units);
        }
        const std::size_t want = m_capacity - m_filled;
        std::size_t got = 0;
        if (!readAt(m_offset, bytes + m_filled, want, got))
            return false;
        m_offset += got;
        if constexpr (unit == 2) {
            if (m_swap)
                swapUnits(reinterpret_cast<char16_t*>(bytes + m_filled), got / 2);
        }
        if (holdsNul(reinterpret_cast<const CharT*>(bytes + m_filled), got / unit)) {
            skip(nulReason(unit == 2));
            return false;
        }
        m_filled += got;
        const bool end = got < want || m_offset >= m_file->size();
        if (end) {
            if constexpr (unit == 2) {
                // Found at the start already, unless the file shrank to an odd size since.
                if (m_filled % 2 != 0) {
                    skip(kOddByte);
                    return false;
                }
            }
            m_ended = true;
            m_file.reset();  // the file is given back as soon as it has been read
            if (m_filled == 0 && m_handedOut)
                return false;
            piece = View<CharT>(reinterpret_cast<const CharT*>(bytes), m_filled / unit);
            m_cut = m_filled;
            m_handedOut = true;
            return true;
        }
        const std::size_t cut = lastCut(reinterpret_cast<const CharT*>(bytes), m_filled / unit);
        if (cut > 0) {
            piece = View<CharT>(reinterpret_cast<const CharT*>(bytes), cut);
            m_cut = cut * unit;
            m_handedOut = true;
            return true;
        }
    }
}

template <class CharT>
std::size_t InputText::countUnits(const std::function<bool()>& between) {
    LineTally<CharT> tally;
    constexpr std::size_t unit = sizeof(CharT);
    const std::size_t size = std::max<std::size_t>(InputPieceBytes, 2 * unit) / unit * unit;
    auto scratch = std::make_unique_for_overwrite<char16_t[]>(size / 2 + 1);
    char* bytes = reinterpret_cast<char*>(scratch.get());
    for (std::uint64_t offset = m_payload;;) {
        std::size_t got = 0;
        if (!readAt(offset, bytes, size, got))
            return 1;
        offset += got;
        std::size_t units = got / unit;
        if constexpr (unit == 2) {
            if (m_swap)
                swapUnits(scratch.get(), units);
            if (got % 2 != 0) {
                skip(kOddByte);
                return 0;
            }
        }
        if (holdsNul(reinterpret_cast<const CharT*>(bytes), units)) {
            skip(nulReason(unit == 2));
            return 0;
        }
        tally.add(View<CharT>(reinterpret_cast<const CharT*>(bytes), units));
        if (got < size)
            break;
        if (between && !between())
            return 0;
    }
    return tally.lines();
}

std::size_t InputText::countLines(const std::function<bool()>& between) {
    if (!m_ok)
        return 1;
    if (!m_skip.isEmpty())
        return 0;
    if (m_convertedWhole) {
        return textio::countLines(
            std::u16string_view(reinterpret_cast<const char16_t*>(m_converted.utf16()),
                                std::size_t(m_converted.size())));
    }
    // Once the last piece is read the file is given back; the pieces then held everything.
    if (!m_file)
        return 1;
    return m_wide ? countUnits<char16_t>(between) : countUnits<char>(between);
}

}  // namespace vn::textio
