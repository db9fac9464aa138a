#pragma once

#include "core/Views.h"
#include "core/WindowServices.h"
#include "engine/Engine.h"

#include <QChar>
#include <QDir>
#include <QString>
#include <QStringList>

#include <cstdint>

namespace vn::run {

// The questions a run asks its front end, each once per run, when the first entry is reached. The
// window asks in input boxes; the command line answers from its options. An empty answer means
// "cancelled": the run then passes over every file of a mode that needs it.
class RunPrompts {
public:
    virtual ~RunPrompts() = default;
    // The text of the two search modes.
    virtual QString searchText() = 0;
    // The line-number list, offered with the list given last time (`stored`), which the run
    // stores again after the answer.
    virtual QString lineNumberList(const QString& stored) = 0;
};

// The window's way: the two input boxes, as "Start Removing" shows them.
class InputBoxPrompts : public RunPrompts {
public:
    explicit InputBoxPrompts(WindowServices& ws) : m_ws(ws) {}
    QString searchText() override;
    QString lineNumberList(const QString& stored) override;

private:
    WindowServices& m_ws;
};

// Why an entry was passed over. The first kinds are the everyday ones the window stays silent
// about; the rest keep one result of a run from being written over another and are always told.
struct SkipReason {
    enum Kind {
        // Nothing to do for it: an empty entry, one removed while the run yielded, an empty
        // answer to the prompt, an empty or missing input in the search modes, no mode.
        Quiet,
        // The input exists but could not be opened; the failure was reported already.
        Unreadable,
        // The file was already handled by this run under another entry (the same device and
        // inode, whatever path reached it).
        SameFileAgain,
        // Its result would go where an earlier file of this run has already written one.
        OutputTaken,
        // Its result would replace another entry of this run.
        OutputIsAnotherInput,
    };
    Kind kind = Quiet;
    // The path the collision is with: the earlier input, or the other entry. Empty for Quiet.
    QString other;
    // One line for the user, naming the other path; empty for Quiet.
    QString text;

    // A result the user asked for was not written.
    bool isFailure() const {
        return kind == OutputTaken || kind == OutputIsAnotherInput || kind == Unreadable;
    }
};

// Told about each entry as the run handles it, for front ends that report per file. Entries are
// finished or skipped in their order, each once what was done for it is final; an in-place run
// puts its outputs in place in batches, so fileStarted may come for several entries before the
// first of them is finished. The result's `failed` says whether a failure was reported for the
// file, including one met only when its output was put in place.
class RunObserver {
public:
    virtual ~RunObserver() = default;
    virtual void fileStarted(int position, const QString& input, const QString& output) = 0;
    virtual void fileFinished(int position, const QString& input, const QString& output,
                              const engine::FileResult& result) = 0;
    virtual void fileSkipped(int position, const QString& input, const SkipReason& reason) = 0;
    // After the last entry, once the bars are reset. Not called when the run was stopped.
    virtual void runEnding() {}
    // Last of all, when the run went through to its end.
    virtual void runFinished() {}
};

// The window's report of a run. Collects the files a run passed over for a reason the user must
// hear (a skip that keeps one result from replacing another, an input the engine would not
// rewrite) and tells them in one message at the end of the run, so that a large run does not
// raise a box per file; then says "Done.".
class SkippedFilesReport : public RunObserver {
public:
    // At most this many files are named; the rest are counted.
    static constexpr int kListed = 20;

    explicit SkippedFilesReport(WindowServices& ws) : m_ws(ws) {}

    void fileStarted(int, const QString&, const QString&) override {}
    void fileFinished(int position, const QString& input, const QString& output,
                      const engine::FileResult& result) override;
    void fileSkipped(int position, const QString& input, const SkipReason& reason) override;
    void runEnding() override;
    void runFinished() override;

    // The message for what was collected; empty when nothing was.
    QString message() const;
    int count() const { return int(m_lines.size()); }

private:
    WindowServices& m_ws;
    QStringList m_lines;
};

struct RunHost {
    WindowServices& ws;
    const LineOptionView& option1;
    const KeywordListView& keywords;
    const FileListView& files;
    const RunOptionsView& options;
    // Where the line-number list is kept between runs.
    SettingsView& settings;
    RunPrompts& prompts;
    RunObserver* observer = nullptr;
    QChar separator = QDir::separator();
    // The whole run and its report, with no output written (engine::Host::dryRun).
    bool dryRun = false;
};

// "Start Removing": the whole batch, on the user-interface thread.
void startRemoving(RunHost& host);

// The part of a path after its last separator; the whole path when it has none.
QString FileNameFromPath(const QString& path, QChar separator = QDir::separator());

// The size of a file in bytes (64-bit, so files over 2 GiB count), or -1 when it cannot be
// opened.
std::int64_t FileSize2(const QString& path);

// Everything of a file name before its last dot, followed by ".txt"; a name without a dot keeps
// its whole name ("README" gives "README.txt").
QString outputName(const QString& name);

}  // namespace vn::run
