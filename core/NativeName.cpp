#include "core/NativeName.h"

namespace vn {

namespace {

// Byte b (0x80 to 0xFF; ASCII is always valid) becomes U+DC00 + b, that is U+DC80 to U+DCFF.
constexpr char16_t kEscapeBase = 0xDC00;
constexpr char16_t kFirstEscape = 0xDC80, kLastEscape = 0xDCFF;

// The length of the valid UTF-8 sequence at `p`, or 0 when the byte there does not start one.
// Overlong forms, surrogates and code points past U+10FFFF are not valid.
int validSequence(const unsigned char* p, qsizetype left) {
    const unsigned char b = p[0];
    if (b < 0x80)
        return 1;
    int n;
    char32_t cp;
    if (b >= 0xC2 && b <= 0xDF) {
        n = 2;
        cp = b & 0x1F;
    } else if (b >= 0xE0 && b <= 0xEF) {
        n = 3;
        cp = b & 0x0F;
    } else if (b >= 0xF0 && b <= 0xF4) {
        n = 4;
        cp = b & 0x07;
    } else {
        return 0;
    }
    if (left < n)
        return 0;
    for (int i = 1; i < n; ++i) {
        if ((p[i] & 0xC0) != 0x80)
            return 0;
        cp = (cp << 6) | (p[i] & 0x3F);
    }
    if ((n == 3 && cp < 0x800) || (n == 4 && cp < 0x10000) || cp > 0x10FFFF ||
        (cp >= 0xD800 && cp <= 0xDFFF))
        return 0;
    return n;
}

}  // namespace

QString nameFromNative(QByteArrayView bytes) {
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    const qsizetype size = bytes.size();
    QString out;
    out.reserve(size);
    qsizetype i = 0;
    while (i < size) {
        const int n = validSequence(p + i, size - i);
        if (n == 0) {
            out.append(QChar(char16_t(kEscapeBase + p[i])));
            ++i;
            continue;
        }
        out.append(QString::fromUtf8(reinterpret_cast<const char*>(p + i), n));
        i += n;
    }
    return out;
}

QByteArray nativeName(const QString& name) {
    QByteArray out;
    out.reserve(name.size());
    const qsizetype size = name.size();
    qsizetype runStart = 0;
    auto flushRun = [&](qsizetype end) {
        if (end > runStart)
            out.append(QStringView(name).mid(runStart, end - runStart).toUtf8());
    };
    for (qsizetype i = 0; i < size; ++i) {
        const char16_t u = name[i].unicode();
        const bool escaped = u >= kFirstEscape && u <= kLastEscape &&
                             !(i > 0 && QChar::isHighSurrogate(name[i - 1].unicode()));
        if (!escaped)
            continue;
        flushRun(i);
        out.append(char(u - kEscapeBase));
        runStart = i + 1;
    }
    flushRun(size);
    return out;
}

QString displayName(const QString& name) {
    QString out;
    out.reserve(name.size());
    for (qsizetype i = 0; i < name.size(); ++i) {
        const char16_t u = name[i].unicode();
        const bool escaped = u >= kFirstEscape && u <= kLastEscape &&
                             !(i > 0 && QChar::isHighSurrogate(name[i - 1].unicode()));
        if (escaped)
            out += QStringLiteral("\\x") + QString::number(unsigned(u - kEscapeBase), 16).toUpper();
        else
            out += name[i];
    }
    return out;
}

}  // namespace vn
