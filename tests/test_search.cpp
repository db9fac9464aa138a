#include "engine/FewFinder.h"
#include "engine/Finder.h"
#include "engine/FoldedText.h"
#include "engine/MultiFinder.h"
#include "textio/CaseFold.h"
#include "textio/Codec.h"

#include <gtest/gtest.h>

#include <QString>

#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

using namespace vn;
using namespace vn::engine;

namespace {

// Every (end position, pattern) pair, found the slow way.
template <class CharT>
std::set<std::pair<std::size_t, std::basic_string<CharT>>> naiveMatches(
    const std::basic_string<CharT>& text, const std::vector<std::basic_string<CharT>>& patterns) {
    std::set<std::pair<std::size_t, std::basic_string<CharT>>> out;
    for (const auto& p : patterns) {
        if (p.empty())
            continue;
        for (std::size_t i = 0; i + p.size() <= text.size(); ++i)
            if (text.compare(i, p.size(), p) == 0)
                out.insert({i + p.size(), p});
    }
    return out;
}

template <class CharT>
void checkAgainstNaive(const std::basic_string<CharT>& text,
                       const std::vector<std::basic_string<CharT>>& patterns,
                       const std::string& what) {
    using View = std::basic_string_view<CharT>;
    std::vector<View> views(patterns.begin(), patterns.end());
    const auto want = naiveMatches(text, patterns);
    std::map<int, std::basic_string<CharT>> byId;
    for (const auto& p : patterns)
        if (!p.empty())
            byId[MultiFinder<CharT>(views).idOf(p)] = p;
    for (std::size_t cells : {MultiFinder<CharT>::kDenseCells, std::size_t(0)}) {
        const MultiFinder<CharT> f(views, cells);
        ASSERT_EQ(f.dense(), cells != 0) << what;
        ASSERT_EQ(f.patternCount(), byId.size()) << what;
        std::set<std::pair<std::size_t, std::basic_string<CharT>>> got;
        auto c = f.startAt(0);
        while (f.next(text.data(), text.size(), c)) {
            std::size_t before = got.size();
            f.forEachEnding(c, [&](int id) { got.insert({c.pos, byId.at(id)}); });
            ASSERT_GT(got.size(), before) << what << ": a stop with no pattern ending";
        }
        ASSERT_EQ(c.pos, text.size()) << what;
        ASSERT_EQ(got, want) << what << (cells ? " (table)" : " (links)");
        // A fresh scan from any position stops where the first match after it ends.
        for (std::size_t from = 0; from <= text.size(); ++from) {
            std::size_t first = MultiFinder<CharT>::npos;
            for (const auto& m : want) {
                const std::size_t start = m.first - m.second.size();
                if (start >= from)
                    first = std::min(first, m.first);
            }
            ASSERT_EQ(f.findEnd(text.data(), from, text.size()), first) << what << " from " << from;
        }
    }
}

std::u16string wide(const std::string& s) {
    return std::u16string(s.begin(), s.end());
}

}  // namespace

TEST(MultiFinder, FindsWhatANaiveSearchFinds) {
    struct Case {
        const char* name;
        std::string text;
        std::vector<std::string> patterns;
    };
    const std::vector<Case> cases = {
        {"overlapping", "ushers and his hers", {"he", "she", "his", "hers"}},
        {"prefixes", "aaaaab aab", {"a", "aa", "aaa", "aab", "b"}},
        {"suffixes", "xabcd abcd bcd", {"abcd", "bcd", "cd", "d"}},
        {"equal ones", "market market", {"market", "market", "ket"}},
        {"empty one", "abc", {"", "b"}},
        {"none given", "abc", {}},
        {"nothing found", "abc", {"x", "yz"}},
        {"at the edges", "abxab", {"ab", "xab", "abx"}},
        {"breaks between", "ab\r\nab\ncab", {"ab", "b\r", "cab"}},
        {"high bytes", "caf\xC3\xA9 \xC3\xA9t\xC3\xA9\xFF", {"\xC3\xA9", "\xA9t", "\xFF", "f\xC3"}},
        {"fail chain", "abcabcabd", {"abcabd", "bcab", "cabd", "abd"}},
    };
    for (const Case& c : cases) {
        checkAgainstNaive(c.text, c.patterns, c.name);
        std::vector<std::u16string> w;
        for (const auto& p : c.patterns) w.push_back(wide(p));
        checkAgainstNaive(wide(c.text), w, std::string(c.name) + " (UTF-16)");
    }
    // Units above 0xFF in UTF-16: surrogates, and units that share a low byte with a pattern's.
    checkAgainstNaive(std::u16string(u"\U0001F600x\u0161\u0061\U0001F600"),
                      {u"\xDE00", u"\u0161", u"a\xD83D", u"x"}, "wide units");

    // Random texts over small alphabets, where patterns overlap and nest often.
    std::mt19937 rng(11);
    for (int round = 0; round < 400; ++round) {
        const int letters = 2 + int(rng() % 4);
        auto word = [&](std::size_t n) {
            std::string s;
            for (std::size_t i = 0; i < n; ++i) s += char('a' + rng() % letters);
            return s;
        };
        const std::string text = word(rng() % 60);
        std::vector<std::string> patterns;
        for (int k = int(rng() % 12); k > 0; --k) patterns.push_back(word(1 + rng() % 5));
        checkAgainstNaive(text, patterns, "round " + std::to_string(round));
    }
}

namespace {

// The first start of any pattern at or after `from` that ends by `end`, found the slow way.
template <class CharT>
std::size_t naiveFirstStart(const std::basic_string<CharT>& text,
                            const std::vector<std::basic_string<CharT>>& patterns, std::size_t from,
                            std::size_t end) {
    for (std::size_t i = from; i < end; ++i)
        for (const auto& p : patterns)
            if (i + p.size() <= end && text.compare(i, p.size(), p) == 0)
                return i;
    return FewFinder<CharT>::npos;
}

template <class CharT>
void checkFewAgainstNaive(const std::basic_string<CharT>& text,
                          const std::vector<std::basic_string<CharT>>& patterns,
                          const std::string& what) {
    using View = std::basic_string_view<CharT>;
    const std::vector<View> views(patterns.begin(), patterns.end());
    ASSERT_TRUE(FewFinder<CharT>::suits(views)) << what;
    const FewFinder<CharT> f(views);
    // Ends inside the text too: a pattern that would run past the end is not there.
    for (std::size_t end : {text.size(), text.size() * 2 / 3, std::size_t(40)}) {
        end = std::min(end, text.size());
        for (std::size_t from = 0; from <= end; ++from)
            ASSERT_EQ(f.find(text.data(), from, end), naiveFirstStart(text, patterns, from, end))
                << what << " from " << from << " to " << end;
    }
}

}  // namespace

// The few-pattern search against the plain definition, on texts long enough for many vectors:
// patterns of one unit and longer ones, prefixes of each other, sharing their fingerprints or
// only the halves of their bytes, at the very end of the text and across vector ends, up to the
// most patterns it takes; in UTF-16 also units that share a byte with a pattern's unit.
TEST(FewFinder, FindsTheFirstStartANaiveSearchFinds) {
    ASSERT_TRUE(FewFinder<char>::suits({"ab"}) || !textio::detail::hasAvx2());
    if (!textio::detail::hasAvx2())
        GTEST_SKIP() << "no AVX2 here: the automaton finds the keywords";
    // Patterns it does not take: none, an empty one, one with a line break, too many.
    EXPECT_FALSE(FewFinder<char>::suits({}));
    EXPECT_FALSE(FewFinder<char>::suits({"ab", ""}));
    EXPECT_FALSE(FewFinder<char>::suits({"ab", "c\rd"}));
    EXPECT_FALSE(FewFinder<char16_t>::suits({u"ab", u"c\n"}));
    const std::vector<std::string> many(FewFinder<char>::kMostPatterns + 1, "x");
    EXPECT_FALSE(FewFinder<char>::suits({many.begin(), many.end()}));

    std::mt19937 rng(17);
    for (int round = 0; round < 300; ++round) {
        // Letters whose bytes share halves (a = 0x61, q = 0x71, ...), and a byte above ASCII.
        const std::string alphabet = round % 3 == 0 ? "aq" : round % 3 == 1 ? "aqbr\xE1" : "abcq";
        auto word = [&](std::size_t n) {
            std::string s;
            for (std::size_t i = 0; i < n; ++i) s += alphabet[rng() % alphabet.size()];
            return s;
        };
        const std::string text = word(rng() % 300);
        std::vector<std::string> patterns;
        const std::size_t count =
            1 + rng() % (round % 10 == 0 ? FewFinder<char>::kMostPatterns : 6);
        const std::size_t longest = 1 + rng() % 9;
        for (std::size_t k = 0; k < count; ++k) patterns.push_back(word(1 + rng() % longest));
        const std::string what = "round " + std::to_string(round);
        checkFewAgainstNaive(text, patterns, what);
        std::vector<std::u16string> w;
        // In UTF-16, the letters also as units with the same low byte under another high one.
        auto widen = [&](const std::string& s) {
            std::u16string out;
            for (char c : s) out += char16_t((rng() % 4 == 0 ? 0x0100 : 0) | (unsigned char)c);
            return out;
        };
        for (const auto& p : patterns) w.push_back(widen(p));
        checkFewAgainstNaive(widen(text), w, what + " (UTF-16)");
    }
}

// The folded copy reads as lowerSimple of the original, in both unit types, and maps every line
// start back to the original's.
// findAllCounting against a naive search for every position and against the census of the
// same range, with room for every find, for just as many, or for one fewer, where it must give
// up; a pass that gives up, or a machine without the pass, adds nothing.
template <class CharT, class Same>
void checkFindAllCounting(const Finder<CharT>& finder, const std::basic_string<CharT>& pattern,
                          const std::basic_string<CharT>& text, std::size_t from, std::size_t end,
                          Same same, std::mt19937& rng) {
    std::vector<std::size_t> found{12345}, want{12345};
    for (std::size_t q = from; q + pattern.size() <= end; ++q) {
        bool all = true;
        for (std::size_t i = 0; i < pattern.size() && all; ++i)
            all = same(text[q + i], pattern[i], i);
        if (all)
            want.push_back(q);
    }
    const std::size_t finds = want.size() - 1;
    const std::size_t room = rng() % 3 == 0                 ? std::size_t(-1) / 2
                             : rng() % 2 == 0 || finds == 0 ? finds
                                                            : finds - 1;
    textio::BreakTally tally;
    const bool counted = finder.findAllCounting(text.data(), from, end, found, tally, room);
    if (counted) {
        // Every count exactly as the unit-by-unit rule has it.
        textio::BreakTally is;
        textio::detail::tallyUnits(text.data(), from, from, end, is);
        EXPECT_EQ(tally.cr, is.cr);
        EXPECT_EQ(tally.lf, is.lf);
        EXPECT_EQ(tally.pairs, is.pairs);
        EXPECT_EQ(tally.nul, is.nul);
        ASSERT_LE(finds, room);
    } else {
        EXPECT_TRUE(pattern.empty() || end <= from || !textio::detail::hasAvx2() || finds > room);
        EXPECT_EQ(tally.cr + tally.lf + tally.pairs + tally.nul, 0u);
        want.resize(1);
    }
    ASSERT_EQ(found, want) << "unit " << sizeof(CharT) << " from " << from << " end " << end;
}

// The single-pattern search against the plain definition, on texts long enough for every
// vector width the machine has, with the candidates' two rare units placed anywhere in a vector,
// matches straddling vector ends, and ASCII folding.
template <class CharT>
void checkFinderAgainstNaive(std::mt19937& rng) {
    // é and É in UTF-8 end in 0xA9 and 0x89: a fold mask's bit 0x20 takes either.
    const char alphabet[] = "aAbBzZ\r\n\xC3q\xA9\x89";
    constexpr unsigned letters = sizeof(alphabet) - 1;
    for (int round = 0; round < 400; ++round) {
        std::basic_string<CharT> text(rng() % 300, CharT('a'));
        for (CharT& c : text) c = CharT(static_cast<unsigned char>(alphabet[rng() % letters]));
        const bool fold = round % 4 == 1;
        const bool masked = round % 4 == 3;
        std::basic_string<CharT> pattern(1 + rng() % 5, CharT('a'));
        if (!text.empty() && round % 3 != 0) {
            const std::size_t at = rng() % text.size();
            pattern = text.substr(at, pattern.size());
        } else {
            for (CharT& c : pattern)
                c = CharT(static_cast<unsigned char>(alphabet[rng() % letters]));
        }
        if (fold)
            for (CharT& c : pattern)
                if (c >= CharT('A') && c <= CharT('Z'))
                    c = CharT(c + 32);
        // A mask: bit 0x20 left open at some of the units that have it.
        std::basic_string<CharT> mask(pattern.size(), CharT(0));
        if (masked)
            for (std::size_t i = 0; i < pattern.size(); ++i)
                if ((pattern[i] & 0x20) != 0 && rng() % 3 != 0)
                    mask[i] = CharT(0x20);
        auto same = [&](CharT t, CharT p, std::size_t i) {
            if (masked)
                return CharT(t | mask[i]) == p;
            return fold && p >= CharT('a') && p <= CharT('z') ? CharT(t | 0x20) == p : t == p;
        };
        const Finder<CharT> finder =
            masked ? Finder<CharT>(pattern, std::basic_string_view<CharT>(mask))
                   : Finder<CharT>(pattern, fold);
        const std::size_t from = text.empty() ? 0 : rng() % (text.size() + 1);
        const std::size_t end =
            from + (text.size() - from > 0 ? rng() % (text.size() - from + 1) : 0);
        std::size_t want = Finder<CharT>::npos;
        for (std::size_t q = from; q + pattern.size() <= end && want == Finder<CharT>::npos; ++q) {
            bool all = true;
            for (std::size_t i = 0; i < pattern.size() && all; ++i)
                all = same(text[q + i], pattern[i], i);
            if (all)
                want = q;
        }
        ASSERT_EQ(finder.find(text.data(), from, end), want)
            << "round " << round << " unit " << sizeof(CharT) << " from " << from << " end " << end;
        checkFindAllCounting(finder, pattern, text, from, end, same, rng);
    }
    // Long texts with zero units, so that the census's lane counters are summed on the way (every
    // 255 steps of bytes), and matches in every lane.
    for (int round = 0; round < 20; ++round) {
        const char many[] = "ab\r\n\r\n\0xyz";
        std::basic_string<CharT> text(9000 + rng() % 9000, CharT('a'));
        for (CharT& c : text)
            c = CharT(static_cast<unsigned char>(many[rng() % (sizeof(many) - 1)]));
        const std::basic_string<CharT> pattern = {CharT('x'), CharT('y')};
        const Finder<CharT> finder(pattern, false);
        const std::size_t from = rng() % 100, end = text.size() - rng() % 100;
        checkFindAllCounting(
            finder, pattern, text, from, end, [](CharT t, CharT p, std::size_t) { return t == p; },
            rng);
    }
    // One occurrence in a long run of other units, with a near miss before it, so that the
    // candidates fall in either vector of a step and in the narrower tail.
    for (int round = 0; round < 300; ++round) {
        std::basic_string<CharT> text(1 + rng() % 700, CharT('x'));
        const std::basic_string<CharT> pattern = {CharT('q'), CharT('y'), CharT('z')};
        const std::size_t at = rng() % (text.size() + 1);
        text.insert(at, pattern);
        const std::size_t miss = rng() % (at + 1);
        text.insert(miss, {CharT('q'), CharT('x'), CharT('z')});
        const std::size_t found = at + 3;
        const Finder<CharT> finder(pattern, round % 2 == 1);
        const std::size_t from = rng() % (found + 1);
        ASSERT_EQ(finder.find(text.data(), from, text.size()), found)
            << "round " << round << " unit " << sizeof(CharT) << " at " << found;
        ASSERT_EQ(finder.find(text.data(), found + 1, text.size()), Finder<CharT>::npos);
    }
}

TEST(Finder, FindsWhatANaiveSearchFindsInBothUnitSizes) {
    std::mt19937 rng(11);
    // Where the processor has the sixty-four byte steps, the thirty-two byte ones are walked too.
    for (bool wide : {true, false}) {
        textio::detail::WideStepsAllowed = wide;
        checkFinderAgainstNaive<char>(rng);
        checkFinderAgainstNaive<char16_t>(rng);
    }
    textio::detail::WideStepsAllowed = true;
}

TEST(FoldedText, FoldsAsLowerSimpleAndMapsLinesBack) {
    const std::vector<QString> atoms = {"A",
                                        "z",
                                        "\u00C9",
                                        "\u00e9",
                                        "\u212A",
                                        "\u0130",
                                        "\u023A",
                                        "\u1E9E",
                                        "\U00010400",
                                        "\U0001F600",
                                        QString(QChar(0xDC80)),
                                        QString(QChar(0xD800)),
                                        "\u03A3",
                                        "\r\n",
                                        "\n",
                                        "\r",
                                        "0123456789ABCDEFGHIJ",
                                        "xyz"};
    const std::vector<std::string> strayBytes = {"\xC3",     "\xE2\x84", "\xED\xA0\x80",
                                                 "\xF4\x90", "\xC0\xAF", "\x80"};
    std::mt19937 rng(5);
    for (int round = 0; round < 500; ++round) {
        QString text;
        std::string bytes;
        const int n = int(rng() % 40);
        for (int i = 0; i < n; ++i) {
            const QString& a = atoms[rng() % atoms.size()];
            text += a;
            bytes += textio::encodeUtf8Escaped(a).toStdString();
            if (rng() % 6 == 0)
                bytes += strayBytes[rng() % strayBytes.size()];
        }
        const std::string what = "round " + std::to_string(round);
        {
            FoldedText<char> f;
            f.fold(bytes, 0, bytes.size());
            const auto folded = f.view();
            const QString decoded = textio::decodeUtf8Escaped(bytes);
            ASSERT_EQ(textio::decodeUtf8Escaped({folded.data(), folded.size()}),
                      lowerSimple(decoded))
                << what;
            // Line starts, in order, correspond.
            std::vector<std::size_t> starts, foldedStarts;
            for (std::size_t i = 0; i < bytes.size(); ++i)
                if (i == 0 || bytes[i - 1] == '\n' || (bytes[i - 1] == '\r' && bytes[i] != '\n'))
                    starts.push_back(i);
            for (std::size_t i = 0; i < folded.size(); ++i)
                if (i == 0 || folded[i - 1] == '\n' || (folded[i - 1] == '\r' && folded[i] != '\n'))
                    foldedStarts.push_back(f.original(i));
            ASSERT_EQ(foldedStarts, starts) << what;
            ASSERT_EQ(f.original(folded.size()), bytes.size()) << what;
        }
        {
            const auto* units = reinterpret_cast<const char16_t*>(text.utf16());
            const std::u16string w(units, std::size_t(text.size()));
            FoldedText<char16_t> f;
            f.fold(w, 0, w.size());
            const auto folded = f.view();
            ASSERT_EQ(QString::fromUtf16(folded.data(), qsizetype(folded.size())),
                      lowerSimple(text))
                << what;
            ASSERT_EQ(f.original(folded.size()), w.size()) << what;
        }
    }
    // Folding part of a text: positions come back in the whole text's terms.
    const std::string s = "xx\r\nAB\xE2\x84\xAA\r\nCD";
    FoldedText<char> f;
    f.fold(s, 4, s.size());
    EXPECT_EQ(std::string(f.view()), "abk\r\ncd");
    EXPECT_EQ(f.original(0), 4u);
    EXPECT_EQ(f.original(2), 6u);  // the sign's three bytes became one
    EXPECT_EQ(f.original(3), 9u);
    EXPECT_EQ(f.original(5), 11u);
}

#if defined(VN_AVX2_PATHS)
// The wide search loops are taken exactly where the compiler's own check of the processor would
// allow them: a feature taken for there that is not would fault, one missed would leave the
// fast loops unused.
TEST(ProcessorSteps, AgreeWithTheCompilersCheck) {
    const textio::detail::ProcessorSteps s = textio::detail::askProcessor();
    EXPECT_EQ(s.avx2, bool(__builtin_cpu_supports("avx2")));
    EXPECT_EQ(s.avx512, __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
                            __builtin_cpu_supports("popcnt") && __builtin_cpu_supports("bmi") &&
                            __builtin_cpu_supports("bmi2") && __builtin_cpu_supports("avx2"));
}
#endif
