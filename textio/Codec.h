#pragma once

#include <QByteArray>
#include <QString>
#include <QStringView>

#include <string>
#include <string_view>

namespace vn::textio {

// 8-bit text here is UTF-8. A byte that is not part of a valid UTF-8 sequence is carried as the
// code unit U+DC00 + byte (U+DC80..U+DCFF, lone low surrogates that no valid UTF-8 produces),
// and the encoder turns each such unit back into its byte. Decoding and then encoding therefore
// gives back any byte sequence exactly.
inline constexpr char16_t kEscapeBase = 0xDC00;
inline constexpr bool isEscapedByte(char16_t u) {
    return u >= 0xDC80 && u <= 0xDCFF;
}

QString decodeUtf8Escaped(std::string_view bytes);
// The length of the valid UTF-8 sequence at p, with its code point in cp, or 0 when the byte at
// p starts none (and so decodes as an escape). The decoder's own rule, for code that walks UTF-8
// bytes and must agree with it.
int utf8Sequence(const unsigned char* p, const unsigned char* end, char32_t& cp);
void appendUtf8Escaped(std::string& out, QStringView text);
QByteArray encodeUtf8Escaped(QStringView text);

// UTF-16 in either byte order; an odd last byte becomes U+FFFD.
QString decodeUtf16(std::string_view bytes, bool bigEndian);
// UTF-32 in either byte order; values outside Unicode, surrogates, and a partial last unit
// become U+FFFD.
QString decodeUtf32(std::string_view bytes, bool bigEndian);
// UTF-16 little-endian, code unit for code unit (lone surrogates are kept as they are).
QByteArray encodeUtf16Le(QStringView text);

}  // namespace vn::textio
