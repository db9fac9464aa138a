// Any text as a folder and an input path, with either separator: CleanPath keeps every other
// character in order and leaves the root as its rule says, and the output path the run builds
// from them ends in the output name, which ends in ".txt" and holds no separator.

#include "filelist/PathTests.h"
#include "run/RunDriver.h"

#include <QString>

#include <cstdint>
#include <cstdlib>

using namespace vn;

namespace {

void check(bool ok) {
    if (!ok)
        std::abort();
}

QString withoutSeparators(QString s, QChar sep) {
    return s.remove(sep);
}

void checkClean(const QString& path, QChar sep) {
    const QString clean = CleanPath(path, sep);
    check(withoutSeparators(clean, sep) == withoutSeparators(path, sep));
    check(clean.size() <= path.size() + 1);
    check(path.isEmpty() == clean.isEmpty());
    qsizetype lead = 0;
    while (lead < clean.size() && clean[lead] == sep) ++lead;
    if (!path.startsWith(sep))
        check(lead == 0);
    else if (sep == u'/')
        check(lead == 1);
    else
        check(lead == 2);
    // Away from the start no run of separators grows.
    qsizetype longestIn = 0, longestOut = 0;
    for (const auto& [text, longest] :
         {std::pair{&path, &longestIn}, std::pair{&clean, &longestOut}}) {
        qsizetype i = 0, run = 0;
        while (i < text->size() && (*text)[i] == sep) ++i;
        for (; i < text->size(); ++i) {
            run = (*text)[i] == sep ? run + 1 : 0;
            if (run > *longest)
                *longest = run;
        }
    }
    check(longestOut <= longestIn);
    check(longestIn < 2 || longestOut < longestIn);
}

void checkOutputPath(const QString& folder, const QString& input, QChar sep) {
    const QString name = run::FileNameFromPath(input, sep);
    check(!name.contains(sep));
    const QString out = run::outputName(name);
    check(out.endsWith(QStringLiteral(".txt")));
    check(!out.contains(sep));
    const qsizetype dot = name.lastIndexOf(u'.');
    check(out == (dot < 0 ? name : name.left(dot)) + QStringLiteral(".txt"));
    const QString path = CleanPath(folder + sep + out, sep);
    check(path.endsWith(sep + out));
    check(run::FileNameFromPath(path, sep) == out);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const QString text = QString::fromUtf8(reinterpret_cast<const char*>(data), qsizetype(size));
    // A line break, when there is one, divides the output folder from the input path.
    const qsizetype cut = text.indexOf(u'\n');
    const QString folder = cut < 0 ? QString() : text.left(cut);
    const QString input = cut < 0 ? text : text.mid(cut + 1);
    for (QChar sep : {QChar(u'/'), QChar(u'\\')}) {
        checkClean(text, sep);
        checkOutputPath(folder, input, sep);
    }
    return 0;
}
