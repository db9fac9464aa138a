#include "textio/CaseFold.h"

#include <QChar>

namespace vn::textio {

// Qt's tables follow Unicode's simple lower-case mapping except at U+0130, whose mapping Qt
// leaves out (its full mapping is two code points); the simple mapping gives U+0069.
char32_t lowerCodePoint(char32_t c) {
    return c == 0x0130 ? U'i' : QChar::toLower(c);
}

const char16_t* lowerBmpTable() {
    static const std::vector<char16_t> table = [] {
        std::vector<char16_t> t(0x10000);
        for (char32_t u = 0; u < 0x10000; ++u) {
            const char32_t lower = (u >= 0xD800 && u <= 0xDFFF) ? u : lowerCodePoint(u);
            t[u] = lower < 0x10000 ? char16_t(lower) : 0;
        }
        return t;
    }();
    return table.data();
}

QString lowerSimple(QStringView text) {
    QString out;
    out.reserve(text.size());
    const qsizetype n = text.size();
    for (qsizetype i = 0; i < n; ++i) {
        const char16_t u = text[i].unicode();
        if (u < 0x80) {
            out.append(QChar((u >= 'A' && u <= 'Z') ? char16_t(u + 32) : u));
            continue;
        }
        char32_t cp = u;
        if (QChar::isHighSurrogate(u) && i + 1 < n && text[i + 1].isLowSurrogate())
            cp = QChar::surrogateToUcs4(u, text[++i].unicode());
        const char32_t lower = lowerCodePoint(cp);
        if (QChar::requiresSurrogates(lower)) {
            out.append(QChar(QChar::highSurrogate(lower)));
            out.append(QChar(QChar::lowSurrogate(lower)));
        } else {
            out.append(QChar(char16_t(lower)));
        }
    }
    return out;
}

const std::vector<char32_t>& foldsIntoAscii() {
    static const std::vector<char32_t> list = [] {
        std::vector<char32_t> found;
        for (char32_t c = 0x80; c <= 0x10FFFF; ++c) {
            if (c >= 0xD800 && c <= 0xDFFF)
                continue;
            if (lowerCodePoint(c) < 0x80)
                found.push_back(c);
        }
        return found;
    }();
    return list;
}

bool lowersOnlyFromItself(char32_t c) {
    if (c < 0x80 && ((c | 0x20) >= 'a' && (c | 0x20) <= 'z'))
        return false;
    static const std::vector<bool> reachedFromElsewhere = [] {
        std::vector<bool> reached(0x110000);
        for (char32_t u = 0; u <= 0x10FFFF; ++u) {
            if (u >= 0xD800 && u <= 0xDFFF)
                continue;
            const char32_t lower = lowerCodePoint(u);
            if (lower != u && lower <= 0x10FFFF)
                reached[lower] = true;
        }
        return reached;
    }();
    if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF))
        return false;
    return !reachedFromElsewhere[c] && lowerCodePoint(c) == c;
}

}  // namespace vn::textio
