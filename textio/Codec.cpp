#include "textio/Codec.h"

#include <cstdint>
#include <cstring>

namespace vn::textio {
namespace {

// Length of the valid UTF-8 sequence at p (strict: no overlongs, no surrogates, nothing past
// U+10FFFF), or 0 when the byte at p does not start one.
inline int validSequence(const unsigned char* p, const unsigned char* end, char32_t& cp) {
    const unsigned char b0 = p[0];
    const std::ptrdiff_t left = end - p;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        if (left < 2 || (p[1] & 0xC0) != 0x80)
            return 0;
        cp = (char32_t(b0 & 0x1F) << 6) | (p[1] & 0x3F);
        return 2;
    }
    if (b0 >= 0xE0 && b0 <= 0xEF) {
        if (left < 3 || (p[1] & 0xC0) != 0x80 || (p[2] & 0xC0) != 0x80)
            return 0;
        if (b0 == 0xE0 && p[1] < 0xA0)
            return 0;  // overlong
        if (b0 == 0xED && p[1] >= 0xA0)
            return 0;  // surrogate
        cp = (char32_t(b0 & 0x0F) << 12) | (char32_t(p[1] & 0x3F) << 6) | (p[2] & 0x3F);
        return 3;
    }
    if (b0 >= 0xF0 && b0 <= 0xF4) {
        if (left < 4 || (p[1] & 0xC0) != 0x80 || (p[2] & 0xC0) != 0x80 || (p[3] & 0xC0) != 0x80)
            return 0;
        if (b0 == 0xF0 && p[1] < 0x90)
            return 0;  // overlong
        if (b0 == 0xF4 && p[1] >= 0x90)
            return 0;  // past U+10FFFF
        cp = (char32_t(b0 & 0x07) << 18) | (char32_t(p[1] & 0x3F) << 12) |
             (char32_t(p[2] & 0x3F) << 6) | (p[3] & 0x3F);
        return 4;
    }
    return 0;
}

inline void putCodePoint(char16_t*& out, char32_t cp) {
    if (cp < 0x10000) {
        *out++ = char16_t(cp);
    } else {
        cp -= 0x10000;
        *out++ = char16_t(0xD800 + (cp >> 10));
        *out++ = char16_t(0xDC00 + (cp & 0x3FF));
    }
}

}  // namespace

int utf8Sequence(const unsigned char* p, const unsigned char* end, char32_t& cp) {
    return validSequence(p, end, cp);
}

QString decodeUtf8Escaped(std::string_view bytes) {
    // Never more code units than bytes.
    QString result(qsizetype(bytes.size()), Qt::Uninitialized);
    char16_t* out = reinterpret_cast<char16_t*>(result.data());
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    const auto* end = p + bytes.size();
    while (p < end) {
        if (*p < 0x80) {
            *out++ = *p++;
            continue;
        }
        char32_t cp;
        const int n = validSequence(p, end, cp);
        if (n == 0) {
            *out++ = char16_t(kEscapeBase + *p++);
        } else {
            putCodePoint(out, cp);
            p += n;
        }
    }
    result.truncate(qsizetype(out - reinterpret_cast<char16_t*>(result.data())));
    return result;
}

void appendUtf8Escaped(std::string& out, QStringView text) {
    const char16_t* p = reinterpret_cast<const char16_t*>(text.utf16());
    const char16_t* end = p + text.size();
    while (p < end) {
        const char16_t u = *p++;
        if (u < 0x80) {
            out.push_back(char(u));
        } else if (u < 0x800) {
            out.push_back(char(0xC0 | (u >> 6)));
            out.push_back(char(0x80 | (u & 0x3F)));
        } else if (u >= 0xD800 && u <= 0xDBFF && p < end && *p >= 0xDC00 && *p <= 0xDFFF) {
            const char32_t cp = 0x10000 + ((char32_t(u) - 0xD800) << 10) + (*p++ - 0xDC00);
            out.push_back(char(0xF0 | (cp >> 18)));
            out.push_back(char(0x80 | ((cp >> 12) & 0x3F)));
            out.push_back(char(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(char(0x80 | (cp & 0x3F)));
        } else if (isEscapedByte(u)) {
            out.push_back(char(u - kEscapeBase));
        } else if (u >= 0xD800 && u <= 0xDFFF) {
            out.append("\xEF\xBF\xBD");  // a lone surrogate has no UTF-8 form
        } else {
            out.push_back(char(0xE0 | (u >> 12)));
            out.push_back(char(0x80 | ((u >> 6) & 0x3F)));
            out.push_back(char(0x80 | (u & 0x3F)));
        }
    }
}

QByteArray encodeUtf8Escaped(QStringView text) {
    std::string out;
    out.reserve(std::size_t(text.size()) * 3 / 2 + 8);
    appendUtf8Escaped(out, text);
    return QByteArray(out.data(), qsizetype(out.size()));
}

QString decodeUtf16(std::string_view bytes, bool bigEndian) {
    const std::size_t units = bytes.size() / 2;
    const bool odd = bytes.size() % 2 != 0;
    QString result(qsizetype(units + (odd ? 1 : 0)), Qt::Uninitialized);
    char16_t* out = reinterpret_cast<char16_t*>(result.data());
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    if (!bigEndian) {
        std::memcpy(out, p, units * 2);
    } else {
        for (std::size_t i = 0; i < units; ++i) out[i] = char16_t((p[2 * i] << 8) | p[2 * i + 1]);
    }
    if (odd)
        out[units] = 0xFFFD;
    return result;
}

QString decodeUtf32(std::string_view bytes, bool bigEndian) {
    const std::size_t units = bytes.size() / 4;
    const bool partial = bytes.size() % 4 != 0;
    QString result(qsizetype(units * 2 + 1), Qt::Uninitialized);
    char16_t* out = reinterpret_cast<char16_t*>(result.data());
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    for (std::size_t i = 0; i < units; ++i, p += 4) {
        const char32_t cp =
            bigEndian
                ? (char32_t(p[0]) << 24) | (char32_t(p[1]) << 16) | (char32_t(p[2]) << 8) | p[3]
                : (char32_t(p[3]) << 24) | (char32_t(p[2]) << 16) | (char32_t(p[1]) << 8) | p[0];
        if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
            *out++ = 0xFFFD;
        else
            putCodePoint(out, cp);
    }
    if (partial)
        *out++ = 0xFFFD;
    result.truncate(qsizetype(out - reinterpret_cast<char16_t*>(result.data())));
    return result;
}

QByteArray encodeUtf16Le(QStringView text) {
    QByteArray out(text.size() * 2, Qt::Uninitialized);
    auto* o = reinterpret_cast<unsigned char*>(out.data());
    const char16_t* p = reinterpret_cast<const char16_t*>(text.utf16());
    for (qsizetype i = 0; i < text.size(); ++i) {
        o[2 * i] = static_cast<unsigned char>(p[i] & 0xFF);
        o[2 * i + 1] = static_cast<unsigned char>(p[i] >> 8);
    }
    return out;
}

}  // namespace vn::textio
