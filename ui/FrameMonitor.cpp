#include "FrameMonitor.h"

#include "Platform.h"
#include "RowText.h"
#include "capture/trace_recorder.h"
#include "exports.h"
#include "trace_format.h"

#include <QAction>
#include <QApplication>
#include <QDateTime>
#include <QFontMetricsF>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QScrollBar>
#include <QStyle>
#include <QTableView>
#include <QVBoxLayout>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <limits>
#include <memory>
#include <sstream>

namespace {

// 数据 shows the head of a frame (a status frame whole); 含义, the last,
// takes the rest of the width and whatever the window gains.
constexpr int kColumnWidths[kTraceColumnCount] = {96, 110, 36, 250, 300};

} // namespace

// ---- FrameModel ----------------------------------------------------------------

FrameModel::FrameModel(std::size_t capacity, QObject *parent)
    : QAbstractTableModel(parent), capacity_(std::max<std::size_t>(capacity, 1)) {}

int FrameModel::rowCount(const QModelIndex &parent) const {
    return parent.isValid() ? 0 : static_cast<int>(rows_.size());
}

int FrameModel::columnCount(const QModelIndex &parent) const {
    return parent.isValid() ? 0 : kTraceColumnCount;
}

const std::array<QString, kTraceColumnCount> &FrameModel::formatted(int row) const {
    const Frame &frame = rows_[static_cast<std::size_t>(row)];
    if (frame.serial != cachedSerial_) {
        cached_ = traceColumns(frame.view());
        cachedSerial_ = frame.serial;
    }
    return cached_;
}

std::array<QString, kTraceColumnCount> FrameModel::columns(int row) const {
    return formatted(row);
}

QVariant FrameModel::data(const QModelIndex &index, int role) const {
    if ((role != Qt::DisplayRole && role != Qt::ToolTipRole) || !index.isValid() ||
        index.row() >= rowCount())
        return {};
    const QString &text = formatted(index.row())[static_cast<std::size_t>(index.column())];
    if (role == Qt::DisplayRole)
        return text;
    // Whatever a narrow column cuts can be read whole by pointing at it.
    if (index.column() == DataColumn)
        return QString::fromStdString(kav::host::hexLines(text.toStdString()));
    if (index.column() == MeaningColumn)
        return text;
    return {};
}

QVariant FrameModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole || section < 0 ||
        section >= kTraceColumnCount)
        return {};
    return QString::fromUtf8(kav::host::kTraceColumns[section]);
}

void FrameModel::append(std::deque<Frame> frames) {
    while (frames.size() > capacity_)
        frames.pop_front();
    if (frames.empty())
        return;
    const std::size_t total = rows_.size() + frames.size();
    if (total > capacity_) {
        const std::size_t drop = total - capacity_;
        beginRemoveRows({}, 0, static_cast<int>(drop) - 1);
        rows_.erase(rows_.begin(), rows_.begin() + static_cast<std::ptrdiff_t>(drop));
        endRemoveRows();
    }
    for (Frame &frame : frames)
        frame.serial = nextSerial_++;
    const int first = static_cast<int>(rows_.size());
    beginInsertRows({}, first, first + static_cast<int>(frames.size()) - 1);
    std::move(frames.begin(), frames.end(), std::back_inserter(rows_));
    endInsertRows();
}

void FrameModel::clear() {
    beginResetModel();
    rows_.clear();
    endResetModel();
}

QByteArray FrameModel::toPcapng(const QList<int> &rows) const {
    std::ostringstream out;
    kav::capture::PcapngWriter writer(out);
    kav::capture::TraceRecorder recorder(writer, false);
    for (int row : rows) {
        if (row < 0 || row >= rowCount())
            continue;
        recorder.add(rows_[static_cast<std::size_t>(row)].view());
    }
    const std::string bytes = out.str();
    return QByteArray(bytes.data(), static_cast<qsizetype>(bytes.size()));
}

QString FrameModel::toText(const QList<int> &rows) const {
    QString text;
    for (int row : rows) {
        if (row < 0 || row >= rowCount())
            continue;
        const auto &cells = formatted(row);
        for (int column = 0; column < kTraceColumnCount; ++column) {
            if (column > 0)
                text += QLatin1Char('\t');
            text += cells[static_cast<std::size_t>(column)];
        }
        text += QLatin1Char('\n');
    }
    return text;
}

// ---- FrameDelegate -------------------------------------------------------------

qsizetype FrameDelegate::hexShown(const QFont &font, int width) {
    // The narrowest character hex is written with bounds how many can
    // fit; the slack keeps the last shown ones shaped as in the whole text.
    constexpr qsizetype kSlack = 8;
    static const QString kHexCharacters = QStringLiteral("0123456789ABCDEF ");
    const QFontMetricsF metrics(font);
    qreal narrowest = metrics.horizontalAdvance(kHexCharacters.front());
    for (QChar c : kHexCharacters)
        narrowest = std::min(narrowest, metrics.horizontalAdvance(c));
    if (narrowest <= 0)
        return std::numeric_limits<qsizetype>::max();
    return static_cast<qsizetype>(std::ceil(std::max(width, 0) / narrowest)) + kSlack;
}

void FrameDelegate::initStyleOption(QStyleOptionViewItem *option, const QModelIndex &index) const {
    QStyledItemDelegate::initStyleOption(option, index);
    if (index.column() != DataColumn)
        return;
    const qsizetype shown = hexShown(option->font, option->rect.width());
    if (option->text.size() > shown)
        option->text.truncate(shown);
}

void FrameDelegate::paint(QPainter *painter, const QStyleOptionViewItem &option,
                          const QModelIndex &index) const {
    QStyleOptionViewItem cell = option;
    initStyleOption(&cell, index);
    const QWidget *widget = cell.widget;
    QStyle *style = widget != nullptr ? widget->style() : QApplication::style();
    const QPalette::ColorGroup group = !(cell.state & QStyle::State_Enabled) ? QPalette::Disabled
                                       : (cell.state & QStyle::State_Active) ? QPalette::Active
                                                                             : QPalette::Inactive;
    const QBrush &base = cell.palette.brush(group, QPalette::Base);
    constexpr QStyle::State kMarked =
        QStyle::State_Selected | QStyle::State_HasFocus | QStyle::State_MouseOver;
    // Only a cell drawn on the view's plain background, as most are.
    const qreal ratio = painter->device()->devicePixelRatio();
    if ((cell.state & kMarked) || base.style() != Qt::SolidPattern ||
        (cell.features & ~QStyleOptionViewItem::HasDisplay) != 0 || cell.rect.isEmpty() ||
        (index.column() == TimeColumn && !drawTime(painter, cell, group))) {
        style->drawControl(QStyle::CE_ItemViewItem, &cell, painter, widget);
        return;
    }
    if (index.column() == TimeColumn)
        return;
    // Built for every cell painted: the numbers go in as raw characters,
    // the font's description once for as long as the font stays.
    if (cell.font != keyFont_ || keyFontText_.isEmpty()) {
        keyFont_ = cell.font;
        keyFontText_ = cell.font.key();
    }
    const auto put = [](QString &to, quint32 value) {
        to += QChar(char16_t(value >> 16));
        to += QChar(char16_t(value & 0xFFFF));
    };
    QString key;
    key.reserve(keyFontText_.size() + cell.text.size() + 16);
    put(key, quint32(keyFontText_.size())); // where the font's part ends
    key += keyFontText_;
    put(key, quint32(cell.rect.width()));
    put(key, quint32(cell.rect.height()));
    put(key, quint32(ratio * 1000));
    put(key, base.color().rgba());
    put(key, cell.palette.color(group, QPalette::Text).rgba());
    put(key, quint32(cell.state & (QStyle::State_Enabled | QStyle::State_Active)));
    put(key, quint32(cell.displayAlignment) | quint32(cell.textElideMode) << 16);
    key += cell.text;
    if (const QPixmap *kept = rendered_.object(key)) {
        painter->drawPixmap(cell.rect.topLeft(), *kept);
        return;
    }
    auto image = std::make_unique<QPixmap>(cell.rect.size() * ratio);
    image->setDevicePixelRatio(ratio);
    image->fill(base.color());
    {
        QPainter on(image.get());
        on.setFont(painter->font());
        QStyleOptionViewItem alone = cell;
        alone.rect.moveTopLeft({0, 0});
        style->drawControl(QStyle::CE_ItemViewItem, &alone, &on, widget);
    }
    painter->drawPixmap(cell.rect.topLeft(), *image);
    const qsizetype bytes = qsizetype(image->width()) * image->height() * 4;
    rendered_.insert(key, image.release(), bytes);
}

bool FrameDelegate::drawTime(QPainter *painter, const QStyleOptionViewItem &cell,
                             QPalette::ColorGroup group) const {
    // Where the style puts a left-aligned line: its margin in, centred.
    constexpr Qt::Alignment kHorizontal = Qt::AlignLeft | Qt::AlignLeading;
    if ((cell.displayAlignment & Qt::AlignHorizontal_Mask & ~kHorizontal) != 0 ||
        !(cell.displayAlignment & Qt::AlignVCenter) || cell.direction != Qt::LeftToRight ||
        cell.text.contains(QLatin1Char('\n')))
        return false;
    if (cell.font != timeFont_) {
        times_.clear();
        timeFont_ = cell.font;
    }
    QStaticText *laid = times_.object(cell.text);
    if (laid == nullptr) {
        auto made = std::make_unique<QStaticText>(cell.text);
        made->setTextFormat(Qt::PlainText);
        made->prepare(QTransform(), cell.font);
        laid = made.get();
        times_.insert(cell.text, made.release());
    }
    const QWidget *widget = cell.widget;
    const QStyle *style = widget != nullptr ? widget->style() : QApplication::style();
    const int margin = style->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, widget) + 1;
    const QRect room = cell.rect.adjusted(margin, 0, -margin, 0);
    const QSizeF size = laid->size();
    if (size.width() > room.width())
        return false;
    const QPen pen = painter->pen();
    const QFont font = painter->font();
    painter->setPen(cell.palette.color(group, QPalette::Text));
    painter->setFont(cell.font);
    // Placed in whole pixels as the style places its layout.
    painter->drawStaticText(
        QStyle::alignedRect(cell.direction, cell.displayAlignment, size.toSize(), room).topLeft(),
        *laid);
    painter->setFont(font);
    painter->setPen(pen);
    return true;
}

// ---- FrameMonitor --------------------------------------------------------------

FrameMonitor::TraceSetter FrameMonitor::librarySetter() {
    // Optional in the library: looked up, not linked, so that a library
    // without it still runs the dialog.
    return kav::host::traceSetterExport();
}

FrameMonitor::FrameMonitor(Platform &platform, TraceSetter setter, QWidget *parent,
                           std::size_t capacity)
    : QWidget(parent, Qt::Window), platform_(platform), model_(new FrameModel(capacity, this)),
      view_(new QTableView(this)), pause_(new QPushButton(QStringLiteral("暂停(&P)"), this)),
      note_(new QLabel(this)), mailbox_(capacity), trace_(setter, this) {
    setWindowTitle(QStringLiteral("通讯监视 - Velkart"));
    resize(960, 420);

    auto *clearButton = new QPushButton(QStringLiteral("清除(&L)"), this);
    auto *saveButton = new QPushButton(QStringLiteral("保存(&S)..."), this);
    pause_->setCheckable(true);
    connect(pause_, &QPushButton::toggled, this, &FrameMonitor::setPaused);
    connect(clearButton, &QPushButton::clicked, this, &FrameMonitor::clear);
    connect(saveButton, &QPushButton::clicked, this, &FrameMonitor::save);
    note_->setTextFormat(Qt::PlainText);
    note_->setAccessibleName(QStringLiteral("通讯监视状态"));

    auto *bar = new QHBoxLayout;
    bar->addWidget(pause_);
    bar->addWidget(clearButton);
    bar->addWidget(saveButton);
    bar->addWidget(note_, 1);
    auto *layout = new QVBoxLayout(this);
    layout->addLayout(bar);
    layout->addWidget(view_, 1);

    view_->setModel(model_);
    view_->setItemDelegate(new FrameDelegate(view_));
    view_->setSelectionBehavior(QAbstractItemView::SelectRows);
    view_->setSelectionMode(QAbstractItemView::ExtendedSelection);
    view_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    view_->setWordWrap(false);
    view_->setTabKeyNavigation(false);
    view_->verticalHeader()->hide();
    // Fixed row heights keep a hundred thousand rows as cheap as ten.
    view_->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    view_->verticalHeader()->setDefaultSectionSize(view_->fontMetrics().height() + 4);
    QHeaderView *header = view_->horizontalHeader();
    header->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    header->setHighlightSections(false);
    for (int column = 0; column < kTraceColumnCount; ++column)
        header->resizeSection(column, kColumnWidths[column]);
    header->setStretchLastSection(true);

    auto *copy = new QAction(view_);
    copy->setShortcut(QKeySequence::Copy);
    copy->setShortcutContext(Qt::WidgetShortcut);
    connect(copy, &QAction::triggered, this, &FrameMonitor::copySelectedRows);
    view_->addAction(copy);

    showNote();
}

FrameMonitor::~FrameMonitor() {
    trace_.listen(false);
}

void FrameMonitor::showEvent(QShowEvent *event) {
    trace_.listen(true);
    QWidget::showEvent(event);
}

void FrameMonitor::hideEvent(QHideEvent *event) {
    trace_.listen(false);
    QWidget::hideEvent(event);
}

void FrameMonitor::receive(const KavTraceEvent &event) {
    // The library's thread never touches a widget: the rows are handed
    // over on the window's own thread, once per burst.
    if (mailbox_.put(FrameModel::Frame::of(event)))
        QMetaObject::invokeMethod(this, &FrameMonitor::deliver, Qt::QueuedConnection);
}

void FrameMonitor::deliver() {
    auto [frames, arrived] = mailbox_.take();
    if (paused_) {
        missed_ += arrived;
        showNote();
        return;
    }
    QScrollBar *scroll = view_->verticalScrollBar();
    const bool following = scroll->value() == scroll->maximum();
    model_->append(std::move(frames));
    if (following)
        view_->scrollToBottom();
}

void FrameMonitor::setPaused(bool paused) {
    if (paused_ == paused)
        return;
    paused_ = paused;
    if (paused)
        missed_ = 0;
    pause_->setChecked(paused);
    showNote();
}

void FrameMonitor::clear() {
    model_->clear();
    missed_ = 0;
    showNote();
}

QString FrameMonitor::note() const {
    return note_->text();
}

void FrameMonitor::showNote() {
    note_->setText(
        QString::fromStdString(kav::host::monitorNote(trace_.framesReported(), paused_, missed_)));
}

void FrameMonitor::save() {
    // Text unless the name asks for pcapng, which Wireshark reads.
    saveRows(
        platform_, this, QStringLiteral("保存通讯记录"),
        QStringLiteral("'velkart-frames-'yyyyMMdd-HHmmss'.txt'"), model_->rowCount(),
        [this](const QList<int> &rows, const QString &path) {
            return path.endsWith(QStringLiteral(".pcapng"), Qt::CaseInsensitive)
                       ? model_->toPcapng(rows)
                       : model_->toText(rows).toUtf8();
        },
        QStringLiteral("通讯记录无法保存: "));
}

void FrameMonitor::copySelectedRows() const {
    ::copySelectedRows(*view_, [this](const QList<int> &rows) { return model_->toText(rows); });
}
