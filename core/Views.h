#pragma once

#include "core/SettingsKeys.h"

#include <QString>

namespace vn {

// Read-only views of the main window's live state that the engine consults while it works. The
// window implements them; tests use fakes. They may change only inside a yield.

// Option1 "Remove line but leave blank line (carriage return)".
class LineOptionView {
public:
    virtual ~LineOptionView() = default;
    virtual bool leaveBlankLine() const = 0;
};

// The keyword list ListView2, positions 1 to count().
class KeywordListView {
public:
    virtual ~KeywordListView() = default;
    virtual int count() const = 0;
    virtual QString text(int position) const = 0;
};

// The settings store as the logic sees it. The window passes its store, so every read and write
// goes to the store itself; a front end without a store passes memory of its own.
class SettingsView {
public:
    virtual ~SettingsView() = default;
    virtual QString read(const QString& key, const QString& defaultValue) = 0;
    virtual void write(const QString& key, const QString& value) = 0;

    // The stored text of a key of the table, or its default while it is absent.
    QString value(const SettingKey& key) {
        Q_ASSERT(key.defaultValue);
        return read(QString::fromLatin1(key.name), QString::fromLatin1(key.defaultValue));
    }
    // The same for a key whose default depends on the machine, supplied by the reader.
    QString value(const SettingKey& key, const QString& defaultValue) {
        return read(QString::fromLatin1(key.name), defaultValue);
    }
    void setValue(const SettingKey& key, const QString& text) {
        write(QString::fromLatin1(key.name), text);
    }
};

}  // namespace vn

// What a run reads: the mode, the file list and the options panel. They keep the run's
// namespace, where every caller names them, though they live here with the other views.
namespace vn::run {

// The removal modes, by their position in the mode selector.
enum RemoveMode : int {
    NoMode = -1,  // nothing selected
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
    virtual RemoveMode mode() const = 0;
    virtual bool ignoreCase() const = 0;
    virtual bool saveToFolder() const = 0;
    virtual QString outputFolder() const = 0;
};

}  // namespace vn::run
