// Any text as a stored keyword list: what is restored has no empty keyword and no separator and
// loses nothing but separators; keywords without a "|" store and restore to themselves. (A
// keyword that ends in part of the separator, such as "x||MySeparator12", merges with the
// separator after it and comes back split; the stored form cannot tell them apart.)

#include "keywords/KeywordList.h"

#include <QString>
#include <QStringList>

#include <cstdint>
#include <cstdlib>

using namespace vn;

namespace {

void check(bool ok) {
    if (!ok)
        std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const QString stored = QString::fromUtf8(reinterpret_cast<const char*>(data), qsizetype(size));
    const QStringList restored = KeywordsFromStoredForm(stored);
    QString content;
    bool bars = false;
    for (const QString& k : restored) {
        check(!k.isEmpty());
        check(!k.contains(kKeywordSeparator));
        content += k;
        bars = bars || k.contains(u'|');
    }
    // Nothing but separators is lost.
    check(content == QString(stored).remove(kKeywordSeparator));

    const QString again = KeywordsToStoredForm(restored);
    check(restored.isEmpty() == again.isEmpty());
    check(again.isEmpty() || again.endsWith(kKeywordSeparator));
    check(bars || KeywordsFromStoredForm(again) == restored);

    // The other way: keywords cut from the input at "|" come back in order, less the empty ones
    // and split where a keyword held the separator.
    const QStringList typed = stored.split(u'|');
    QStringList expected;
    for (const QString& k : typed)
        if (!k.isEmpty())
            expected += k;
    check(KeywordsFromStoredForm(KeywordsToStoredForm(typed)) == expected);
    return 0;
}
