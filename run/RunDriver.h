#pragma once

#include "engine/Engine.h"
#include "engine/Views.h"
#include "platform/WindowServices.h"

#include <QChar>
#include <QDir>
#include <QString>

#include <cstdint>

namespace vn::run {

// The removal modes, by their position in the mode selector.
enum RemoveMode : int {
    BlankLines = 0,
    Containing = 1,
    NotContaining = 2,
    ContainingKeywords = 3,
    NotContainingKeywords = 4,
    LineNumbers = 5,
};

// The input files, positions 1 to count(). Read afresh at every use, because the list can be
// edited while a run yields.
class FileListView {
public:
    virtual ~FileListView() = default;
    virtual int count() const = 0;
    virtual QString text(int position) const = 0;
};

// What a run reads from the options panel, each value at the moment it is needed.
class RunOptionsView {
public:
    virtual ~RunOptionsView() = default;
    virtual int mode() const = 0;  // -1 when no mode is selected
    virtual bool ignoreCase() const = 0;
    virtual bool saveToFolder() const = 0;
    virtual QString outputFolder() const = 0;
};

// The one setting a run reads and writes ("InputBox"). The window passes the settings store; a
// front end without a store passes memory of its own.
class RunSettings {
public:
    virtual ~RunSettings() = default;
    virtual QString read(const QString& key, const QString& defaultValue) = 0;
    virtual void write(const QString& key, const QString& value) = 0;
};

// Told about each entry as the run handles it, for front ends that report per file.
class RunObserver {
public:
    virtual ~RunObserver() = default;
    virtual void fileStarted(int position, const QString& input, const QString& output) = 0;
    virtual void fileFinished(int position, const QString& input, const QString& output,
                              const engine::FileResult& result) = 0;
    virtual void fileSkipped(int position, const QString& input) = 0;
};

struct RunHost {
    WindowServices& ws;
    const LineOptionView& option1;
    const KeywordListView& keywords;
    const FileListView& files;
    const RunOptionsView& options;
    RunSettings& settings;
    RunObserver* observer = nullptr;
    QChar separator = QDir::separator();
};

// "Start Removing": the whole batch, on the user-interface thread.
void PushButton2_Click(RunHost& host);

// The part of a path after its last separator; the whole path when it has none.
QString FileNameFromPath(const QString& path, QChar separator = QDir::separator());

// The size of a file in bytes (64-bit, so files over 2 GiB count), or -1 when it cannot be
// opened.
std::int64_t FileSize2(const QString& path);

// Everything of a file name before its last dot, followed by ".txt"; a name without a dot keeps
// its whole name ("README" gives "README.txt").
QString outputName(const QString& name);

}  // namespace vn::run
