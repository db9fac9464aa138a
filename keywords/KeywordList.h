#pragma once

#include "core/Views.h"

#include <QAbstractListModel>
#include <QString>
#include <QStringList>

namespace vn {

// Each keyword of the stored form is followed by this marker, so a non-empty stored value
// always ends with it.
inline constexpr QLatin1StringView kKeywordSeparator{"||MySeparator12||"};

// The stored form of the list under "Keywords": every keyword followed by the separator; the
// empty list is the empty string.
QString KeywordsToStoredForm(const QStringList& keywords);
// The keywords of a stored value, in order: the pieces between separators (an exact,
// case-sensitive match), empty pieces dropped. A keyword that itself held the separator comes
// back as the pieces around it.
QStringList KeywordsFromStoredForm(const QString& stored);

// True when an answer to "Enter keyword: " adds nothing: empty, or spaces only. Only spaces
// count; a tab is a character a line can contain, so it makes a keyword.
bool IsBlankKeyword(const QString& answer);

// The keyword list behind ListView2: ordered, duplicates allowed, each entry exactly as typed.
// The keyword filters read it through KeywordListView while a run yields, so it is a plain list
// of strings and reading an entry costs a reference count.
class KeywordList : public QAbstractListModel, public KeywordListView {
public:
    explicit KeywordList(QObject* parent = nullptr) : QAbstractListModel(parent) {}

    // KeywordListView: positions 1 to count(); the empty text outside them.
    int count() const override { return int(m_entries.size()); }
    QString text(int position) const override { return m_entries.value(position - 1); }

    const QStringList& entries() const { return m_entries; }
    void append(const QString& keyword);
    // Row 0 is the first entry; an invalid row changes nothing.
    void removeAt(int row);
    void clear();

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;
    // The window names the one column at start-up.
    bool setHeaderData(int section, Qt::Orientation orientation, const QVariant& value,
                       int role = Qt::EditRole) override;

private:
    QStringList m_entries;
    QString m_header;
};

}  // namespace vn
