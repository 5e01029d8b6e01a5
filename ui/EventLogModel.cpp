#include "EventLogModel.h"

#include <QMetaObject>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>
#include <ctime>

namespace {

// 64 KiB: small enough to stay on the heap, large enough that the rows'
// texts cost nothing but their characters.
constexpr std::size_t kBlockChars = 32 * 1024;

QString formatStamp(std::int64_t stamp) {
    const std::time_t seconds = static_cast<std::time_t>(stamp);
    std::tm fields{};
    char text[64];
    if (gmtime_r(&seconds, &fields) == nullptr ||
        std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &fields) == 0)
        return {};
    return QString::fromLatin1(text);
}

} // namespace

int EventLogModel::rowCount(const QModelIndex &parent) const {
    return parent.isValid() ? 0 : static_cast<int>(told_);
}

int EventLogModel::columnCount(const QModelIndex &parent) const {
    return parent.isValid() ? 0 : ColumnCount;
}

int EventLogModel::size() const {
    return static_cast<int>(std::min<std::size_t>(rows_.size(), INT_MAX));
}

QVariant EventLogModel::data(const QModelIndex &index, int role) const {
    if (!index.isValid() || index.row() >= rowCount() || role != Qt::DisplayRole)
        return {};
    const std::size_t at = fromTop(index.row(), told_);
    return index.column() == TimeColumn ? formatStamp(rows_[at].stamp) : text(at).toString();
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

std::int64_t EventLogModel::localStamp(Clock::time_point at) {
    const std::int64_t utc =
        std::chrono::floor<std::chrono::seconds>(at.time_since_epoch()).count();
    if (cachedUtc_ != utc) {
        // Once a second at most: a time zone changed meanwhile applies to
        // the rows that follow.
        tzset();
        const std::time_t seconds = static_cast<std::time_t>(utc);
        std::tm fields{};
        cachedLocal_ = localtime_r(&seconds, &fields) != nullptr ? timegm(&fields) : utc;
        cachedUtc_ = utc;
    }
    return cachedLocal_;
}

void EventLogModel::prepend(Clock::time_point at, QStringView message) {
    const auto length = static_cast<std::size_t>(message.size());
    // Offsets are 32-bit: only a block given to one giant message gets past that.
    if (blocks_.empty() || blocks_.back().capacity - blocks_.back().used < length ||
        blocks_.back().used > UINT32_MAX) {
        // A message longer than a block gets a block of its own size.
        const std::size_t capacity = std::max(kBlockChars, length);
        blocks_.push_back({std::make_unique_for_overwrite<char16_t[]>(capacity), capacity, 0});
    }
    Block &block = blocks_.back();
    std::memcpy(block.chars.get() + block.used, message.utf16(), length * sizeof(char16_t));
    rows_.push_back({localStamp(at), static_cast<std::uint32_t>(blocks_.size() - 1),
                     static_cast<std::uint32_t>(block.used)});
    block.used += length;

    if (!flushQueued_) {
        flushQueued_ = true;
        QMetaObject::invokeMethod(
            this,
            [this] {
                flushQueued_ = false;
                flush();
            },
            Qt::QueuedConnection);
    }
}

void EventLogModel::flush() {
    // A view counts its rows in an int.
    const std::size_t limit = std::min<std::size_t>(rows_.size(), INT_MAX);
    if (told_ >= limit)
        return;
    beginInsertRows({}, 0, static_cast<int>(limit - told_) - 1);
    told_ = limit;
    endInsertRows();
}

void EventLogModel::clear() {
    if (rows_.empty())
        return;
    beginResetModel();
    std::deque<Row>().swap(rows_);
    std::vector<Block>().swap(blocks_);
    told_ = 0;
    endResetModel();
}

QStringView EventLogModel::text(std::size_t index) const {
    const Row &row = rows_[index];
    const Block &block = blocks_[row.block];
    const bool nextInBlock = index + 1 < rows_.size() && rows_[index + 1].block == row.block;
    const std::size_t end = nextInBlock ? rows_[index + 1].offset : block.used;
    return {block.chars.get() + row.offset, static_cast<qsizetype>(end - row.offset)};
}

QString EventLogModel::time(int row) const {
    return formatStamp(rows_[fromTop(row, rows_.size())].stamp);
}

QString EventLogModel::message(int row) const {
    return text(fromTop(row, rows_.size())).toString();
}

QString EventLogModel::toText(const QList<int> &rows) const {
    QString out;
    for (int row : rows) {
        if (row < 0 || row >= rowCount())
            continue;
        const std::size_t at = fromTop(row, told_);
        out += formatStamp(rows_[at].stamp);
        out += QLatin1Char('\t');
        out += text(at);
        out += QLatin1Char('\n');
    }
    return out;
}
