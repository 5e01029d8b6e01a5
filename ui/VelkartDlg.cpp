#include "VelkartDlg.h"

#include "DialogBuilder.h"
#include "EventLogModel.h"
#include "FrameMonitor.h"
#include "KavIDCardAPI.h"
#include "LibraryWarnings.h"
#include "Platform.h"
#include "ProgramIcon.h"
#include "ResultTexts.h"
#include "RowText.h"
#include "resource.h"
#include "templates.h"

#include "AboutDlg.h"

#include <QAction>
#include <QApplication>
#include <QContextMenuEvent>
#include <QDateTime>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QTableView>

#include <algorithm>

namespace {

constexpr int kTimeColumnWidth = 140;
constexpr int kMessageColumnWidth = 550;

} // namespace

CVelkartDlg::CVelkartDlg(Platform &platform, QWidget *parent)
    : QDialog(parent), DialogCore(static_cast<DialogFrontEnd &>(*this)), platform_(platform) {
    // A modal frame with caption and window menu; no minimise or maximise.
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    items_ = buildDialog(*this, res::mainDialog());
    logView_ = static_cast<QTableView *>(items_.value(IDC_LOG));
    log_ = new EventLogModel(this);
    logView_->setModel(log_);

    for (const Route &route : messageMap()) {
        auto *button = static_cast<QPushButton *>(items_.value(route.id));
        connect(button, &QPushButton::clicked, this,
                [this, handler = route.handler] { runHandler(handler); });
    }
    connect(static_cast<QPushButton *>(items_.value(IDCANCEL)), &QPushButton::clicked, this,
            &QDialog::reject);
    OnInitDialog();
}

void CVelkartDlg::OnInitDialog() {
    // The about entry after a separator, when the menu text is there.
    systemMenu_ = new QMenu(this);
    QAction *close = systemMenu_->addAction(QStringLiteral("关闭(&C)"));
    close->setShortcut(QKeySequence(Qt::ALT | Qt::Key_F4));
    connect(close, &QAction::triggered, this, [this] { OnSysCommand(SC_CLOSE, 0); });
    QAction *monitor = systemMenu_->addAction(QStringLiteral("通讯监视(&M)..."));
    monitor->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_M));
    connect(monitor, &QAction::triggered, this, &CVelkartDlg::OnFrameMonitor);
    addAction(monitor); // the shortcut works with the menu closed
    QAction *saveLog = systemMenu_->addAction(QStringLiteral("保存日志(&S)..."));
    connect(saveLog, &QAction::triggered, this, &CVelkartDlg::OnSaveLog);
    const QString aboutText = QString::fromUtf8(res::loadString(IDS_ABOUT_MENU));
    if (!aboutText.isEmpty()) {
        systemMenu_->addSeparator();
        QAction *about = systemMenu_->addAction(aboutText);
        connect(about, &QAction::triggered, this, [this] { OnSysCommand(IDM_ABOUT, 0); });
    }

    setWindowIcon(programIcon());

    EnableDlgItem(IDC_BAUD, false);
    EnableDlgItem(IDC_SET_BAUD, false);
    SetDlgItemText(IDC_MAXRF, QStringLiteral("80"));
    SetDlgItemText(IDC_PORT, QStringLiteral("1"));

    logView_->setShowGrid(true);
    logView_->setSelectionBehavior(QAbstractItemView::SelectRows);
    logView_->setSelectionMode(QAbstractItemView::ExtendedSelection);
    logView_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    logView_->setSortingEnabled(false);
    logView_->setWordWrap(false);
    logView_->setTabKeyNavigation(false);
    logView_->verticalHeader()->hide();
    logView_->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    logView_->verticalHeader()->setDefaultSectionSize(logView_->fontMetrics().height() + 4);
    QHeaderView *header = logView_->horizontalHeader();
    header->setSectionsMovable(true);
    header->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    header->setHighlightSections(false);
    header->setStretchLastSection(false);
    header->resizeSection(EventLogModel::TimeColumn, kTimeColumnWidth);
    header->resizeSection(EventLogModel::MessageColumn, kMessageColumnWidth);
    // The selection shows only while the log has the focus.
    QPalette palette = logView_->palette();
    palette.setColor(QPalette::Inactive, QPalette::Highlight,
                     palette.color(QPalette::Inactive, QPalette::Base));
    palette.setColor(QPalette::Inactive, QPalette::HighlightedText,
                     palette.color(QPalette::Inactive, QPalette::Text));
    logView_->setPalette(palette);

    auto *copy = new QAction(logView_);
    copy->setShortcut(QKeySequence::Copy);
    copy->setShortcutContext(Qt::WidgetShortcut);
    connect(copy, &QAction::triggered, this, &CVelkartDlg::copySelectedLogRows);
    logView_->addAction(copy);

    status_ = static_cast<QLabel *>(items_.value(IDC_STATUS));
    status_->setWordWrap(false);
    status_->setAccessibleName(QStringLiteral("状态"));
    // A mistake in the library's configuration is said before the first
    // press fails because of it.
    readLibraryWarnings(libraryWarningGetter());

    items_.value(IDCANCEL)->setFocus();
}

QWidget *CVelkartDlg::GetDlgItem(int id) const {
    return items_.value(id);
}

std::string CVelkartDlg::itemText(int id) const {
    QWidget *item = items_.value(id);
    if (auto *edit = qobject_cast<QLineEdit *>(item))
        return edit->text().toStdString();
    if (auto *button = qobject_cast<QAbstractButton *>(item))
        return button->text().toStdString();
    return {};
}

void CVelkartDlg::setItemText(int id, const std::string &text) {
    const QString value = QString::fromStdString(text);
    QWidget *item = items_.value(id);
    if (auto *edit = qobject_cast<QLineEdit *>(item))
        edit->setText(value);
    else if (auto *button = qobject_cast<QAbstractButton *>(item))
        button->setText(value);
}

void CVelkartDlg::enableItem(int id, bool enable) {
    if (QWidget *item = items_.value(id))
        item->setEnabled(enable);
}

void CVelkartDlg::SetDlgItemText(int id, const QString &text) {
    DialogCore::SetDlgItemText(id, text.toStdString());
}

// The same row as DialogCore::AddLog's, without a trip through UTF-8: Qt's
// own callers already hold the text as Qt keeps it.
void CVelkartDlg::AddLog(const QString &message) {
    log_->prepend(now(), message);
}

void CVelkartDlg::showLogRow(std::chrono::system_clock::time_point at, const std::string &message) {
    log_->prepend(at, QString::fromStdString(message));
}

void CVelkartDlg::clearLog() {
    log_->clear();
}

void CVelkartDlg::showStatus(const std::string &text) {
    setStatus(QString::fromStdString(text));
}

void CVelkartDlg::tone(int frequencyHz, int durationMs) {
    platform_.tone(frequencyHz, durationMs);
}

void CVelkartDlg::pause(int durationMs) {
    platform_.pause(durationMs);
}

void CVelkartDlg::messageBox(const std::string &text) {
    platform_.messageBox(this, QString::fromStdString(text));
}

FolderPick CVelkartDlg::chooseFolder(const std::string &prompt) {
    const FolderChoice choice = platform_.chooseFolder(this, QString::fromStdString(prompt));
    FolderPick pick;
    switch (choice.outcome) {
    case FolderChoice::Outcome::Chosen:
        pick.outcome = FolderPick::Outcome::Chosen;
        break;
    case FolderChoice::Outcome::Cancelled:
        pick.outcome = FolderPick::Outcome::Cancelled;
        break;
    case FolderChoice::Outcome::NotFileSystem:
        pick.outcome = FolderPick::Outcome::NotFileSystem;
        break;
    case FolderChoice::Outcome::Unavailable:
        pick.outcome = FolderPick::Outcome::Unavailable;
        break;
    }
    // A lone surrogate has no UTF-8 form: such a name cannot reach the
    // library exactly, so it is no path at all.
    const QByteArray utf8 = choice.path.toUtf8();
    if (QString::fromUtf8(utf8) == choice.path)
        pick.path = utf8.toStdString();
    return pick;
}

std::chrono::system_clock::time_point CVelkartDlg::now() {
    return platform_.now();
}

const EventLogModel &CVelkartDlg::log() const {
    log_->flush();
    return *log_;
}

void CVelkartDlg::OnFrameMonitor() {
    if (monitor_ == nullptr)
        monitor_ = new FrameMonitor(platform_, FrameMonitor::librarySetter(), this);
    monitor_->show();
    monitor_->raise();
    monitor_->activateWindow();
}

void CVelkartDlg::OnSaveLog() {
    saveRows(
        platform_, this, QStringLiteral("保存日志"),
        QStringLiteral("'velkart-'yyyyMMdd-HHmmss'.log'"), log().rowCount(),
        [this](const QList<int> &rows) { return log_->toText(rows); },
        QStringLiteral("日志无法保存: "));
}

void CVelkartDlg::pressBegins() {
    QApplication::setOverrideCursor(Qt::WaitCursor);
}

void CVelkartDlg::pressEnds() {
    // Clicks and keys given while the handler held the thread are waiting
    // in the queue: take them now and drop them, rather than run a read
    // again for every impatient click.
    dropInput_ = true;
    qApp->installEventFilter(this);
    QCoreApplication::processEvents();
    qApp->removeEventFilter(this);
    dropInput_ = false;
    QApplication::restoreOverrideCursor();
}

void CVelkartDlg::setStatus(const QString &text) {
    status_->setText(text);
    status_->setToolTip(text);
    // Screen readers read the name (状态) and this; the label's own text
    // they are not given once it has a name.
    status_->setAccessibleDescription(text);
}

bool CVelkartDlg::eventFilter(QObject *watched, QEvent *event) {
    if (dropInput_) {
        switch (event->type()) {
        case QEvent::MouseButtonPress:
        case QEvent::MouseButtonRelease:
        case QEvent::MouseButtonDblClick:
        case QEvent::KeyPress:
        case QEvent::KeyRelease:
        case QEvent::Wheel:
            if (auto *widget = qobject_cast<QWidget *>(watched);
                widget != nullptr && (widget == this || isAncestorOf(widget)))
                return true;
            break;
        default:
            break;
        }
    }
    return QDialog::eventFilter(watched, event);
}

void CVelkartDlg::OnSysCommand(unsigned id, long long param) {
    (void)param;
    if ((id & 0xFFF0) == IDM_ABOUT) {
        CAboutDlg about(this);
        about.exec();
    } else if ((id & 0xFFF0) == SC_CLOSE) {
        reject();
    }
}

void CVelkartDlg::contextMenuEvent(QContextMenuEvent *event) {
    const QPoint at = event->reason() == QContextMenuEvent::Mouse
                          ? event->globalPos()
                          : mapToGlobal(QPoint(width() / 2, height() / 2));
    systemMenu_->exec(at);
    event->accept();
}

void CVelkartDlg::keyPressEvent(QKeyEvent *event) {
    // Shift+F10 opens the context menu of the focused control, as the menu
    // key does; controls without one pass it on to the dialog's menu.
    if (event->key() == Qt::Key_F10 && event->modifiers() == Qt::ShiftModifier) {
        QWidget *target = focusWidget() ? focusWidget() : this;
        const QPoint centre = target->rect().center();
        QContextMenuEvent menuEvent(QContextMenuEvent::Keyboard, centre,
                                    target->mapToGlobal(centre));
        QCoreApplication::sendEvent(target, &menuEvent);
        return;
    }
    // Enter presses the focused push button and nothing else: the dialog
    // has no default button, and ending it from an edit box would lose the log.
    if ((event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) &&
        (event->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier) {
        if (auto *button = qobject_cast<QPushButton *>(focusWidget());
            button && button->isEnabled())
            button->click();
        return;
    }
    QDialog::keyPressEvent(event);
}

void CVelkartDlg::copySelectedLogRows() const {
    copySelectedRows(*logView_, [this](const QList<int> &rows) { return log_->toText(rows); });
}
