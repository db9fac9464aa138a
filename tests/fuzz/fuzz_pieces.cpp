// Any bytes as a file, read a piece at a time with a piece size the input picks: the pieces
// hold whole lines, together they are the lines the whole-file reader gives, their line count
// agrees, and no read reports a failure; a file refused as binary (or not carried back by its
// class) is refused by the count and the walk alike, and only such a file.

#include "core/WindowServices.h"
#include "textio/InputText.h"
#include "textio/Lines.h"
#include "textio/TextFile.h"

#include <QString>
#include <QStringList>

#include <sys/mman.h>
#include <unistd.h>
#include <cstdint>
#include <cstdlib>
#include <string_view>

using namespace vn;
using namespace vn::textio;

namespace {

void check(bool ok) {
    if (!ok)
        std::abort();
}

// Any message box is a failure report, which a readable file must never give.
class NoMessages final : public WindowServices {
public:
    Answer messageBox(const QString&, Buttons, Icon, const QString&) override { std::abort(); }
    QString inputBox(const QString&, const QString&, const QString&) override { return {}; }
    void yield() override {}
    bool foldsYields() const override { return true; }
    void setPointer(Pointer) override {}
    Pointer pointer() const override { return Pointer::Arrow; }
    void setProgress(Bar, double) override {}
    void setProgressText(Bar, const QString&) override {}
};

template <class CharT>
QStringList pieceLines(InputText& input) {
    QStringList lines;
    std::basic_string_view<CharT> piece;
    bool first = true, endedInCr = false;
    while (input.next(piece)) {
        check(first || !piece.empty());
        check(!(endedInCr && piece.front() == CharT('\n')));
        endedInCr = !piece.empty() && piece.back() == CharT('\r');
        // A piece ends after a break, or is the last one; never between CR and LF.
        if (!input.atEnd())
            check(!piece.empty() && isBreak(piece.back()));
        first = false;
        LineCursor<CharT> cursor(piece);
        std::basic_string_view<CharT> line;
        while (cursor.next(line)) lines.append(lineText(line));
    }
    check(input.ok());
    return lines;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0)
        return 0;
    static const int fd = memfd_create("fuzz_pieces", 0);
    check(fd >= 0);
    check(::ftruncate(fd, 0) == 0);
    const std::size_t content = size - 1;
    if (content > 0)
        check(::pwrite(fd, data + 1, content, 0) == ssize_t(content));
    const QString path = QStringLiteral("/proc/self/fd/%1").arg(fd);

    NoMessages ws;
    const QStringList whole = ReadFileToStringLine(ws, path);
    InputPieceBytes = 1 + data[0] % 64;
    std::size_t counted = 0;
    QStringList pieces;
    QString refusedByCount, refused;
    {
        InputText input(ws, path);
        check(input.ok());
        counted = input.countLines();
        refusedByCount = input.skipReason();
    }
    {
        InputText input(ws, path);
        pieces = input.isWide() ? pieceLines<char16_t>(input) : pieceLines<char>(input);
        refused = input.skipReason();
    }
    // The count and the walk refuse the same files, and only files whose text the whole-file
    // reader could not give back: a NUL, or a unit it had to replace.
    check(refused == refusedByCount);
    const QString joined = whole.join(QChar(u'\n'));
    if (!refused.isEmpty()) {
        check(joined.contains(QChar(0)) || joined.contains(QChar(0xFFFD)));
        return 0;
    }
    check(!joined.contains(QChar(0)));
    check(pieces == whole);
    check(counted == std::size_t(whole.size()));
    return 0;
}
