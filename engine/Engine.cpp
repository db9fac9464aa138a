#include "engine/Engine.h"

#include "engine/LineNumbers.h"
#include "engine/Walk.h"
#include "core/ErrorLocations.h"
#include "core/ErrorReport.h"

#include <bitset>
#include <memory>

namespace vn::engine {

using detail::Steps;
using detail::View;
using textio::InputText;

namespace {

// Opens the input at `label` and hands it to `body`, with an empty view of its code unit type
// to pick the body's form. An input that could not be read is never written over: the reader
// has already reported why, and an in-place run would otherwise replace the file with an empty
// line.
template <class Body>
FileResult withInput(Host& host, Guard& g, int label, const QString& inputPath, Body&& body) {
    std::unique_ptr<InputText> input;
    g.step(label, [&] { input = std::make_unique<InputText>(host.ws, inputPath); });
    if (!input || !input->ok()) return FileResult{};
    return input->isWide() ? body(*input, std::u16string_view()) : body(*input, std::string_view());
}

enum class Rule { Containing, NotContaining };

// Where the search texts come from: one text for the whole call, or the live keyword list.
struct Texts {
    const QString* single = nullptr;
    const KeywordListView* list = nullptr;
    int countStep = 0, textStep = 0;
};

FileResult filterBySearch(Host& host, const char* location, const QString& inputPath,
                          const QString& outputPath, const Texts& texts, Rule rule,
                          bool ignoreCase, const Steps& steps) {
    Guard g(host.ws, location);
    return withInput(host, g, 100, inputPath, [&](InputText& input, auto unitType) {
        using CharT = typename decltype(unitType)::value_type;
        FileResult result;
        result.read = true;
        detail::SearchRule<CharT> search(ignoreCase, rule == Rule::Containing);
        QStringList current;
        if (texts.single) {
            current.append(*texts.single);
            search.setTexts(current);
        }
        auto readTexts = [&] {
            if (!texts.list) return search.slow();
            int count = 0;
            g.step(texts.countStep, [&] { count = texts.list->count(); });
            g.step(texts.textStep, [&] {
                current.clear();
                for (int k = 1; k <= count; ++k) current.append(texts.list->text(k));
            });
            search.setTexts(current);
            return search.slow();
        };
        detail::AppendSink sink(host, outputPath, input);
        detail::Writer<CharT> out(sink, false);
        const bool finished = detail::walkLines(
            host, g, input, steps, out, result, readTexts,
            [&](View<CharT> text, const detail::Stretch& s, std::vector<std::uint8_t>& removed) {
                search.mark(text, s, removed);
            },
            [&](View<CharT> text, std::size_t begin, std::size_t end, std::int64_t,
                detail::Picked& picked) { return search.pick(text, begin, end, picked); });
        if (finished) detail::finishOutput(out, input, result);
        return result;
    });
}

constexpr Steps kSearchSteps{104, 106, 114, 118, 116};

}  // namespace

FileResult RemoveAllBlankLinesWrapper(Host& host, const QString& inputPath,
                                      const QString& outputPath) {
    Guard g(host.ws, loc::RemoveAllBlankLinesWrapper);
    return withInput(host, g, 100, inputPath, [&](InputText& input, auto unitType) {
        using CharT = typename decltype(unitType)::value_type;
        FileResult result;
        result.read = true;
        detail::AppendSink sink(host, outputPath, input);
        detail::Writer<CharT> out(sink, false);
        // No progress, no yield and no Option1: blank lines always vanish.
        const Steps steps{0, 0, 104, 0, 106};
        // Where every break is B, a line that starts with B's first unit is empty; past the
        // first line, such a line starts right after B's last unit. The output's break is known
        // once the walk has read its first piece.
        std::optional<Finder<CharT>> emptyLineAfter;
        textio::BreakUnits<CharT> b{};
        const bool finished = detail::walkLines(
            host, g, input, steps, out, result, [] { return false; },
            [](View<CharT>, const detail::Stretch& s, std::vector<std::uint8_t>& removed) {
                removed.resize(s.count());
                for (std::size_t j = 0; j < s.count(); ++j) removed[j] = s.end[j] == s.start[j];
            },
            [&](View<CharT> text, std::size_t begin, std::size_t end, std::int64_t,
                detail::Picked& picked) {
                picked.lines.clear();
                picked.keptPicked = false;
                if (!emptyLineAfter) {
                    b = textio::unitsOf<CharT>(out.lineBreak());
                    const CharT pair[] = {b.units[b.length - 1], b.units[0]};
                    emptyLineAfter.emplace(View<CharT>(pair, 2), false);
                }
                if (text[begin] == b.units[0]) picked.lines.push_back({begin, begin + b.length});
                std::size_t at = begin;
                while ((at = emptyLineAfter->find(text.data(), at, end)) != Finder<CharT>::npos) {
                    picked.lines.push_back({at + 1, at + 1 + b.length});
                    at += b.length;
                }
                return true;
            });
        if (finished) detail::finishOutput(out, input, result);
        return result;
    });
}

FileResult RemoveContaining(Host& host, const QString& inputPath, const QString& searchText,
                            const QString& outputPath, bool ignoreCase) {
    Texts texts;
    texts.single = &searchText;
    return filterBySearch(host, loc::RemoveContaining, inputPath, outputPath, texts,
                          Rule::Containing, ignoreCase, kSearchSteps);
}

FileResult RemoveNotContaining(Host& host, const QString& inputPath, const QString& searchText,
                               const QString& outputPath, bool ignoreCase) {
    Texts texts;
    texts.single = &searchText;
    return filterBySearch(host, loc::RemoveNotContaining, inputPath, outputPath, texts,
                          Rule::NotContaining, ignoreCase, kSearchSteps);
}

FileResult RemoveContainingListview(Host& host, const QString& inputPath,
                                    const KeywordListView& keywordList, const QString& outputPath,
                                    bool ignoreCase) {
    const Texts texts{nullptr, &keywordList, 110, ignoreCase ? 114 : 118};
    return filterBySearch(host, loc::RemoveContainingListview, inputPath, outputPath, texts,
                          Rule::Containing, ignoreCase, Steps{104, 106, ignoreCase ? 116 : 120,
                                                              126, 130});
}

FileResult RemoveNotContainingListview(Host& host, const QString& inputPath,
                                       const KeywordListView& keywordList,
                                       const QString& outputPath, bool ignoreCase) {
    const Texts texts{nullptr, &keywordList, 110, ignoreCase ? 114 : 118};
    return filterBySearch(host, loc::RemoveNotContainingListview, inputPath, outputPath, texts,
                          Rule::NotContaining, ignoreCase,
                          Steps{104, 106, ignoreCase ? 116 : 120, 126, 130});
}

FileResult RemoveN1(Host& host, const QString& inputPath, const QString& numbersText,
                    const QString& outputPath) {
    Guard g(host.ws, loc::RemoveN1);
    // Line numbers that a piece names; a piece is a 16-bit integer, so nothing beyond 32767.
    auto wanted = std::make_unique<std::bitset<32768>>();
    g.step(100, [] {});
    if (g.test(102, [&] { return numbersText.isEmpty(); })) return FileResult{};
    QStringList pieces;
    g.step(104, [&] { pieces = numbersText.split(QLatin1Char(',')); });
    for (const QString& piece : pieces) {
        std::optional<double> value;
        if (g.test(108, [&] { return (value = parseNumber(piece)).has_value(); })) {
            g.step(110, [&] {
                const std::int16_t n = toInt16(value.value_or(HUGE_VAL));
                if (n > 0) wanted->set(std::size_t(n));
            });
        } else {
            g.step(112, [&] {
                host.ws.messageBox(QStringLiteral("One of the inputs was not a number"),
                                   Buttons::Ok, Icon::None, QString());
            });
        }
    }
    return withInput(host, g, 120, inputPath, [&](InputText& input, auto unitType) {
        using CharT = typename decltype(unitType)::value_type;
        FileResult result;
        result.read = true;
        // The result is written as SaveStringToFileFSO writes it, only as it is produced, so
        // that a file of hundreds of megabytes is never held twice over.
        detail::SaveSink sink(host, outputPath, input);
        detail::Writer<CharT> out(sink, true);
        std::int64_t last = 0;  // the highest line number the list names
        for (std::size_t n = 1; n < wanted->size(); ++n)
            if ((*wanted)[n]) last = std::int64_t(n);
        const Steps steps{0, 124, 132, 142, 140};
        const bool finished = detail::walkLines(
            host, g, input, steps, out, result, [] { return false; },
            [&](View<CharT>, const detail::Stretch& s, std::vector<std::uint8_t>& removed) {
                removed.assign(s.count(), 0);
                for (std::size_t j = 0; j < s.count(); ++j) {
                    const std::int64_t number = s.firstNumber + std::int64_t(j);
                    if (number <= last) removed[j] = (*wanted)[std::size_t(number)];
                }
            },
            // Past the last number named, every line is kept.
            [&](View<CharT>, std::size_t, std::size_t, std::int64_t firstNumber,
                detail::Picked& picked) {
                picked.lines.clear();
                picked.keptPicked = false;
                return firstNumber > last;
            });
        if (finished) detail::finishOutput(out, input, result);
        return result;
    });
}

}  // namespace vn::engine
