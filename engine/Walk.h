#pragma once

// The one line loop behind all six routines: the input read a piece of whole lines at a time, a
// rule that marks the lines to remove, and a writer that puts the kept lines out as large raw
// blocks. Everything here works on code units in place (bytes for 8-bit and UTF-8 input, UTF-16
// units for Unicode input) and allocates nothing per line.

#include "engine/CaseFold.h"
#include "engine/Engine.h"
#include "engine/Finder.h"
#include "engine/FoldedText.h"
#include "engine/MultiFinder.h"
#include "core/ErrorReport.h"
#include "textio/Codec.h"
#include "textio/InputText.h"
#include "textio/Lines.h"
#include "textio/TextFile.h"

#include <QStringList>

#include <algorithm>
#include <array>
#include <chrono>
#include <iterator>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vn::engine::detail {

template <class CharT>
using View = std::basic_string_view<CharT>;

// Lines taken together between two yields: positions are offsets into the current piece.
struct Stretch {
    std::vector<std::size_t> start;  // each line's first unit
    std::vector<std::size_t> end;    // the end of each line's content (where its break begins)
    std::size_t stop = 0;            // where the line after the stretch starts
    std::int64_t firstNumber = 1;    // 1-based number of the first line
    std::size_t count() const { return start.size(); }
    std::size_t next(std::size_t j) const { return j + 1 < start.size() ? start[j + 1] : stop; }
};

// One line of a stretch, by its start and the start of the line after it.
struct LineSpan {
    std::size_t start, next;
};

// The span of the line that holds position `at`.
template <class CharT>
LineSpan spanAt(View<CharT> text, std::size_t at) {
    const std::size_t start = textio::lineStartAt(text, at);
    const std::size_t end = textio::lineEndAt(text, at);
    return {start, end < text.size() ? end + textio::breakLength(text, end) : end};
}

// What a rule picks from a stretch in bulk: the lines it removes, or (keptPicked) the only
// lines it keeps.
struct Picked {
    std::vector<LineSpan> lines;
    bool keptPicked = false;
};

// Where the writer's bytes go: an output with AppendStringFSO's contract, or one whole result
// saved as by SaveStringToFileFSO.
class Sink {
public:
    virtual ~Sink() = default;
    virtual void write(std::int64_t lineNumber, const char* data, std::size_t size) = 0;
    // Called once at the end. An output that was never written to is still started afresh.
    // Returns true when the output is the input itself and the result equalled it, so the file
    // was left as it was (see textio::SameAsInput).
    virtual bool finish(bool wroteAnything, const textio::SameAsInput& input) = 0;
};

// Both sinks hold no output at all on a dry run (Host::dryRun): their pieces are dropped and
// nothing is committed.
class AppendSink final : public Sink {
public:
    AppendSink(Host& host, const QString& path, const textio::InputText& input) {
        if (host.dryRun) return;
        m_out.emplace(host.ws, path);
        m_out->expectSource(input.path(), input.stamp());
    }
    void write(std::int64_t lineNumber, const char* data, std::size_t size) override {
        const auto n = std::int32_t(std::min<std::int64_t>(lineNumber, INT32_MAX));
        if (m_out) m_out->appendRaw(n, data, size);
    }
    bool finish(bool wroteAnything, const textio::SameAsInput& input) override {
        if (!m_out) return false;
        if (!wroteAnything) m_out->appendRaw(1, nullptr, 0);
        return m_out->finish(&input);
    }

private:
    std::optional<textio::PiecewiseOutput> m_out;
};

class SaveSink final : public Sink {
public:
    SaveSink(Host& host, const QString& path, const textio::InputText& input) {
        if (host.dryRun) return;
        m_out.emplace(host.ws, path);
        m_out->expectSource(input.path(), input.stamp());
    }
    void write(std::int64_t, const char* data, std::size_t size) override {
        if (m_out) m_out->appendRaw(data, size);
    }
    bool finish(bool, const textio::SameAsInput& input) override {
        return m_out && m_out->finish(&input);
    }

private:
    std::optional<textio::SavedOutput> m_out;
};

// Turns kept and blanked lines into output pieces, each ending in the output's break B: the
// first break of the input (set before the first line). Only the first write must carry line
// number 1 (it starts the output afresh); the numbers of later writes only need to be above 1,
// so a run of lines may pass the number of a line near its start. A kept line whose own break
// is B is copied as it stands, so runs of such lines leave as one block; any other break (or
// none, at the end of the text) is replaced by B. With cutFinalBreak the very last B of the
// whole output is left out.
template <class CharT>
class Writer {
public:
    Writer(Sink& sink, bool cutFinalBreak) : m_sink(sink), m_cut(cutFinalBreak) {
        setBreak(textio::kPlatformBreak);
    }

    void setBreak(textio::Break b) {
        m_breakKind = b;
        m_break = textio::unitsOf<CharT>(b);
        for (std::size_t i = 0; i < m_breaks.size(); ++i)
            m_breaks[i] = m_break.units[i % m_break.length];
    }
    textio::Break lineBreak() const { return m_breakKind; }
    // True once some kept line left with a break other than its own (or one it did not have).
    bool rewroteBreaks() const { return m_rewrote; }

    // The piece the following positions point into; called before the memory of the piece in
    // hand is reused. The block in hand points into that piece, so it is written out now; its
    // closing break B is held back as a pending break, so that the output's last break can still
    // be cut.
    void setText(View<CharT> text) {
        if (m_blockEnd > m_blockBegin) {
            if (m_blanks == 0 && endsInBreak(m_blockEnd)) {
                m_blockEnd -= m_break.length;
                m_blanks = 1;
            }
            put(m_text.data() + m_blockBegin, m_blockEnd - m_blockBegin);
            m_blockBegin = m_blockEnd = 0;
        }
        m_text = text;
    }

    void keep(std::int64_t lineNumber, std::size_t start, std::size_t end, std::size_t next) {
        const bool ownBreak = next - end == m_break.length && endsInBreak(next);
        const bool continues = m_blanks == 0 && m_blockEnd == start && m_blockEnd > m_blockBegin;
        if (!continues) {
            flush();
            m_pendingLine = lineNumber;
            m_blockBegin = start;
        }
        if (ownBreak) {
            m_blockEnd = next;
        } else {
            m_blockEnd = end;
            m_blanks = 1;
            m_rewrote = true;
        }
    }

    // Whole lines [start, end) whose breaks are all B, except that the text's last line may
    // have none; they are copied as they stand.
    void keepRun(std::int64_t lineNumber, std::size_t start, std::size_t end) {
        if (start == end) return;
        if (!(m_blanks == 0 && m_blockEnd == start && m_blockEnd > m_blockBegin)) {
            flush();
            m_pendingLine = lineNumber;
            m_blockBegin = start;
        }
        m_blockEnd = end;
        if (end == m_text.size() && !textio::isBreak(m_text[end - 1])) {
            m_blanks = 1;
            m_rewrote = true;
        }
    }

    // Removed lines that leave B alone in their place.
    void blank(std::int64_t lineNumber, std::size_t count = 1) {
        if (count == 0) return;
        if (empty()) m_pendingLine = lineNumber;
        m_blanks += count;
    }

    bool finish(const textio::SameAsInput& input) {
        if (m_cut) {
            if (m_blanks > 0)
                --m_blanks;
            else if (m_blockEnd - m_blockBegin >= m_break.length)
                m_blockEnd -= m_break.length;
        }
        flush();
        return m_sink.finish(m_written, input);
    }

private:
    bool empty() const { return m_blanks == 0 && m_blockEnd == m_blockBegin; }

    // Whether the units just before `at`, a line's end in the piece, are B. Lines end after
    // their whole break, so a match here is the line's own break, not half of one.
    bool endsInBreak(std::size_t at) const {
        if (at < m_break.length) return false;
        for (std::size_t i = 0; i < m_break.length; ++i)
            if (m_text[at - m_break.length + i] != m_break.units[i]) return false;
        return true;
    }

    void put(const CharT* data, std::size_t units) {
        if (units == 0) return;
        const std::int64_t n = m_written ? std::max<std::int64_t>(m_pendingLine, 2) : 1;
        m_written = true;
        m_sink.write(n, reinterpret_cast<const char*>(data), units * sizeof(CharT));
    }

    void flush() {
        put(m_text.data() + m_blockBegin, m_blockEnd - m_blockBegin);
        while (m_blanks > 0) {
            const std::size_t take = std::min<std::size_t>(m_blanks, m_breaks.size() / 2);
            put(m_breaks.data(), take * m_break.length);
            m_blanks -= take;
        }
        m_blockBegin = m_blockEnd = 0;
    }

    Sink& m_sink;
    View<CharT> m_text;
    bool m_cut;
    textio::Break m_breakKind = textio::kPlatformBreak;
    textio::BreakUnits<CharT> m_break{};
    std::array<CharT, 1024> m_breaks{};  // B over and over, for runs of blanked lines
    bool m_rewrote = false;
    bool m_written = false;
    std::size_t m_blockBegin = 0, m_blockEnd = 0;  // kept text copied as it stands
    std::size_t m_blanks = 0;                      // breaks B after the block
    std::int64_t m_pendingLine = 1;                // number of the first line not yet written
};

// ---- containment ----

// How one search text is tested against lines. Lines never hold CR or LF, so a text holding
// one is in no line; an empty text is in every line that is not empty. Every other text is
// searched for as code units through a whole stretch at once, together with the other texts;
// under ignoreCase the units of a lower-cased copy of the stretch are searched (FoldedText), so
// that any text, ASCII or not, takes the same way. Only a text with a lone surrogate, which has
// no UTF-8 form a byte search could find, is tested by decoding each line of 8-bit input.
template <class CharT>
struct Plan {
    enum class Kind { Never, NonEmpty, Search, Exact };
    Kind kind = Kind::Never;
    std::basic_string<CharT> units;  // Search: the units to find (lower-cased under ignoreCase)
    QString needle;                  // Exact: as compared (lower-cased under ignoreCase)
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
    if constexpr (sizeof(CharT) == 2) {
        p.kind = Plan<CharT>::Kind::Search;
        p.units.assign(units, n);
    } else if (wellFormed(p.needle)) {
        // Valid UTF-8 text resynchronises at every character, so a byte match of a well-formed
        // text is a character match, also next to bytes that decode as escapes.
        const QByteArray utf8 = textio::encodeUtf8Escaped(p.needle);
        p.kind = Plan<CharT>::Kind::Search;
        p.units.assign(utf8.constData(), std::size_t(utf8.size()));
    } else {
        p.kind = Plan<CharT>::Kind::Exact;
    }
    return p;
}

// All Search texts of a rule, found together: one text by Finder, several by MultiFinder.
// lines() hands out the lines of a range that hold any of the texts, or all of them.
template <class CharT>
class TextSet {
public:
    TextSet() = default;
    TextSet(const std::vector<View<CharT>>& texts, bool ignoreCase) : m_fold(ignoreCase) {
        std::vector<View<CharT>> distinct = texts;
        std::sort(distinct.begin(), distinct.end());
        distinct.erase(std::unique(distinct.begin(), distinct.end()), distinct.end());
        if (distinct.size() == 1)
            m_one.emplace(distinct.front(), false);
        else if (distinct.size() > 1)
            m_many.emplace(distinct);
    }

    bool empty() const { return !m_one && !m_many; }

    // Appends to `out`, in order, the lines of text[begin, end) (whole lines) that hold any text
    // of the set, or (all) every one of them.
    void lines(View<CharT> text, std::size_t begin, std::size_t end, bool all,
               std::vector<LineSpan>& out) {
        if (empty() || begin >= end) return;
        View<CharT> searched = text;
        std::size_t from = begin, to = end;
        if (m_fold) {
            m_folded.fold(text, begin, end);
            searched = m_folded.view();
            from = 0;
            to = searched.size();
        }
        const std::size_t first = out.size();
        const CharT* units = searched.data();
        if (m_one) {
            std::size_t at;
            while ((at = m_one->find(units, from, to)) != Finder<CharT>::npos) {
                out.push_back(spanAt(searched, at));
                from = out.back().next;
            }
        } else if (!all) {
            std::size_t past;
            while ((past = m_many->findEnd(units, from, to)) != MultiFinder<CharT>::npos) {
                out.push_back(spanAt(searched, past - 1));
                from = out.back().next;
            }
        } else {
            allIn(searched, from, to, out);
        }
        if (m_fold) {
            for (std::size_t k = first; k < out.size(); ++k)
                out[k] = {m_folded.original(out[k].start), m_folded.original(out[k].next)};
        }
    }

private:
    // Lines that hold every text: the texts ending in a line are counted once each (a stamp per
    // text says in which line it was last counted), and a line is done once all are seen.
    void allIn(View<CharT> text, std::size_t from, std::size_t to, std::vector<LineSpan>& out) {
        const MultiFinder<CharT>& f = *m_many;
        const std::size_t wanted = f.patternCount();
        if (m_seen.size() != wanted) m_seen.assign(wanted, 0);
        auto c = f.startAt(from);
        LineSpan line{from, from};
        std::size_t found = 0;
        while (f.next(text.data(), to, c)) {
            const std::size_t at = c.pos - 1;
            if (at >= line.next) {
                line = spanAt(text, at);
                ++m_line;
                found = 0;
            }
            f.forEachEnding(c, [&](int id) {
                if (m_seen[std::size_t(id)] != m_line) {
                    m_seen[std::size_t(id)] = m_line;
                    ++found;
                }
            });
            if (found == wanted) {
                out.push_back(line);
                c = f.startAt(line.next);
            }
        }
    }

    bool m_fold = false;
    std::optional<Finder<CharT>> m_one;
    std::optional<MultiFinder<CharT>> m_many;
    FoldedText<CharT> m_folded;
    std::vector<std::uint64_t> m_seen;
    std::uint64_t m_line = 0;
};

// Removes the lines that contain any search text (containing), or that lack any of them (not
// containing). No texts at all remove nothing in either case.
template <class CharT>
class SearchRule {
public:
    SearchRule(bool ignoreCase, bool removeContaining)
        : m_ignoreCase(ignoreCase), m_containing(removeContaining) {}

    // The texts in force for the next stretch. The search is built anew only when they changed;
    // comparing them costs a pass over their characters, far less than a stretch.
    void setTexts(const QStringList& texts) {
        if (m_haveTexts && texts == m_texts) return;
        m_texts = texts;
        m_haveTexts = true;
        m_plans.clear();
        std::vector<View<CharT>> search;
        m_never = m_nonEmpty = m_exact = false;
        for (const QString& t : texts) m_plans.push_back(makePlan<CharT>(t, m_ignoreCase));
        for (const Plan<CharT>& p : m_plans) {
            switch (p.kind) {
                case Plan<CharT>::Kind::Never: m_never = true; break;
                case Plan<CharT>::Kind::NonEmpty: m_nonEmpty = true; break;
                case Plan<CharT>::Kind::Search: search.push_back(p.units); break;
                case Plan<CharT>::Kind::Exact: m_exact = true; break;
            }
        }
        m_set = TextSet<CharT>(search, m_ignoreCase);
    }

    // True when the texts in force need the decoded way for many lines, so stretches are kept
    // short enough for the window.
    bool slow() const { return m_exact; }

    void mark(View<CharT> text, const Stretch& s, std::vector<std::uint8_t>& removed) {
        m_text = text;
        const std::size_t lines = s.count();
        removed.assign(lines, 0);
        if (m_plans.empty()) return;
        // Not containing removes a line that lacks any text: start from "holds all" and clear.
        m_contained.assign(lines, m_containing ? 0 : 1);
        auto combine = [&](std::size_t j, bool holds) {
            if (m_containing)
                m_contained[j] |= std::uint8_t(holds);
            else
                m_contained[j] &= std::uint8_t(holds);
        };
        if (!m_set.empty()) {
            m_hits.clear();
            m_set.lines(text, s.start.front(), s.stop, !m_containing, m_hits);
            std::size_t j = 0, h = 0;
            for (; j < lines; ++j) {
                const bool hit = h < m_hits.size() && m_hits[h].start == s.start[j];
                if (hit) ++h;
                combine(j, hit);
            }
        }
        for (const Plan<CharT>& p : m_plans) {
            using Kind = typename Plan<CharT>::Kind;
            if (p.kind == Kind::Search) continue;
            for (std::size_t j = 0; j < lines; ++j) {
                bool holds = false;
                if (p.kind == Kind::NonEmpty) holds = s.end[j] > s.start[j];
                if (p.kind == Kind::Exact) holds = exact(p, s, j);
                combine(j, holds);
            }
        }
        for (std::size_t j = 0; j < lines; ++j)
            removed[j] = std::uint8_t(m_containing ? m_contained[j] : !m_contained[j]);
    }

    // The bulk form of mark() for the stretch [begin, end), whole lines whose breaks are all B:
    // all texts are searched through the whole stretch at once, and only the lines they hit are
    // looked at. Returns false when some text must be tested line by line.
    bool pick(View<CharT> text, std::size_t begin, std::size_t end, Picked& out) {
        m_text = text;
        out.lines.clear();
        out.keptPicked = !m_containing;
        if (m_plans.empty()) {
            out.keptPicked = false;
            return true;
        }
        if (m_nonEmpty || m_exact) return false;
        // A text that is in no line: containing removes nothing for it, not containing keeps
        // no line at all.
        if (m_never && !m_containing) return true;
        m_set.lines(text, begin, end, !m_containing, out.lines);
        return true;
    }

private:
    bool exact(const Plan<CharT>& p, const Stretch& s, std::size_t j) const {
        return exactIn(p, m_text.substr(s.start[j], s.end[j] - s.start[j]));
    }

    // The comparison of 16-bit characters itself, on the decoded line.
    bool exactIn(const Plan<CharT>& p, View<CharT> line) const {
        if (line.empty()) return false;
        // Lower-casing keeps ASCII in ASCII, so a line of ASCII alone cannot hold anything else.
        if (p.needleBeyondAscii &&
            std::all_of(line.begin(), line.end(), [](CharT c) { return unsigned(c) < 0x80; }))
            return false;
        const QString decoded = textio::lineText(line);
        return (m_ignoreCase ? lowerSimple(decoded) : decoded).contains(p.needle);
    }

    View<CharT> m_text;  // the piece being looked at
    bool m_ignoreCase;
    bool m_containing;
    QStringList m_texts;
    bool m_haveTexts = false;
    std::vector<Plan<CharT>> m_plans;
    bool m_never = false, m_nonEmpty = false, m_exact = false;
    TextSet<CharT> m_set;
    std::vector<std::uint8_t> m_contained;
    std::vector<LineSpan> m_hits;
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
inline constexpr std::size_t kMinStretchBytes = std::size_t(64) << 10;
inline constexpr std::size_t kBlockBytes = kMinStretchBytes;
inline constexpr auto kStretchTime = std::chrono::milliseconds(5);
// Blocks the line-counting pass reads between two yields at most, whatever the time.
inline constexpr int kCountBlocksPerYield = 64;

// Walks every line of the input once, a piece at a time. Per-line yields are kept one per line
// for services that cannot fold them; otherwise whole stretches are handled between two yields,
// which shows each line the same Option1 and rule state, since those change only inside a
// yield. `before` runs after each yield, so a rule can read state that changed in it, and
// answers whether the rule is slow. A stretch whose breaks are all the output's break goes to
// `pick` (the bulk form) first, and line by line to `mark` when pick declines; both are handed
// the piece the stretch's positions point into. The writer takes its break from the first
// piece before any line.
//
// A stop request is looked at wherever a stretch begins (after its yield, or in its place in a
// routine that does not yield, since a signal can set it at any time) and once more at the end.
// Returns false when the program was asked to end (result.stopped), when the input is to be
// left alone (result.skipped), or when a read failed (reported, and result.read turns false):
// the caller then drops its output, so its target keeps what it held.
template <class CharT, class Before, class Mark, class Pick>
bool walkLines(Host& host, Guard& g, textio::InputText& input, const Steps& steps,
               Writer<CharT>& out, FileResult& result, Before&& before, Mark&& mark, Pick&& pick) {
    WindowServices& ws = host.ws;
    const bool perLine = steps.yield != 0 && !ws.foldsYields();
    View<CharT> text;
    auto readFailed = [&] {
        if (!input.skipReason().isEmpty()) {
            result.skipped = input.skipReason();
            return false;
        }
        result.read = false;
        return false;
    };
    auto stopped = [&] {
        if (!ws.quitRequested()) return false;
        result.stopped = true;
        return true;
    };
    if (stopped()) return false;
    if (!input.next(text)) return readFailed();
    out.setBreak(textio::firstBreak(text));
    const textio::Break lineBreak = out.lineBreak();
    // The progress bar needs the line count before the first line; an input longer than one
    // piece is counted by a pass of its own. On a long file the window takes its turn during
    // that pass too; no line has been handled yet, so what changes in those turns is simply
    // seen from the first line on, as it would be after the first line's own yield.
    double lines = 0;
    if (steps.progress) {
        if (input.atEnd()) {
            lines = double(textio::countLines(text));
        } else {
            bool quit = false;
            auto last = std::chrono::steady_clock::now();
            int blocksSince = 0;
            lines = double(input.countLines([&] {
                if (perLine || !steps.yield) return true;
                const auto now = std::chrono::steady_clock::now();
                if (now - last < kStretchTime && ++blocksSince < kCountBlocksPerYield) return true;
                last = now;
                blocksSince = 0;
                g.step(steps.yield, [&] { ws.yield(); });
                quit = stopped();
                return !quit;
            }));
            if (quit) return false;
        }
        if (!input.ok() || !input.skipReason().isEmpty()) return readFailed();
    }
    struct Block {
        std::size_t stop;
        std::size_t lines;
        bool onlyBreak;  // every break in it is the output's
    };
    std::vector<Block> blocks;
    Stretch s;
    Picked picked;
    std::vector<std::uint8_t> removed;
    std::size_t budget = kStretchBytes / sizeof(CharT);
    std::int64_t done = 0, shownFor = 0;
    View<CharT> line;

    for (;;) {
        out.setText(text);
        // One pass over the piece up front: per block of whole lines, how many lines it has and
        // whether all its breaks are the output's. Stretches are made of whole blocks.
        blocks.clear();
        if (!perLine) {
            std::size_t at = 0;
            do {
                std::size_t stop = std::min(text.size(), at + kBlockBytes / sizeof(CharT));
                if (stop < text.size()) {
                    stop = textio::lineEndAt(text, stop);
                    if (stop < text.size()) stop += textio::breakLength(text, stop);
                }
                const textio::LineCensus c = textio::censusOf(text.substr(at, stop - at));
                blocks.push_back({stop, c.lines, c.only(lineBreak)});
                at = stop;
            } while (at < text.size());
        }
        std::size_t nextBlock = 0;
        std::size_t pos = 0;
        textio::LineCursor<CharT> cursor(text);  // one line per stretch

        // Only an empty input has an empty piece, and it holds one empty line.
        for (bool first = true; first || pos < text.size(); first = false) {
            // The stretch [pos, stop): whole lines.
            std::size_t stop;
            std::size_t stretchLines = 0;
            bool onlyBreak = true;
            if (perLine) {
                cursor.next(line);
                stop = cursor.position();
                stretchLines = 1;
                onlyBreak = false;
            } else {
                do {
                    const Block& b = blocks[nextBlock++];
                    stretchLines += b.lines;
                    onlyBreak = onlyBreak && b.onlyBreak;
                    stop = b.stop;
                } while (nextBlock < blocks.size() && stop - pos < budget);
            }
            const std::int64_t count = std::int64_t(stretchLines);
            const auto began = std::chrono::steady_clock::now();

            if (steps.progress) {
                // A file that grew between the count and the walk must not push the bar past
                // its end.
                const double percent = std::min(100.0, double(done + 1) / lines * 100.0);
                g.step(steps.progress, [&] { ws.setProgress(Bar::File, percent); });
                shownFor = done + 1;
            }
            if (steps.yield) g.step(steps.yield, [&] { ws.yield(); });
            if (stopped()) return false;
            const bool slow = before();

            std::optional<bool> leaveBlank;  // read at the stretch's first removed line
            auto blanks = [&](std::int64_t number, std::size_t n) {
                result.linesRemoved += std::int64_t(n);
                if (!steps.option1 || n == 0) return;
                if (!leaveBlank)
                    leaveBlank =
                        g.test(steps.option1, [&] { return host.option1.leaveBlankLine(); });
                if (*leaveBlank) out.blank(number, n);
            };
            bool bulk = false;
            if (onlyBreak && stop > pos)
                g.step(steps.test, [&] { bulk = pick(text, pos, stop, done + 1, picked); });
            if (bulk) {
                const std::int64_t number = done + 1;
                g.step(steps.write, [&] {
                    // Kept lines only: when removed lines leave nothing in their place, the gaps
                    // need no counting, the stretch's line count already says how many went.
                    if (picked.keptPicked) {
                        const auto gone = std::size_t(count) - picked.lines.size();
                        if (gone > 0 && steps.option1 && !leaveBlank)
                            leaveBlank = g.test(steps.option1,
                                                [&] { return host.option1.leaveBlankLine(); });
                        if (gone == 0 || !steps.option1 || !*leaveBlank) {
                            result.linesRemoved += std::int64_t(gone);
                            for (const LineSpan& l : picked.lines)
                                out.keepRun(number, l.start, l.next);
                            return;
                        }
                    }
                    std::size_t at = pos;
                    for (const LineSpan& l : picked.lines) {
                        if (!picked.keptPicked) {
                            out.keepRun(number, at, l.start);
                            blanks(number, 1);
                        } else {
                            const std::size_t gap =
                                l.start > at ? textio::countLines(text.substr(at, l.start - at))
                                             : 0;
                            blanks(number, gap);
                            out.keepRun(number, l.start, l.next);
                        }
                        at = l.next;
                    }
                    if (!picked.keptPicked)
                        out.keepRun(number, at, stop);
                    else if (stop > at)
                        blanks(number, textio::countLines(text.substr(at, stop - at)));
                });
            } else {
                s.start.clear();
                s.end.clear();
                if (perLine) {
                    s.start.push_back(std::size_t(line.data() - text.data()));
                    s.end.push_back(s.start.back() + line.size());
                } else {
                    textio::LineCursor<CharT> lines(text.substr(pos, stop - pos));
                    while (lines.next(line)) {
                        s.start.push_back(pos + std::size_t(line.data() - (text.data() + pos)));
                        s.end.push_back(s.start.back() + line.size());
                    }
                }
                s.stop = stop;
                s.firstNumber = done + 1;
                g.step(steps.test, [&] { mark(text, s, removed); });
                g.step(steps.write, [&] {
                    for (std::size_t j = 0; j < s.count(); ++j) {
                        const std::int64_t number = done + std::int64_t(j) + 1;
                        if (j >= removed.size() || !removed[j])
                            out.keep(number, s.start[j], s.end[j], s.next(j));
                        else
                            blanks(number, 1);
                    }
                });
            }
            done += count;
            result.linesRead = done;
            pos = stop;

            if (!perLine) {
                const auto took = std::chrono::steady_clock::now() - began;
                const std::size_t most =
                    (slow ? kStretchBytes / 16 : kStretchBytes) / sizeof(CharT);
                if (took > kStretchTime && budget > kMinStretchBytes)
                    budget /= 2;
                else if (took < kStretchTime / 4 && budget < most)
                    budget *= 2;
                budget = std::min(budget, most);
            }
        }
        // The next read reuses the piece's memory: what the writer holds of it goes out first.
        out.setText(View<CharT>());
        if (!input.next(text)) break;
    }
    if (!input.ok() || !input.skipReason().isEmpty()) return readFailed();
    if (stopped()) return false;
    // Folded progress was last shown for a stretch's first line; the last line shows 100.
    if (steps.progress && shownFor != done)
        g.step(steps.progress, [&] { ws.setProgress(Bar::File, 100.0); });
    return true;
}

// Finishes the output of a walk that went to the end. An input written back exactly as it was
// read (no line removed, every break its own, the bytes of its class unchanged) is known equal
// without reading anything; only a result of the same size that cannot be known so is compared.
template <class CharT>
void finishOutput(Writer<CharT>& out, const textio::InputText& input, FileResult& result) {
    textio::SameAsInput same;
    same.path = input.path();
    same.size = input.fileSize();
    const textio::EncodingClass cls = input.encodingClass();
    same.knownEqual = result.linesRemoved == 0 && !out.rewroteBreaks() &&
                      (cls == textio::EncodingClass::EightBit ||
                       cls == textio::EncodingClass::Utf8Bom ||
                       cls == textio::EncodingClass::Utf16Le);
    result.unchanged = out.finish(same);
}

}  // namespace vn::engine::detail
