// The event log: rows kept in the order they were logged and shown newest
// first, so adding a row costs the same however long the log is.
//
// A row is a local-time stamp and the message's UTF-16 text copied into
// large shared blocks: about 16 bytes plus the text, where a QString of its
// own would cost a heap block and its header. Views learn of new rows
// together when control returns to the event loop (or at flush()), so a
// handler that logs a burst costs them one insertion, not one per line.
#pragma once

#include <QAbstractTableModel>
#include <QString>

#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <vector>

class EventLogModel : public QAbstractTableModel {
    Q_OBJECT
  public:
    enum Column { TimeColumn = 0, MessageColumn = 1, ColumnCount = 2 };
    using Clock = std::chrono::system_clock;

    using QAbstractTableModel::QAbstractTableModel;

    // The rows the views have been told of.
    int rowCount(const QModelIndex &parent = {}) const override;
    int columnCount(const QModelIndex &parent = {}) const override;
    QVariant data(const QModelIndex &index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

    // Puts a row at the top, stamped with the local time of `at` as it is
    // now (a later change of time zone leaves the row as it was).
    void prepend(Clock::time_point at, QStringView message);
    // Tells the views of every row added since they last heard.
    void flush();
    void clear();

    // Every row, whether the views know of it yet or not, newest first.
    int size() const;
    QString time(int row) const;
    QString message(int row) const;
    // Rows as the views number them, one line per row, time and message
    // separated by a tab, in the order given.
    QString toText(const QList<int> &rows) const;

  private:
    struct Row {
        std::int64_t stamp; // local wall-clock seconds since 1970-01-01 00:00:00
        std::uint32_t block;
        std::uint32_t offset; // the text runs to the next row's offset or the block's end
    };
    struct Block {
        std::unique_ptr<char16_t[]> chars;
        std::size_t capacity;
        std::size_t used;
    };

    std::int64_t localStamp(Clock::time_point at);
    QStringView text(std::size_t index) const;
    std::size_t fromTop(int row, std::size_t count) const { return count - 1 - std::size_t(row); }

    std::deque<Row> rows_; // oldest first
    std::vector<Block> blocks_;
    std::size_t told_ = 0; // the oldest rows, which the views know of
    bool flushQueued_ = false;
    // The last second converted to local time: a burst shares it.
    std::optional<std::int64_t> cachedUtc_;
    std::int64_t cachedLocal_ = 0;
};
