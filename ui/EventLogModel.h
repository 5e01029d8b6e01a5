// The event log: rows kept in the order they were logged and shown newest
// first, so adding a row costs the same however long the log is.
#pragma once

#include <QAbstractTableModel>
#include <QString>

#include <vector>

class EventLogModel : public QAbstractTableModel {
    Q_OBJECT
  public:
    enum Column { TimeColumn = 0, MessageColumn = 1, ColumnCount = 2 };

    using QAbstractTableModel::QAbstractTableModel;

    int rowCount(const QModelIndex &parent = {}) const override;
    int columnCount(const QModelIndex &parent = {}) const override;
    QVariant data(const QModelIndex &index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

    // Puts a row at the top.
    void prepend(const QString &time, const QString &message);
    void clear();

    QString time(int row) const { return entry(row).time; }
    QString message(int row) const { return entry(row).message; }
    // Rows as text, one line per row, time and message separated by a tab,
    // in the order given.
    QString toText(const QList<int> &rows) const;

  private:
    struct Entry {
        QString time;
        QString message;
    };
    const Entry &entry(int row) const;

    std::vector<Entry> entries_; // oldest first
};
