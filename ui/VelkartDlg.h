// The main dialog's Qt window: built from its template, routing clicks to
// the handlers of DialogCore (ops/, no toolkit), and the Qt front end those
// handlers talk to. The event log, the context menu and the frame monitor
// live here.
#pragma once

#include "DialogCore.h"
#include "FrontEnd.h"

#include <QDialog>
#include <QHash>
#include <QString>

class EventLogModel;
class FrameMonitor;
class Platform;
class QLabel;
class QMenu;
class QTableView;

class CVelkartDlg : public QDialog, private DialogFrontEnd, public DialogCore {
    Q_OBJECT
  public:
    explicit CVelkartDlg(Platform &platform, QWidget *parent = nullptr);

    // The window's controls by identifier; the handlers reach their texts
    // through DialogCore.
    QWidget *GetDlgItem(int id) const;
    void SetDlgItemText(int id, const QString &text);

    // Puts a message at the top of the event log with the local time.
    void AddLog(const QString &message);
    // The log as the view is about to show it: rows logged since control
    // last returned to the event loop are handed to the view first.
    const EventLogModel &log() const;

    // Context-menu commands: the frame monitor window, and the event log
    // written to a file.
    void OnFrameMonitor();
    void OnSaveLog();
    // The monitor once opened, else null.
    FrameMonitor *frameMonitor() const { return monitor_; }

    // Window-menu commands; IDM_ABOUT opens the about box.
    void OnSysCommand(unsigned id, long long param);
    // The dialog's own menu, standing in for the system menu where the
    // window system offers the program none.
    QMenu *systemMenu() const { return systemMenu_; }

  protected:
    void contextMenuEvent(QContextMenuEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

  private:
    void OnInitDialog();
    // The status line's text, also for screen readers and as a tooltip
    // where the line is too narrow for it.
    void setStatus(const QString &text);
    void copySelectedLogRows() const;

    // DialogFrontEnd
    std::string itemText(int id) const override;
    void setItemText(int id, const std::string &text) override;
    void enableItem(int id, bool enable) override;
    void showLogRow(std::chrono::system_clock::time_point at, const std::string &message) override;
    void clearLog() override;
    void showStatus(const std::string &text) override;
    void pressBegins() override;
    void pressEnds() override;
    void tone(int frequencyHz, int durationMs) override;
    void pause(int durationMs) override;
    void messageBox(const std::string &text) override;
    FolderPick chooseFolder(const std::string &prompt) override;
    std::chrono::system_clock::time_point now() override;

    Platform &platform_;
    QHash<int, QWidget *> items_;
    EventLogModel *log_ = nullptr;
    QTableView *logView_ = nullptr;
    QMenu *systemMenu_ = nullptr;
    QLabel *status_ = nullptr;
    FrameMonitor *monitor_ = nullptr;
    bool dropInput_ = false;
};
