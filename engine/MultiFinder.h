#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

namespace vn::engine {

// Finds many patterns in one pass over a text, for 8-bit code units or UTF-16 units: an
// Aho–Corasick automaton over the patterns' units. Each unit of the text costs one table step
// whatever the number of patterns, so a list of ten thousand keywords is read about as fast as a
// list of ten; a pass per pattern would grow with the list.
//
// Units are first mapped to classes (one per unit that some pattern holds, and one for every
// other unit), which keeps the table small: a row per state, a column per class. When that table
// would grow past kDenseCells (very many long patterns over a wide alphabet), the automaton is
// walked through its failure links instead, which needs memory only in proportion to the
// patterns' length.
//
// Patterns are compared unit for unit; folding case is the caller's part (it searches a folded
// copy of the text). Equal patterns count as one; an empty pattern is never reported.
template <class CharT>
class MultiFinder {
public:
    static constexpr std::size_t npos = std::size_t(-1);
    static constexpr std::size_t kDenseCells = std::size_t(4) << 20;  // 16 MiB of uint32_t
    using View = std::basic_string_view<CharT>;

    // Where a scan stands: the automaton's state before the unit at `pos`.
    struct Cursor {
        std::uint32_t state = 0;
        std::size_t pos = 0;
    };

    // `denseCells` bounds the table; the walk through failure links finds the same matches.
    explicit MultiFinder(const std::vector<View>& patterns, std::size_t denseCells = kDenseCells) {
        build(patterns, denseCells);
        m_heldBytes = measureHeld();
    }

    // The number of distinct non-empty patterns; their ids run from 0 below it.
    std::size_t patternCount() const { return m_patternCount; }
    // The id a pattern was given, or -1 when it is empty (or not one of the patterns).
    int idOf(View pattern) const {
        auto it = std::lower_bound(m_ids.begin(), m_ids.end(), pattern,
                                   [](const auto& e, View p) { return View(e.first) < p; });
        return it != m_ids.end() && View(it->first) == pattern ? it->second : -1;
    }
    bool dense() const { return !m_trans.empty(); }
    // The memory its tables take, roughly: for the walk to weigh against the pages it keeps.
    std::size_t heldBytes() const { return m_heldBytes; }

    // Moves the cursor to just past the next unit, before `end`, at which some pattern ends, and
    // returns true; or to `end`, returning false.
    bool next(const CharT* text, std::size_t end, Cursor& c) const {
        if (m_patternCount == 0) {
            c.pos = end;
            return false;
        }
        if (dense())
            return nextDense(text, end, c);
        std::uint32_t s = c.state;
        for (std::size_t i = c.pos; i < end; ++i) {
            s = step(s, classOf(text[i]));
            if (m_node[s].matches) {
                c.state = s;
                c.pos = i + 1;
                return true;
            }
        }
        c.state = s;
        c.pos = end;
        return false;
    }

    // Two scans of one text at once: `a` over [a.pos, aEnd), `b` over [b.pos, bEnd). Moves them
    // on until one stands just past a unit at which some pattern ends and answers 1 (for a) or 2
    // (for b), or both reach their ends and answers 0. A match of `a` is answered first; `b` is
    // then left before its own unit, so no match of either is ever passed over. One scan waits
    // on each table look-up before the next; two independent ones let the processor overlap them.
    int nextTwo(const CharT* text, Cursor& a, std::size_t aEnd, Cursor& b, std::size_t bEnd) const {
        if (dense()) {
            using U = std::make_unsigned_t<CharT>;
            const std::uint32_t* trans = m_trans.data();
            const std::uint32_t* cls = m_classOf.data();
            const std::uint32_t matchFrom = m_matchFrom;
            std::uint32_t sa = a.state, sb = b.state;
            std::size_t i = a.pos, j = b.pos;
            while (i < aEnd && j < bEnd) {
                const std::uint32_t na = trans[sa + cls[U(text[i])]];
                const std::uint32_t nb = trans[sb + cls[U(text[j])]];
                if (std::max(na, nb) >= matchFrom) {
                    const bool first = na >= matchFrom;
                    a = {na, i + 1};
                    b = first ? Cursor{sb, j} : Cursor{nb, j + 1};
                    return first ? 1 : 2;
                }
                sa = na;
                sb = nb;
                ++i;
                ++j;
            }
            a = {sa, i};
            b = {sb, j};
        }
        if (next(text, aEnd, a))
            return 1;
        if (next(text, bEnd, b))
            return 2;
        return 0;
    }

    // Calls f(id) for every pattern that ends where the cursor stands (after next() returned
    // true), longest first.
    template <class F>
    void forEachEnding(const Cursor& c, F&& f) const {
        std::uint32_t n = dense() ? m_denseToNode[c.state / m_classes] : c.state;
        if (m_node[n].id < 0)
            n = m_node[n].dict;
        while (n != kNone) {
            f(m_node[n].id);
            n = m_node[n].dict;
        }
    }

    // The first position past which some pattern ends, with a scan that starts afresh at
    // `from`; npos when none ends before `end`.
    std::size_t findEnd(const CharT* text, std::size_t from, std::size_t end) const {
        Cursor c;
        c.pos = from;
        return next(text, end, c) ? c.pos : npos;
    }

    // The cursor a fresh scan from `pos` starts with.
    Cursor startAt(std::size_t pos) const {
        Cursor c;
        c.pos = pos;
        c.state = 0;
        return c;
    }

private:
    static constexpr std::uint32_t kNone = 0xFFFFFFFFu;
    static constexpr bool kWide = sizeof(CharT) == 2;

    struct Node {
        // (class, node), sorted by class; emptied once the dense table stands for them.
        std::vector<std::pair<std::uint32_t, std::uint32_t>> children;
        std::uint32_t fail = 0;
        std::uint32_t dict = kNone;  // the longest proper suffix node that ends a pattern
        int id = -1;                 // the pattern that ends here
        bool matches = false;        // some pattern ends here (this one or a suffix)
    };

    std::uint32_t classOf(CharT u) const {
        return m_classOf[static_cast<std::make_unsigned_t<CharT>>(u)];
    }

    std::uint32_t child(std::uint32_t n, std::uint32_t cls) const {
        const auto& ch = m_node[n].children;
        auto it = std::lower_bound(ch.begin(), ch.end(), std::make_pair(cls, std::uint32_t(0)));
        return it != ch.end() && it->first == cls ? it->second : kNone;
    }

    std::uint32_t step(std::uint32_t n, std::uint32_t cls) const {
        for (;;) {
            const std::uint32_t c = child(n, cls);
            if (c != kNone)
                return c;
            if (n == 0)
                return 0;
            n = m_node[n].fail;
        }
    }

    bool nextDense(const CharT* text, std::size_t end, Cursor& c) const {
        const std::uint32_t* trans = m_trans.data();
        const std::uint32_t* cls = m_classOf.data();
        const std::uint32_t matchFrom = m_matchFrom;
        std::uint32_t s = c.state;
        std::size_t i = c.pos;
        // Four steps per round and one test: every state from matchFrom on is a match state,
        // so the largest of the four tells whether any of them is one.
        for (; i + 4 <= end; i += 4) {
            using U = std::make_unsigned_t<CharT>;
            const std::uint32_t s1 = trans[s + cls[U(text[i])]];
            const std::uint32_t s2 = trans[s1 + cls[U(text[i + 1])]];
            const std::uint32_t s3 = trans[s2 + cls[U(text[i + 2])]];
            const std::uint32_t s4 = trans[s3 + cls[U(text[i + 3])]];
            if (std::max(std::max(s1, s2), std::max(s3, s4)) >= matchFrom) {
                // One of the four (not necessarily the last) is a match: report the first.
                if (s1 >= matchFrom)
                    return stop(c, s1, i + 1);
                if (s2 >= matchFrom)
                    return stop(c, s2, i + 2);
                if (s3 >= matchFrom)
                    return stop(c, s3, i + 3);
                return stop(c, s4, i + 4);
            }
            s = s4;
        }
        for (; i < end; ++i) {
            s = trans[s + cls[std::make_unsigned_t<CharT>(text[i])]];
            if (s >= matchFrom)
                return stop(c, s, i + 1);
        }
        c.state = s;
        c.pos = end;
        return false;
    }

    static bool stop(Cursor& c, std::uint32_t s, std::size_t pos) {
        c.state = s;
        c.pos = pos;
        return true;
    }

    void build(const std::vector<View>& patterns, std::size_t denseCells) {
        // Distinct non-empty patterns, each with its id.
        for (View p : patterns)
            if (!p.empty())
                m_ids.emplace_back(std::basic_string<CharT>(p), 0);
        std::sort(m_ids.begin(), m_ids.end());
        m_ids.erase(std::unique(m_ids.begin(), m_ids.end()), m_ids.end());
        m_patternCount = m_ids.size();
        for (std::size_t k = 0; k < m_ids.size(); ++k) m_ids[k].second = int(k);

        // Classes: 0 for units in no pattern.
        m_classOf.assign(kWide ? 0x10000 : 0x100, 0);
        m_classes = 1;
        for (const auto& e : m_ids) {
            for (CharT u : e.first) {
                std::uint32_t& k = m_classOf[std::make_unsigned_t<CharT>(u)];
                if (k == 0)
                    k = m_classes++;
            }
        }

        // The trie.
        m_node.assign(1, Node{});
        for (const auto& e : m_ids) {
            std::uint32_t n = 0;
            for (CharT u : e.first) {
                const std::uint32_t cls = classOf(u);
                std::uint32_t c = child(n, cls);
                if (c == kNone) {
                    c = std::uint32_t(m_node.size());
                    auto& ch = m_node[n].children;
                    ch.insert(std::upper_bound(ch.begin(), ch.end(), std::make_pair(cls, c)),
                              std::make_pair(cls, c));
                    m_node.emplace_back();
                }
                n = c;
            }
            m_node[n].id = e.second;
            m_node[n].matches = true;
        }

        // Failure and dictionary links, breadth first so that shorter suffixes come first.
        std::vector<std::uint32_t> order;
        order.reserve(m_node.size());
        order.push_back(0);
        for (std::size_t q = 0; q < order.size(); ++q) {
            const std::uint32_t n = order[q];
            for (const auto& [cls, c] : m_node[n].children) {
                std::uint32_t f = 0;
                if (n != 0)
                    f = step(m_node[n].fail, cls);
                m_node[c].fail = f;
                m_node[c].dict = m_node[f].id >= 0 ? f : m_node[f].dict;
                m_node[c].matches = m_node[c].matches || m_node[f].matches;
                order.push_back(c);
            }
        }

        if (m_node.size() * m_classes > denseCells)
            return;

        // The dense table: states renumbered so that every match state comes after all others,
        // and each state's number premultiplied by the row length.
        const std::size_t states = m_node.size();
        std::vector<std::uint32_t> rank(states);
        std::uint32_t next = 0;
        for (std::uint32_t n = 0; n < states; ++n)
            if (!m_node[n].matches)
                rank[n] = next++;
        m_matchFrom = next * m_classes;
        for (std::uint32_t n = 0; n < states; ++n)
            if (m_node[n].matches)
                rank[n] = next++;
        m_denseToNode.resize(states);
        for (std::uint32_t n = 0; n < states; ++n) m_denseToNode[rank[n]] = n;
        m_trans.assign(states * m_classes, 0);
        // In breadth-first order a state's failure target is complete before the state itself.
        for (std::uint32_t n : order) {
            std::uint32_t* row = &m_trans[std::size_t(rank[n]) * m_classes];
            if (n != 0) {
                const std::uint32_t* failRow =
                    &m_trans[std::size_t(rank[m_node[n].fail]) * m_classes];
                std::copy(failRow, failRow + m_classes, row);
            } else {
                std::fill(row, row + m_classes, rank[0] * m_classes);
            }
            for (const auto& [cls, c] : m_node[n].children) row[cls] = rank[c] * m_classes;
        }
        // Empty patterns are left out, so the root matches nothing and ranks first: a fresh
        // scan starts in state 0 in either form.

        // The table stands for the trie's edges from here on; only the matches are looked up
        // in the nodes.
        for (Node& n : m_node) decltype(n.children)().swap(n.children);
    }

    std::size_t measureHeld() const {
        std::size_t bytes = (m_classOf.capacity() + m_trans.capacity() + m_denseToNode.capacity()) *
                                sizeof(std::uint32_t) +
                            m_node.capacity() * sizeof(Node) + m_ids.capacity() * sizeof(m_ids[0]);
        for (const Node& n : m_node) bytes += n.children.capacity() * sizeof(n.children[0]);
        for (const auto& id : m_ids) bytes += id.first.capacity() * sizeof(CharT);
        return bytes;
    }

    std::vector<std::pair<std::basic_string<CharT>, int>> m_ids;  // sorted by pattern
    std::size_t m_patternCount = 0;
    std::vector<std::uint32_t> m_classOf;
    std::uint32_t m_classes = 1;
    std::vector<Node> m_node;
    std::vector<std::uint32_t> m_trans;        // empty: walk m_node instead
    std::vector<std::uint32_t> m_denseToNode;  // dense state number / classes -> node
    std::uint32_t m_matchFrom = 0;
    std::size_t m_heldBytes = 0;  // measureHeld(), once the tables are built
};

}  // namespace vn::engine
