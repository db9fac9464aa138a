#include "engine/Walk.h"

#include "textio/Lines.h"

#include "platform/Processors.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>
#include <vector>

namespace vn::engine::detail {

bool SurveyAhead = usableProcessors() > 1;
std::size_t SurveyBlockBytes = std::size_t(64) << 10;

namespace {

using Clock = std::chrono::steady_clock;

// Input units handled between two yields at most, and at least once the window is slow to get
// its turn. The stretch shrinks when a stretch takes long (lines on the decoded way).
constexpr std::size_t kStretchBytes = std::size_t(1) << 20;
constexpr std::size_t kMinStretchBytes = std::size_t(64) << 10;
constexpr auto kStretchTime = std::chrono::milliseconds(5);
// Blocks the line-counting pass reads between two yields at most, whatever the time.
constexpr int kCountBlocksPerYield = 64;

// Ends a walk whose input gave out: either it is to be left alone (skipped, with its reason) or
// a read failed (already reported). Always false, for the walk to return.
bool inputGaveOut(const textio::InputText& input, FileResult& result) {
    if (!input.skipReason().isEmpty())
        result.skipped = input.skipReason();
    else
        result.read = false;
    return false;
}

bool inputSound(const textio::InputText& input) {
    return input.ok() && input.skipReason().isEmpty();
}

// ---- the survey ----

// Pieces at least this many blocks long are surveyed with the helper's help.
constexpr std::size_t kAheadBlocks = 4;

// A rule holding this much memory or more has the input keep as few pages as it can.
constexpr std::size_t kRuleBytesForFewPages = std::size_t(4) << 20;

// The process's one helper thread for surveys, made when first wanted and kept for the
// process's life, so that a run over many files starts no thread per file. It serves one survey
// at a time (the one that took it); a survey that finds it taken does without.
//
// Invariants: the thread works on a piece only between open() and close() of its survey, and
// close() returns once it is out of the piece; only the survey that took it opens and closes.
class SurveyHelper {
public:
    // The helper, if no other survey has it; null where it is taken or no thread can be had.
    static SurveyHelper* take(const void* survey) {
        SurveyHelper* const helper = processThread<SurveyHelper>();
        const void* none = nullptr;
        if (helper && helper->m_owner.compare_exchange_strong(none, survey))
            return helper;
        return nullptr;
    }
    void giveBack(const void* survey) {
        close();
        const void* expected = survey;
        m_owner.compare_exchange_strong(expected, nullptr);
    }

    // Sends the thread through a piece: `work` runs on it until it returns.
    void open(std::function<void()> work) {
        m_walkProcessor.store(currentProcessor(), std::memory_order_relaxed);
        {
            const std::lock_guard lock(m_mutex);
            m_work = std::move(work);
            m_open = true;
            m_opened.store(++m_piece, std::memory_order_relaxed);
        }
        m_wake.notify_all();
    }
    // Keeps the thread out of the piece opened last, waiting for it to leave (its work must
    // return soon once told so, as Survey's does).
    void close() {
        std::unique_lock lock(m_mutex);
        m_open = false;
        m_wake.wait(lock, [&] { return !m_inPiece; });
    }

private:
    friend SurveyHelper* vn::startedOnItsThread<SurveyHelper>();
    SurveyHelper() = default;

    void run() {
        std::unique_lock lock(m_mutex);
        std::uint64_t seen = 0;
        for (;;) {
            m_wake.wait(lock, [&] { return m_open && m_piece != seen; });
            seen = m_piece;
            m_inPiece = true;
            const std::function<void()> work = m_work;
            lock.unlock();
            // Woken beside the walk's thread, the helper would only take turns with it.
            const int walking = m_walkProcessor.load(std::memory_order_relaxed);
            if (walking >= 0 && currentProcessor() == walking)
                moveOffProcessor(walking);
            work();
            lock.lock();
            m_inPiece = false;
            m_wake.notify_all();
            lock.unlock();
            awaitNext(seen);
            lock.lock();
        }
    }

    // The walk opens its next piece a few microseconds after the last, sooner than the system
    // wakes a sleeping thread: the thread waits that long awake first, giving up its processor
    // now and then to whoever else wants it.
    void awaitNext(std::uint64_t seen) const {
        const auto until = Clock::now() + kAwake;
        for (int spins = 1; m_opened.load(std::memory_order_relaxed) == seen; ++spins) {
            if (spins % 64 == 0) {
                if (Clock::now() > until)
                    return;
                std::this_thread::yield();
            }
            pauseProcessor();
        }
    }

    static constexpr auto kAwake = std::chrono::microseconds(200);

    std::atomic<const void*> m_owner{nullptr};
    std::atomic<int> m_walkProcessor{-1};    // where the walk's thread was when it opened a piece
    std::atomic<std::uint64_t> m_opened{0};  // m_piece, for the awake wait
    std::mutex m_mutex;
    std::condition_variable m_wake;
    // Guarded by m_mutex: the pieces opened so far, the last one's work, whether the thread may
    // enter it (until it is closed) and whether it is in one.
    std::uint64_t m_piece = 0;
    std::function<void()> m_work;
    bool m_open = false;
    bool m_inPiece = false;
};

// The census of a piece, block by block: per block of whole lines, its line count and whether
// every break in it is the output's break B; a block holding a zero unit marks the piece binary
// from that block on. With K = SurveyBlockBytes in units, block n starts just past the first
// break at or after unit n * K (block 0 at the piece's start) and stops where block n + 1 starts
// (the last block at the piece's end). So every block's bounds are known without its
// neighbours', and blocks are surveyed in any order, each by whichever thread claims it first:
// the walk's own, as a stretch needs it or while it would otherwise wait, or, in a long piece,
// the helper thread, which runs through the piece while the walk's thread works on what the rule
// does. Where the rule has a twin (Rule::twin), the helper also picks the lines of each block it
// surveys, while the block is in its own cache, and either thread takes the census and the pick
// of a block in one pass where the rule can (Rule::surveyPick), the walk's with the rule itself;
// the walk's thread picks the rest. So both processors share the census and the search, and each
// reads its blocks from memory once. A line longer than K leaves the blocks it covers past its
// own empty.
//
// Invariants: each block is claimed once (claims go in block order) and surveyed, and picked,
// by the thread that claimed it, which publishes it when done; a published block does not change
// until the next piece; blocks are handed to the walk in order, and none at or past the first
// one holding a zero unit; the helper reads a piece only between start() and leave() (see
// SurveyHelper), and only it uses the twin; the rule itself picks in a survey only where it has
// a twin, on the walk's thread.
template <class CharT>
class Survey {
public:
    struct Block {
        std::size_t stop;  // the block is [stop of the one before, stop) of the piece
        std::size_t lines;
        bool onlyBreak;
        bool picked;  // its lines were picked in the survey (see picks())
    };

    // `rule` decides which lines go; where it has a twin (Rule::twin), the helper picks the
    // lines of the blocks it surveys with the twin, so that each thread reads its own blocks
    // once, while they are in its own cache, for the census and the rule alike.
    explicit Survey(Rule<CharT>& rule) : m_rule(rule) {}
    Survey(const Survey&) = delete;
    Survey& operator=(const Survey&) = delete;
    ~Survey() {
        leave();
        if (m_helper)
            m_helper->giveBack(this);
    }

    // A new piece, whose breaks are measured against B. The helper must be out of the last one.
    // Where the input's next piece is being read by a thread of its own (busy), the helper
    // would only take the processor that reading wants.
    void start(View<CharT> text, textio::Break b, bool busy) {
        m_unit = std::max<std::size_t>(1, SurveyBlockBytes / sizeof(CharT));
        const bool ahead = SurveyAhead && !busy && text.size() >= kAheadBlocks * m_unit;
        if (ahead && !m_helper)
            m_helper = SurveyHelper::take(this);
        m_text = text;
        m_break = b;
        if (!m_twinAsked) {
            // B is the first piece's and never changes.
            m_twinAsked = true;
            m_twin = m_rule.twin();
            if (m_twin)
                m_twin->setBreak(b);
        }
        // An empty piece is one empty block.
        m_count = std::max<std::size_t>(1, (text.size() + m_unit - 1) / m_unit);
        if (m_count > m_doneSize) {
            m_done = std::make_unique<std::atomic<bool>[]>(m_count);
            m_doneSize = m_count;
        }
        for (std::size_t k = 0; k < m_count; ++k) m_done[k].store(false, std::memory_order_relaxed);
        m_blocks.resize(m_count);
        if (m_twin && m_picks.size() < m_count)
            m_picks.resize(m_count);
        m_claimed.store(0, std::memory_order_relaxed);
        m_firstBinary.store(m_count, std::memory_order_relaxed);
        m_leave.store(false, std::memory_order_relaxed);
        m_helped = ahead && m_helper;
        if (m_helped)
            m_helper->open([this] { runAhead(); });
    }

    // Whether block k is there for the walk, surveying blocks or waiting for the thread on it
    // until it is; false past the piece's end and from a block holding a zero unit on.
    bool has(std::size_t k) {
        for (int spins = 1;; ++spins) {
            if (k >= m_firstBinary.load(std::memory_order_acquire))
                return false;
            if (m_done[k].load(std::memory_order_acquire))
                return true;
            // Rather than wait, survey a block still to come.
            if (claim(walkPicker(), false))
                continue;
            // The helper is on block k, for a few microseconds; should it have lost its
            // processor to this thread, it gets it back.
            if (spins % 64 == 0)
                std::this_thread::yield();
            pauseProcessor();
        }
    }
    // Whether block k can join a stretch that holds the one before it: surveyed already or,
    // where no helper runs through the piece, surveyed now. With a helper the walk's thread
    // takes what is done and leaves the rest to it, so that the helper runs ahead.
    bool hasDone(std::size_t k) {
        if (k >= m_count)
            return false;
        if (!m_helped)
            return has(k);
        return k < m_firstBinary.load(std::memory_order_acquire) &&
               m_done[k].load(std::memory_order_acquire);
    }
    const Block& operator[](std::size_t k) const { return m_blocks[k]; }
    // What was picked of block k in the survey, where it was.
    const Picked& picks(std::size_t k) const { return m_picks[k]; }
    // Where block k starts.
    std::size_t begin(std::size_t k) const { return k == 0 ? 0 : m_blocks[k - 1].stop; }
    // Whether a block holding a zero unit ended the blocks handed to the walk.
    bool binary() const { return m_firstBinary.load(std::memory_order_acquire) < m_count; }

    // Waits for the helper to be out of the piece, before its memory is reused.
    void leave() {
        if (!m_helped)
            return;
        m_leave.store(true, std::memory_order_relaxed);
        m_helper->close();
        m_helped = false;
    }

private:
    // Where the block that holds the lines beginning at or after unit `at` starts.
    std::size_t startAt(std::size_t at) const {
        if (at == 0)
            return 0;
        if (at >= m_text.size())
            return m_text.size();
        const std::size_t end = textio::lineEndAt(m_text, at);
        return end < m_text.size() ? end + textio::breakLength(m_text, end) : end;
    }

    // The rule the walk's thread picks with as it surveys: the rule itself, where its decisions
    // never change (it has a twin), and only in one pass with the census.
    Rule<CharT>* walkPicker() { return m_twin ? &m_rule : nullptr; }

    // Claims the next block no thread has claimed and surveys it with `picker` (where there is
    // one), which also picks its lines where the rule may take it in bulk: in one pass with the
    // census where it can, else after it where `apart`. False when no block is left (or none
    // worth surveying: they lie past a block holding a zero unit).
    bool claim(Rule<CharT>* picker, bool apart) {
        std::size_t n = m_claimed.load(std::memory_order_relaxed);
        do {
            if (n >= m_count || n >= m_firstBinary.load(std::memory_order_acquire))
                return false;
        } while (!m_claimed.compare_exchange_weak(n, n + 1, std::memory_order_acq_rel));
        const std::size_t begin = startAt(n * m_unit);
        const std::size_t stop = n + 1 == m_count ? m_text.size() : startAt((n + 1) * m_unit);
        Block block{stop, 0, true, false};
        if (stop > begin || m_text.empty()) {
            // A rule that cannot pick this block, or that fails to, leaves it to the walk, which
            // picks it again where its failures are reported.
            textio::LineCensus c;
            bool together = false;
            if (picker && stop > begin) {
                try {
                    together = picker->surveyPick(m_text, begin, stop, c, m_picks[n]);
                } catch (...) {
                    together = false;
                }
            }
            if (!together)
                c = textio::censusOf(m_text.substr(begin, stop - begin));
            if (c.holdsNul) {
                // The first such block counts; the blocks before it are the walk's all the same.
                std::size_t first = m_firstBinary.load(std::memory_order_relaxed);
                while (n < first &&
                       !m_firstBinary.compare_exchange_weak(first, n, std::memory_order_acq_rel)) {
                }
                return true;
            }
            block.lines = c.lines;
            block.onlyBreak = c.only(m_break);
            if (together) {
                block.picked = block.onlyBreak;
            } else if (picker && apart && block.onlyBreak && stop > begin) {
                try {
                    block.picked = picker->pick(m_text, begin, stop, 0, m_picks[n]);
                } catch (...) {
                    block.picked = false;
                }
            }
        }
        m_blocks[n] = block;
        m_done[n].store(true, std::memory_order_release);
        return true;
    }

    // On the helper: block after block, until none is left or the walk leaves the piece.
    void runAhead() {
        while (!m_leave.load(std::memory_order_relaxed) && claim(m_twin.get(), true)) {
        }
    }

    Rule<CharT>& m_rule;                  // the walk's; in a survey, used on its thread alone
    std::unique_ptr<Rule<CharT>> m_twin;  // used by the helper alone
    bool m_twinAsked = false;
    SurveyHelper* m_helper = nullptr;  // taken at the first long piece, kept to the end
    bool m_helped = false;             // the helper runs through this piece
    // Set in start(), while the helper is out of the piece, and read-only in it.
    View<CharT> m_text;
    textio::Break m_break = textio::kPlatformBreak;
    std::size_t m_unit = 1;   // K, in units
    std::size_t m_count = 0;  // blocks in the piece
    std::vector<Block> m_blocks;
    std::vector<Picked> m_picks;                  // per block, where Block::picked
    std::unique_ptr<std::atomic<bool>[]> m_done;  // per block: surveyed and published
    std::size_t m_doneSize = 0;
    std::atomic<std::size_t> m_claimed{0};      // blocks [0, m_claimed) are claimed
    std::atomic<std::size_t> m_firstBinary{0};  // the first block holding a zero unit, or m_count
    std::atomic<bool> m_leave{false};           // the walk is leaving the piece: the helper stops
};

// ---- the line source ----

// The input cut into stretches: runs of whole lines handled together between two yields.
//
// Each piece is surveyed once (see Survey), block by block as the stretches need them or ahead
// of them, and the same pass looks for a zero unit (the input leaves that to it): a block
// holding one ends the stretches, and the input is refused as a binary file. Stretches are made
// of whole blocks up to a budget of units, which halves when a stretch takes longer than
// kStretchTime and doubles when it takes far less, so the window gets its turn often whatever
// the rule costs. Per line (perLine) a stretch is one line, no survey is made, and the input
// looks for zero units itself.
//
// Invariants: the stretches of a piece follow one another without gap from its start to its
// end, or to the first block holding a zero unit; each holds at least one line (an empty
// input's single, empty piece holds one empty line, and gives one stretch) and no zero unit; B
// is the first break of the first piece and never changes; positions stay valid until next()
// reads the following piece.
template <class CharT>
class LineSource {
public:
    struct Span {
        std::size_t begin = 0, stop = 0;  // [begin, stop) of the piece: whole lines
        std::size_t lines = 0;
        bool onlyBreak = false;                    // every break in it is B
        std::size_t firstBlock = 0, endBlock = 0;  // its blocks of the survey, [first, end)
        bool surveyPicked = false;                 // some were picked in the survey
    };

    LineSource(textio::InputText& input, bool perLine, Rule<CharT>& rule)
        : m_input(input), m_perLine(perLine), m_rule(rule), m_survey(rule) {}

    // Reads the first piece and takes B from it; false when there is none (see inputGaveOut).
    bool start() {
        if (!m_input.next(m_text, nulCheck()))
            return false;
        m_break = textio::firstBreak(m_text);
        survey();
        return true;
    }
    // Reads the following piece; false at the end or when the input gave out. A piece found to
    // hold a zero unit refuses the input here, once nothing points into the piece any more.
    bool next() {
        m_survey.leave();
        if (m_survey.binary()) {
            m_input.refuseAsBinary();
            return false;
        }
        if (!m_input.next(m_text, nulCheck()))
            return false;
        survey();
        return true;
    }

    View<CharT> piece() const { return m_text; }
    textio::Break lineBreak() const { return m_break; }
    textio::InputText& input() { return m_input; }

    // The next stretch of the piece; false once the piece is done.
    bool nextStretch(Span& span) {
        if (m_started && m_pos >= m_text.size())
            return false;
        m_started = true;
        span = Span{m_pos, m_pos, 0, true};
        if (m_perLine) {
            View<CharT> line;
            m_cursor.next(line);
            span.stop = m_cursor.position();
            span.lines = 1;
            span.onlyBreak = false;
        } else {
            if (!m_survey.has(m_nextBlock))
                return false;
            span.firstBlock = m_nextBlock;
            do {
                const auto& b = m_survey[m_nextBlock++];
                span.lines += b.lines;
                span.onlyBreak = span.onlyBreak && b.onlyBreak;
                span.surveyPicked = span.surveyPicked || b.picked;
                span.stop = b.stop;
                // Blocks a long line covers past its own are empty; a stretch takes them in.
            } while (span.lines == 0
                         ? m_survey.has(m_nextBlock)
                         : span.stop - m_pos < m_budget && m_survey.hasDone(m_nextBlock));
            if (span.lines == 0)
                return false;  // nothing but empty blocks before a zero unit
            span.endBlock = m_nextBlock;
        }
        m_pos = span.stop;
        return true;
    }

    // The rule's bulk pick of a stretch whose breaks are all B (see Rule::pick): what was picked
    // in the survey is taken as it stands, and the rule picks the rest, each run of blocks the
    // survey left at once. False where the rule declines: the stretch then goes line by line.
    bool pick(Rule<CharT>& rule, const Span& span, std::int64_t firstNumber, Picked& picked) {
        if (!span.surveyPicked)
            return rule.pick(m_text, span.begin, span.stop, firstNumber, picked);
        picked.lines.clear();
        bool kindKnown = false;
        std::int64_t number = firstNumber;
        for (std::size_t k = span.firstBlock; k < span.endBlock;) {
            std::size_t j = k;
            std::size_t lines = 0;
            const Picked* part = &m_part;
            if (m_survey[k].picked) {
                part = &m_survey.picks(k);
                lines = m_survey[j++].lines;
            } else {
                while (j < span.endBlock && !m_survey[j].picked) lines += m_survey[j++].lines;
                const std::size_t from = m_survey.begin(k), to = m_survey[j - 1].stop;
                if (to > from && !rule.pick(m_text, from, to, number, m_part))
                    return false;
            }
            if (lines > 0) {
                // Every pick of one rule names the same kind of lines; should two differ, the
                // rule picks the whole stretch after all.
                if (kindKnown && part->keptPicked != picked.keptPicked)
                    return rule.pick(m_text, span.begin, span.stop, firstNumber, picked);
                kindKnown = true;
                picked.keptPicked = part->keptPicked;
                picked.lines.insert(picked.lines.end(), part->lines.begin(), part->lines.end());
            }
            number += std::int64_t(lines);
            k = j;
        }
        return true;
    }

    // The lines of a stretch, one by one, for a rule to mark.
    void linesOf(const Span& span, std::int64_t firstNumber, Stretch& s) const {
        s.start.clear();
        s.end.clear();
        textio::LineCursor<CharT> lines(m_text.substr(span.begin, span.stop - span.begin));
        View<CharT> line;
        while (lines.next(line)) {
            s.start.push_back(std::size_t(line.data() - m_text.data()));
            s.end.push_back(s.start.back() + line.size());
        }
        s.stop = span.stop;
        s.firstNumber = firstNumber;
    }

    // How long the last stretch took, and whether the rule said it is slow.
    void took(Clock::duration time, bool slow) {
        if (m_perLine)
            return;
        const std::size_t most = (slow ? kStretchBytes / 16 : kStretchBytes) / sizeof(CharT);
        if (time > kStretchTime && m_budget > kMinStretchBytes)
            m_budget /= 2;
        else if (time < kStretchTime / 4 && m_budget < most)
            m_budget *= 2;
        m_budget = std::min(m_budget, most);
    }

private:
    textio::InputText::NulCheck nulCheck() const {
        return m_perLine ? textio::InputText::NulCheck::Here
                         : textio::InputText::NulCheck::ByCaller;
    }

    void survey() {
        m_pos = 0;
        m_started = false;
        m_nextBlock = 0;
        m_cursor = textio::LineCursor<CharT>(m_text);
        if (!m_perLine)
            m_survey.start(m_text, m_break, m_input.readsAhead());
        // Beside a rule that holds much memory, the file's pages are let go of as soon as they
        // can be, so that the process stays within its bound.
        m_input.holdFewPages(m_rule.heldBytes() >= kRuleBytesForFewPages);
        // The page work for the next piece waits until the helper is on this one.
        m_input.settle();
    }

    textio::InputText& m_input;
    const bool m_perLine;
    const Rule<CharT>& m_rule;
    View<CharT> m_text;
    textio::Break m_break = textio::kPlatformBreak;
    Survey<CharT> m_survey;
    Picked m_part;  // the rule's pick of blocks the helper left, in pick()
    std::size_t m_nextBlock = 0;
    std::size_t m_pos = 0;
    bool m_started = false;
    textio::LineCursor<CharT> m_cursor{View<CharT>()};
    std::size_t m_budget = kStretchBytes / sizeof(CharT);
};

// ---- the pacer ----

// Progress, yields and stop requests. Per-line yields are kept one per line for services that
// cannot fold them; otherwise a turn comes once per stretch, which shows every line of the
// stretch the same Option1 and rule state, since those change only inside a yield.
//
// Invariants: the bar is set for the first line of each stretch and never past 100, and shows
// 100 once the last line is done; a stop is looked at wherever a stretch begins (after its
// yield, or in its place in a routine that does not yield, since a signal can set it at any
// time) and once more at the end; once stopped() answered true, result.stopped is set. Where
// nobody sees the bar, it is never set and the input's lines are not counted ahead.
class Pacer {
public:
    Pacer(WindowServices& ws, Guard& g, const Steps& steps, FileResult& result)
        : m_ws(ws),
          m_g(g),
          m_steps(steps),
          m_result(result),
          m_perLine(steps.yield != 0 && !ws.foldsYields()),
          m_bar(steps.progress != 0 && ws.showsFileProgress()) {}

    bool perLine() const { return m_perLine; }

    bool stopped() {
        if (!m_ws.quitRequested())
            return false;
        m_result.stopped = true;
        return true;
    }

    // The line count the bar needs before the first line. An input longer than one piece is
    // counted by a pass of its own, during which the window of a long file takes its turn too:
    // no line has been handled yet, so what changes in those turns is simply seen from the first
    // line on. False when the walk must end (a stop, or the input gave out).
    template <class CharT>
    bool countLines(textio::InputText& input, View<CharT> firstPiece) {
        // Nothing else needs the count: the walk finds a binary or shrunken input by itself.
        if (!m_bar)
            return true;
        if (input.atEnd()) {
            m_lines = double(textio::countLines(firstPiece));
        } else {
            bool quit = false;
            auto last = Clock::now();
            int blocksSince = 0;
            m_lines = double(input.countLines([&] {
                if (m_perLine || !m_steps.yield)
                    return true;
                const auto now = Clock::now();
                if (now - last < kStretchTime && ++blocksSince < kCountBlocksPerYield)
                    return true;
                last = now;
                blocksSince = 0;
                m_g.step(m_steps.yield, [&] { m_ws.yield(); });
                quit = stopped();
                return !quit;
            }));
            if (quit)
                return false;
        }
        return inputSound(input) || inputGaveOut(input, m_result);
    }

    // Before the stretch whose first line is `number`. False when the walk must stop.
    bool turn(std::int64_t number) {
        if (m_bar) {
            // A file that grew between the count and the walk must not push the bar past its end.
            const double percent = std::min(100.0, double(number) / m_lines * 100.0);
            m_g.step(m_steps.progress, [&] { m_ws.setProgress(Bar::File, percent); });
            m_shownFor = number;
        }
        if (m_steps.yield)
            m_g.step(m_steps.yield, [&] { m_ws.yield(); });
        return !stopped();
    }

    // After the last of `lines` lines.
    void finish(std::int64_t lines) {
        if (m_bar && m_shownFor != lines)
            m_g.step(m_steps.progress, [&] { m_ws.setProgress(Bar::File, 100.0); });
    }

private:
    WindowServices& m_ws;
    Guard& m_g;
    const Steps& m_steps;
    FileResult& m_result;
    const bool m_perLine;
    const bool m_bar;  // the per-file bar is set, and the input's lines counted for it
    double m_lines = 0;
    std::int64_t m_shownFor = 0;
};

// ---- the writer ----

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
    Writer(textio::Output& output, bool cutFinalBreak) : m_output(output), m_cut(cutFinalBreak) {
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
        if (start == end)
            return;
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
        if (count == 0)
            return;
        if (empty())
            m_pendingLine = lineNumber;
        m_blanks += count;
    }

    // Returns true when the output is the input itself and the result equalled it, so the file
    // was left as it was (see textio::SameAsInput).
    bool finish(const textio::SameAsInput& input) {
        if (m_cut) {
            if (m_blanks > 0)
                --m_blanks;
            else if (m_blockEnd - m_blockBegin >= m_break.length)
                m_blockEnd -= m_break.length;
        }
        flush();
        // An output that was never written to is still started afresh.
        if (!m_written)
            m_output.appendRaw(1, nullptr, 0);
        return m_output.finish(&input);
    }

private:
    bool empty() const { return m_blanks == 0 && m_blockEnd == m_blockBegin; }

    // Whether the units just before `at`, a line's end in the piece, are B. Lines end after
    // their whole break, so a match here is the line's own break, not half of one.
    bool endsInBreak(std::size_t at) const {
        if (at < m_break.length)
            return false;
        for (std::size_t i = 0; i < m_break.length; ++i)
            if (m_text[at - m_break.length + i] != m_break.units[i])
                return false;
        return true;
    }

    void put(const CharT* data, std::size_t units) {
        if (units == 0)
            return;
        const std::int64_t n = m_written ? std::max<std::int64_t>(m_pendingLine, 2) : 1;
        m_written = true;
        m_output.appendRaw(std::int32_t(std::min<std::int64_t>(n, INT32_MAX)),
                           reinterpret_cast<const char*>(data), units * sizeof(CharT));
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

    textio::Output& m_output;
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

// ---- removed lines ----

// Counts the lines a rule removes and, where Option1 asks for it, leaves a blank line in each
// one's place. Option1 is read at a stretch's first removed line and holds for the stretch (it
// changes only inside a yield); a routine without an Option1 step lets removed lines vanish.
template <class CharT>
class Removals {
public:
    Removals(Host& host, Guard& g, int option1Step, Writer<CharT>& out, FileResult& result)
        : m_host(host), m_g(g), m_step(option1Step), m_out(out), m_result(result) {}

    void newStretch() { m_leaveBlank.reset(); }

    bool leaveBlanks() {
        if (!m_step)
            return false;
        if (!m_leaveBlank)
            m_leaveBlank = m_g.test(m_step, [&] { return m_host.option1.leaveBlankLine(); });
        return *m_leaveBlank;
    }

    // n lines removed, the first of them near line `number`.
    void remove(std::int64_t number, std::size_t n) {
        m_result.linesRemoved += std::int64_t(n);
        if (n > 0 && leaveBlanks())
            m_out.blank(number, n);
    }

private:
    Host& m_host;
    Guard& m_g;
    int m_step;
    Writer<CharT>& m_out;
    FileResult& m_result;
    std::optional<bool> m_leaveBlank;
};

// Writes a stretch [begin, stop) whose lines the rule picked in bulk; the lines between picked
// ones are counted only when they must be blanked.
template <class CharT>
void writePicked(View<CharT> text, std::size_t begin, std::size_t stop, std::size_t lines,
                 std::int64_t number, const Picked& picked, Writer<CharT>& out,
                 Removals<CharT>& removals, FileResult& result) {
    if (picked.keptPicked) {
        // Kept lines only: when removed lines leave nothing in their place, the stretch's line
        // count already says how many went.
        const std::size_t gone = lines - picked.lines.size();
        if (gone == 0 || !removals.leaveBlanks()) {
            result.linesRemoved += std::int64_t(gone);
            for (const LineSpan& l : picked.lines) out.keepRun(number, l.start, l.next);
            return;
        }
    }
    std::size_t at = begin;
    for (const LineSpan& l : picked.lines) {
        if (!picked.keptPicked) {
            out.keepRun(number, at, l.start);
            removals.remove(number, 1);
        } else {
            const std::size_t gap =
                l.start > at ? textio::countLines(text.substr(at, l.start - at)) : 0;
            removals.remove(number, gap);
            out.keepRun(number, l.start, l.next);
        }
        at = l.next;
    }
    if (!picked.keptPicked)
        out.keepRun(number, at, stop);
    else if (stop > at)
        removals.remove(number, textio::countLines(text.substr(at, stop - at)));
}

// Writes a stretch the rule marked line by line.
template <class CharT>
void writeMarked(const Stretch& s, const std::vector<std::uint8_t>& removed, Writer<CharT>& out,
                 Removals<CharT>& removals) {
    for (std::size_t j = 0; j < s.count(); ++j) {
        const std::int64_t number = s.firstNumber + std::int64_t(j);
        if (j >= removed.size() || !removed[j])
            out.keep(number, s.start[j], s.end[j], s.next(j));
        else
            removals.remove(number, 1);
    }
}

// ---- the loop ----

// Every line once, stretch by stretch: the pacer takes its turn, the rule refreshes, picks the
// stretch in bulk where its breaks allow (or marks it line by line), and the writer puts out
// what stays. False when the walk ended early (see walkFile).
template <class CharT>
bool walkLines(Guard& g, const Steps& steps, Pacer& pacer, LineSource<CharT>& source,
               Rule<CharT>& rule, Writer<CharT>& out, Removals<CharT>& removals,
               FileResult& result) {
    textio::InputText& input = source.input();
    if (pacer.stopped())
        return false;
    if (!source.start())
        return inputGaveOut(input, result);
    out.setBreak(source.lineBreak());
    rule.setBreak(source.lineBreak());
    if (!pacer.countLines(input, source.piece()))
        return false;

    typename LineSource<CharT>::Span span;
    Stretch s;
    Picked picked;
    std::vector<std::uint8_t> removed;
    std::int64_t done = 0;
    do {
        const View<CharT> text = source.piece();
        out.setText(text);
        while (source.nextStretch(span)) {
            const auto began = Clock::now();
            if (!pacer.turn(done + 1))
                return false;
            const bool slow = rule.refresh();
            removals.newStretch();
            bool bulk = false;
            if (span.onlyBreak && span.stop > span.begin)
                g.step(steps.test, [&] { bulk = source.pick(rule, span, done + 1, picked); });
            if (bulk) {
                g.step(steps.write, [&] {
                    writePicked(text, span.begin, span.stop, span.lines, done + 1, picked, out,
                                removals, result);
                });
            } else {
                source.linesOf(span, done + 1, s);
                g.step(steps.test, [&] { rule.mark(text, s, removed); });
                g.step(steps.write, [&] { writeMarked(s, removed, out, removals); });
            }
            done += std::int64_t(span.lines);
            result.linesRead = done;
            source.took(Clock::now() - began, slow);
        }
        // The next read reuses the piece's memory: what the writer holds of it goes out first.
        out.setText(View<CharT>());
    } while (source.next());
    if (!inputSound(input))
        return inputGaveOut(input, result);
    if (pacer.stopped())
        return false;
    pacer.finish(done);
    return true;
}

// An input written back exactly as it was read (no line removed, every break its own, the bytes
// of its class unchanged) is known equal without reading anything; only a result of the same
// size that cannot be known so is compared.
template <class CharT>
bool finishOutput(Writer<CharT>& out, const textio::InputText& input, const FileResult& result) {
    textio::SameAsInput same;
    same.path = input.path();
    same.size = input.fileSize();
    const textio::EncodingClass cls = input.encodingClass();
    same.knownEqual =
        result.linesRemoved == 0 && !out.rewroteBreaks() &&
        (cls == textio::EncodingClass::EightBit || cls == textio::EncodingClass::Utf8Bom ||
         cls == textio::EncodingClass::Utf16Le);
    return out.finish(same);
}

}  // namespace

template <class CharT>
FileResult walkFile(Host& host, Guard& g, textio::InputText& input, const Steps& steps,
                    Rule<CharT>& rule, textio::Output& output, bool cutFinalBreak) {
    FileResult result;
    result.read = true;
    output.expectSource(input.path(), input.stamp());
    Pacer pacer(host.ws, g, steps, result);
    LineSource<CharT> source(input, pacer.perLine(), rule);
    Writer<CharT> out(output, cutFinalBreak);
    Removals<CharT> removals(host, g, steps.option1, out, result);
    if (walkLines(g, steps, pacer, source, rule, out, removals, result))
        result.unchanged = finishOutput(out, input, result);
    result.failed = output.failed();
    return result;
}

template FileResult walkFile<char>(Host&, Guard&, textio::InputText&, const Steps&, Rule<char>&,
                                   textio::Output&, bool);
template FileResult walkFile<char16_t>(Host&, Guard&, textio::InputText&, const Steps&,
                                       Rule<char16_t>&, textio::Output&, bool);

}  // namespace vn::engine::detail
