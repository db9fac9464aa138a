#include "textio/CaseFold.h"

#include <QChar>

#include <algorithm>
#include <utility>

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

namespace {
// Every code point whose lower-case form is another one, as (that form, the code point), in
// order: one pass over all code points, a few milliseconds, the first time it is needed.
const std::vector<std::pair<char32_t, char32_t>>& loweredPairs() {
    static const std::vector<std::pair<char32_t, char32_t>> pairs = [] {
        std::vector<std::pair<char32_t, char32_t>> found;
        for (char32_t u = 0; u <= 0x10FFFF; ++u) {
            if (u >= 0xD800 && u <= 0xDFFF)
                continue;
            const char32_t lower = lowerCodePoint(u);
            if (lower != u)
                found.emplace_back(lower, u);
        }
        std::sort(found.begin(), found.end());
        return found;
    }();
    return pairs;
}
}  // namespace

std::vector<char32_t> otherFormsOf(char32_t c) {
    const auto& pairs = loweredPairs();
    std::vector<char32_t> forms;
    for (auto it = std::lower_bound(pairs.begin(), pairs.end(), std::make_pair(c, char32_t(0)));
         it != pairs.end() && it->first == c; ++it)
        forms.push_back(it->second);
    return forms;
}

const std::vector<char32_t>& foldsIntoAscii() {
    static const std::vector<char32_t> list = [] {
        std::vector<char32_t> found;
        for (const auto& [lower, from] : loweredPairs())
            if (lower < 0x80 && from >= 0x80)
                found.push_back(from);
        std::sort(found.begin(), found.end());
        return found;
    }();
    return list;
}

bool lowersOnlyFromItself(char32_t c) {
    if (c < 0x80 && ((c | 0x20) >= 'a' && (c | 0x20) <= 'z'))
        return false;
    if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF))
        return false;
    return lowerCodePoint(c) == c && otherFormsOf(c).empty();
}

}  // namespace vn::textio
