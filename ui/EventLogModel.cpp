#include "EventLogModel.h"

int EventLogModel::rowCount(const QModelIndex &parent) const {
    return parent.isValid() ? 0 : static_cast<int>(entries_.size());
}

int EventLogModel::columnCount(const QModelIndex &parent) const {
    return parent.isValid() ? 0 : ColumnCount;
}

const EventLogModel::Entry &EventLogModel::entry(int row) const {
    return entries_[entries_.size() - 1 - static_cast<std::size_t>(row)];
}

QVariant EventLogModel::data(const QModelIndex &index, int role) const {
    if (!index.isValid() || index.row() >= rowCount() || role != Qt::DisplayRole)
        return {};
    const Entry &e = entry(index.row());
    return index.column() == TimeColumn ? e.time : e.message;
}

QVariant EventLogModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return {};
    switch (section) {
    case TimeColumn:
        return QStringLiteral("发生时间");
    case MessageColumn:
        return QStringLiteral("信息");
    default:
        return {};
    }
}

void EventLogModel::prepend(const QString &time, const QString &message) {
    beginInsertRows({}, 0, 0);
    entries_.push_back({time, message});
    endInsertRows();
}

void EventLogModel::clear() {
    if (entries_.empty())
        return;
    beginResetModel();
    entries_.clear();
    entries_.shrink_to_fit();
    endResetModel();
}

QString EventLogModel::toText(const QList<int> &rows) const {
    QString text;
    for (int row : rows) {
        if (row < 0 || row >= rowCount())
            continue;
        const Entry &e = entry(row);
        text += e.time + QLatin1Char('\t') + e.message + QLatin1Char('\n');
    }
    return text;
}
