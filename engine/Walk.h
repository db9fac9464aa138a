#pragma once

// The one line loop behind all six routines: a line source over the loaded text, a rule that
// marks the lines to remove, and a writer that puts the kept lines out as large raw blocks.
// Everything here works on code units in place (bytes for 8-bit and UTF-8 input, UTF-16 units
// for Unicode input) and allocates nothing per line.

#include "engine/CaseFold.h"
#include "engine/Engine.h"
#include "engine/Finder.h"
#include "app/shell/ErrorReport.h"
#include "textio/Codec.h"
#include "textio/Lines.h"
#include "textio/TextFile.h"

#include <QStringList>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vn::engine::detail {

template <class CharT>
using View = std::basic_string_view<CharT>;

// Lines taken together between two yields: positions are offsets into the whole text.
struct Stretch {
    std::vector<std::size_t> start;  // each line's first unit
    std::vector<std::size_t> end;    // the end of each line's content (where its break begins)
    std::size_t stop = 0;            // where the line after the stretch starts
    std::size_t count() const { return start.size(); }
    std::size_t next(std::size_t j) const { return j + 1 < start.size() ? start[j + 1] : stop; }
};

// Where the writer's bytes go: an output with AppendStringFSO's contract, or one whole result
// saved as by SaveStringToFileFSO.
class Sink {
public:
    virtual ~Sink() = default;
    virtual void write(std::int64_t lineNumber, const char* data, std::size_t size) = 0;
    // Called once at the end. An output that was never written to is still started afresh.
    virtual void finish(bool wroteAnything) = 0;
};

class AppendSink final : public Sink {
public:
    AppendSink(WindowServices& ws, const QString& path) : m_out(ws, path) {}
    void write(std::int64_t lineNumber, const char* data, std::size_t size) override {
        const auto n = std::int32_t(std::min<std::int64_t>(lineNumber, INT32_MAX));
        m_out.appendRaw(n, data, size);
    }
    void finish(bool wroteAnything) override {
        if (!wroteAnything) m_out.appendRaw(1, nullptr, 0);
        m_out.finish();
    }

private:
    textio::PiecewiseOutput m_out;
};

class SaveSink final : public Sink {
public:
    SaveSink(WindowServices& ws, const QString& path) : m_out(ws, path) {}
    void write(std::int64_t, const char* data, std::size_t size) override {
        m_out.appendRaw(data, size);
    }
    void finish(bool) override { m_out.finish(); }

private:
    textio::SavedOutput m_out;
};

// Turns kept and blanked lines into output pieces, each ending in CR LF. A kept line whose own
// break is CR LF is copied as it stands, so runs of such lines leave as one block; any other
// break (LF, a lone CR, none at the end of the text) is replaced by CR LF. With cutFinalBreak
// the very last CR LF of the whole output is left out.
template <class CharT>
class Writer {
public:
    Writer(Sink& sink, View<CharT> text, bool cutFinalBreak)
        : m_sink(sink), m_text(text), m_cut(cutFinalBreak) {}

    void keep(std::int64_t lineNumber, std::size_t start, std::size_t end, std::size_t next) {
        const bool crlf = next - end == 2 && m_text[end] == CharT('\r');
        const bool continues = m_blanks == 0 && m_blockEnd == start && m_blockEnd > m_blockBegin;
        if (!continues) {
            flush();
            m_pendingLine = lineNumber;
            m_blockBegin = start;
        }
        if (crlf) {
            m_blockEnd = next;
        } else {
            m_blockEnd = end;
            m_blanks = 1;
        }
    }

    // A removed line that leaves CR LF alone in its place.
    void blank(std::int64_t lineNumber) {
        if (empty()) m_pendingLine = lineNumber;
        ++m_blanks;
    }

    void finish() {
        if (m_cut) {
            if (m_blanks > 0)
                --m_blanks;
            else if (m_blockEnd - m_blockBegin >= 2)
                m_blockEnd -= 2;
        }
        flush();
        m_sink.finish(m_written);
    }

private:
    bool empty() const { return m_blanks == 0 && m_blockEnd == m_blockBegin; }

    void put(const CharT* data, std::size_t units) {
        if (units == 0) return;
        const std::int64_t n = m_written ? std::max<std::int64_t>(m_pendingLine, 2) : 1;
        m_written = true;
        m_sink.write(n, reinterpret_cast<const char*>(data), units * sizeof(CharT));
    }

    void flush() {
        put(m_text.data() + m_blockBegin, m_blockEnd - m_blockBegin);
        static constexpr std::size_t kPairs = 512;
        static constexpr std::array<CharT, 2 * kPairs> breaks = [] {
            std::array<CharT, 2 * kPairs> a{};
            for (std::size_t i = 0; i < kPairs; ++i) {
                a[2 * i] = CharT('\r');
                a[2 * i + 1] = CharT('\n');
            }
            return a;
        }();
        while (m_blanks > 0) {
            const std::size_t take = std::min<std::size_t>(m_blanks, kPairs);
            put(breaks.data(), take * 2);
            m_blanks -= take;
        }
        m_blockBegin = m_blockEnd = 0;
    }

    Sink& m_sink;
    View<CharT> m_text;
    bool m_cut;
    bool m_written = false;
    std::size_t m_blockBegin = 0, m_blockEnd = 0;  // kept text copied as it stands
    std::size_t m_blanks = 0;                      // CR LF pieces after the block
    std::int64_t m_pendingLine = 1;                // number of the first line not yet written
};

// ---- containment ----

// How one search text is tested against lines. Lines never hold CR or LF, so a text holding
// one is in no line; an empty text is in every line that is not empty. Everything else is
// found by searching the whole stretch at once, except where a unit-level search could answer
// differently from the comparison of 16-bit characters (after lower-casing under ignoreCase):
// those texts, and under ignoreCase the lines holding a character that lower-cases into ASCII,
// take the exact way of decoding the line.
template <class CharT>
struct Plan {
    enum class Kind { Never, NonEmpty, Search, Exact };
    Kind kind = Kind::Never;
    std::optional<Finder<CharT>> finder;
    bool checkFolding = false;  // lines with a character that lower-cases into ASCII go exact
    QString needle;             // as compared on the exact way (lower-cased under ignoreCase)
    bool needleBeyondAscii = false;
};

inline bool wellFormed(QStringView s) {
    for (qsizetype i = 0; i < s.size(); ++i) {
        if (s[i].isHighSurrogate() && i + 1 < s.size() && s[i + 1].isLowSurrogate())
            ++i;
        else if (s[i].isSurrogate())
            return false;
    }
    return true;
}

template <class CharT>
Plan<CharT> makePlan(const QString& text, bool ignoreCase) {
    Plan<CharT> p;
    p.needle = ignoreCase ? lowerSimple(text) : text;
    if (p.needle.isEmpty()) {
        p.kind = Plan<CharT>::Kind::NonEmpty;
        return p;
    }
    if (p.needle.contains(QLatin1Char('\r')) || p.needle.contains(QLatin1Char('\n'))) return p;
    p.needleBeyondAscii =
        std::any_of(p.needle.begin(), p.needle.end(), [](QChar c) { return c.unicode() >= 0x80; });
    const auto* units = reinterpret_cast<const char16_t*>(p.needle.utf16());
    const std::size_t n = std::size_t(p.needle.size());
    if (ignoreCase && p.needleBeyondAscii) {
        p.kind = Plan<CharT>::Kind::Exact;
    } else if constexpr (sizeof(CharT) == 2) {
        p.kind = Plan<CharT>::Kind::Search;
        p.finder.emplace(std::u16string_view(units, n), ignoreCase);
        p.checkFolding = ignoreCase;
    } else if (ignoreCase) {
        p.kind = Plan<CharT>::Kind::Search;
        const std::string ascii(units, units + n);
        p.finder.emplace(ascii, true);
        p.checkFolding = true;
    } else if (wellFormed(p.needle)) {
        // Valid UTF-8 text resynchronises at every character, so a byte match of a well-formed
        // text is a character match, also next to bytes that decode as escapes.
        const QByteArray utf8 = textio::encodeUtf8Escaped(p.needle);
        p.kind = Plan<CharT>::Kind::Search;
        p.finder.emplace(std::string_view(utf8.constData(), std::size_t(utf8.size())), false);
    } else {
        p.kind = Plan<CharT>::Kind::Exact;
    }
    return p;
}

// Finders for the characters that lower-case into ASCII, in the text's own code units.
template <class CharT>
const std::vector<Finder<CharT>>& foldingFinders() {
    static const std::vector<Finder<CharT>> list = [] {
        std::vector<Finder<CharT>> out;
        for (char32_t c : foldsIntoAscii()) {
            const QString s = QString::fromUcs4(&c, 1);
            if constexpr (sizeof(CharT) == 2) {
                out.emplace_back(std::u16string_view(reinterpret_cast<const char16_t*>(s.utf16()),
                                                     std::size_t(s.size())),
                                 false);
            } else {
                const QByteArray b = textio::encodeUtf8Escaped(s);
                out.emplace_back(std::string_view(b.constData(), std::size_t(b.size())), false);
            }
        }
        return out;
    }();
    return list;
}

// Marks each line of a stretch in which a finder's pattern occurs.
template <class CharT>
void markOccurrences(const Finder<CharT>& f, const CharT* text, const Stretch& s,
                     std::vector<std::uint8_t>& flags) {
    std::size_t from = s.start.front();
    std::size_t j = 0;
    const std::size_t lines = s.count();
    while (j < lines) {
        const std::size_t at = f.find(text, from, s.stop);
        if (at == Finder<CharT>::npos) break;
        while (s.next(j) <= at) ++j;
        flags[j] = 1;
        from = s.next(j);
        ++j;
    }
}

// Removes the lines that contain any search text (containing), or that lack any of them (not
// containing). No texts at all remove nothing in either case.
template <class CharT>
class SearchRule {
public:
    SearchRule(const textio::LoadedText& loaded, View<CharT> text, bool ignoreCase,
               bool removeContaining)
        : m_loaded(loaded), m_text(text), m_ignoreCase(ignoreCase), m_containing(removeContaining) {}

    // The texts in force for the next stretch; plans are kept while the texts stay the same.
    void setTexts(const QStringList& texts) {
        if (m_haveTexts && texts == m_texts) return;
        m_texts = texts;
        m_haveTexts = true;
        m_plans.clear();
        for (const QString& t : texts) m_plans.push_back(makePlan<CharT>(t, m_ignoreCase));
    }

    // True when the texts in force need the decoded way for many lines, so stretches are kept
    // short enough for the window.
    bool slow() const {
        return std::any_of(m_plans.begin(), m_plans.end(), [](const Plan<CharT>& p) {
            return p.kind == Plan<CharT>::Kind::Exact;
        });
    }

    void mark(const Stretch& s, std::vector<std::uint8_t>& removed) {
        const std::size_t lines = s.count();
        removed.assign(lines, 0);
        m_foldingKnown = false;
        for (const Plan<CharT>& p : m_plans) {
            m_contained.assign(lines, 0);
            contained(p, s);
            for (std::size_t j = 0; j < lines; ++j)
                removed[j] |= std::uint8_t(m_containing ? m_contained[j] : !m_contained[j]);
        }
    }

private:
    void contained(const Plan<CharT>& p, const Stretch& s) {
        using Kind = typename Plan<CharT>::Kind;
        const std::size_t lines = s.count();
        switch (p.kind) {
            case Kind::Never: return;
            case Kind::NonEmpty:
                for (std::size_t j = 0; j < lines; ++j) m_contained[j] = s.end[j] > s.start[j];
                return;
            case Kind::Search:
                markOccurrences(*p.finder, m_text.data(), s, m_contained);
                if (p.checkFolding) {
                    findFoldingLines(s);
                    for (std::size_t j = 0; j < lines; ++j) {
                        if (m_folding[j]) m_contained[j] = exact(p, s, j);
                    }
                }
                return;
            case Kind::Exact:
                for (std::size_t j = 0; j < lines; ++j) m_contained[j] = exact(p, s, j);
                return;
        }
    }

    void findFoldingLines(const Stretch& s) {
        if (m_foldingKnown) return;
        m_foldingKnown = true;
        m_folding.assign(s.count(), 0);
        for (const Finder<CharT>& f : foldingFinders<CharT>())
            markOccurrences(f, m_text.data(), s, m_folding);
    }

    // The comparison of 16-bit characters itself, on the decoded line.
    bool exact(const Plan<CharT>& p, const Stretch& s, std::size_t j) const {
        const View<CharT> line = m_text.substr(s.start[j], s.end[j] - s.start[j]);
        if (line.empty()) return false;
        // Lower-casing keeps ASCII in ASCII, so a line of ASCII alone cannot hold anything else.
        if (p.needleBeyondAscii &&
            std::all_of(line.begin(), line.end(), [](CharT c) { return unsigned(c) < 0x80; }))
            return false;
        const QString decoded = m_loaded.lineAsString(line);
        return (m_ignoreCase ? lowerSimple(decoded) : decoded).contains(p.needle);
    }

    const textio::LoadedText& m_loaded;
    View<CharT> m_text;
    bool m_ignoreCase;
    bool m_containing;
    QStringList m_texts;
    bool m_haveTexts = false;
    std::vector<Plan<CharT>> m_plans;
    std::vector<std::uint8_t> m_contained, m_folding;
    bool m_foldingKnown = false;
};

// ---- the loop ----

// The step labels a routine's error reports name; 0 where the routine has no such step.
struct Steps {
    int progress = 0;  // ProgressBar2 set for the line about to be handled
    int yield = 0;     // the per-line yield
    int test = 0;      // deciding which lines go
    int option1 = 0;   // reading Option1 for a removed line; 0: removed lines simply vanish
    int write = 0;
};

// Input units handled between two yields at most, and at least once the window is slow to get
// its turn. The stretch shrinks when a stretch takes long (lines on the decoded way).
inline constexpr std::size_t kStretchBytes = std::size_t(1) << 20;
inline constexpr std::size_t kMinStretchBytes = std::size_t(4) << 10;
inline constexpr auto kStretchTime = std::chrono::milliseconds(5);

// Walks every line of `text` once. Per-line yields are kept one per line for services that
// cannot fold them; otherwise whole stretches are handled between two yields, which shows each
// line the same Option1 and rule state, since those change only inside a yield. `before` runs
// after each yield, so a rule can read state that changed in it. Returns false when the program
// was asked to end at a yield: the caller then drops its output.
template <class CharT, class Before, class Mark>
bool walkLines(Host& host, Guard& g, View<CharT> text, const Steps& steps, Writer<CharT>& out,
               FileResult& result, Before&& before, Mark&& mark) {
    WindowServices& ws = host.ws;
    const bool perLine = steps.yield != 0 && !ws.foldsYields();
    const double lines = steps.progress ? double(textio::countLines(text)) : 0.0;
    textio::LineCursor<CharT> cursor(text);
    Stretch s;
    std::vector<std::uint8_t> removed;
    std::size_t budget = kStretchBytes / sizeof(CharT);
    std::int64_t done = 0, shownFor = 0;
    View<CharT> line;
    for (;;) {
        s.start.clear();
        s.end.clear();
        const std::size_t from = cursor.position();
        while (cursor.next(line)) {
            const std::size_t at = std::size_t(line.data() - text.data());
            s.start.push_back(at);
            s.end.push_back(at + line.size());
            if (perLine || cursor.position() - from >= budget) break;
        }
        if (s.start.empty()) break;
        s.stop = cursor.position();
        const auto began = std::chrono::steady_clock::now();

        if (steps.progress) {
            g.step(steps.progress,
                   [&] { ws.setProgress(Bar::File, double(done + 1) / lines * 100.0); });
            shownFor = done + 1;
        }
        if (steps.yield) {
            g.step(steps.yield, [&] { ws.yield(); });
            if (ws.quitRequested()) return false;
        }
        const bool slow = before();
        g.step(steps.test, [&] { mark(s, removed); });
        g.step(steps.write, [&] {
            std::optional<bool> leaveBlank;  // read at the stretch's first removed line
            for (std::size_t j = 0; j < s.count(); ++j) {
                const std::int64_t number = done + std::int64_t(j) + 1;
                if (j >= removed.size() || !removed[j]) {
                    out.keep(number, s.start[j], s.end[j], s.next(j));
                    continue;
                }
                ++result.linesRemoved;
                if (!steps.option1) continue;
                if (!leaveBlank)
                    leaveBlank = g.test(steps.option1, [&] { return host.option1.leaveBlankLine(); });
                if (*leaveBlank) out.blank(number);
            }
        });
        done += std::int64_t(s.count());
        result.linesRead = done;

        if (!perLine) {
            const auto took = std::chrono::steady_clock::now() - began;
            const std::size_t most = (slow ? kStretchBytes / 16 : kStretchBytes) / sizeof(CharT);
            if (took > kStretchTime && budget > kMinStretchBytes) budget /= 2;
            else if (took < kStretchTime / 4 && budget < most) budget *= 2;
            budget = std::min(budget, most);
        }
    }
    // Folded progress was last shown for a stretch's first line; the last line shows 100.
    if (steps.progress && shownFor != done) g.step(steps.progress, [&] { ws.setProgress(Bar::File, 100.0); });
    return true;
}

}  // namespace vn::engine::detail
