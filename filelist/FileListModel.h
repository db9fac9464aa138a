#pragma once

#include <QString>
#include <QStringList>

namespace vn::filelist {

// The file list as the list commands see it: one full path per entry, positions 1 to count(),
// duplicates allowed, in the order added. The main window implements it over ListView1; count()
// and text() have the same form as the run driver's read-only view, so one class can serve both.
class FileListModel {
public:
    virtual ~FileListModel() = default;
    virtual int count() const = 0;
    virtual QString text(int position) const = 0;
    virtual void setText(int position, const QString& text) = 0;
    // Adds one entry at the end, exactly as given: no check, no normalising.
    virtual void append(const QString& text) = 0;
    virtual void removeAt(int position) = 0;
    virtual void clear() = 0;
};

// A file list in memory, for front ends without a window and for tests.
class MemoryFileList : public FileListModel {
public:
    MemoryFileList() = default;
    explicit MemoryFileList(QStringList entries) : m_entries(std::move(entries)) {}

    int count() const override { return int(m_entries.size()); }
    QString text(int position) const override { return m_entries.at(position - 1); }
    void setText(int position, const QString& text) override { m_entries[position - 1] = text; }
    void append(const QString& text) override { m_entries.append(text); }
    void removeAt(int position) override { m_entries.removeAt(position - 1); }
    void clear() override { m_entries.clear(); }

    const QStringList& entries() const { return m_entries; }

private:
    QStringList m_entries;
};

}  // namespace vn::filelist
