#pragma once

#include "engine/Views.h"
#include "platform/WindowServices.h"

#include <QString>

#include <cstdint>

namespace vn::engine {

// What one routine call did, for front ends that report per file. `read` is false when the input
// could not be read; the output is then left untouched.
struct FileResult {
    bool read = false;
    std::int64_t linesRead = 0;
    std::int64_t linesRemoved = 0;
};

// What every routine reaches of the window: the services (ProgressBar2, the yield, message
// boxes) and Option1.
struct Host {
    WindowServices& ws;
    const LineOptionView& option1;
};

FileResult RemoveAllBlankLinesWrapper(Host& host, const QString& inputPath,
                                      const QString& outputPath);
FileResult RemoveContaining(Host& host, const QString& inputPath, const QString& searchText,
                            const QString& outputPath, bool ignoreCase);
FileResult RemoveNotContaining(Host& host, const QString& inputPath, const QString& searchText,
                               const QString& outputPath, bool ignoreCase);
FileResult RemoveContainingListview(Host& host, const QString& inputPath,
                                    const KeywordListView& keywordList, const QString& outputPath,
                                    bool ignoreCase);
FileResult RemoveNotContainingListview(Host& host, const QString& inputPath,
                                       const KeywordListView& keywordList,
                                       const QString& outputPath, bool ignoreCase);
FileResult RemoveN1(Host& host, const QString& inputPath, const QString& numbersText,
                    const QString& outputPath);

}  // namespace vn::engine
