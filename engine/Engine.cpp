#include "engine/Engine.h"

#include "core/ErrorLocations.h"
#include "core/ErrorReport.h"
#include "engine/LineNumbers.h"
#include "engine/Walk.h"

#include <bitset>
#include <memory>

namespace vn::engine {

using detail::Steps;
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
    if (!input || !input->ok())
        return FileResult{};
    return input->isWide() ? body(*input, std::u16string_view()) : body(*input, std::string_view());
}

// The output of one input, in the input's encoding class.
textio::Output outputFor(Host& host, const QString& outputPath, const InputText& input,
                         const textio::OutputLabels& labels) {
    return textio::Output(host.ws, outputPath, textio::outputClassOf(input.encodingClass()), labels,
                          host.dryRun, host.batch);
}

enum class Rule { Containing, NotContaining };

FileResult filterBySearch(Host& host, const char* location, const QString& inputPath,
                          const QString& outputPath, detail::SearchTexts texts, Rule rule,
                          bool ignoreCase, const Steps& steps) {
    Guard g(host.ws, location);
    texts.guard = &g;
    return withInput(host, g, 100, inputPath, [&](InputText& input, auto unitType) {
        using CharT = typename decltype(unitType)::value_type;
        const auto search = detail::searchRule<CharT>(texts, ignoreCase, rule == Rule::Containing);
        textio::Output out = outputFor(host, outputPath, input, textio::kAppendLabels);
        return detail::walkFile<CharT>(host, g, input, steps, *search, out, false);
    });
}

constexpr Steps kSearchSteps{104, 106, 114, 118, 116};

}  // namespace

FileResult RemoveAllBlankLinesWrapper(Host& host, const QString& inputPath,
                                      const QString& outputPath) {
    Guard g(host.ws, loc::RemoveAllBlankLinesWrapper);
    return withInput(host, g, 100, inputPath, [&](InputText& input, auto unitType) {
        using CharT = typename decltype(unitType)::value_type;
        // No progress, no yield and no Option1: blank lines always vanish.
        const Steps steps{0, 0, 104, 0, 106};
        const auto blank = detail::blankRule<CharT>();
        textio::Output out = outputFor(host, outputPath, input, textio::kAppendLabels);
        return detail::walkFile<CharT>(host, g, input, steps, *blank, out, false);
    });
}

FileResult RemoveContaining(Host& host, const QString& inputPath, const QString& searchText,
                            const QString& outputPath, bool ignoreCase) {
    detail::SearchTexts texts;
    texts.single = &searchText;
    return filterBySearch(host, loc::RemoveContaining, inputPath, outputPath, texts,
                          Rule::Containing, ignoreCase, kSearchSteps);
}

FileResult RemoveNotContaining(Host& host, const QString& inputPath, const QString& searchText,
                               const QString& outputPath, bool ignoreCase) {
    detail::SearchTexts texts;
    texts.single = &searchText;
    return filterBySearch(host, loc::RemoveNotContaining, inputPath, outputPath, texts,
                          Rule::NotContaining, ignoreCase, kSearchSteps);
}

FileResult RemoveContainingListview(Host& host, const QString& inputPath,
                                    const KeywordListView& keywordList, const QString& outputPath,
                                    bool ignoreCase) {
    const detail::SearchTexts texts{nullptr, &keywordList, nullptr, 110, ignoreCase ? 114 : 118};
    return filterBySearch(host, loc::RemoveContainingListview, inputPath, outputPath, texts,
                          Rule::Containing, ignoreCase,
                          Steps{104, 106, ignoreCase ? 116 : 120, 126, 130});
}

FileResult RemoveNotContainingListview(Host& host, const QString& inputPath,
                                       const KeywordListView& keywordList,
                                       const QString& outputPath, bool ignoreCase) {
    const detail::SearchTexts texts{nullptr, &keywordList, nullptr, 110, ignoreCase ? 114 : 118};
    return filterBySearch(host, loc::RemoveNotContainingListview, inputPath, outputPath, texts,
                          Rule::NotContaining, ignoreCase,
                          Steps{104, 106, ignoreCase ? 116 : 120, 126, 130});
}

FileResult RemoveN1(Host& host, const QString& inputPath, const QString& numbersText,
                    const QString& outputPath) {
    Guard g(host.ws, loc::RemoveN1);
    // Line numbers that a piece names; a piece is a 16-bit integer, so nothing beyond 32767.
    auto wanted = std::make_unique<detail::LineNumberSet>();
    g.step(100, [] {});
    if (g.test(102, [&] { return numbersText.isEmpty(); }))
        return FileResult{};
    QStringList pieces;
    g.step(104, [&] { pieces = numbersText.split(QLatin1Char(',')); });
    for (const QString& piece : pieces) {
        std::optional<double> value;
        if (g.test(108, [&] { return (value = parseNumber(piece)).has_value(); })) {
            g.step(110, [&] {
                const std::int16_t n = toInt16(value.value_or(HUGE_VAL));
                if (n > 0)
                    wanted->set(std::size_t(n));
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
        const Steps steps{0, 124, 132, 142, 140};
        const auto numbers = detail::lineNumberRule<CharT>(*wanted);
        // The result is written as SaveStringToFileFSO writes it, only as it is produced, so
        // that a file of hundreds of megabytes is never held twice over.
        textio::Output out = outputFor(host, outputPath, input, textio::kSaveLabels);
        return detail::walkFile<CharT>(host, g, input, steps, *numbers, out, true);
    });
}

}  // namespace vn::engine
