#pragma once

// The rules that decide which lines go, one per family of routines: blank lines, lines by their
// search texts (one text or a whole keyword list), and lines by number. The walk hands a rule
// the lines of one stretch at a time and asks it through three operations:
//
// - refresh(), after each yield: take up whatever the window may have changed in it (the live
//   keyword list). A rule whose inputs cannot change does nothing.
// - pick(), the bulk form, for a stretch whose breaks are all the output's: name the lines the
//   rule removes (or, keptPicked, the only lines it keeps) without looking at every line. It may
//   decline, and the stretch then goes line by line.
// - mark(), line by line: one flag per line of the stretch, set where the line goes.
//
// A rule whose decisions never change may also have a twin(), which picks parts of a piece on
// another thread (see Walk.cpp's Survey), and such a rule may pick a part of a piece together
// with its census (surveyPick()), where its search can count breaks as it goes.
//
// Both forms see the same piece and must come to the same decision for every line.

#include "core/ErrorReport.h"
#include "core/Views.h"
#include "textio/Lines.h"

#include <QString>
#include <QStringView>

#include <bitset>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

namespace vn::engine::detail {

template <class CharT>
using View = std::basic_string_view<CharT>;

// How much of a range a search ignoring case lower-cases at a time, in bytes of the original
// (whole lines, so a longer line is taken whole); tests make it small.
extern std::size_t FoldPartBytes;

// Lines taken together between two yields: positions are offsets into the current piece. The
// lines are whole and in order; start[j] <= end[j] <= start[j + 1], and the units between
// end[j] and the next line's start are line j's break.
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

// What a rule picks from a stretch in bulk: the lines it removes, or (keptPicked) the only lines
// it keeps; in order, none twice.
struct Picked {
    std::vector<LineSpan> lines;
    bool keptPicked = false;
};

template <class CharT>
class Rule {
public:
    virtual ~Rule() = default;
    // The output's break, known once the first piece is read and before any other call.
    virtual void setBreak(textio::Break) {}
    // Returns true when the rule in force is slow (it decodes many lines), so that stretches are
    // kept short enough for the window.
    virtual bool refresh() { return false; }
    // The stretch [begin, end) of `text`, whole lines whose breaks are all the output's, the
    // first of them numbered firstNumber. Returns false to decline.
    virtual bool pick(View<CharT> text, std::size_t begin, std::size_t end,
                      std::int64_t firstNumber, Picked& out) = 0;
    // Sets removed[j] for each line j of the stretch (the vector is sized by the rule).
    virtual void mark(View<CharT> text, const Stretch& s, std::vector<std::uint8_t>& removed) = 0;
    // pick() for the part [begin, end) of `text` (whole lines), and the part's census (see
    // textio::censusOf), in one pass over it. The pick counts only where the census finds every
    // break the output's and no zero unit. False where the rule has no such pass; the caller
    // then takes the census and picks apart. Only for a rule that has a twin.
    virtual bool surveyPick(View<CharT>, std::size_t, std::size_t, textio::LineCensus&, Picked&) {
        return false;
    }
    // A copy that picks exactly as this rule does, for another thread to pick parts of a piece
    // with while the walk works on other parts; only a rule whose decisions can never change
    // (no live list, no line numbers) has one. Null where there is none.
    virtual std::unique_ptr<Rule> twin() const { return nullptr; }
    // The memory the rule holds for its texts in force (the tables of thousands of keywords,
    // say), roughly; the walk keeps fewer of the file's pages beside a rule that holds much.
    virtual std::size_t heldBytes() const { return 0; }
};

// Removes every empty line.
template <class CharT>
std::unique_ptr<Rule<CharT>> blankRule();

// Where a search rule's texts come from: one text for the whole call, or the live keyword list,
// read after every yield under the guard at countStep (its count) and textStep (its texts).
struct SearchTexts {
    const QString* single = nullptr;
    const KeywordListView* list = nullptr;
    Guard* guard = nullptr;
    int countStep = 0, textStep = 0;
};

// Removes the lines that contain any search text (removeContaining), or that lack any of them.
// No texts at all remove nothing in either case.
template <class CharT>
std::unique_ptr<Rule<CharT>> searchRule(const SearchTexts& texts, bool ignoreCase,
                                        bool removeContaining);

// Line numbers a list names; only numbers up to 32767 can be named.
using LineNumberSet = std::bitset<32768>;

// Removes the lines whose numbers the set holds.
template <class CharT>
std::unique_ptr<Rule<CharT>> lineNumberRule(const LineNumberSet& wanted);

// True when the text has no lone surrogate, so it has a UTF-8 form.
inline bool wellFormed(QStringView s) {
    for (qsizetype i = 0; i < s.size(); ++i) {
        if (s[i].isHighSurrogate() && i + 1 < s.size() && s[i + 1].isLowSurrogate())
            ++i;
        else if (s[i].isSurrogate())
            return false;
    }
    return true;
}

}  // namespace vn::engine::detail
