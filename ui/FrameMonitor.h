// The frame monitor: a window of its own beside the dialog that shows the
// library's trace events (frames, noise, operations) as they happen.
#pragma once

#include "KavIDCardAPI.h"
#include "TraceColumns.h"
#include "exports.h"
#include "trace_format.h"
#include "trace_mailbox.h"

#include <QAbstractTableModel>
#include <QByteArray>
#include <QCache>
#include <QPixmap>
#include <QStaticText>
#include <QStyledItemDelegate>
#include <QWidget>

#include <cstddef>
#include <cstdint>
#include <deque>

class Platform;
class QLabel;
class QPushButton;
class QTableView;

// The events shown, oldest first, at most `capacity` of them: the oldest go
// when newer ones come.
class FrameModel : public QAbstractTableModel {
    Q_OBJECT
  public:
    // An event copied out of the library's call: its strings live only as
    // long as the call.
    using Frame = kav::host::KeptTraceEvent;

    explicit FrameModel(std::size_t capacity, QObject *parent = nullptr);

    int rowCount(const QModelIndex &parent = {}) const override;
    int columnCount(const QModelIndex &parent = {}) const override;
    QVariant data(const QModelIndex &index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

    void append(std::deque<Frame> frames);
    void clear();
    std::size_t capacity() const { return capacity_; }
    std::array<QString, kTraceColumnCount> columns(int row) const;
    // One line per row, the columns separated by tabs, in the order given.
    QString toText(const QList<int> &rows) const;
    // The rows as a pcapng capture: frames, noise and events as kav
    // --capture writes them.
    QByteArray toPcapng(const QList<int> &rows) const;

  private:
    const std::array<QString, kTraceColumnCount> &formatted(int row) const;

    std::deque<Frame> rows_;
    std::size_t capacity_;
    std::uint64_t nextSerial_ = 1;
    // A view asks for a row's cells one after another, each for several
    // roles: the row is formatted once for all of them.
    mutable std::uint64_t cachedSerial_ = 0;
    mutable std::array<QString, kTraceColumnCount> cached_;
};

// Paints the cells as the toolkit's own delegate does, but hands the style
// no more of a long frame's hex than the cell can show: laying out and
// eliding a read answer's 4,000 characters, every paint, cost more than all
// the other cells together, for the same pixels.
class FrameDelegate : public QStyledItemDelegate {
  public:
    using QStyledItemDelegate::QStyledItemDelegate;

    // The characters of hex that fill `width` pixels in `font` and a few
    // beyond, so that the style still elides where it would have.
    static qsizetype hexShown(const QFont &font, int width);

    void paint(QPainter *painter, const QStyleOptionViewItem &option,
               const QModelIndex &index) const override;

  protected:
    void initStyleOption(QStyleOptionViewItem *option, const QModelIndex &index) const override;

  private:
    // A trace says the same things over and over (the same link, the same
    // commands, the same answers): a plain cell's rendering is kept and
    // copied for the next cell that looks the same, instead of laid out,
    // elided and drawn again.
    mutable QCache<QString, QPixmap> rendered_{kRenderedBytes};
    mutable QFont keyFont_;
    mutable QString keyFontText_;
    static constexpr qsizetype kRenderedBytes = 8 << 20;

    // The time, new with every event, is drawn straight from its text laid
    // out once (a row is painted again each time the view scrolls), not
    // through the style's layout and elision of every cell; a time wider
    // than its cell goes the style's way.
    bool drawTime(QPainter *painter, const QStyleOptionViewItem &cell,
                  QPalette::ColorGroup group) const;
    mutable QCache<QString, QStaticText> times_{kTimesKept};
    mutable QFont timeFont_;
    static constexpr qsizetype kTimesKept = 512;
};

class FrameMonitor : public QWidget {
    Q_OBJECT
  public:
    using TraceSetter = kav::host::TraceSetter;
    static constexpr std::size_t kCapacity = 100'000;

    // The library's Kav_SetTraceCallback, or null when the loaded library
    // has none.
    static TraceSetter librarySetter();

    // setter may be null: the window then says that no frames come.
    FrameMonitor(Platform &platform, TraceSetter setter, QWidget *parent,
                 std::size_t capacity = kCapacity);
    ~FrameMonitor() override;

    const FrameModel &model() const { return *model_; }
    bool isListening() const { return trace_.listening(); }
    QString note() const;

    // Called by the library, on whichever thread does the work.
    void receive(const KavTraceEvent &event);

  protected:
    void showEvent(QShowEvent *event) override;
    void hideEvent(QHideEvent *event) override;

  private:
    void deliver();
    void setPaused(bool paused);
    void clear();
    void save();
    void copySelectedRows() const;
    void showNote();

    Platform &platform_;
    FrameModel *model_;
    QTableView *view_;
    QPushButton *pause_;
    QLabel *note_;
    bool paused_ = false;
    std::size_t missed_ = 0; // arrived while paused

    kav::host::TraceMailbox<FrameModel::Frame> mailbox_; // from the library's threads
    kav::host::TraceSubscription<FrameMonitor> trace_;   // after what it fills
};
