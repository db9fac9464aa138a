#include "textio/InputText.h"

#include "core/ErrorLocations.h"
#include "core/ErrorReport.h"
#include "core/Failure.h"
#include "platform/Processors.h"
#include "textio/Codec.h"
#include "textio/Lines.h"
#include "textio/ReadAhead.h"

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
std::uint64_t InputMapBytes = std::uint64_t(1) << 20;
bool InputMapAhead = usableProcessors() > 1;
bool InputReadAhead = usableProcessors() > 1;

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

const QString kPartialUnit = QStringLiteral("its UTF-32 text ends in a partial unit");

// Turns whole UTF-32 units into UTF-16 units at `out`, which has room for as many bytes as
// `bytes` holds (a unit becomes one or two UTF-16 units, never more bytes). Returns the units
// written; stops at the first value that cannot be carried back into a file, with `problem`
// saying why: only Unicode scalar values have a UTF-16 form, and the output of Unicode input is
// UTF-16.
std::size_t utf32ToUtf16(const char* bytes, std::size_t count, bool bigEndian, char16_t* out,
                         QString& problem) {
    const auto* b = reinterpret_cast<const unsigned char*>(bytes);
    std::size_t n = 0;
    for (std::size_t i = 0; i + 4 <= count; i += 4) {
        const char32_t v = bigEndian ? (char32_t(b[i]) << 24) | (char32_t(b[i + 1]) << 16) |
                                           (char32_t(b[i + 2]) << 8) | b[i + 3]
                                     : (char32_t(b[i + 3]) << 24) | (char32_t(b[i + 2]) << 16) |
                                           (char32_t(b[i + 1]) << 8) | b[i];
        if (v == 0) {
            problem = nulReason(true);
            return n;
        }
        if (v > 0x10FFFF || (v >= 0xD800 && v <= 0xDFFF)) {
            problem = QStringLiteral("its UTF-32 text holds a value outside Unicode");
            return n;
        }
        if (v < 0x10000) {
            out[n++] = char16_t(v);
        } else {
            out[n++] = char16_t(0xD800 + ((v - 0x10000) >> 10));
            out[n++] = char16_t(0xDC00 + ((v - 0x10000) & 0x3FF));
        }
    }
    return n;
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
                // Read in pieces like any other input and turned into UTF-16 on the way; a value
                // with no UTF-16 form is found where it stands.
                m_utf32 = true;
                m_bigEndian = c.cls == EncodingClass::Utf32Be;
                if ((m_size - std::min<std::uint64_t>(m_size, m_payload)) % 4 != 0)
                    m_skip = kPartialUnit;
            } else if ((m_size - std::min<std::uint64_t>(m_size, m_payload)) % 2 != 0) {
                m_skip = kOddByte;
            }
        }
        m_offset = m_payload;
        m_mapped = !m_swap && !m_utf32 && m_size > m_payload && m_size >= InputMapBytes;
    });
    if (!m_ok)
        closeFile();
    if (m_ok && !m_skip.isEmpty())
        skip(m_skip);
}

void InputText::skip(const QString& reason) {
    m_skip = reason;
    m_ended = true;
    closeFile();
}

InputText::~InputText() {
    if (m_ahead)
        m_ahead->giveBack(this);
}

void InputText::closeFile() {
    // A read still under way goes first: it reads from the file into the spare buffer.
    if (m_pending) {
        m_ahead->drop();
        m_pending = false;
    }
    m_file.reset();
}

void InputText::postReadAhead() {
    if (m_utf32 || !m_file || m_cut == 0)
        return;
    if (!m_aheadTried) {
        // Only an input longer than its buffer has a next read to make ahead.
        m_aheadTried = true;
        if (InputReadAhead && m_file->size() > m_offset)
            m_ahead = ReadAhead::take(this);
    }
    if (!m_ahead || m_offset >= m_file->size())
        return;
    const std::size_t tail = m_filled - m_cut;
    if (m_capacity - tail < sizeof(char16_t))
        return;
    if (m_spareCapacity < m_capacity) {
        void* grown = std::realloc(m_spare.units, m_capacity + sizeof(char16_t));
        if (!grown)
            return;  // the next piece is simply read when it is wanted
        m_spare.units = static_cast<char16_t*>(grown);
        m_spareCapacity = m_capacity;
    }
    char* spare = reinterpret_cast<char*>(m_spare.units);
    std::memcpy(spare, reinterpret_cast<const char*>(m_buffer.units) + m_cut, tail);
    m_ahead->post(*m_file, m_offset, spare + tail, m_spareCapacity - tail);
    m_pending = true;
    m_pendingTail = tail;
}

void InputText::failRead(const QString& reason) {
    Guard g(m_ws, m_location);
    g.step(m_label,
           [&] { throw Failure::withReason(QStringLiteral("Cannot read"), m_path, reason); });
    m_ok = false;
    m_ended = true;
    closeFile();
}

bool InputText::viewStillSound() {
    if (!m_file || !m_file->viewLost())
        return true;
    failRead(
        QStringLiteral("part of it could not be read while it was in use (the file was cut "
                       "short meanwhile, or the disk failed)"));
    return false;
}

bool InputText::readUnits(std::uint64_t offset, char* out, std::size_t count, std::size_t& got,
                          std::size_t& consumed, bool posted) {
    if (!m_utf32) {
        if (!readAt(offset, out, count, got, posted))
            return false;
        consumed = got;
        return true;
    }
    const std::size_t want = count / 4 * 4;
    if (m_rawCapacity < want) {
        m_raw.reset();
        m_raw = std::unique_ptr<char[]>(new (std::nothrow) char[want]);
        m_rawCapacity = m_raw ? want : 0;
        if (!m_raw) {
            failRead(QStringLiteral("not enough memory to hold the file"));
            return false;
        }
    }
    if (!readAt(offset, m_raw.get(), want, consumed))
        return false;
    QString problem;
    got = 2 * utf32ToUtf16(m_raw.get(), consumed, m_bigEndian, reinterpret_cast<char16_t*>(out),
                           problem);
    // A file that shrank to a partial unit since it was opened.
    if (problem.isEmpty() && consumed % 4 != 0)
        problem = kPartialUnit;
    if (!problem.isEmpty()) {
        skip(problem);
        return false;
    }
    return true;
}

bool InputText::readAt(std::uint64_t offset, char* out, std::size_t count, std::size_t& got,
                       bool posted) {
    Guard g(m_ws, m_location);
    const bool done = g.step(
        m_label, [&] { got = posted ? m_ahead->collect() : m_file->readAt(offset, out, count); });
    if (posted) {
        // Collected, or, where the step failed before it could be, still to be waited for.
        m_ahead->drop();
        m_pending = false;
    }
    if (done)
        return true;
    m_ok = false;
    m_ended = true;
    closeFile();
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
        closeFile();
    }
    return done;
}

bool InputText::next(std::string_view& piece, NulCheck check) {
    return nextPiece(piece, check == NulCheck::Here);
}
bool InputText::next(std::u16string_view& piece, NulCheck check) {
    return nextPiece(piece, check == NulCheck::Here);
}

void InputText::refuseAsBinary() {
    // Zeros where a lost page of a view was are no binary file: that is reported as such.
    if (m_mapped && !viewStillSound())
        return;
    if (m_ok && m_skip.isEmpty())
        skip(nulReason(m_wide));
}

namespace {
// The width a view first tries, whole units: a few pieces' worth, since whole lines keep each
// piece apart from the next. Where the next view's pages are set up ahead, two views are in
// memory at a time: they are half as wide, so memory stays what one view took.
std::size_t viewWidth(std::size_t unit) {
    const std::size_t pieces = InputMapAhead ? 2 : 4;
    return std::max<std::size_t>(InputPieceBytes * pieces, 2 * unit) / unit * unit;
}
}  // namespace

void InputText::settle() {
    if (!m_unsettled || !m_mapped || !m_file)
        return;
    m_unsettled = false;
    m_file->letGoBefore(m_pieceStart);
    // The next view starts where this piece ends and is as wide as a first try.
    const std::uint64_t size = m_file->size();
    if (!m_ended && InputMapAhead && m_offset < size)
        m_file->mapAhead(m_offset, std::size_t(std::min<std::uint64_t>(viewWidth(m_wide ? 2 : 1),
                                                                       size - m_offset)));
}

template <class CharT>
bool InputText::nextMapped(View<CharT>& piece, bool checkNul) {
    constexpr std::size_t unit = sizeof(CharT);
    const std::uint64_t size = m_file->size();
    const std::uint64_t rest = size > m_offset ? size - m_offset : 0;
    std::size_t window = viewWidth(unit);
    while (rest > 0) {
        const bool last = window >= rest;
        const std::string_view bytes = m_file->mapAt(m_offset, last ? std::size_t(rest) : window);
        if (bytes.empty())
            return false;
        const auto* units = reinterpret_cast<const CharT*>(bytes.data());
        const std::size_t count = bytes.size() / unit;
        const std::size_t cut = last ? count : lastCut(units, count);
        if (cut == 0) {
            // One line longer than the view: a wider view, never past the end of the file.
            window =
                std::size_t(std::min<std::uint64_t>(rest, std::uint64_t(window) * 2)) / unit * unit;
            continue;
        }
        if (checkNul && holdsNul(units, cut)) {
            // A page lost while it was looked at reads as zeros: that is no binary file.
            if (viewStillSound())
                skip(nulReason(unit == 2));
            return false;
        }
        piece = View<CharT>(units, cut);
        m_pieceStart = m_offset;
        m_offset += cut * unit;
        m_handedOut = true;
        m_ended = last;
        m_unsettled = true;
        return true;
    }
    return false;
}

template <class CharT>
bool InputText::nextPiece(View<CharT>& piece, bool checkNul) {
    if (m_mapped && m_file) {
        // The last view is in use until now: it is only known sound once it is done with.
        if (!viewStillSound())
            return false;
        if (m_ended)
            closeFile();  // the file is given back as soon as it has been read
    }
    if (!m_ok || m_ended)
        return false;
    if (m_mapped) {
        settle();
        if (nextMapped(piece, checkNul))
            return true;
        if (!m_ok || m_ended)
            return false;
        m_mapped = false;  // no view could be made, or views cost more than reads: the rest is read
    }
    constexpr std::size_t unit = sizeof(CharT);
    // UTF-32 input takes four bytes at a time, turned into at most as many bytes of UTF-16.
    const std::size_t step = m_utf32 ? 4 : unit;
    if (!m_buffer.units) {
        // No more room than the file needs: a small file costs a small buffer.
        const std::uint64_t rest = m_file->size() > m_offset ? m_file->size() - m_offset : 0;
        const std::size_t room =
            std::size_t(std::min<std::uint64_t>(std::max<std::size_t>(InputPieceBytes, 2 * step),
                                                std::max<std::uint64_t>(rest + unit, 2 * step)));
        if (!reserve(room / unit * unit))
            return false;
    }
    if (m_pending) {
        // The next bytes are being read into the spare buffer, after the start of a line not
        // yet handed out: the buffers trade places.
        std::swap(m_buffer.units, m_spare.units);
        std::swap(m_capacity, m_spareCapacity);
        m_filled = m_pendingTail;
        m_cut = 0;
    }
    char* bytes = reinterpret_cast<char*>(m_buffer.units);
    // What is left of the last read comes first: the start of a line not yet handed out.
    if (m_cut > 0) {
        std::memmove(bytes, bytes + m_cut, m_filled - m_cut);
        m_filled -= m_cut;
        m_cut = 0;
    }
    for (;;) {
        if (m_capacity - m_filled < step) {
            // One line longer than the buffer: make room for it, but never for more than the
            // rest of the file.
            const std::uint64_t rest = m_file->size() > m_offset ? m_file->size() - m_offset : 0;
            const std::size_t grown = std::size_t(std::min<std::uint64_t>(
                std::uint64_t(m_capacity) * 2, std::uint64_t(m_filled) + rest + step));
            if (!reserve(grown / unit * unit))
                return false;
            bytes = reinterpret_cast<char*>(m_buffer.units);
        }
        const std::size_t want = m_capacity - m_filled;
        const std::size_t asked = m_utf32 ? want / 4 * 4 : want;
        std::size_t got = 0;
        std::size_t consumed = 0;
        if (!readUnits(m_offset, bytes + m_filled, want, got, consumed, m_pending))
            return false;
        m_offset += consumed;
        if constexpr (unit == 2) {
            if (m_swap)
                swapUnits(reinterpret_cast<char16_t*>(bytes + m_filled), got / 2);
        }
        if (checkNul && holdsNul(reinterpret_cast<const CharT*>(bytes + m_filled), got / unit)) {
            skip(nulReason(unit == 2));
            return false;
        }
        m_filled += got;
        const bool end = consumed < asked || m_offset >= m_file->size();
        if (end) {
            if constexpr (unit == 2) {
                // Found at the start already, unless the file shrank to an odd size since.
                if (m_filled % 2 != 0) {
                    skip(kOddByte);
                    return false;
                }
            }
            m_ended = true;
            closeFile();  // the file is given back as soon as it has been read
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
            postReadAhead();
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
    const std::size_t asked = m_utf32 ? size / 4 * 4 : size;
    for (std::uint64_t offset = m_payload;;) {
        std::size_t got = 0;
        std::size_t consumed = 0;
        if (!readUnits(offset, bytes, size, got, consumed))
            return m_ok ? 0 : 1;
        offset += consumed;
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
        if (consumed < asked)
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
    // Once the last piece is read the file is given back; the pieces then held everything.
    if (!m_file)
        return 1;
    return m_wide ? countUnits<char16_t>(between) : countUnits<char>(between);
}

}  // namespace vn::textio
