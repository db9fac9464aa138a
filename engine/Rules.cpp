#include "engine/Rules.h"

#include "engine/FewFinder.h"
#include "engine/Finder.h"
#include "engine/FoldedText.h"
#include "engine/MultiFinder.h"
#include "platform/Memory.h"
#include "textio/CaseFold.h"
#include "textio/Codec.h"
#include "textio/InputText.h"

#include <QStringList>

#include <algorithm>
#include <optional>
#include <string>

namespace vn::engine::detail {

// A part of a few hundred kilobytes keeps the copy's buffer small while each part is still
// long enough for the search's set-up to cost nothing.
std::size_t FoldPartBytes = std::size_t(256) << 10;

// An automaton holding this much is large enough for its builder's freed memory to matter.
constexpr std::size_t kReturnFreedFrom = std::size_t(1) << 20;

namespace {

// The span of the line that holds position `at`.
template <class CharT>
LineSpan spanAt(View<CharT> text, std::size_t at) {
    const std::size_t start = textio::lineStartAt(text, at);
    const std::size_t end = textio::lineEndAt(text, at);
    return {start, end < text.size() ? end + textio::breakLength(text, end) : end};
}

// Whether a rule takes a part's census and its search in one pass (see Rule::surveyPick). It
// pays where the rule finds little: the census runs at the speed of memory and the search rides
// along. Where finds are many, the search alone does better, since it skips the rest of each
// line it finds, and the census alone runs without a branch; a pass that finds more than one
// per kUnitsAFind units gives up, and the next kRest parts go apart before one tries again.
template <class CharT>
class TogetherOrApart {
public:
    // Finds where `finder` finds in text[begin, end) (see finds()) and takes the part's census,
    // in one pass; false where the pass is not taken or gives up.
    bool find(const Finder<CharT>& finder, View<CharT> text, std::size_t begin, std::size_t end,
              textio::LineCensus& census) {
        m_found.clear();
        if (m_rest > 0) {
            --m_rest;
            return false;
        }
        textio::BreakTally tally;
        if (!finder.findAllCounting(text.data(), begin, end, m_found, tally,
                                    (end - begin) / kUnitsAFind + 8)) {
            m_rest = kRest;
            return false;
        }
        census = textio::censusFrom(tally, text.substr(begin, end - begin));
        return true;
    }
    // The positions the last find() found, in order.
    const std::vector<std::size_t>& finds() const { return m_found; }

private:
    static constexpr std::size_t kUnitsAFind = 512;
    static constexpr int kRest = 32;
    int m_rest = 0;
    std::vector<std::size_t> m_found;
};

// ---- blank lines ----

// Where every break is B, a line that starts with B's first unit is empty; past the first line,
// such a line starts right after B's last unit, so the bulk form searches for B's last unit
// followed by its first.
template <class CharT>
class BlankRule final : public Rule<CharT> {
public:
    void setBreak(textio::Break b) override {
        m_break = textio::unitsOf<CharT>(b);
        const CharT pair[] = {m_break.units[m_break.length - 1], m_break.units[0]};
        m_emptyLineAfter.emplace(View<CharT>(pair, 2), false);
    }

    bool pick(View<CharT> text, std::size_t begin, std::size_t end, std::int64_t,
              Picked& picked) override {
        std::size_t at = pickFirst(text, begin, picked);
        while ((at = m_emptyLineAfter->find(text.data(), at, end)) != Finder<CharT>::npos) {
            picked.lines.push_back({at + 1, at + 1 + m_break.length});
            at += m_break.length;
        }
        return true;
    }

    bool surveyPick(View<CharT> text, std::size_t begin, std::size_t end,
                    textio::LineCensus& census, Picked& picked) override {
        if (!m_pass.find(*m_emptyLineAfter, text, begin, end, census))
            return false;
        // As pick() finds them: each search goes on B's length past the last find.
        std::size_t from = pickFirst(text, begin, picked);
        for (const std::size_t at : m_pass.finds()) {
            if (at < from)
                continue;
            picked.lines.push_back({at + 1, at + 1 + m_break.length});
            from = at + m_break.length;
        }
        return true;
    }

    void mark(View<CharT>, const Stretch& s, std::vector<std::uint8_t>& removed) override {
        removed.resize(s.count());
        for (std::size_t j = 0; j < s.count(); ++j) removed[j] = s.end[j] == s.start[j];
    }

    std::unique_ptr<Rule<CharT>> twin() const override {
        return std::make_unique<BlankRule<CharT>>();
    }

private:
    // Starts a pick at `begin` with the stretch's first line, where it is empty; returns where
    // the search for the others begins.
    std::size_t pickFirst(View<CharT> text, std::size_t begin, Picked& picked) const {
        picked.lines.clear();
        picked.keptPicked = false;
        if (text[begin] == m_break.units[0])
            picked.lines.push_back({begin, begin + m_break.length});
        return begin;
    }

    textio::BreakUnits<CharT> m_break{};
    std::optional<Finder<CharT>> m_emptyLineAfter;
    TogetherOrApart<CharT> m_pass;  // surveyPick's
};

// ---- search texts ----

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

template <class CharT>
Plan<CharT> makePlan(const QString& text, bool ignoreCase) {
    Plan<CharT> p;
    p.needle = ignoreCase ? lowerSimple(text) : text;
    if (p.needle.isEmpty()) {
        p.kind = Plan<CharT>::Kind::NonEmpty;
        return p;
    }
    if (p.needle.contains(QLatin1Char('\r')) || p.needle.contains(QLatin1Char('\n')))
        return p;
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

// Whether a search ignoring case may look for the lower-cased text `folded` as it stands: every
// code point in it is the lower-case form of itself alone, so lines hold it in no other case and
// nothing needs folding. A surrogate without its partner is never taken so.
bool caseless(const QString& folded) {
    const qsizetype n = folded.size();
    for (qsizetype i = 0; i < n; ++i) {
        char32_t c = folded[i].unicode();
        if (QChar::isSurrogate(c)) {
            if (!(QChar::isHighSurrogate(c) && i + 1 < n && folded[i + 1].isLowSurrogate()))
                return false;
            c = QChar::surrogateToUcs4(folded[i], folded[i + 1]);
            ++i;
        }
        if (!textio::lowersOnlyFromItself(c))
            return false;
    }
    return true;
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
        if (distinct.size() == 1) {
            m_one.emplace(distinct.front(), false);
            if (m_fold)
                pickAnchor(distinct.front());
        } else if (distinct.size() > 1) {
            m_many.emplace(distinct);
            // Building a large automaton frees many small pieces of memory (its trie's edges);
            // they go back to the system rather than stay counted as the process's.
            if (m_many->heldBytes() >= kReturnFreedFrom)
                returnFreedMemory();
            if (FewFinder<CharT>::suits(distinct))
                m_few.emplace(distinct);
            // A line holding every text holds the longest one (the likeliest to be rare).
            const View<CharT> longest =
                *std::max_element(distinct.begin(), distinct.end(),
                                  [](View<CharT> a, View<CharT> b) { return a.size() < b.size(); });
            if (!longest.empty())
                m_allAnchor.emplace(longest, false);
        }
    }

    bool empty() const { return !m_one && !m_many; }
    std::size_t heldBytes() const { return m_many ? m_many->heldBytes() : 0; }

    // Appends to `out`, in order, the lines of text[begin, end) (whole lines) that hold any text
    // of the set, or (all) every one of them.
    void lines(View<CharT> text, std::size_t begin, std::size_t end, bool all,
               std::vector<LineSpan>& out) {
        if (empty() || begin >= end)
            return;
        if (m_anchor) {
            begin = anchoredLines(text, begin, end, out);
            if (begin >= end)
                return;
        }
        if (!m_fold) {
            search(text, begin, end, all, out);
            return;
        }
        // The lower-cased copy is made a part of whole lines at a time, so that it stays small
        // whatever the range: a line longer than a part is copied whole.
        const std::size_t part = std::max<std::size_t>(1, FoldPartBytes / sizeof(CharT));
        while (begin < end) {
            std::size_t stop = end;
            if (end - begin > part) {
                stop = textio::lineEndAt(text, begin + part);
                stop = stop < end ? stop + textio::breakLength(text, stop) : end;
            }
            m_folded.fold(text, begin, stop);
            const View<CharT> folded = m_folded.view();
            const std::size_t first = out.size();
            search(folded, 0, folded.size(), all, out);
            for (std::size_t k = first; k < out.size(); ++k)
                out[k] = {m_folded.original(out[k].start), m_folded.original(out[k].next)};
            begin = stop;
        }
    }

    // lines() for one text searched as it stands, together with the census of [begin, end)
    // (see Finder::findAllCounting); false where the set is not one such text, or the finder
    // has no such pass.
    bool linesCounting(View<CharT> text, std::size_t begin, std::size_t end,
                       textio::LineCensus& census, std::vector<LineSpan>& out) {
        if (!m_one || m_fold || begin >= end)
            return false;
        if (!m_pass.find(*m_one, text, begin, end, census))
            return false;
        // Each line once, however many times it holds the text.
        std::size_t from = begin;
        for (const std::size_t at : m_pass.finds()) {
            if (at < from)
                continue;
            out.push_back(spanAt(text, at));
            from = out.back().next;
        }
        return true;
    }

private:
    // lines() of searched[from, to), searched as it stands.
    void search(View<CharT> searched, std::size_t from, std::size_t to, bool all,
                std::vector<LineSpan>& out) {
        if (m_one) {
            std::size_t at;
            while ((at = m_one->find(searched.data(), from, to)) != Finder<CharT>::npos) {
                out.push_back(spanAt(searched, at));
                from = out.back().next;
            }
        } else if (!all) {
            anyIn(searched, from, to, out);
        } else {
            allIn(searched, from, to, out);
        }
    }

    // Folding a whole stretch costs more than searching it. Every line that holds the folded
    // text also holds, in its original, each run of the text's characters in one of their cases.
    // Where every other case of each character of a run differs from it, unit for unit, only in
    // bit 0x20 (ASCII letters, and in UTF-16 most letters; in UTF-8 the last byte of letters
    // such as é, ü, а, α), the run is searched in the original with that bit left out where it
    // varies, and only the lines where it turns up are folded and searched in full. The longest
    // such run is taken; a run of one unit would find nearly every line and is not used.
    void pickAnchor(View<CharT> folded) {
        std::size_t bestAt = 0, bestLength = 0, runAt = 0;
        std::basic_string<CharT> mask(folded.size(), CharT(0));
        const QString text = decoded(folded);
        std::size_t unit = 0;
        for (const char32_t c : text.toUcs4()) {
            const std::basic_string<CharT> own = encoded(c);
            // Units that are not this character's own (a surrogate without its partner) leave
            // the text without an anchor, rather than one placed by a wrong count.
            if (own.empty() || unit + own.size() > folded.size() ||
                folded.substr(unit, own.size()) != View<CharT>(own))
                return;
            bool usable = c != '\r' && c != '\n';
            for (const char32_t other : textio::otherFormsOf(c)) {
                const std::basic_string<CharT> form = encoded(other);
                if (!usable || form.size() != own.size()) {
                    usable = false;
                    break;
                }
                for (std::size_t k = 0; k < own.size() && usable; ++k) {
                    const CharT differ = CharT(form[k] ^ own[k]);
                    if (differ == 0)
                        continue;
                    usable = differ == CharT(0x20) && (own[k] & CharT(0x20)) != 0;
                    mask[unit + k] = CharT(0x20);
                }
            }
            if (!usable)
                runAt = unit + own.size();
            else if (unit + own.size() - runAt > bestLength) {
                bestAt = runAt;
                bestLength = unit + own.size() - runAt;
            }
            unit += own.size();
        }
        if (bestLength >= 2)
            m_anchor.emplace(folded.substr(bestAt, bestLength),
                             View<CharT>(mask).substr(bestAt, bestLength));
    }

    // The text that units of a search text stand for, and back, as makePlan encodes it.
    static QString decoded(View<CharT> units) {
        if constexpr (sizeof(CharT) == 1)
            return textio::decodeUtf8Escaped(units);
        else
            return QString::fromUtf16(units.data(), qsizetype(units.size()));
    }
    static std::basic_string<CharT> encoded(char32_t c) {
        const QString one = QString::fromUcs4(&c, 1);
        if constexpr (sizeof(CharT) == 1) {
            const QByteArray utf8 = textio::encodeUtf8Escaped(one);
            return std::basic_string<CharT>(utf8.constData(), std::size_t(utf8.size()));
        } else {
            return std::basic_string<CharT>(reinterpret_cast<const char16_t*>(one.utf16()),
                                            std::size_t(one.size()));
        }
    }

    // lines() for one folded text with an anchor (see pickAnchor), from `begin` on. Where the
    // anchor turns up in so many lines that folding them one by one would cost more than
    // folding the rest whole, it stops and answers where the rest begins; `end` when done.
    std::size_t anchoredLines(View<CharT> text, std::size_t begin, std::size_t end,
                              std::vector<LineSpan>& out) {
        constexpr std::size_t kLookBeforeGivingUp = 1 << 16;
        std::size_t from = begin, at, foldedUnits = 0;
        while ((at = m_anchor->find(text.data(), from, end)) != Finder<CharT>::npos) {
            const LineSpan line = spanAt(text, at);
            m_folded.fold(text, line.start, line.next);
            foldedUnits += line.next - line.start;
            const View<CharT> folded = m_folded.view();
            if (m_one->find(folded.data(), 0, folded.size()) != Finder<CharT>::npos)
                out.push_back(line);
            from = line.next;
            const std::size_t looked = from - begin;
            if (looked >= kLookBeforeGivingUp / sizeof(CharT) && foldedUnits > looked / 3)
                return from;
        }
        return end;
    }

    // Lines that hold any text. A few texts are found by their fingerprints; otherwise a long
    // range is searched by the automaton as two halves, split at a line's end, by two scans run
    // side by side; the second half's lines follow the first's.
    void anyIn(View<CharT> text, std::size_t from, std::size_t to, std::vector<LineSpan>& out) {
        if (m_few) {
            std::size_t at;
            while ((at = m_few->find(text.data(), from, to)) != FewFinder<CharT>::npos) {
                out.push_back(spanAt(text, at));
                from = out.back().next;
            }
            return;
        }
        constexpr std::size_t kTwoScansFrom = 1 << 12;
        const MultiFinder<CharT>& f = *m_many;
        std::size_t mid = to;
        if (to - from >= kTwoScansFrom) {
            mid = textio::lineEndAt(text, from + (to - from) / 2);
            if (mid < to)
                mid += textio::breakLength(text, mid);
        }
        if (mid >= to) {
            std::size_t past;
            while ((past = f.findEnd(text.data(), from, to)) != MultiFinder<CharT>::npos) {
                out.push_back(spanAt(text, past - 1));
                from = out.back().next;
            }
            return;
        }
        m_second.clear();
        auto a = f.startAt(from), b = f.startAt(mid);
        while (const int which = f.nextTwo(text.data(), a, mid, b, to)) {
            auto& c = which == 1 ? a : b;
            std::vector<LineSpan>& lines = which == 1 ? out : m_second;
            lines.push_back(spanAt(text, c.pos - 1));
            c = f.startAt(lines.back().next);
        }
        out.insert(out.end(), m_second.begin(), m_second.end());
    }

    // Lines that hold every text. Only a line that holds the anchor (the longest text) can: the
    // anchor is searched at the single-text finder's speed and only its lines are scanned for
    // every text. Where it turns up in so many lines that scanning them one by one would cost
    // more than scanning the rest whole, the rest is scanned whole.
    void allIn(View<CharT> text, std::size_t from, std::size_t to, std::vector<LineSpan>& out) {
        if (!m_allAnchor) {
            allInRange(text, from, to, out);
            return;
        }
        constexpr std::size_t kLookBeforeGivingUp = 1 << 16;
        const std::size_t begin = from;
        std::size_t at, scanned = 0;
        while ((at = m_allAnchor->find(text.data(), from, to)) != Finder<CharT>::npos) {
            const LineSpan line = spanAt(text, at);
            allInRange(text, line.start, line.next, out);
            scanned += line.next - line.start;
            from = line.next;
            const std::size_t looked = from - begin;
            if (looked >= kLookBeforeGivingUp / sizeof(CharT) && scanned > looked / 3) {
                allInRange(text, from, to, out);
                return;
            }
        }
    }

    // allIn over every line of [from, to): the texts ending in a line are counted once each (a
    // stamp per text says in which line it was last counted), and a line is done once all are
    // seen.
    void allInRange(View<CharT> text, std::size_t from, std::size_t to,
                    std::vector<LineSpan>& out) {
        const MultiFinder<CharT>& f = *m_many;
        const std::size_t wanted = f.patternCount();
        if (m_seen.size() != wanted)
            m_seen.assign(wanted, 0);
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
    std::optional<Finder<CharT>> m_anchor;  // ASCII part of the one text, searched unfolded
    std::optional<MultiFinder<CharT>> m_many;
    std::optional<FewFinder<CharT>> m_few;     // for anyIn, where the texts are few enough
    std::optional<Finder<CharT>> m_allAnchor;  // the longest of many texts, for allIn
    std::vector<LineSpan>
        m_second;  // anyIn: the lines of the second half, until the first's are in
    FoldedText<CharT> m_folded;
    std::vector<std::uint64_t> m_seen;
    std::uint64_t m_line = 0;
    TogetherOrApart<CharT> m_pass;  // linesCounting's
};

// Removes the lines that contain any search text (containing), or that lack any of them (not
// containing). No texts at all remove nothing in either case.
template <class CharT>
class SearchRule final : public Rule<CharT> {
public:
    SearchRule(const SearchTexts& texts, bool ignoreCase, bool removeContaining)
        : m_source(texts), m_ignoreCase(ignoreCase), m_containing(removeContaining) {
        if (texts.single)
            setTexts(QStringList{*texts.single});
    }

    // The live list is read again after every yield; a single text never changes.
    bool refresh() override {
        if (m_source.list) {
            int count = 0;
            m_source.guard->step(m_source.countStep, [&] { count = m_source.list->count(); });
            m_source.guard->step(m_source.textStep, [&] {
                m_current.clear();
                for (int k = 1; k <= count; ++k) m_current.append(m_source.list->text(k));
            });
            setTexts(m_current);
        }
        return slow();
    }

    // The texts in force for the next stretch. The search is built anew only when they changed;
    // comparing them costs a pass over their characters, far less than a stretch.
    void setTexts(const QStringList& texts) {
        if (m_haveTexts && texts == m_texts)
            return;
        m_texts = texts;
        m_haveTexts = true;
        m_plans.clear();
        std::vector<View<CharT>> search;
        // Texts without case (in Chinese, say) are found as they stand, without folding the
        // stretch; one text with case folds it for all.
        bool fold = false;
        m_never = m_nonEmpty = m_exact = false;
        for (const QString& t : texts) m_plans.push_back(makePlan<CharT>(t, m_ignoreCase));
        for (const Plan<CharT>& p : m_plans) {
            switch (p.kind) {
                case Plan<CharT>::Kind::Never:
                    m_never = true;
                    break;
                case Plan<CharT>::Kind::NonEmpty:
                    m_nonEmpty = true;
                    break;
                case Plan<CharT>::Kind::Search:
                    search.push_back(p.units);
                    fold = fold || (m_ignoreCase && !caseless(p.needle));
                    break;
                case Plan<CharT>::Kind::Exact:
                    m_exact = true;
                    break;
            }
        }
        m_set = TextSet<CharT>(search, fold);
    }

    // True when the texts in force need the decoded way for many lines, so stretches are kept
    // short enough for the window.
    bool slow() const { return m_exact; }

    std::size_t heldBytes() const override { return m_set.heldBytes(); }

    void mark(View<CharT> text, const Stretch& s, std::vector<std::uint8_t>& removed) override {
        m_text = text;
        const std::size_t lines = s.count();
        removed.assign(lines, 0);
        if (m_plans.empty())
            return;
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
                if (hit)
                    ++h;
                combine(j, hit);
            }
        }
        for (const Plan<CharT>& p : m_plans) {
            using Kind = typename Plan<CharT>::Kind;
            if (p.kind == Kind::Search)
                continue;
            for (std::size_t j = 0; j < lines; ++j) {
                bool holds = false;
                if (p.kind == Kind::NonEmpty)
                    holds = s.end[j] > s.start[j];
                if (p.kind == Kind::Exact)
                    holds = exact(p, s, j);
                combine(j, holds);
            }
        }
        for (std::size_t j = 0; j < lines; ++j)
            removed[j] = std::uint8_t(m_containing ? m_contained[j] : !m_contained[j]);
    }

    // The bulk form of mark() for the stretch [begin, end), whole lines whose breaks are all B:
    // all texts are searched through the whole stretch at once, and only the lines they hit are
    // looked at. Returns false when some text must be tested line by line.
    bool pick(View<CharT> text, std::size_t begin, std::size_t end, std::int64_t,
              Picked& out) override {
        m_text = text;
        out.lines.clear();
        out.keptPicked = !m_containing;
        if (m_plans.empty()) {
            out.keptPicked = false;
            return true;
        }
        if (m_nonEmpty || m_exact)
            return false;
        // A text that is in no line: containing removes nothing for it, not containing keeps
        // no line at all.
        if (m_never && !m_containing)
            return true;
        m_set.lines(text, begin, end, !m_containing, out.lines);
        return true;
    }

    bool surveyPick(View<CharT> text, std::size_t begin, std::size_t end,
                    textio::LineCensus& census, Picked& out) override {
        if (m_source.list || m_plans.empty() || m_never || m_nonEmpty || m_exact)
            return false;
        m_text = text;
        out.lines.clear();
        out.keptPicked = !m_containing;
        return m_set.linesCounting(text, begin, end, census, out.lines);
    }

    // A single text never changes; a live list may, after any yield.
    std::unique_ptr<Rule<CharT>> twin() const override {
        if (m_source.list)
            return nullptr;
        return std::make_unique<SearchRule<CharT>>(m_source, m_ignoreCase, m_containing);
    }

private:
    bool exact(const Plan<CharT>& p, const Stretch& s, std::size_t j) const {
        return exactIn(p, m_text.substr(s.start[j], s.end[j] - s.start[j]));
    }

    // The comparison of 16-bit characters itself, on the decoded line.
    bool exactIn(const Plan<CharT>& p, View<CharT> line) const {
        if (line.empty())
            return false;
        // Lower-casing keeps ASCII in ASCII, so a line of ASCII alone cannot hold anything else.
        if (p.needleBeyondAscii &&
            std::all_of(line.begin(), line.end(), [](CharT c) { return unsigned(c) < 0x80; }))
            return false;
        const QString decoded = textio::lineText(line);
        return (m_ignoreCase ? lowerSimple(decoded) : decoded).contains(p.needle);
    }

    SearchTexts m_source;
    QStringList m_current;
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

// ---- line numbers ----

template <class CharT>
class LineNumberRule final : public Rule<CharT> {
public:
    explicit LineNumberRule(const LineNumberSet& wanted) : m_wanted(wanted) {
        for (std::size_t n = 1; n < wanted.size(); ++n)
            if (wanted[n])
                m_last = std::int64_t(n);
    }

    // Past the last number named, every line is kept; before it, lines are looked at one by one.
    bool pick(View<CharT>, std::size_t, std::size_t, std::int64_t firstNumber,
              Picked& picked) override {
        picked.lines.clear();
        picked.keptPicked = false;
        return firstNumber > m_last;
    }

    void mark(View<CharT>, const Stretch& s, std::vector<std::uint8_t>& removed) override {
        removed.assign(s.count(), 0);
        for (std::size_t j = 0; j < s.count(); ++j) {
            const std::int64_t number = s.firstNumber + std::int64_t(j);
            if (number <= m_last)
                removed[j] = m_wanted[std::size_t(number)];
        }
    }

private:
    const LineNumberSet& m_wanted;
    std::int64_t m_last = 0;  // the highest line number the set holds
};

}  // namespace

template <class CharT>
std::unique_ptr<Rule<CharT>> blankRule() {
    return std::make_unique<BlankRule<CharT>>();
}

template <class CharT>
std::unique_ptr<Rule<CharT>> searchRule(const SearchTexts& texts, bool ignoreCase,
                                        bool removeContaining) {
    return std::make_unique<SearchRule<CharT>>(texts, ignoreCase, removeContaining);
}

template <class CharT>
std::unique_ptr<Rule<CharT>> lineNumberRule(const LineNumberSet& wanted) {
    return std::make_unique<LineNumberRule<CharT>>(wanted);
}

template std::unique_ptr<Rule<char>> blankRule<char>();
template std::unique_ptr<Rule<char16_t>> blankRule<char16_t>();
template std::unique_ptr<Rule<char>> searchRule<char>(const SearchTexts&, bool, bool);
template std::unique_ptr<Rule<char16_t>> searchRule<char16_t>(const SearchTexts&, bool, bool);
template std::unique_ptr<Rule<char>> lineNumberRule<char>(const LineNumberSet&);
template std::unique_ptr<Rule<char16_t>> lineNumberRule<char16_t>(const LineNumberSet&);

}  // namespace vn::engine::detail
