#include "core/Failure.h"
#include "engine/Engine.h"
#include "engine/LineNumbers.h"
#include "engine/Rules.h"
#include "engine/Walk.h"
#include "tests/support/ScriptedWindowServices.h"
#include "tests/support/TempDir.h"
#include "textio/CaseFold.h"
#include "textio/Codec.h"
#include "textio/InputText.h"
#include "textio/Lines.h"
#include "textio/TextFile.h"

#include <QProcess>

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <set>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace vn;
using namespace vn::engine;
using test::ScriptedWindowServices;
using test::TempDir;
using textio::foldsIntoAscii;
using textio::lowerSimple;
using textio::lowersOnlyFromItself;

namespace {

enum class Mode { Blank, Containing, NotContaining, KeysContaining, KeysNotContaining, Numbers };
enum class Enc { EightBit, Utf8Bom, Utf16Le, Utf16Be, Utf32Le, Utf32Be };
constexpr Enc kEncodings[] = {Enc::EightBit, Enc::Utf8Bom, Enc::Utf16Le};
constexpr int kLarge = 3 << 19;  // past the 1 MiB stretch, input piece and write buffer

// Reads inputs in pieces of about `bytes` while in scope, to put piece boundaries everywhere;
// `mapped` views every input in its file's pages, otherwise every input is read into a buffer.
// With `ahead` the reader names each next view ahead, a second thread reads each next piece
// while the walk handles one, or, where none does, a helper thread surveys long pieces ahead of
// the walk; without, the walk's thread does it all. `costly` takes every file's pages
// for costly, so a viewed input is read from its second piece on. A `block` size (bytes; 0
// keeps it) cuts pieces into many survey blocks, which both threads then survey side by side,
// and which lines longer than a block leave empty; a search ignoring case then also lower-cases
// parts of about that size, so that lines cross their bounds too.
struct PieceSize {
    explicit PieceSize(std::size_t bytes, bool mapped = false, bool ahead = true,
                       bool costly = false, std::size_t block = 0)
        : saved(textio::InputPieceBytes),
          savedBlock(engine::detail::SurveyBlockBytes),
          savedFoldPart(engine::detail::FoldPartBytes),
          savedMap(textio::InputMapBytes),
          savedAhead(textio::InputMapAhead),
          savedSurvey(engine::detail::SurveyAhead),
          savedReadAhead(textio::InputReadAhead),
          savedCost(AssumedPageCost) {
        textio::InputPieceBytes = bytes;
        textio::InputMapBytes = mapped ? 0 : UINT64_MAX;
        textio::InputMapAhead = ahead;
        engine::detail::SurveyAhead = ahead;
        textio::InputReadAhead = ahead;
        AssumedPageCost = costly ? PageCost::Costly : PageCost::Cheap;
        if (block) {
            engine::detail::SurveyBlockBytes = block;
            engine::detail::FoldPartBytes = block;
        }
    }
    ~PieceSize() {
        textio::InputPieceBytes = saved;
        textio::InputMapBytes = savedMap;
        textio::InputMapAhead = savedAhead;
        engine::detail::SurveyAhead = savedSurvey;
        textio::InputReadAhead = savedReadAhead;
        AssumedPageCost = savedCost;
        engine::detail::SurveyBlockBytes = savedBlock;
        engine::detail::FoldPartBytes = savedFoldPart;
    }
    std::size_t saved, savedBlock, savedFoldPart;
    std::uint64_t savedMap;
    bool savedAhead, savedSurvey, savedReadAhead;
    PageCost savedCost;
};

QString u16(const char16_t* s) {
    return QString::fromUtf16(s);
}

struct Option1 : LineOptionView {
    bool on = false;
    bool leaveBlankLine() const override { return on; }
};
struct Keywords : KeywordListView {
    QStringList list;
    int count() const override { return int(list.size()); }
    QString text(int k) const override { return list.at(k - 1); }
};
// The window's services: yields may be folded into one per stretch of lines.
struct FoldingServices : ScriptedWindowServices {
    bool foldsYields() const override { return true; }
};
// A console nobody watches: no per-file bar, so no line count ahead of the walk.
struct HiddenBarServices : FoldingServices {
    bool showsFileProgress() const override { return false; }
};

// What one call is asked to do.
struct Call {
    Mode mode;
    QString text = {};      // search text, or the numbers text
    QStringList keys = {};  // keyword modes
    bool ignoreCase = false;
    bool option1 = false;
};

QByteArray encodeInput(const QString& text, Enc e) {
    switch (e) {
        case Enc::EightBit:
            return textio::encodeUtf8Escaped(text);
        case Enc::Utf8Bom:
            return "\xEF\xBB\xBF" + textio::encodeUtf8Escaped(text);
        case Enc::Utf16Le:
            return "\xFF\xFE" + textio::encodeUtf16Le(text);
        case Enc::Utf16Be: {
            QByteArray b = textio::encodeUtf16Le(text);
            for (qsizetype i = 0; i + 1 < b.size(); i += 2) std::swap(b[i], b[i + 1]);
            return "\xFE\xFF" + b;
        }
        case Enc::Utf32Le:
        case Enc::Utf32Be: {
            QByteArray b;
            for (char32_t u : (QStringLiteral("\uFEFF") + text).toUcs4())
                for (int k = 0; k < 4; ++k)
                    b.append(char(u >> (8 * (e == Enc::Utf32Be ? 3 - k : k))));
            return b;
        }
    }
    return {};
}

bool isUnicode(Enc e) {
    return e != Enc::EightBit && e != Enc::Utf8Bom;
}

// Outputs keep the input's class: Unicode input gives UTF-16 LE, and nothing at all (not even a
// byte order mark) when empty.
QByteArray encodeOutput(const QString& text, Enc e) {
    if (text.isEmpty())
        return {};
    if (isUnicode(e))
        return "\xFF\xFE" + textio::encodeUtf16Le(text);
    return encodeInput(text, e);
}

// The break an output takes: its input's first, LF for an input without any.
QString firstBreakOf(const QString& text) {
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text[i] == QLatin1Char('\n'))
            return QStringLiteral("\n");
        if (text[i] == QLatin1Char('\r'))
            return text.mid(i + 1, 1) == QLatin1String("\n") ? QStringLiteral("\r\n")
                                                             : QStringLiteral("\r");
    }
    return QStringLiteral("\n");
}

FileResult runCall(WindowServices& ws, Option1& option1, Keywords& keys, const Call& c,
                   const QString& in, const QString& out) {
    Host host{ws, option1};
    option1.on = c.option1;
    keys.list = c.keys;
    switch (c.mode) {
        case Mode::Blank:
            return RemoveAllBlankLinesWrapper(host, in, out);
        case Mode::Containing:
            return RemoveContaining(host, in, c.text, out, c.ignoreCase);
        case Mode::NotContaining:
            return RemoveNotContaining(host, in, c.text, out, c.ignoreCase);
        case Mode::KeysContaining:
            return RemoveContainingListview(host, in, keys, out, c.ignoreCase);
        case Mode::KeysNotContaining:
            return RemoveNotContainingListview(host, in, keys, out, c.ignoreCase);
        case Mode::Numbers:
            return RemoveN1(host, in, c.text, out);
    }
    return {};
}

// The routines as written line by line on the reader's LineList, as the reference for the
// bulk paths.
bool contains(QString line, QString text, bool ignoreCase) {
    if (line.isEmpty())
        return false;
    if (ignoreCase) {
        line = lowerSimple(line);
        text = lowerSimple(text);
    }
    return line.contains(text);
}

QString reference(const Call& c, const QStringList& lines, const QString& brk) {
    std::set<int> numbers;
    for (const QString& p : c.text.split(QLatin1Char(','))) {
        const auto v = parseNumber(p);
        if (v && std::fabs(*v) < 32768)
            numbers.insert(int(std::nearbyint(*v)));
    }
    QString out;
    for (qsizetype i = 0; i < lines.size(); ++i) {
        const QString& l = lines[i];
        bool removed = false;
        switch (c.mode) {
            case Mode::Blank:
                removed = l.isEmpty();
                break;
            case Mode::Containing:
                removed = contains(l, c.text, c.ignoreCase);
                break;
            case Mode::NotContaining:
                removed = !contains(l, c.text, c.ignoreCase);
                break;
            case Mode::KeysContaining:
            case Mode::KeysNotContaining:
                for (const QString& k : c.keys)
                    removed |= contains(l, k, c.ignoreCase) == (c.mode == Mode::KeysContaining);
                break;
            case Mode::Numbers:
                removed = numbers.count(int(i + 1)) > 0;
                break;
        }
        if (!removed)
            out += l + brk;
        else if (c.option1 && c.mode != Mode::Blank)
            out += brk;
    }
    if (c.mode == Mode::Numbers && !out.isEmpty())
        out.chop(brk.size());
    return out;
}

// Runs a call on `text` in encoding `e` over an existing output and checks the output against
// `expected` (the reference when null).
template <class Services = ScriptedWindowServices>
void check(const Call& c, const QString& text, Enc e, const QString* expected,
           const std::string& what) {
    TempDir dir;
    const QString in = dir.write(QStringLiteral("in"), encodeInput(text, e));
    const QString out = dir.write(QStringLiteral("out"), "previous content");
    QString want;
    if (expected) {
        want = *expected;
    } else {
        ScriptedWindowServices quiet;
        want = reference(c, textio::ReadFileToStringLine(quiet, in), firstBreakOf(text));
    }
    Services ws;
    Option1 option1;
    Keywords keys;
    const FileResult r = runCall(ws, option1, keys, c, in, out);
    EXPECT_TRUE(r.read) << what;
    EXPECT_TRUE(ws.errors().empty()) << what;
    ASSERT_EQ(TempDir::read(out), encodeOutput(want, e)) << what << " enc " << int(e);
}

// A text of many copies of `lines`, ending as the original ends, of more than `bytes` bytes.
QString inflate(const QString& text, int bytes) {
    QString body = text;
    const bool endsInBreak = text.endsWith(QLatin1Char('\n')) || text.endsWith(QLatin1Char('\r'));
    if (!endsInBreak)
        body += QStringLiteral("\r\n");
    QString big;
    while (big.size() < bytes) big += body;
    if (!endsInBreak)
        big.chop(2);
    return big;
}

const QString kAppleText = QStringLiteral("Apple\r\napple\r\npear\r\n");

struct HandCase {
    const char* name;
    Call call;
    QString input, expected;
};

std::vector<HandCase> handCases() {
    using M = Mode;
    const QString keysText = QStringLiteral("A and B\r\nA only\r\nB only\r\nneither\r\n\r\n");
    const QStringList ab{QStringLiteral("A"), QStringLiteral("B")};
    return {
        {"case kept", {M::Containing, "apple"}, kAppleText, "Apple\r\npear\r\n"},
        {"ignore case", {M::Containing, "apple", {}, true}, kAppleText, "pear\r\n"},
        {"not ignore", {M::NotContaining, "apple", {}, true}, kAppleText, "Apple\r\napple\r\n"},
        {"empty text", {M::Containing, ""}, "a\r\n\r\nb", "\r\n"},
        {"empty text not", {M::NotContaining, ""}, "a\r\n\r\nb", "a\r\nb\r\n"},
        {"option1 count", {M::Containing, "x", {}, false, true}, "ax\r\nb\r\nx", "\r\nb\r\n\r\n"},
        {"option1 not", {M::NotContaining, "x", {}, false, true}, "ax\nb\rx", "ax\n\nx\n"},
        {"every line", {M::Containing, "a"}, "a\r\nba\r\n", ""},
        {"breaks", {M::Containing, "z"}, "a\nb\rc\r\n\nd", "a\nb\nc\n\nd\n"},
        {"lone CR first", {M::Containing, "b"}, "a\rb\r\nc\n\rd", "a\rc\r\rd\r"},
        {"no break", {M::Containing, "z"}, "abc", "abc\n"},
        {"option1 LF", {M::Containing, "x", {}, false, true}, "ax\nb\nx\n", "\nb\n\n"},
        {"text with break", {M::Containing, "a\r\nb"}, "a\r\nb", "a\r\nb\r\n"},
        {"kelvin", {M::Containing, "k", {}, true}, "\u212A\r\nx\r\nK", "x\r\n"},
        {"dotted I",
         {M::NotContaining, "\u0130", {}, true},
         "xiy\r\na\r\n\u0130",
         "xiy\r\n\u0130\r\n"},
        {"beyond ascii",
         {M::Containing, "\u00C9T\u00C9", {}, true},
         "\u00e9t\u00e9\r\nete",
         "ete\r\n"},
        {"escapes", {M::Containing, u16(u"\xDCFF")}, u16(u"a\xDCFF\r\nb"), "b\r\n"},
        {"blank", {M::Blank, "", {}, false, true}, "a\r\n\r\n \r\n\n\r", "a\r\n \r\n"},
        {"all blank", {M::Blank}, "\r\n\r\n", ""},
        {"empty file", {M::Blank}, "", ""},
        {"keys A B", {M::KeysContaining, "", ab}, keysText, "neither\r\n\r\n"},
        {"keys not A B", {M::KeysNotContaining, "", ab}, keysText, "A and B\r\n"},
        {"keys empty", {M::KeysContaining}, keysText, keysText},
        {"keys not empty", {M::KeysNotContaining}, keysText, keysText},
        {"keys case", {M::KeysContaining, "", {"RED"}, true}, "Red\r\nblue\r\n", "blue\r\n"},
        {"numbers", {M::Numbers, "1,2,5"}, "1\r\n2\r\n3\r\n4\r\n5\r\n6\r\n", "3\r\n4\r\n6"},
        {"spaces", {M::Numbers, " 1, 3 "}, "1\n2\n3", "2"},
        {"no line", {M::Numbers, "2,2,0,-1,99"}, "1\r\n2\r\n3", "1\r\n3"},
        {"halves", {M::Numbers, "2.5,3.5"}, "1\r\n2\r\n3\r\n4\r\n5", "1\r\n3\r\n5"},
        {"option1 middle", {M::Numbers, "2", {}, false, true}, "a\r\nb\r\nc", "a\r\n\r\nc"},
        {"option1 last", {M::Numbers, "2", {}, false, true}, "a\r\nb", "a\r\n"},
        {"all numbers", {M::Numbers, "1,2"}, "a\r\nb\r\n", ""},
        {"numbers LF", {M::Numbers, "2", {}, false, true}, "a\nb\nc", "a\n\nc"},
        {"numbers LF last", {M::Numbers, "2", {}, false, true}, "a\nb\n", "a\n"},
        {"numbers CR", {M::Numbers, "1"}, "a\rb\r\nc\r", "b\rc"},
        {"blank LF", {M::Blank}, "\na\n\n\nb\r\n\n", "a\nb\n"},
        {"blank CR", {M::Blank}, "a\r\r\rb", "a\rb\r"},
    };
}

}  // namespace

// ---- the routines, case by case, small and large, in every encoding ----

TEST(Engine, HandCasesSmallAndLargeInEveryEncoding) {
    for (const HandCase& c : handCases()) {
        for (Enc e : {Enc::EightBit, Enc::Utf8Bom, Enc::Utf16Le, Enc::Utf16Be, Enc::Utf32Le,
                      Enc::Utf32Be}) {
            // UTF-32 has no form for a lone surrogate.
            const bool utf32 = e == Enc::Utf32Le || e == Enc::Utf32Be;
            if (utf32 && !detail::wellFormed(c.input))
                continue;
            check(c.call, c.input, e, &c.expected, c.name);
            check<FoldingServices>(c.call, c.input, e, &c.expected, c.name);
            if (e != Enc::EightBit && e != Enc::Utf8Bom && e != Enc::Utf16Le)
                continue;
            // Past the stretch, the write buffer and the 16-byte scans; against the reference.
            const QString big = inflate(c.input, kLarge);
            check<FoldingServices>(c.call, big, e, nullptr, std::string(c.name) + " large");
        }
    }
    // The hand expectations and the reference agree, so the reference stands for them above.
    ScriptedWindowServices ws;
    TempDir dir;
    for (const HandCase& c : handCases()) {
        const QString p = dir.write(QStringLiteral("r"), encodeInput(c.input, Enc::Utf16Le));
        EXPECT_EQ(reference(c.call, textio::ReadFileToStringLine(ws, p), firstBreakOf(c.input)),
                  c.expected)
            << c.name;
    }
}

// Ignore case with a text that has an ASCII run: lines are first found by that run in the
// original. Characters beyond ASCII that fold into it (KELVIN SIGN to k, capital I with dot to
// i), letters of the run beyond ASCII elsewhere, and a run found in nearly every line (where
// the search falls back to folding all of it) must give what the reference gives.
TEST(Engine, IgnoreCaseFindsFoldedTextsThroughTheirAsciiPart) {
    const QString lines =
        u16(u"\u212Aab z\u00FCrich\r\n"  // Kelvin folds into k
            u"AB only\r\n"
            u"ZÜRICH \u0130x\r\n"  // Ü folds to ü, İ to i
            u"z\u00FCr\u0130ch\r\n"
            u"\u00DF and ch, rich, KAB\r\n"
            u"plain line\r\n");
    for (const QString& needle : {QStringLiteral("kab"), u16(u"z\u00FCrich"), QStringLiteral("ich"),
                                  u16(u"\u212AAB"), QStringLiteral("ch")}) {
        for (Mode m : {Mode::Containing, Mode::NotContaining}) {
            Call c{m, needle};
            c.ignoreCase = true;
            for (Enc e : kEncodings) {
                const std::string what = "needle " + needle.toStdString() + " mode " +
                                         std::to_string(int(m)) + " enc " + std::to_string(int(e));
                check<FoldingServices>(c, lines, e, nullptr, what);
                check<HiddenBarServices>(c, inflate(lines, kLarge), e, nullptr, what + " large");
            }
        }
    }
}

TEST(Engine, PerLineYieldsOnALargeFile) {
    const Call c{Mode::KeysContaining, "", {"apple", "pe"}, true, true};
    check(c, inflate(kAppleText + QStringLiteral("x\rPEAR\n"), 1 << 20), Enc::Utf8Bom, nullptr,
          "per line");
}

// ---- the bulk paths against the line-by-line reference on random inputs ----

TEST(Engine, MatchesTheReferenceOnRandomInputs) {
    std::mt19937 rng(7);
    const QStringList atoms = {"a",
                               "A",
                               "b",
                               "K",
                               "k",
                               "\u212A",
                               "i",
                               "I",
                               "\u0130",
                               "\u00e9",
                               "\u00C9",
                               "\u00DF",
                               "x",
                               " ",
                               "ab",
                               "AB",
                               "\U0001F600",
                               "\U00010400",
                               "\U00010428",
                               "\u65E5",
                               "\u0131",
                               "7",
                               "\u0436",
                               "\u0416",
                               "\u0440",
                               "\u0420",
                               "\u03C3",
                               "\u03A3",
                               "\u03C2",
                               u16(u"\xDC80"),
                               u16(u"\xDCFF"),
                               u16(u"\xD800"),
                               "\r",
                               "\n",
                               "\r\n",
                               "\r\n",
                               "\r\n",
                               "\n\n",
                               "\r\n\r\n"};
    auto pick = [&](int n) {
        return n <= 1 ? 0 : int(std::uniform_int_distribution<int>(0, n - 1)(rng));
    };
    auto randomText = [&](int units) {
        QString s;
        while (s.size() < units) s += atoms[pick(int(atoms.size()))];
        return s;
    };
    auto needle = [&](const QString& text) {
        switch (pick(5)) {
            case 0:
                return randomText(pick(4));
            case 1: {  // a piece of the text, often at a line's edge
                const int at = pick(int(text.size()));
                return text.mid(at, 1 + pick(4));
            }
            case 2:
                return QStringLiteral("ab");
            case 3:
                return QStringLiteral("K");
            default:
                return text.mid(pick(int(text.size())), 2).toUpper();
        }
    };
    const Mode modes[] = {Mode::Blank,          Mode::Containing,        Mode::NotContaining,
                          Mode::KeysContaining, Mode::KeysNotContaining, Mode::Numbers};
    for (int round = 0; round < 600; ++round) {
        const bool large = round % 50 == 0;
        QString text = large ? inflate(randomText(4000), kLarge) : randomText(pick(200));
        // A third of the inputs have LF breaks only and a third lone CRs only, so that the bulk
        // paths meet every kind of break as the output's.
        if (round % 3 != 0) {
            text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
            if (round % 3 == 1)
                text.replace(QLatin1Char('\r'), QLatin1Char('\n'));
            else
                text.replace(QLatin1Char('\n'), QLatin1Char('\r'));
        }
        // Every other round reads in small pieces, so that piece ends fall inside CR LF pairs,
        // surrogate pairs and lines longer than a piece; half the rounds of each size view the
        // file's pages instead of reading them, half of those naming each next view ahead, and
        // some of them view only the first piece and read the rest.
        // A third of the rounds survey in blocks of a few dozen bytes, often shorter than a line.
        const PieceSize pieces(round % 2 == 0 ? textio::InputPieceBytes
                               : large        ? std::size_t(4096 + pick(60000))
                                              : std::size_t(1 + pick(40)),
                               round % 4 < 2, round % 8 < 4, round % 16 >= 8,
                               round % 3 == 2 ? std::size_t(1 + pick(large ? 400 : 40)) : 0);
        Call c{modes[pick(6)]};
        c.ignoreCase = pick(2) == 1;
        c.option1 = pick(2) == 1;
        c.text = c.mode == Mode::Numbers ? QStringLiteral("1,3, 4,x,7.5,,40000") : needle(text);
        for (int k = pick(4); k > 0; --k) c.keys << needle(text);
        const Enc e = kEncodings[pick(3)];
        const std::string what = "round " + std::to_string(round);
        if (c.mode == Mode::Numbers) {
            // The list's messages and reports are checked elsewhere; here only the bytes.
            TempDir dir;
            const QString in = dir.write(QStringLiteral("in"), encodeInput(text, e));
            const QString out = dir.path(QStringLiteral("out"));
            FoldingServices ws;
            Option1 o;
            Keywords k;
            runCall(ws, o, k, c, in, out);
            ScriptedWindowServices quiet;
            const QString want =
                reference(c, textio::ReadFileToStringLine(quiet, in), firstBreakOf(text));
            ASSERT_EQ(TempDir::read(out), encodeOutput(want, e)) << what;
        } else if (large) {
            if (round % 100 == 0)
                check<FoldingServices>(c, text, e, nullptr, what);
            else
                check<HiddenBarServices>(c, text, e, nullptr, what);
        } else {
            check(c, text, e, nullptr, what);
            check<FoldingServices>(c, text, e, nullptr, what);
            check<HiddenBarServices>(c, text, e, nullptr, what);
        }
    }
}

// Many keywords at once: overlapping, prefixes of each other, repeated, non-ASCII under ignore
// case (with characters whose lower-case form has another length in UTF-8), in every class, read
// in whole and in small pieces. Lines are made of the keywords' own pieces, so that in the
// not-containing mode some lines hold every keyword and are kept.
TEST(Engine, ManyKeywordsMatchTheReference) {
    std::mt19937 rng(13);
    auto pick = [&](int n) { return int(std::uniform_int_distribution<int>(0, n - 1)(rng)); };
    const QStringList pool = {"ab",         "abc",          "abcd",
                              "b",          "bc",           "ca",
                              "Ab",         "ABC",          "\u00e9t\u00e9",
                              "\u00C9T",    "stra\u00DFe",  "\u212Aelvin",
                              "kel",        "\u0130z",      "iz",
                              "\u023Ax",    "\u2C65",       "\U00010400a",
                              "\U00010428", "z\u00fcrich",  "Z\u00DCRICH",
                              "\u00e9",     "a b",          "x",
                              "xx",         "\u65E5\u672C", "\u0131-7"};
    const Mode modes[] = {Mode::KeysContaining, Mode::KeysNotContaining};
    for (int round = 0; round < 160; ++round) {
        const bool large = round % 20 == 0;
        Call c{modes[round % 2]};
        c.ignoreCase = pick(3) != 0;
        c.option1 = pick(2) == 1;
        const int count = 2 + pick(round % 4 == 0 ? 60 : 8);
        for (int k = 0; k < count; ++k) c.keys << pool[pick(int(pool.size()))];
        QString text;
        const int lines = large ? 2000 : pick(30);
        for (int l = 0; l < lines; ++l) {
            // Now and then every keyword on one line (in shuffled case, where case is ignored).
            if (pick(5) == 0) {
                for (const QString& k : c.keys) text += c.ignoreCase && pick(2) ? k.toUpper() : k;
            } else {
                for (int w = pick(6); w > 0; --w) text += pool[pick(int(pool.size()))] + " ";
            }
            const char* breaks[] = {"\r\n", "\r\n", "\n", "\r"};
            text += breaks[pick(round % 3 == 0 ? 4 : 1)];
        }
        const PieceSize pieces(round % 2 == 0 ? textio::InputPieceBytes
                               : large        ? std::size_t(512 + pick(4000))
                                              : std::size_t(1 + pick(40)),
                               round % 4 < 2, round % 8 < 4, round % 16 >= 8,
                               round % 3 == 1 ? std::size_t(1 + pick(100)) : 0);
        const std::string what = "round " + std::to_string(round);
        for (Enc e : kEncodings) {
            check<FoldingServices>(c, large ? inflate(text, kLarge / 4) : text, e, nullptr, what);
            if (!large)
                check(c, text, e, nullptr, what);
        }
    }
}

// ---- live state, yields and progress ----

// Only lines holding the longest keyword can hold them all; where that keyword is rare only its
// lines are searched for the others, where it is in nearly every line the rest of a stretch is
// searched whole. Either way every line holding all keywords stays, here also far past the
// point at which the search gives up on the longest keyword.
TEST(Engine, LinesHoldingEveryKeywordStayWhetherTheLongestIsRareOrEverywhere) {
    for (const bool everywhere : {false, true}) {
        QString text;
        for (int i = 0; i < 20000; ++i) {
            text += QStringLiteral("line %1 ").arg(i);
            if (everywhere || i % 50 == 0)
                text += i % 3 ? QStringLiteral("longword ") : QStringLiteral("LongWord ");
            if (i % 7 == 0)
                text += QStringLiteral("ab ");
            text += QStringLiteral("\r\n");
        }
        Call c{Mode::KeysNotContaining};
        c.keys = QStringList{QStringLiteral("longword"), QStringLiteral("ab")};
        for (const bool ignoreCase : {false, true}) {
            c.ignoreCase = ignoreCase;
            // Folded yields, so that lines are picked in bulk stretches.
            for (Enc e : kEncodings)
                check<FoldingServices>(c, text, e, nullptr,
                                       std::string(everywhere ? "everywhere" : "rare") +
                                           (ignoreCase ? " ignoring case" : ""));
        }
    }
}

TEST(Engine, KeywordAddedDuringAYieldAppliesFromTheNextLine) {
    TempDir dir;
    const QString in = dir.write("in", "a1\r\na2\r\na3\r\na4\r\na5\r\n");
    for (Mode m : {Mode::KeysContaining, Mode::KeysNotContaining}) {
        ScriptedWindowServices ws;
        Option1 option1;
        Keywords keys;
        ws.onYield = [&](int n) {
            if (n == 4)
                keys.list << QStringLiteral("a");  // the yield before line 4
            if (n == 3)
                option1.on = true;  // Option1 from line 3 on
        };
        Host host{ws, option1};
        keys.list = QStringList{"1", "3"};
        const QString out = dir.path("out");
        if (m == Mode::KeysContaining)
            RemoveContainingListview(host, in, keys, out, false);
        else
            RemoveNotContainingListview(host, in, keys, out, false);
        EXPECT_EQ(ws.yields, 5);
        EXPECT_EQ(TempDir::read(out),
                  m == Mode::KeysContaining ? "a2\r\n\r\n\r\n\r\n" : "\r\n\r\n\r\n");
    }
}

TEST(Engine, FoldedYieldsShowEachStretchOneState) {
    // Every line holds "apple"; the list gains it at the second stretch's yield (the window
    // may also take turns while the lines are counted, before any line), so the output is the
    // lines of the first stretch exactly, ended by CR LF.
    QString text;
    for (int i = 0; i < 200000; ++i) text += QStringLiteral("%1 apple\r\n").arg(i, 8);
    for (Enc e : kEncodings) {
        TempDir dir;
        const QString in = dir.write("in", encodeInput(text, e));
        FoldingServices ws;
        Option1 option1;
        Keywords keys;
        ws.onYield = [&](int) {
            // Each stretch shows its progress before its yield.
            if (ws.progress2.size() == 2 && keys.list.isEmpty())
                keys.list << QStringLiteral("APPLE");
        };
        Host host{ws, option1};
        const FileResult r = RemoveContainingListview(host, in, keys, dir.path("out"), true);
        const QByteArray out = TempDir::read(dir.path("out"));
        const QByteArray all = encodeOutput(text, e);
        EXPECT_EQ(r.linesRead, 200000);
        EXPECT_GT(out.size(), 4) << int(e);
        EXPECT_LT(out.size(), all.size() / 2) << int(e);
        EXPECT_TRUE(all.startsWith(out)) << int(e);
        EXPECT_TRUE(out.endsWith(e == Enc::Utf16Le ? QByteArray("\r\0\n\0", 4) : "\r\n"));
        EXPECT_GE(ws.yields, int(all.size() >> 20));
        ASSERT_FALSE(ws.progress2.empty());
        EXPECT_EQ(ws.progress2.back(), 100.0);
        EXPECT_TRUE(std::is_sorted(ws.progress2.begin(), ws.progress2.end()));
    }
}

TEST(Engine, ProgressAndYieldsPerLine) {
    TempDir dir;
    const QString in = dir.write("in", "a\r\nb\r\nc\r\nd");
    const QString out = dir.path("out");
    ScriptedWindowServices ws;
    Option1 option1;
    Host host{ws, option1};
    const FileResult r = RemoveContaining(host, in, "b", out, false);
    EXPECT_EQ(ws.progress2, (std::vector<double>{25, 50, 75, 100}));
    EXPECT_EQ(ws.yields, 4);
    EXPECT_EQ(r.linesRead, 4);
    EXPECT_EQ(r.linesRemoved, 1);
    {
        // Read in pieces, the line count comes from a pass of its own and gives the same bar;
        // a CR LF split between two reads still counts once.
        const QString split = dir.write("split", "a\r\nb\r\n\rc\r\nd\n");
        for (std::size_t size : {1, 2, 3, 4, 5}) {
            const PieceSize pieces(size);
            ScriptedWindowServices small;
            Host smallHost{small, option1};
            RemoveContaining(smallHost, split, "b", out, false);
            EXPECT_EQ(small.progress2, (std::vector<double>{20, 40, 60, 80, 100})) << size;
        }
    }
    ScriptedWindowServices blank;  // the blank-line mode neither yields nor shows progress
    Host blankHost{blank, option1};
    RemoveAllBlankLinesWrapper(blankHost, in, out);
    EXPECT_EQ(blank.yields, 0);
    EXPECT_TRUE(blank.progress2.empty());
    ScriptedWindowServices numbers;  // numbers yield per line, without progress
    Host numbersHost{numbers, option1};
    RemoveN1(numbersHost, in, "1", out);
    EXPECT_EQ(numbers.yields, 4);
    EXPECT_TRUE(numbers.progress2.empty());
}

TEST(Engine, CountingALongFileGivesTheWindowItsTurns) {
    TempDir dir;
    QByteArray text;
    for (int i = 0; i < 2000; ++i) text += "line " + QByteArray::number(i) + "\r\n";
    const QString in = dir.write("in", text);
    const PieceSize pieces(64);  // about 400 reads for the count, so several turns
    Option1 option1;
    {
        FoldingServices ws;
        int beforeFirstLine = 0;
        ws.onYield = [&](int) { beforeFirstLine += ws.progress2.empty() ? 1 : 0; };
        Host host{ws, option1};
        const FileResult r = RemoveContaining(host, in, "line 1", dir.path("out"), false);
        EXPECT_GE(beforeFirstLine, 4);
        EXPECT_EQ(r.linesRead, 2000);
        EXPECT_EQ(r.linesRemoved, 1111);  // line 1, 10-19, 100-199, 1000-1999
        EXPECT_EQ(ws.progress2.back(), 100);
    }
    {
        // Closing the window during the count stops before the first line.
        const QString out = dir.write("kept", "keep me");
        FoldingServices ws;
        ws.onYield = [&](int) { ws.quit = true; };
        Host host{ws, option1};
        const FileResult r = RemoveContaining(host, in, "line 1", out, false);
        EXPECT_TRUE(ws.progress2.empty());
        EXPECT_EQ(r.linesRead, 0);
        EXPECT_EQ(TempDir::read(out), "keep me");
    }
    {
        // With no bar to place there is no count: the same result, fewer turns, no bar set.
        FoldingServices shown;
        HiddenBarServices hidden;
        Host shownHost{shown, option1}, hiddenHost{hidden, option1};
        const FileResult a = RemoveContaining(shownHost, in, "line 1", dir.path("a"), false);
        const FileResult b = RemoveContaining(hiddenHost, in, "line 1", dir.path("b"), false);
        EXPECT_EQ(b.linesRead, a.linesRead);
        EXPECT_EQ(b.linesRemoved, a.linesRemoved);
        EXPECT_EQ(TempDir::read(dir.path("b")), TempDir::read(dir.path("a")));
        EXPECT_TRUE(hidden.progress2.empty());
        EXPECT_LT(hidden.yields, shown.yields);
    }
}

// ---- outputs that must stay as they were ----

TEST(Engine, UnreadableInputAndQuitLeaveTheOutputAlone) {
    for (Mode m : {Mode::Blank, Mode::Containing, Mode::NotContaining, Mode::KeysContaining,
                   Mode::KeysNotContaining, Mode::Numbers}) {
        TempDir dir;
        const QString out = dir.write("out", "keep me");
        for (bool quit : {false, true}) {
            ScriptedWindowServices ws;
            ws.onYield = [&](int) { ws.quit = quit; };
            Option1 option1;
            Keywords keys;
            const Call c{m, m == Mode::Numbers ? "1" : "x"};
            const QString in = quit ? dir.write("in", "ax\r\nb\r\n") : dir.path("missing");
            const FileResult r = runCall(ws, option1, keys, c, in, out);
            if (quit && m == Mode::Blank)
                continue;  // never yields, so never stops
            EXPECT_EQ(TempDir::read(out), "keep me") << int(m) << quit;
            EXPECT_EQ(r.read, quit);
            EXPECT_EQ(ws.errors().empty(), quit) << int(m);  // the reader reports the missing file
        }
        EXPECT_EQ(dir.entries(), (QStringList{"in", "out"}));  // no temporary file left
    }
}

TEST(Engine, WriteFailuresAreReportedOnceUnderTheWriter) {
    TempDir dir;
    const QString in = dir.write("in", "a\r\nb\r\nc\r\n");
    const QString out = dir.path("no/such/folder/out");
    for (Mode m : {Mode::Containing, Mode::Numbers}) {
        ScriptedWindowServices ws;
        Option1 option1;
        Keywords keys;
        runCall(ws, option1, keys, {m, m == Mode::Numbers ? "2" : "b"}, in, out);
        ASSERT_EQ(ws.errors().size(), 1u);
        EXPECT_TRUE(ws.errors()[0].text.contains(
            m == Mode::Numbers ? "SaveStringToFileFSO at line 104" : "AppendStringFSO at line 108"))
            << ws.errors()[0].text.toStdString();
    }
}

// ---- files left as they were ----

namespace {

struct InodeStamp {
    ino_t inode;
    timespec mtime;
    bool operator==(const InodeStamp& o) const {
        return inode == o.inode && mtime.tv_sec == o.mtime.tv_sec &&
               mtime.tv_nsec == o.mtime.tv_nsec;
    }
};

// The file's identity, after setting its time to a second in the past so a rewrite shows.
InodeStamp stampOf(const QString& path, bool age = false) {
    const QByteArray p = path.toLocal8Bit();
    if (age) {
        const timespec times[2] = {{1000000000, 0}, {1000000000, 0}};
        EXPECT_EQ(::utimensat(AT_FDCWD, p.constData(), times, 0), 0);
    }
    struct stat st {};
    EXPECT_EQ(::stat(p.constData(), &st), 0);
    return {st.st_ino, st.st_mtim};
}

const Mode kModes[] = {Mode::Blank,          Mode::Containing,        Mode::NotContaining,
                       Mode::KeysContaining, Mode::KeysNotContaining, Mode::Numbers};

// A call in `m` that removes nothing from lines holding "keep" and no blank line.
Call keepingCall(Mode m) {
    switch (m) {
        case Mode::Containing:
            return {m, "absent"};
        case Mode::NotContaining:
            return {m, "keep"};
        case Mode::KeysContaining:
            return {m, "", {"absent"}};
        case Mode::KeysNotContaining:
            return {m, "", {"keep"}};
        case Mode::Numbers:
            return {m, "0"};
        default:
            return {m};
    }
}

}  // namespace

TEST(Engine, AnInPlaceResultEqualToTheInputLeavesTheFileUntouched) {
    struct Case {
        const char* name;
        Call call;
        QString text;
        bool same;  // the result is the input byte for byte
    };
    std::vector<Case> cases;
    for (Mode m : kModes) {
        // The line-number mode cuts the final break, so its input that stays has none.
        const bool numbers = m == Mode::Numbers;
        for (const char* brk : {"\r\n", "\n", "\r"}) {
            const QString b = QString::fromLatin1(brk);
            QString text = "keep 1" + b + "keep 2" + b + "keep 3";
            if (!numbers)
                text += b;
            cases.push_back({"nothing removed", keepingCall(m), text, true});
        }
        // Same size, other bytes: a mixed break made the first one.
        cases.push_back(
            {"mixed breaks", keepingCall(m), QStringLiteral("keep\nkeep\rkeep\n"), false});
    }
    // A removed empty line leaves an empty line: the bytes are the same, which only a compare
    // can tell.
    cases.push_back({"option1 blank",
                     {Mode::NotContaining, "keep", {}, false, true},
                     QStringLiteral("keep\r\n\r\nkeep\r\n"),
                     true});
    cases.push_back({"option1 not blank",
                     {Mode::Containing, "x", {}, false, true},
                     QStringLiteral("keep\r\nx\r\nkeep\r\n"),
                     false});
    // The line-number mode adds the missing final break and cuts it again.
    cases.push_back({"numbers no final break", {Mode::Numbers, "9"}, "keep\r\nkeep", true});
    cases.push_back({"final break added", keepingCall(Mode::Containing), "keep\nkeep", false});

    for (const Case& c : cases) {
        for (Enc e : {Enc::EightBit, Enc::Utf8Bom, Enc::Utf16Le, Enc::Utf16Be}) {
            const std::string what = std::string(c.name) + " mode " +
                                     std::to_string(int(c.call.mode)) + " enc " +
                                     std::to_string(int(e)) + " " + c.text.toStdString();
            TempDir dir;
            const QByteArray bytes = encodeInput(c.text, e);
            const QString in = dir.write("in", bytes);
            const InodeStamp before = stampOf(in, true);
            ScriptedWindowServices ws;
            Option1 option1;
            Keywords keys;
            const FileResult r = runCall(ws, option1, keys, c.call, in, in);
            // UTF-16 BE comes back as UTF-16 LE, so it is always rewritten.
            const bool same = c.same && e != Enc::Utf16Be;
            EXPECT_EQ(r.unchanged, same) << what;
            EXPECT_EQ(stampOf(in) == before, same) << what;
            EXPECT_TRUE(ws.errors().empty()) << what;
            if (same)
                EXPECT_EQ(TempDir::read(in), bytes) << what;
            EXPECT_EQ(dir.entries(), QStringList{"in"}) << what;
        }
    }
    // An output elsewhere is written even when it equals its input.
    TempDir dir;
    const QString in = dir.write("in", "keep\n");
    const QString out = dir.write("out", "keep\n");
    const InodeStamp before = stampOf(out, true);
    ScriptedWindowServices ws;
    Option1 option1;
    Keywords keys;
    const FileResult r = runCall(ws, option1, keys, keepingCall(Mode::Containing), in, out);
    EXPECT_FALSE(r.unchanged);
    EXPECT_FALSE(stampOf(out) == before);
    EXPECT_EQ(TempDir::read(out), "keep\n");
}

TEST(Engine, BinaryInputsAreLeftAloneInEveryModeAndClass) {
    // Small pieces read into a buffer (the last two places lie well past the first piece), and
    // one piece of many survey blocks viewed in place (they lie past its first block, where the
    // helper surveying ahead meets them first), once in blocks of 100 bytes, which the walk's
    // thread and the helper survey side by side.
    for (const int way : {0, 1, 2}) {
        const bool mapped = way > 0;
        QString lines;
        for (int i = 0; i < (mapped ? 24000 : 400); ++i)
            lines += QStringLiteral("line %1 x\r\n").arg(i);
        const QChar nul(0);
        const QString places[] = {nul + lines, lines + nul,
                                  lines.left(lines.size() - 30) + nul + lines.right(30)};
        const PieceSize pieces(mapped ? std::size_t(1) << 20 : 512, mapped, true, false,
                               way == 2 ? 100 : 0);
        for (Mode m : kModes) {
            for (Enc e : {Enc::EightBit, Enc::Utf8Bom, Enc::Utf16Le, Enc::Utf16Be, Enc::Utf32Le,
                          Enc::Utf32Be}) {
                for (const QString& text : places) {
                    for (bool inPlace : {true, false}) {
                        const std::string what = "mode " + std::to_string(int(m)) + " enc " +
                                                 std::to_string(int(e)) + " at " +
                                                 std::to_string(text.indexOf(nul)) +
                                                 (inPlace ? " in place" : "");
                        TempDir dir;
                        const QByteArray bytes = encodeInput(text, e);
                        const QString in = dir.write("in", bytes);
                        const QString out = inPlace ? in : dir.write("out", "previous content");
                        const InodeStamp before = stampOf(out, true);
                        // Without a visible bar nothing reads the input ahead: the walk itself
                        // must find the NUL before any result is put in place.
                        for (int kind : {0, 1, 2}) {
                            ScriptedWindowServices plain;
                            FoldingServices folding;
                            HiddenBarServices hidden;
                            ScriptedWindowServices& ws = kind == 0   ? plain
                                                         : kind == 1 ? folding
                                                                     : hidden;
                            Option1 option1;
                            Keywords keys;
                            const Call c{m, m == Mode::Numbers ? "1" : "x", {"x"}, false, true};
                            const FileResult r = runCall(ws, option1, keys, c, in, out);
                            EXPECT_TRUE(r.read) << what;
                            EXPECT_FALSE(r.skipped.isEmpty()) << what;
                            EXPECT_FALSE(r.unchanged) << what;
                            EXPECT_TRUE(ws.errors().empty()) << what;
                        }
                        EXPECT_TRUE(stampOf(out) == before) << what;
                        EXPECT_EQ(TempDir::read(in), bytes) << what;
                        if (!inPlace)
                            EXPECT_EQ(TempDir::read(out), "previous content") << what;
                        EXPECT_EQ(dir.entries().size(), inPlace ? 1 : 2) << what;
                    }
                }
            }
        }
    }
}

// A child forked from the process has none of its threads: the survey helper, the read-ahead
// thread and the early-sync thread it needs are made anew there, rather than waited for.
TEST(Engine, AChildForkedAfterTheHelpersStartedMakesItsOwn) {
#if defined(__SANITIZE_ADDRESS__)
    // The address sanitizer's allocator (this compiler's) takes no locks around a fork: a helper
    // that frees a block just then leaves the child's first thread waiting for ever. The C
    // library's allocator does, and the plain build runs this.
    GTEST_SKIP() << "the address sanitizer's allocator is not safe across a fork with threads";
#endif
    TempDir dir;
    QByteArray text;
    for (int i = 0; i < 300000; ++i)
        text += "line " + QByteArray::number(i) + (i % 3 ? " x\r\n" : "\r\n");
    const QString in = dir.write("in.txt", text);
    const Call c{Mode::NotContaining, "x"};
    // Viewed in place, the helper surveys and picks; read into buffers, the read-ahead thread
    // reads. The output (over 1 MiB) is synced while it is written.
    for (const bool costly : {false, true}) {
        const PieceSize pieces(std::size_t(1) << 20, true, true, costly);
        ScriptedWindowServices ws;
        Option1 option1;
        Keywords keys;
        ASSERT_TRUE(runCall(ws, option1, keys, c, in, dir.path("parent.txt")).read);
        const QByteArray want = TempDir::read(dir.path("parent.txt"));
        ASSERT_GT(want.size(), 1 << 20);
        const pid_t child = ::fork();
        if (child == 0) {
            ::alarm(60);  // a wait for a thread that is not there ends here
            ScriptedWindowServices cws;
            Option1 co;
            Keywords ck;
            const FileResult r = runCall(cws, co, ck, c, in, dir.path("child.txt"));
            ::_exit(r.read && TempDir::read(dir.path("child.txt")) == want ? 0 : 1);
        }
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
            << (costly ? "read" : "viewed") << " status " << status;
    }
}

// Services that are asked to stop after a number of looks, as a signal arrives at any moment.
struct StopAfter : ScriptedWindowServices {
    explicit StopAfter(int looks) : left(looks) {}
    mutable int left;
    bool quitRequested() const override { return left-- <= 0; }
};

TEST(Engine, AStopMidwayInEveryModeDropsTheOutput) {
    QByteArray text;
    for (int i = 0; i < 3000; ++i) text += "line " + QByteArray::number(i) + " x\n";
    const PieceSize pieces(1024);  // many pieces, so every mode looks many times
    for (Mode m : kModes) {
        for (bool inPlace : {true, false}) {
            TempDir dir;
            const QString in = dir.write("in", text);
            const QString out = inPlace ? in : dir.write("out", "previous content");
            const QByteArray old = TempDir::read(out);
            const InodeStamp before = stampOf(out, true);
            StopAfter ws(8);
            Option1 option1;
            Keywords keys;
            const FileResult r =
                runCall(ws, option1, keys, {m, m == Mode::Numbers ? "1" : "x", {"x"}}, in, out);
            const std::string what =
                "mode " + std::to_string(int(m)) + (inPlace ? " in place" : "");
            EXPECT_TRUE(r.stopped) << what;
            EXPECT_GT(r.linesRead, 0) << what << ": it stopped inside the file";
            EXPECT_LT(r.linesRead, 3000) << what;
            EXPECT_EQ(TempDir::read(out), old) << what;
            EXPECT_TRUE(stampOf(out) == before) << what;
            EXPECT_EQ(dir.entries().size(), inPlace ? 1 : 2) << what;
            EXPECT_TRUE(ws.errors().empty()) << what;
        }
    }
}

// ---- the line-number list ----

TEST(LineNumbers, NumericTestAndConversion) {
    struct Row {
        const char* piece;
        std::optional<double> value;
    };
    const Row rows[] = {
        {"5", 5},     {" 5 ", 5},    {"\t+5", 5},    {"-3", -3},         {"2.5", 2.5}, {".5", 0.5},
        {"5.", 5},    {"1e3", 1000}, {"1E+1", 10},   {"25e-1", 2.5},     {"", {}},     {" ", {}},
        {".", {}},    {"e5", {}},    {"5e", {}},     {"1 2", {}},        {"1,5", {}},  {"0x10", {}},
        {"&H10", {}}, {"++1", {}},   {"\u0665", {}}, {"1e999", HUGE_VAL}};
    for (const Row& r : rows)
        EXPECT_EQ(parseNumber(QString::fromUtf8(r.piece)), r.value) << r.piece;
    EXPECT_EQ(toInt16(2.5), 2);
    EXPECT_EQ(toInt16(3.5), 4);
    EXPECT_EQ(toInt16(-2.5), -2);
    EXPECT_EQ(toInt16(32767.4), 32767);
    EXPECT_EQ(toInt16(-32768), -32768);
    EXPECT_THROW(toInt16(32767.5), Failure);
    EXPECT_THROW(toInt16(40000), Failure);
    EXPECT_THROW(toInt16(HUGE_VAL), Failure);
}

TEST(LineNumbers, MessagesAndReportsPerFile) {
    TempDir dir;
    const QString in = dir.write("in", "a\r\nb\r\nc\r\n");
    const QString out = dir.path("out");
    ScriptedWindowServices ws;
    Option1 option1;
    Host host{ws, option1};
    RemoveN1(host, in, "x,2,40000,", out);
    ASSERT_EQ(ws.boxes.size(), 3u);
    EXPECT_EQ(ws.boxes[0].text, "One of the inputs was not a number");
    EXPECT_EQ(ws.boxes[0].title, QString());
    EXPECT_EQ(ws.boxes[0].buttons, Buttons::Ok);
    EXPECT_TRUE(ws.boxes[1].text.contains("Overflow"));
    EXPECT_TRUE(ws.boxes[1].text.contains("RemoveN1 at line 110"));
    EXPECT_EQ(ws.boxes[2].text, "One of the inputs was not a number");
    EXPECT_EQ(TempDir::read(out), "a\r\nc");
    // An empty list reads and writes nothing.
    const FileResult r = RemoveN1(host, in, "", dir.path("none"));
    EXPECT_FALSE(r.read);
    EXPECT_FALSE(QFile::exists(dir.path("none")));
}

// ---- helpers the bulk paths rest on ----

TEST(CaseFold, SimpleMappingPerCodePoint) {
    EXPECT_EQ(lowerSimple(u"A\u212A\u0130\u00C9\U00010400z"), u16(u"aki\u00e9\U00010428z"));
    EXPECT_EQ(lowerSimple(u"\xD800"
                          u"A\xDC80"),
              u16(u"\xD800"
                  u"a\xDC80"));                                   // lone ones stay
    EXPECT_NE(u16(u"\u0130").toLower(), lowerSimple(u"\u0130"));  // the full mapping differs
    EXPECT_EQ(foldsIntoAscii(), (std::vector<char32_t>{0x130, 0x212A}));
}

// A search ignoring case looks for a text as it stands only where no other code point lower-cases
// into any of its own: signs, digits and scripts without case, and the few lower-case letters
// nothing else maps to (dotless i: the capital I lower-cases to i).
TEST(CaseFold, WhatOnlyItselfLowerCasesTo) {
    for (char32_t c : {U'7', U'-', U' ', U'\u65E5', U'\u0131', U'\u05D0', U'\U0001F600'})
        EXPECT_TRUE(lowersOnlyFromItself(c)) << std::hex << unsigned(c);
    // Reached from a capital, from a sign (KELVIN SIGN, OHM SIGN, U+0130), or itself upper-case.
    for (char32_t c : {U'a', U'k', U'i', U'A', U'\u00e9', U'\u00DF', U'\u03C9', U'\u00C9',
                       U'\U00010428', char32_t(0xD800)})
        EXPECT_FALSE(lowersOnlyFromItself(c)) << std::hex << unsigned(c);
}

TEST(Lines, FastScansMatchTheUnitByUnitRule) {
    std::mt19937 rng(3);
    for (int round = 0; round < 3000; ++round) {
        // Now and then longer than the scan's counters hold before they are summed.
        std::string s(std::size_t(round % 100 == 0 ? rng() % 600000 : rng() % 80), 'x');
        const char* alphabet = round % 7 == 0    ? "\r\n\r\n"
                               : round % 11 == 0 ? "a\0\r\n\0"
                                                 : "ab\r\n\xC3";
        for (char& ch : s) ch = alphabet[rng() % (round % 3 == 0 ? 5 : 4)];
        // Some with long lines, so the scans meet whole vectors without a break.
        if (round % 4 == 1)
            for (char& ch : s)
                if ((ch == '\r' || ch == '\n') && rng() % 10 != 0)
                    ch = 'a';
        const std::u16string w(s.begin(), s.end());
        std::size_t lines = 0;
        textio::LineCursor<char> cursor{std::string_view(s)};
        for (std::string_view l; cursor.next(l);) ++lines;
        bool crlf = true;
        for (std::size_t i = 0; i < s.size(); ++i) {
            if (s[i] == '\r' && (i + 1 == s.size() || s[i + 1] != '\n'))
                crlf = false;
            if (s[i] == '\n' && (i == 0 || s[i - 1] != '\r'))
                crlf = false;
        }
        // The counts of the vector steps (of each width the processor has) and of the plain
        // unit-by-unit loop agree exactly.
        textio::BreakTally plain;
        textio::detail::tallyUnits(s.data(), 0, 0, s.size(), plain);
        for (bool wide : {true, false}) {
            textio::detail::WideStepsAllowed = wide;
            const auto c8 = textio::censusOf(std::string_view(s));
            const auto c16 = textio::censusOf(std::u16string_view(w));
            ASSERT_EQ(c8.lines, lines);
            ASSERT_EQ(c16.lines, lines);
            ASSERT_EQ(c8.onlyCrLf, crlf);
            ASSERT_EQ(c16.onlyCrLf, crlf);
            textio::BreakTally t8, t16;
            textio::detail::tallyBreaks(std::string_view(s), t8);
            textio::detail::tallyBreaks(std::u16string_view(w), t16);
            for (const textio::BreakTally& t : {t8, t16}) {
                ASSERT_EQ(t.cr, plain.cr);
                ASSERT_EQ(t.lf, plain.lf);
                ASSERT_EQ(t.pairs, plain.pairs);
                ASSERT_EQ(t.nul, plain.nul);
            }
        }
        textio::detail::WideStepsAllowed = true;
        if (s.size() > 100)
            continue;
        for (std::size_t pos = 0; pos <= s.size(); ++pos) {
            std::size_t end = pos;
            while (end < s.size() && s[end] != '\r' && s[end] != '\n') ++end;
            ASSERT_EQ(textio::lineEndAt(std::string_view(s), pos), end);
            ASSERT_EQ(textio::lineEndAt(std::u16string_view(w), pos), end);
            std::size_t start = pos;
            while (start > 0 && s[start - 1] != '\r' && s[start - 1] != '\n') --start;
            ASSERT_EQ(textio::lineStartAt(std::string_view(s), pos), start);
            ASSERT_EQ(textio::lineStartAt(std::u16string_view(w), pos), start);
        }
    }
}

TEST(Engine, AnInputChangedByAnotherProgramDuringTheRunIsLeftAsThatProgramMadeIt) {
    // Another process changes the file while the run waits in a yield, midway through it: the
    // save, the appended line or the truncation must survive, and the run must say so.
    struct Case {
        const char* name;
        const char* command;  // run with the file as $1
        QByteArray after;
    };
    // Read into a buffer, and viewed in the file's pages a few small pieces at a time (a
    // truncation then takes pages from under the piece in hand).
    for (const bool mapped : {false, true}) {
        const PieceSize pieces(mapped ? 512 : textio::InputPieceBytes, mapped);
        QByteArray before = "a1\r\na2\r\na3\r\na4\r\n";
        if (mapped)
            for (int i = 5; i < 3000; ++i) before += "a" + QByteArray::number(i) + "\r\n";
        const std::vector<Case> cases = {
            {"saved over", "printf 'saved\\r\\n' > \"$1.new\" && mv \"$1.new\" \"$1\"",
             "saved\r\n"},
            {"appended to", "printf 'a5\\r\\n' >> \"$1\"", before + "a5\r\n"},
            {"truncated", ": > \"$1\"", ""},
        };
        for (const Case& c : cases) {
            TempDir dir;
            const QString file = dir.write("in.txt", before);
            ScriptedWindowServices ws;
            Option1 option1;
            ws.onYield = [&](int n) {
                if (n == 2)
                    ASSERT_EQ(QProcess::execute("sh", {"-c", c.command, "sh", file}), 0) << c.name;
            };
            Host host{ws, option1};
            RemoveContaining(host, file, QStringLiteral("a2"), file, false);
            EXPECT_EQ(TempDir::read(file), c.after) << c.name;
            ASSERT_EQ(ws.errors().size(), 1u) << c.name;
            const QString& report = ws.errors()[0].text;
            EXPECT_TRUE(report.contains("changed during the run") ||
                        (mapped && report.contains("cut short")))
                << c.name << ": " << report.toStdString();
            EXPECT_TRUE(report.contains(file)) << c.name;
            EXPECT_EQ(dir.entries(), QStringList{"in.txt"}) << c.name;
        }
    }
}
