#pragma once

#include "core/Views.h"
#include "core/WindowServices.h"

#include <QString>

#include <cstdint>

namespace vn::textio {
class CommitBatch;
}

namespace vn::engine {

// What one routine call did, for front ends that report per file. `read` is false when the input
// could not be read; the output is then left untouched.
struct FileResult {
    bool read = false;
    std::int64_t linesRead = 0;
    std::int64_t linesRemoved = 0;
    // Why nothing was written although the input was read (a binary input, one its encoding
    // class cannot carry back); empty when the output was written or left equal.
    QString skipped;
    // The output is the input itself and the result equalled it byte for byte: the file was left
    // exactly as it was (same inode, same times).
    bool unchanged = false;
    // A failure was reported for this file (reading it, writing its output or putting that in
    // place): what was asked for it was not done, or not all of it.
    bool failed = false;
    // A stop request arrived while the file was worked on: the output in progress was dropped
    // and the target keeps its previous content.
    bool stopped = false;
};

// What every routine reaches of the window: the services (ProgressBar2, the yield, message
// boxes) and Option1.
struct Host {
    WindowServices& ws;
    const LineOptionView& option1;
    // Work out and report the result, but write nothing: no output file is opened, so neither
    // the target nor its folder is touched. The counts are those of a real run.
    bool dryRun = false;
    // Where finished outputs wait to be put in place together; null to put each in place as
    // soon as it is finished. An output handed to it is in place only once the batch is flushed.
    textio::CommitBatch* batch = nullptr;
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
