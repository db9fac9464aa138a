#include "platform/FileAccess.h"
#include "platform/Memory.h"
#include "platform/Processors.h"
#include "tests/support/ScriptedWindowServices.h"
#include "tests/support/TempDir.h"
#include "textio/Codec.h"
#include "textio/InputText.h"
#include "textio/Lines.h"
#include "textio/TextFile.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QFileInfo>

#include <cstdio>
#include <cstring>
#include <memory>
#include <random>
#include <thread>

#include <fcntl.h>
#include <sched.h>
#include <sys/mman.h>
#include <unistd.h>

using namespace vn;
using namespace vn::textio;
using test::ScriptedWindowServices;
using test::TempDir;

namespace {

QByteArray bytes(std::initializer_list<int> list) {
    QByteArray b;
    for (int v : list) b.append(char(v));
    return b;
}

QByteArray randomBytes(std::mt19937& rng, int n) {
    QByteArray b(n, Qt::Uninitialized);
    std::uniform_int_distribution<int> d(0, 255);
    for (int i = 0; i < n; ++i) b[i] = char(d(rng));
    return b;
}

// The lines the engine's reader sees, each piece split on its own (so a piece holding part of a
// line shows up as a wrong line). Every piece size must give the same lines; the first one that
// does not is reported.
template <class CharT>
QStringList splitPieces(InputText& t) {
    QStringList lines;
    std::basic_string_view<CharT> piece;
    while (t.next(piece)) {
        LineCursor<CharT> cur(piece);
        std::basic_string_view<CharT> l;
        while (cur.next(l)) lines.append(lineText(l));
    }
    return lines;
}

// The ways an input is read: into a buffer; viewed in place; viewed in place with each next view
// named ahead; viewed for its first piece only, the rest read into a buffer by a second thread,
// a piece ahead (as where the file's pages prove costly); and into a buffer, read ahead. Sets
// the way while in scope.
struct ReadWay {
    explicit ReadWay(int way)
        : savedPiece(InputPieceBytes),
          savedMap(InputMapBytes),
          savedAhead(InputMapAhead),
          savedReadAhead(InputReadAhead),
          savedCost(AssumedPageCost) {
        InputMapBytes = way == 0 || way == 4 ? UINT64_MAX : 0;
        InputMapAhead = way == 2;
        InputReadAhead = way >= 3;
        AssumedPageCost = way == 3 ? PageCost::Costly : PageCost::Cheap;
    }
    ~ReadWay() {
        InputPieceBytes = savedPiece;
        InputMapBytes = savedMap;
        InputMapAhead = savedAhead;
        InputReadAhead = savedReadAhead;
        AssumedPageCost = savedCost;
    }
    static constexpr int kWays[] = {0, 1, 2, 3, 4};
    std::size_t savedPiece;
    std::uint64_t savedMap;
    bool savedAhead, savedReadAhead;
    PageCost savedCost;
};

QStringList linesViaPieces(WindowServices& ws, const QString& path) {
    QStringList first;
    for (int way : ReadWay::kWays) {
        const ReadWay reading(way);
        for (std::size_t size : {std::size_t(1) << 20, std::size_t(1), std::size_t(2),
                                 std::size_t(3), std::size_t(5), std::size_t(8)}) {
            InputPieceBytes = size;
            InputText t(ws, path);
            const QStringList lines = t.isWide() ? splitPieces<char16_t>(t) : splitPieces<char>(t);
            if (first.isEmpty()) {
                first = lines;
            } else if (lines != first) {
                return QStringList{
                    QStringLiteral("piece size %1 read way %2 differs").arg(size).arg(way)};
            }
        }
    }
    return first;
}

}  // namespace

// ---- the encoding-class table ----

struct ClassRow {
    QByteArray head;
    EncodingClass cls;
    bool unicode, utf8;
};

TEST(EncodingTable, RowsInOrderWithTheirLengthConditions) {
    const std::vector<ClassRow> rows = {
        {bytes({0xFF, 0xFE, 0, 0}), EncodingClass::Utf32Le, true, false},
        {bytes({0xFF, 0xFE, 0, 0, 'a'}), EncodingClass::Utf32Le, true, false},
        {bytes({0, 0, 0xFE, 0xFF}), EncodingClass::Utf32Be, true, false},
        {bytes({0xEF, 0xBB, 0xBF}), EncodingClass::Utf8Bom, false, true},
        {bytes({0xEF, 0xBB, 0xBF, 'x'}), EncodingClass::Utf8Bom, false, true},
        {bytes({0xFF, 0xFE}), EncodingClass::Utf16Le, true, false},  // two bytes: row 4, not 1
        {bytes({0xFF, 0xFE, 0}), EncodingClass::Utf16Le, true, false},
        {bytes({0xFF, 0xFE, 'a', 0}), EncodingClass::Utf16Le, true, false},
        {bytes({0xFE, 0xFF}), EncodingClass::Utf16Be, true, false},
        {bytes({0, 0, 0xFE}), EncodingClass::EightBit, false, false},  // too short for row 2
        {bytes({0xEF, 0xBB}), EncodingClass::EightBit, false, false},
        {bytes({0xFF}), EncodingClass::EightBit, false, false},
        {QByteArray(), EncodingClass::EightBit, false, false},
        {QByteArray("abcd"), EncodingClass::EightBit, false, false},
    };
    TempDir dir;
    ScriptedWindowServices ws;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const QString p = dir.write(QStringLiteral("f%1").arg(i), rows[i].head);
        IsUTF8File = !rows[i].utf8;  // detection must set it either way
        EXPECT_EQ(DetectFileEncoding(p), rows[i].unicode) << i;
        EXPECT_EQ(IsUTF8File, rows[i].utf8) << i;
        unsigned char h[4] = {0, 0, 0, 0};
        for (int k = 0; k < std::min<int>(4, rows[i].head.size()); ++k) h[k] = rows[i].head[k];
        EXPECT_EQ(classify(h, rows[i].head.size()).cls, rows[i].cls) << i;
    }
}

// ---- reading ----

namespace {

enum class Cls { EightBit, Utf8, Utf16Le, Utf16Be, Utf32Le, Utf32Be };

QByteArray encodeAs(const QString& text, Cls c) {
    QByteArray out;
    auto unit16 = [&](char16_t u, bool be) {
        out.append(char(be ? u >> 8 : u & 0xFF));
        out.append(char(be ? u & 0xFF : u >> 8));
    };
    switch (c) {
        case Cls::EightBit:
            return encodeUtf8Escaped(text);
        case Cls::Utf8:
            return "\xEF\xBB\xBF" + encodeUtf8Escaped(text);
        case Cls::Utf16Le:
        case Cls::Utf16Be:
            unit16(0xFEFF, c == Cls::Utf16Be);
            for (QChar ch : text) unit16(ch.unicode(), c == Cls::Utf16Be);
            return out;
        case Cls::Utf32Le:
        case Cls::Utf32Be: {
            const bool be = c == Cls::Utf32Be;
            std::vector<char32_t> units{0xFEFF};
            for (char32_t u : text.toUcs4()) units.push_back(u);
            for (char32_t u : units)
                for (int k = 0; k < 4; ++k) out.append(char(u >> (8 * (be ? 3 - k : k))));
            return out;
        }
    }
    return out;
}

// Drains the pieces and gives the reason the input was refused, if any.
QString refusal(WindowServices& ws, const QString& path, bool countFirst) {
    InputText t(ws, path);
    EXPECT_TRUE(t.ok());
    if (countFirst)
        t.countLines();
    if (t.isWide()) {
        std::u16string_view piece;
        while (t.next(piece)) {
        }
    } else {
        std::string_view piece;
        while (t.next(piece)) {
        }
    }
    EXPECT_TRUE(t.ok());
    return t.skipReason();
}

}  // namespace

struct ReadCase {
    const char* name;
    QByteArray file;
    QStringList lines;
    bool leftAlone = false;  // the engine's reader refuses it: no output could carry it back
};

TEST(Reader, LinesOnEveryPathAndBreak) {
    const QString e;
    const std::vector<ReadCase> cases = {
        {"empty file", QByteArray(), {e}},
        {"FF FE alone", bytes({0xFF, 0xFE}), {e}},
        {"UTF-8 mark alone", bytes({0xEF, 0xBB, 0xBF}), {e}},
        {"CRLF no final", "a\r\nb", {"a", "b"}},
        {"CRLF final", "a\r\nb\r\n", {"a", "b"}},
        {"LF", "a\nb\n", {"a", "b"}},
        {"lone CR", "a\rb\r", {"a", "b"}},
        {"mixed", "a\r\r\nb\n\rc", {"a", e, "b", e, "c"}},
        {"only breaks", "\r\n\r\n", {e, e}},
        {"single break", "\n", {e}},
        {"UTF-8 CRLF final",
         QByteArray("\xEF\xBB\xBF"
                    "a\r\nb\r\n"),
         {"a", "b"}},
        {"UTF-8 LF",
         QByteArray("\xEF\xBB\xBF"
                    "x\ny\n"),
         {"x", "y"}},
        {"UTF-8 text",
         QByteArray("\xEF\xBB\xBF"
                    "gr\xC3\xBC\xC3\x9F"),
         {QStringLiteral("grüß")}},
        {"UTF-16 LE",
         bytes({0xFF, 0xFE, 'h', 0, 'i', 0, '\r', 0, '\n', 0, 0xAC, 0x20}),
         {"hi", QStringLiteral("€")}},
        {"UTF-16 BE", bytes({0xFE, 0xFF, 0, 'h', 0, '\n', 0x20, 0xAC}), {"h", QStringLiteral("€")}},
        {"UTF-32 LE",
         bytes({0xFF, 0xFE, 0, 0, 'a', 0, 0, 0, '\n', 0, 0, 0, 0x00, 0xF6, 0x01, 0}),
         {"a", QString::fromUcs4(U"\U0001F600")}},
        {"UTF-32 BE", bytes({0, 0, 0xFE, 0xFF, 0, 0, 0, 'z'}), {"z"}},
        {"odd UTF-16", bytes({0xFF, 0xFE, 'a', 0, 'b'}), {QStringLiteral("a\uFFFD")}, true},
        {"NUL bytes",
         QByteArray("a\0b\nc", 5),
         {QString(QStringLiteral("a")) + QChar(0) + "b", "c"},
         true},
    };
    TempDir dir;
    for (const ReadCase& c : cases) {
        ScriptedWindowServices ws;
        const QString p = dir.write(QString::fromLatin1(c.name), c.file);
        bool ok = false;
        EXPECT_EQ(ReadFileToStringLine(ws, p, &ok), c.lines) << c.name;
        EXPECT_TRUE(ok) << c.name;
        EXPECT_TRUE(ws.boxes.empty()) << c.name;

        // The engine's line source sees the same lines, or refuses the file with a reason.
        if (c.leftAlone) {
            EXPECT_FALSE(refusal(ws, p, false).isEmpty()) << c.name;
        } else {
            EXPECT_EQ(linesViaPieces(ws, p), c.lines) << c.name;
        }
    }
}

TEST(InputText, FilesNoOutputCanCarryBackAreRefusedWithAReason) {
    QString lines;
    for (int i = 0; i < 3000; ++i) lines += QStringLiteral("line %1\r\n").arg(i);
    const QChar nul(0);
    struct Place {
        const char* name;
        QString text;
    };
    const Place places[] = {
        {"start", nul + lines},
        {"end", lines + nul},
        {"past the first piece", lines.left(lines.size() - 20) + nul + lines.right(20)}};
    TempDir dir;
    ScriptedWindowServices ws;
    for (int way : ReadWay::kWays) {
        const ReadWay reading(way);
        InputPieceBytes = 256;
        for (Cls c :
             {Cls::EightBit, Cls::Utf8, Cls::Utf16Le, Cls::Utf16Be, Cls::Utf32Le, Cls::Utf32Be}) {
            const QString clean = dir.write("clean", encodeAs(lines, c));
            EXPECT_EQ(refusal(ws, clean, false), QString()) << int(c);
            EXPECT_EQ(refusal(ws, clean, true), QString()) << int(c);
            for (const Place& p : places) {
                const QString f = dir.write("nul", encodeAs(p.text, c));
                for (bool countFirst : {false, true}) {
                    const QString why = refusal(ws, f, countFirst);
                    // FF FE then a zero unit is the UTF-32 mark: refused all the same.
                    if (c == Cls::Utf16Le && p.text.startsWith(nul)) {
                        EXPECT_FALSE(why.isEmpty());
                        continue;
                    }
                    EXPECT_TRUE(why.startsWith("binary file (it holds a NUL"))
                        << int(c) << " " << p.name << " " << why.toStdString();
                }
            }
        }
    }
    const struct {
        QByteArray file;
        const char* reason;
    } classBound[] = {
        {bytes({0xFF, 0xFE, 'a', 0, 'b'}), "its UTF-16 text ends in an odd byte"},
        {bytes({0xFE, 0xFF, 0, 'a', '\n'}), "its UTF-16 text ends in an odd byte"},
        {bytes({0xFF, 0xFE, 0, 0, 'a', 0, 0, 0, 0, 0, 0x11, 0}),
         "its UTF-32 text holds a value outside Unicode"},
        {bytes({0, 0, 0xFE, 0xFF, 0, 0, 0xD8, 0}), "its UTF-32 text holds a value outside Unicode"},
        {bytes({0xFF, 0xFE, 0, 0, 'a', 0, 0, 0, 'b'}), "its UTF-32 text ends in a partial unit"},
    };
    for (const auto& k : classBound) {
        const QString f = dir.write("bound", k.file);
        EXPECT_EQ(refusal(ws, f, false), QString::fromLatin1(k.reason));
        EXPECT_EQ(refusal(ws, f, true), QString::fromLatin1(k.reason));
    }
    EXPECT_TRUE(ws.boxes.empty());
}

TEST(Reader, FlagsFollowTheLastInput) {
    TempDir dir;
    ScriptedWindowServices ws;
    ReadFileToStringLine(ws, dir.write("u8", QByteArray("\xEF\xBB\xBFx")));
    EXPECT_FALSE(IsUnicodeFile);
    EXPECT_TRUE(IsUTF8File);
    EXPECT_EQ(currentOutputClass(), OutputClass::Utf8Bom);
    ReadFileToStringLine(ws, dir.write("u16", bytes({0xFF, 0xFE, 'x', 0})));
    EXPECT_TRUE(IsUnicodeFile);
    EXPECT_FALSE(IsUTF8File);
    EXPECT_EQ(currentOutputClass(), OutputClass::Utf16Le);
    ReadFileToStringLine(ws, dir.write("plain", "x"));
    EXPECT_FALSE(IsUnicodeFile);
    EXPECT_FALSE(IsUTF8File);
    EXPECT_EQ(currentOutputClass(), OutputClass::EightBit);
}

TEST(Reader, MissingFileAndNonRegularFilesFailClearlyWithOneEmptyLine) {
    TempDir dir;
    QDir(dir.path()).mkdir("sub");
    const QString fifo = dir.path("fifo");
    ASSERT_EQ(::mkfifo(fifo.toLocal8Bit().constData(), 0600), 0);
    struct Case {
        QString path;
        QString reason;
    };
    for (const Case& c : {Case{dir.path("nope"), "No such file"}, Case{dir.path("sub"), "folder"},
                          Case{fifo, "pipe"}, Case{"/dev/null", "device"}}) {
        ScriptedWindowServices ws;
        bool ok = true;
        EXPECT_EQ(ReadFileToStringLine(ws, c.path, &ok), QStringList{QString()});
        EXPECT_FALSE(ok);
        ASSERT_EQ(ws.errors().size(), 2u) << c.path.toStdString();
        EXPECT_TRUE(ws.errors()[0].text.contains("ReadFileToStringLine at line 100"));
        EXPECT_TRUE(ws.errors()[0].text.contains(c.path)) << ws.errors()[0].text.toStdString();
        EXPECT_TRUE(ws.errors()[0].text.contains(c.reason)) << ws.errors()[0].text.toStdString();
        EXPECT_TRUE(ws.errors()[1].text.contains("ReadFileToStringFSOLine at line 102"));
        const InputText t(ws, c.path);
        EXPECT_FALSE(t.ok());
    }
}

// ---- codec round trips ----

TEST(Codec, RandomBytesRoundTripThroughTheEightBitPath) {
    std::mt19937 rng(7);
    for (int round = 0; round < 300; ++round) {
        const QByteArray in = randomBytes(rng, 1 + round * 7);
        const QString text = decodeUtf8Escaped(std::string_view(in.constData(), in.size()));
        ASSERT_EQ(encodeUtf8Escaped(text), in) << round;
    }
    // Sequences a lax decoder would accept: overlongs, surrogates, beyond U+10FFFF, truncation.
    for (const QByteArray& in :
         {QByteArray("\xC0\x80"), QByteArray("\xED\xA0\x80"), QByteArray("\xED\xB2\x80"),
          QByteArray("\xF4\x90\x80\x80"), QByteArray("\xE2\x82"), QByteArray("\xF0\x9F\x98")}) {
        const QString text = decodeUtf8Escaped(std::string_view(in.constData(), in.size()));
        EXPECT_EQ(text.size(), in.size()) << "each invalid byte is its own escape";
        EXPECT_EQ(encodeUtf8Escaped(text), in);
    }
    EXPECT_EQ(decodeUtf8Escaped("\xE2\x82\xAC"), QStringLiteral("€"));
}

TEST(Codec, FilesRoundTripByteForByteThroughReaderAndWriter) {
    std::mt19937 rng(11);
    TempDir dir;
    for (int round = 0; round < 60; ++round) {
        QByteArray payload = randomBytes(rng, 2 * (round * 13 + 1));
        // Drop line breaks: the reader splits at them and the writer is handed lines back
        // joined by CR LF, which is what a removal routine does with every kept line.
        for (char& c : payload)
            if (c == '\r' || c == '\n')
                c = 'x';
        for (const QByteArray& mark :
             {QByteArray(), QByteArray("\xEF\xBB\xBF"), bytes({0xFF, 0xFE})}) {
            if (mark.isEmpty() && payload.size() >= 2 &&
                (payload.startsWith("\xFF\xFE") || payload.startsWith("\xFE\xFF") ||
                 payload.startsWith("\xEF\xBB") || payload.startsWith(QByteArray(2, '\0'))))
                payload[0] = 'y';
            if (mark == bytes({0xFF, 0xFE})) {
                // No UTF-16 unit may hold CR or LF, and the payload must not look like UTF-32.
                for (int i = 0; i + 1 < payload.size(); i += 2)
                    if (payload[i + 1] == 0 && (payload[i] == '\r' || payload[i] == '\n'))
                        payload[i] = 'x';
                if (payload.startsWith(QByteArray(2, '\0')))
                    payload[0] = 'y';
            }
            const QByteArray file =
                mark + payload +
                (mark == bytes({0xFF, 0xFE}) ? bytes({'\r', 0, '\n', 0}) : QByteArray("\r\n"));
            ScriptedWindowServices ws;
            const QString in = dir.write("in", file);
            const QStringList lines = ReadFileToStringLine(ws, in);
            ASSERT_EQ(lines.size(), 1) << round;
            const QString out = dir.path("out");
            Output o(ws, out, currentOutputClass(), kAppendLabels);
            o.AppendStringFSO(lines[0] + QStringLiteral("\r\n"), 1);
            o.finish();
            ASSERT_EQ(TempDir::read(out), file) << round << " mark " << mark.toHex().toStdString();
            EXPECT_TRUE(ws.boxes.empty());
        }
    }
}

// ---- writing ----

TEST(Writer, AppendModesAndFirstWriteRule) {
    TempDir dir;
    ScriptedWindowServices ws;
    IsUnicodeFile = false;
    IsUTF8File = false;
    const QString p = dir.write("o.txt", "old content\r\n");
    for (int first : {1, 0, -5}) {
        dir.write("o.txt", "old content\r\n");
        Output o(ws, p, currentOutputClass(), kAppendLabels);
        o.AppendStringFSO("a\r\n", first);
        o.AppendStringFSO("b", 2);
        EXPECT_EQ(TempDir::read(p), "old content\r\n") << "nothing shows before finish";
        o.finish();
        EXPECT_EQ(TempDir::read(p), "a\r\nb") << first;
    }
    {
        Output o(ws, p, currentOutputClass(), kAppendLabels);
        o.AppendStringFSO("more\r\n", 2);
        o.finish();
        EXPECT_EQ(TempDir::read(p), "a\r\nbmore\r\n");
    }
    {
        const QString fresh = dir.path("new.txt");
        Output o(ws, fresh, currentOutputClass(), kAppendLabels);
        o.AppendStringFSO("x", 2);
        o.finish();
        EXPECT_EQ(TempDir::read(fresh), "x");
    }
    {
        Output o(ws, p, currentOutputClass(), kAppendLabels);
        o.AppendStringFSO("first\r\n", 1);
        o.AppendStringFSO("again\r\n", 1);  // a second fresh start drops what came before
        o.finish();
        EXPECT_EQ(TempDir::read(p), "again\r\n");
    }
    {
        Output o(ws, p, currentOutputClass(), kAppendLabels);
        o.AppendStringFSO(QString(), 1);
        o.finish();
        EXPECT_EQ(TempDir::read(p), QByteArray()) << "an emptied output exists and is empty";
    }
    SaveStringToFileFSO(ws, "\r\n", p);
    EXPECT_EQ(TempDir::read(p), "\r\n");
    EXPECT_TRUE(ws.boxes.empty());
    EXPECT_EQ(dir.entries(), (QStringList{"new.txt", "o.txt"})) << "no temporary file is left";
}

TEST(Writer, OutputTakesTheInputsEncodingClass) {
    TempDir dir;
    ScriptedWindowServices ws;
    const QString out = dir.path("out");
    struct Case {
        QByteArray input;
        QByteArray expected;
    };
    const std::vector<Case> cases = {
        {QByteArray("\xEF\xBB\xBF"
                    "\xE2\x82\xAC"),
         QByteArray("\xEF\xBB\xBF"
                    "\xE2\x82\xAC\r\n")},
        {bytes({0xFF, 0xFE, 0xAC, 0x20}), bytes({0xFF, 0xFE, 0xAC, 0x20, '\r', 0, '\n', 0})},
        {bytes({0xFE, 0xFF, 0x20, 0xAC}), bytes({0xFF, 0xFE, 0xAC, 0x20, '\r', 0, '\n', 0})},
        {QByteArray("\xE9t\xE9"), QByteArray("\xE9t\xE9\r\n")},  // Latin-1 bytes carried through
    };
    for (const Case& c : cases) {
        const QStringList lines = ReadFileToStringLine(ws, dir.write("in", c.input));
        SaveStringToFileFSO(ws, lines[0] + QStringLiteral("\r\n"), out);
        EXPECT_EQ(TempDir::read(out), c.expected) << c.input.toHex().toStdString();
    }
    // A fresh Unicode output with nothing in it stays empty: no lone mark.
    ReadFileToStringLine(ws, dir.write("in", bytes({0xFF, 0xFE, 'a', 0})));
    SaveStringToFileFSO(ws, QString(), out);
    EXPECT_EQ(TempDir::read(out), QByteArray());
}

TEST(Writer, UnopenableOutputIsReportedOnceAndLaterPiecesAreDropped) {
    TempDir dir;
    ScriptedWindowServices ws;
    const QString p = dir.path("no/such/folder/out.txt");
    Output o(ws, p, currentOutputClass(), kAppendLabels);
    for (int i = 1; i <= 1000; ++i) o.AppendStringFSO("line\r\n", i);
    o.finish();
    ASSERT_EQ(ws.errors().size(), 1u);
    EXPECT_TRUE(ws.errors()[0].text.contains("AppendStringFSO at line 108"));
    EXPECT_TRUE(ws.errors()[0].text.contains(p));
    EXPECT_FALSE(QFileInfo::exists(dir.path("no"))) << "no folder is created";

    ScriptedWindowServices ws2;
    SaveStringToFileFSO(ws2, "x", p);
    ASSERT_EQ(ws2.errors().size(), 1u);
    EXPECT_TRUE(ws2.errors()[0].text.contains("SaveStringToFileFSO at line 104"));
}

TEST(Writer, OutputKeepsTheClassItWasGivenWhateverTheFlagsSay) {
    TempDir dir;
    ScriptedWindowServices ws;
    const QString p = dir.path("o.txt");
    // The flags describe some other file read since: the output must not follow them.
    IsUnicodeFile = false;
    IsUTF8File = true;
    {
        Output o(ws, p, OutputClass::Utf16Le, kAppendLabels);
        o.appendRaw(1, "a\0", 2);
        o.finish();
        EXPECT_EQ(TempDir::read(p), bytes({0xFF, 0xFE, 'a', 0}));
    }
    IsUnicodeFile = true;
    IsUTF8File = false;
    {
        Output o(ws, p, OutputClass::EightBit, kAppendLabels);
        o.AppendStringFSO(QStringLiteral("\u00e9"), 1);
        o.finish();
        EXPECT_EQ(TempDir::read(p), QByteArray("\xC3\xA9")) << "no mark, UTF-8 bytes";
    }
    {
        Output o(ws, p, OutputClass::Utf8Bom, kSaveLabels);
        o.appendRaw(1, nullptr, 0);
        o.finish();
        EXPECT_EQ(TempDir::read(p), QByteArray()) << "an empty result carries no lone mark";
    }
    IsUnicodeFile = IsUTF8File = false;
    EXPECT_TRUE(ws.boxes.empty());

    // The failure labels are the ones the output was given.
    const QString lost = dir.path("no/such/folder/out.txt");
    Output saved(ws, lost, OutputClass::EightBit, kSaveLabels);
    saved.appendRaw(1, "x", 1);
    saved.appendRaw(2, "y", 1);
    EXPECT_FALSE(saved.finish());
    ASSERT_EQ(ws.errors().size(), 1u);
    EXPECT_TRUE(ws.errors()[0].text.contains("SaveStringToFileFSO at line 104"));
}

// UTF-32 input is read a piece at a time like any other: a character outside the first piece
// that has no UTF-16 form is still found, and lines, characters beyond the Basic Multilingual
// Plane and CR LF pairs split between pieces come out whole.
TEST(InputText, Utf32IsReadInPieces) {
    QString text;
    for (int i = 0; i < 400; ++i)
        text += QStringLiteral("line %1 ").arg(i) + QString::fromUcs4(U"\U0001F600\u00e9") +
                (i % 3 == 0 ? "\r\n" : "\n");
    TempDir dir;
    ScriptedWindowServices ws;
    const std::size_t saved = InputPieceBytes;
    for (Cls c : {Cls::Utf32Le, Cls::Utf32Be}) {
        const QString f = dir.write("u32", encodeAs(text, c));
        const QStringList whole = ReadFileToStringLine(ws, f);
        ASSERT_EQ(whole.size(), 400);
        for (std::size_t size : {std::size_t(4), std::size_t(6), std::size_t(7), std::size_t(100),
                                 std::size_t(1) << 20}) {
            InputPieceBytes = size;
            InputText t(ws, f);
            ASSERT_TRUE(t.isWide());
            std::u16string_view piece;
            int pieces = 0;
            QString joined;
            while (t.next(piece)) {
                ++pieces;
                joined += lineText(piece);
            }
            EXPECT_TRUE(t.ok());
            EXPECT_EQ(joined, text) << size;
            if (size < 1000)
                EXPECT_GT(pieces, 10) << size;
            InputText counted(ws, f);
            EXPECT_EQ(counted.countLines(), std::size_t(whole.size())) << size;
        }
        InputPieceBytes = 256;
        QByteArray bad = encodeAs(text, c);
        // U+110000, one past the last code point, in the file's byte order.
        const QByteArray outside =
            c == Cls::Utf32Le ? bytes({0, 0, 0x11, 0}) : bytes({0, 0x11, 0, 0});
        bad.replace(bad.size() - 40, 4, outside);
        const QString b = dir.write("bad", bad);
        EXPECT_EQ(refusal(ws, b, false), "its UTF-32 text holds a value outside Unicode");
        EXPECT_EQ(refusal(ws, b, true), "its UTF-32 text holds a value outside Unicode");
    }
    InputPieceBytes = saved;
    EXPECT_TRUE(ws.boxes.empty());
}

// A file cut short by another program while its pages are viewed must not end the process: the
// lost pages read as zeros, and the input is reported as unreadable (not as a binary file) with
// its name, whether the pages were lost under a piece in use or before the next view.
TEST(InputText, AFileCutShortUnderItsViewIsReportedAndNothingCrashes) {
    QByteArray lines;
    for (int i = 0; i < 60000; ++i)
        lines += "a line of text number " + QByteArray::number(i) + "\n";
    TempDir dir;
    // Viewed in place, with the next view mapped ahead (so it is cut short too) or not.
    for (int way : {1, 2})
        for (bool touchAfterCut : {true, false}) {
            const ReadWay reading(way);
            InputPieceBytes = 64 << 10;
            const QString f = dir.write("cut", lines);
            ScriptedWindowServices ws;
            InputText t(ws, f);
            std::string_view piece;
            ASSERT_TRUE(t.next(piece));
            const std::size_t firstSize = piece.size();
            ASSERT_EQ(::truncate(f.toLocal8Bit().constData(), touchAfterCut ? 1000 : 300000), 0);
            if (touchAfterCut) {
                // The piece in hand loses all but its first page.
                std::size_t zeros = 0;
                for (char ch : piece) zeros += ch == 0;
                EXPECT_GT(zeros, firstSize / 2);
            }
            while (t.next(piece)) {
            }
            EXPECT_FALSE(t.ok()) << touchAfterCut;
            EXPECT_TRUE(t.skipReason().isEmpty()) << t.skipReason().toStdString();
            ASSERT_FALSE(ws.errors().empty()) << touchAfterCut;
            const QString report = ws.errors().front().text;
            EXPECT_TRUE(report.contains("Cannot read")) << report.toStdString();
            EXPECT_TRUE(report.contains(f)) << report.toStdString();
            EXPECT_TRUE(report.contains("cut short")) << report.toStdString();
        }
}

// The read-ahead thread serves one input at a time: a second input reads for itself meanwhile,
// an input dropped with a read under way gives the thread back, and a file cut short while its
// next piece is read ahead ends where the file ended. Every input gives its file's bytes.
#ifdef __linux__
// A helper woken beside the thread it helps moves to another processor, and can be moved back
// later; the process's own set of processors stays as it was.
TEST(Processors, AThreadMovedOffAProcessorRunsOnTheOthers) {
    cpu_set_t before;
    CPU_ZERO(&before);
    ASSERT_EQ(::sched_getaffinity(0, sizeof(before), &before), 0);
    std::thread([&] {
        moveOffProcessor(-1);
        const int first = currentProcessor();
        ASSERT_GE(first, 0);
        moveOffProcessor(first);
        cpu_set_t mine;
        CPU_ZERO(&mine);
        ASSERT_EQ(::sched_getaffinity(0, sizeof(mine), &mine), 0);
        if (usableProcessors() < 2) {
            // Nowhere else to go: nothing changes.
            EXPECT_TRUE(CPU_EQUAL(&mine, &before));
            return;
        }
        EXPECT_FALSE(CPU_ISSET(first, &mine));
        EXPECT_EQ(CPU_COUNT(&mine), CPU_COUNT(&before) - 1);
        EXPECT_NE(currentProcessor(), first);
        // Told to leave the one it is on now, it may run on the first one again.
        moveOffProcessor(currentProcessor());
        ASSERT_EQ(::sched_getaffinity(0, sizeof(mine), &mine), 0);
        EXPECT_TRUE(CPU_ISSET(first, &mine));
        EXPECT_NE(currentProcessor(), -1);
    }).join();
    cpu_set_t after;
    CPU_ZERO(&after);
    ASSERT_EQ(::sched_getaffinity(0, sizeof(after), &after), 0);
    EXPECT_TRUE(CPU_EQUAL(&after, &before));
}
#endif

#if defined(__GLIBC__) && !defined(__SANITIZE_ADDRESS__)
// The pages of the process's memory in use, as the system counts them.
std::size_t residentBytes() {
    std::FILE* f = std::fopen("/proc/self/statm", "r");
    unsigned long size = 0, resident = 0;
    const int read = f ? std::fscanf(f, "%lu %lu", &size, &resident) : 0;
    if (f)
        std::fclose(f);
    return read == 2 ? std::size_t(resident) * std::size_t(::sysconf(_SC_PAGESIZE)) : 0;
}

// Memory freed in many small pieces, in the middle of the heap where the allocator keeps it,
// goes back to the system when asked.
TEST(Memory, FreedSmallPiecesGoBackToTheSystem) {
    constexpr std::size_t kPiece = 48, kRun = (std::size_t(64) << 10) / kPiece, kRuns = 512;
    std::vector<std::unique_ptr<char[]>> freed, kept;
    freed.reserve(kRun * kRuns);
    kept.reserve(kRuns);
    for (std::size_t r = 0; r < kRuns; ++r) {
        for (std::size_t k = 0; k < kRun; ++k) {
            freed.emplace_back(new char[kPiece]);
            std::memset(freed.back().get(), 1, kPiece);
        }
        // A piece kept after every run, so that the runs lie inside the heap, not at its top.
        kept.emplace_back(new char[kPiece]);
    }
    freed.clear();
    freed.shrink_to_fit();
    const std::size_t before = residentBytes();
    returnFreedMemory();
    const std::size_t after = residentBytes();
    ASSERT_GT(before, 0u);
    // Some 32 MiB were freed; most of it must leave.
    EXPECT_LT(after + (std::size_t(16) << 20), before) << before << " -> " << after;
}
#endif

TEST(InputText, ReadAheadServesOneInputAtATimeAndLetsDroppedOnesGo) {
    const ReadWay reading(4);
    InputPieceBytes = 64 << 10;
    TempDir dir;
    QByteArray a, b;
    for (int i = 0; i < 40000; ++i) {
        a += "first file, line " + QByteArray::number(i) + (i % 3 ? "\r\n" : "\n");
        b += "second " + QByteArray::number(i * 7) + "\n";
    }
    const QString fa = dir.write("a", a);
    const QString fb = dir.write("b", b);
    ScriptedWindowServices ws;
    auto rest = [](InputText& t) {
        QByteArray joined;
        std::string_view piece;
        while (t.next(piece)) joined.append(piece.data(), qsizetype(piece.size()));
        return joined;
    };
    {
        InputText first(ws, fa);
        std::string_view piece;
        ASSERT_TRUE(first.next(piece));
        EXPECT_TRUE(first.readsAhead());
        QByteArray joined(piece.data(), qsizetype(piece.size()));
        InputText second(ws, fb);
        EXPECT_EQ(rest(second), b);
        EXPECT_FALSE(second.readsAhead());
        joined += rest(first);
        EXPECT_EQ(joined, a);
    }
    for (int dropped = 0; dropped < 20; ++dropped) {
        InputText t(ws, dropped % 2 ? fa : fb);
        std::string_view piece;
        for (int k = 0; k <= dropped % 4; ++k) ASSERT_TRUE(t.next(piece));
    }
    {
        InputText again(ws, fb);
        std::string_view piece;
        ASSERT_TRUE(again.next(piece));
        EXPECT_TRUE(again.readsAhead());
        QByteArray joined(piece.data(), qsizetype(piece.size()));
        joined += rest(again);
        EXPECT_EQ(joined, b);
    }
    {
        InputText cut(ws, fa);
        std::string_view piece;
        ASSERT_TRUE(cut.next(piece));
        QByteArray joined(piece.data(), qsizetype(piece.size()));
        const qsizetype kept = a.size() / 2;
        ASSERT_EQ(::truncate(fa.toLocal8Bit().constData(), kept), 0);
        joined += rest(cut);
        EXPECT_TRUE(cut.ok());
        EXPECT_GE(joined.size(), kept);
        EXPECT_EQ(joined, a.left(joined.size()));
    }
    EXPECT_TRUE(ws.errors().empty());
}

// This process's mappings of the file at `path`, as the system lists them, and the memory
// their pages take (KiB).
struct Mappings {
    int count = 0;
    long rssKiB = 0;
};
Mappings mappingsOf(const QString& path) {
    QFile smaps(QStringLiteral("/proc/self/smaps"));
    Mappings m;
    if (!smaps.open(QIODevice::ReadOnly))
        return {-1, 0};
    const QByteArray name = QFileInfo(path).canonicalFilePath().toLocal8Bit();
    bool ours = false;
    for (const QByteArray& line : smaps.readAll().split('\n')) {
        // A mapping's first line starts with its address range, in lower-case hexadecimal.
        const QByteArray first = line.left(line.indexOf(' '));
        if (first.contains('-') && QByteArray("0123456789abcdef").contains(first.at(0))) {
            ours = line.endsWith(" " + name);
            m.count += ours;
        } else if (ours && line.startsWith("Rss:")) {
            m.rssKiB += line.mid(4).trimmed().split(' ').front().toLong();
        }
    }
    return m;
}

// Takes every file's pages as `cost` while in scope.
struct PagesTakenAs {
    explicit PagesTakenAs(PageCost cost) : saved(AssumedPageCost) { AssumedPageCost = cost; }
    ~PagesTakenAs() { AssumedPageCost = saved; }
    PageCost saved;
};

TEST(FileReader, ViewsShowTheFileAndNoneOutlivesTheReader) {
    const PagesTakenAs cheap(PageCost::Cheap);
    TempDir dir;
    QByteArray bytes(3 << 20, 'x');
    for (int i = 0; i < bytes.size(); ++i) bytes[i] = char('a' + (i * 7 + i / 4096) % 26);
    const QString f = dir.write("big", bytes);
    auto text = [](std::string_view v) { return QByteArray(v.data(), qsizetype(v.size())); };
    {
        FileReader r(f);
        // The view named ahead is the one taken.
        r.mapAhead(5000, 100000);
        EXPECT_EQ(text(r.mapAt(5000, 100000)), bytes.mid(5000, 100000));
        // Another one taken than named: the right bytes all the same.
        r.mapAhead(200000, 100000);
        EXPECT_EQ(text(r.mapAt(300001, 100000)), bytes.mid(300001, 100000));
        // Past the end, both stop at the end.
        r.mapAhead(std::uint64_t(bytes.size()) - 10, 100);
        EXPECT_EQ(text(r.mapAt(std::uint64_t(bytes.size()) - 10, 100)), bytes.right(10));
        // Back to pages already let go of: they are read again.
        for (int i = 0; i < 9; ++i) r.mapAhead(std::uint64_t(i) << 20, 1 << 20);
        EXPECT_EQ(text(r.mapAt(1 << 20, 1 << 20)), bytes.mid(1 << 20, 1 << 20));
        EXPECT_EQ(text(r.mapAt(0, 4096)), bytes.left(4096));
        // One named and never taken.
        r.mapAhead(2 << 20, 4096);
        EXPECT_GE(mappingsOf(f).count, 1);
    }
    EXPECT_EQ(mappingsOf(f).count, 0);
}

// Where the pages prove costly, the view in hand stays good, the next is refused, the pages go
// with the view at once, and the file is still read.
TEST(FileReader, CostlyPagesLeaveTheRestToReads) {
    TempDir dir;
    QByteArray bytes(5 << 20, 'x');
    for (int i = 0; i < bytes.size(); ++i) bytes[i] = char('a' + (i * 5 + i / 4096) % 26);
    const QString f = dir.write("costly", bytes);
    const PagesTakenAs costly(PageCost::Costly);
    {
        FileReader r(f);
        const std::string_view first = r.mapAt(3 << 20, 1 << 20);
        EXPECT_EQ(QByteArray(first.data(), qsizetype(first.size())), bytes.mid(3 << 20, 1 << 20));
        EXPECT_EQ(mappingsOf(f).count, 1);
        EXPECT_TRUE(r.mapAt(4 << 20, 1 << 20).empty());
        EXPECT_EQ(mappingsOf(f).count, 0);
        EXPECT_TRUE(r.mapAt(0, 4096).empty());
        EXPECT_FALSE(r.viewLost());
        QByteArray rest(1 << 20, Qt::Uninitialized);
        EXPECT_EQ(r.readAt(4 << 20, rest.data(), std::size_t(rest.size())), std::size_t(1) << 20);
        EXPECT_EQ(rest, bytes.mid(4 << 20));
    }
}

// A file read from start to end takes a few grains of memory, whatever its size.
// Through the reader itself, and through an input read piece by piece, whether or not its
// caller settles each piece: memory holds a few grains of the file at a time.
TEST(FileReader, PagesBehindTheReadingAreLetGo) {
    TempDir dir;
    QByteArray bytes(40 << 20, 'x');
    for (int i = 0; i < bytes.size(); i += 4096) {
        bytes[i] = char('a' + (i / 4096) % 26);
        if (i % 1000 == 0)
            bytes[i + 1] = '\n';
    }
    const QString f = dir.write("long", bytes);
    const PagesTakenAs cheap(PageCost::Cheap);
    // Asked for few pages, a reader lets go of one grain at a time; else of a few at once.
    for (const bool few : {true, false}) {
        unsigned atOnce = 0;
        {
            FileReader r(f);
            r.holdFewPages(few);
            long most = 0;
            char sum = 0;
            for (std::uint64_t at = 0; at < std::uint64_t(bytes.size()); at += 1 << 20) {
                const std::string_view v = r.mapAt(at, 1 << 20);
                ASSERT_EQ(v.size(), std::size_t(1) << 20);
                r.letGoBefore(at);
                for (std::size_t i = 0; i < v.size(); i += 4096) sum = char(sum + v[i]);
                most = std::max(most, mappingsOf(f).rssKiB);
            }
            atOnce = r.grainsLetGoAtOnce();
            EXPECT_EQ(atOnce == 1, few) << atOnce;
            EXPECT_LE(atOnce, 4u);
            EXPECT_NE(sum, 1);
            // The grain in hand and those not yet let go of before it, as 2 MiB grains, of
            // twenty.
            EXPECT_LE(most, long(atOnce + 1) * (2L << 10)) << few;
            EXPECT_GT(most, 0);
        }
        {
            // The next view's pages are set up ahead only where the usual number is asked for.
            FileReader r(f);
            r.holdFewPages(few);
            ASSERT_EQ(r.mapAt(0, 1 << 20).size(), std::size_t(1) << 20);
            r.mapAhead(8 << 20, 4 << 20);
            const long set = mappingsOf(f).rssKiB;
            EXPECT_TRUE(few ? set < (1L << 10) : set >= (2L << 10)) << few << ": " << set << " KiB";
        }
        const std::uint64_t savedMap = InputMapBytes;
        InputMapBytes = 0;
        for (const bool settled : {false, true}) {
            ScriptedWindowServices ws;
            InputText t(ws, f);
            t.holdFewPages(few);
            std::string_view piece;
            long most = 0;
            std::size_t total = 0;
            char sum = 0;
            while (t.next(piece)) {
                if (settled)
                    t.settle();
                for (std::size_t i = 0; i < piece.size(); i += 4096) sum = char(sum + piece[i]);
                total += piece.size();
                most = std::max(most, mappingsOf(f).rssKiB);
            }
            EXPECT_EQ(total, std::size_t(bytes.size())) << settled;
            EXPECT_NE(sum, 1);
            // The views in hand (two, each two grains wide at most) and the grains before them
            // not yet let go of.
            EXPECT_LE(most, long(4 + atOnce) * (2L << 10)) << settled << few;
            EXPECT_GT(most, 0) << settled;
        }
        InputMapBytes = savedMap;
    }
}

// A bus error that is not about a view of ours still ends the process as it always did.
TEST(InputTextDeathTest, OtherBusErrorsStillEndTheProcess) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    TempDir dir;
    const QString f = dir.write("other", QByteArray(10000, 'x'));
    {
        // Installs the guard.
        const std::uint64_t savedMap = InputMapBytes;
        InputMapBytes = 0;
        ScriptedWindowServices ws;
        InputText t(ws, f);
        std::string_view piece;
        EXPECT_TRUE(t.next(piece));
        InputMapBytes = savedMap;
    }
    EXPECT_DEATH(
        {
            const int fd = ::open(f.toLocal8Bit().constData(), O_RDONLY);
            void* p = ::mmap(nullptr, 8192, PROT_READ, MAP_SHARED, fd, 0);
            if (::ftruncate(::open(f.toLocal8Bit().constData(), O_WRONLY), 0) != 0)
                std::abort();
            volatile char c = static_cast<const char*>(p)[4096];
            (void)c;
        },
        "");
}
