#include "keywords/KeywordList.h"

namespace vn {

QString KeywordsToStoredForm(const QStringList& keywords) {
    QString out;
    for (const QString& k : keywords) {
        out += k;
        out += kKeywordSeparator;
    }
    return out;
}

QStringList KeywordsFromStoredForm(const QString& stored) {
    QStringList out;
    if (stored.isEmpty())
        return out;
    for (const QString& piece :
         stored.split(kKeywordSeparator, Qt::KeepEmptyParts, Qt::CaseSensitive))
        if (!piece.isEmpty())
            out.append(piece);
    return out;
}

bool IsBlankKeyword(const QString& answer) {
    for (QChar c : answer)
        if (c != QLatin1Char(' '))
            return false;
    return true;
}

void KeywordList::append(const QString& keyword) {
    const int row = int(m_entries.size());
    beginInsertRows(QModelIndex(), row, row);
    m_entries.append(keyword);
    endInsertRows();
}

void KeywordList::removeAt(int row) {
    if (row < 0 || row >= m_entries.size())
        return;
    beginRemoveRows(QModelIndex(), row, row);
    m_entries.removeAt(row);
    endRemoveRows();
}

void KeywordList::clear() {
    beginResetModel();
    m_entries.clear();
    endResetModel();
}

int KeywordList::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : int(m_entries.size());
}

QVariant KeywordList::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= m_entries.size() || index.column() != 0)
        return QVariant();
    if (role == Qt::DisplayRole)
        return m_entries.at(index.row());
    return QVariant();
}

QVariant KeywordList::headerData(int section, Qt::Orientation orientation, int role) const {
    if (section == 0 && orientation == Qt::Horizontal && role == Qt::DisplayRole)
        return m_header;
    return QAbstractListModel::headerData(section, orientation, role);
}

bool KeywordList::setHeaderData(int section, Qt::Orientation orientation, const QVariant& value,
                                int role) {
    if (section != 0 || orientation != Qt::Horizontal || role != Qt::EditRole)
        return false;
    m_header = value.toString();
    emit headerDataChanged(orientation, 0, 0);
    return true;
}

}  // namespace vn
