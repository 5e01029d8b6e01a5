// The main dialog: the event log, the three number boxes and the buttons
// whose handlers (ops/) drive the reader library.
#pragma once

#include "LibraryWarnings.h"

#include <QDialog>
#include <QHash>
#include <QString>

#include <functional>
#include <optional>

class EventLogModel;
class FrameMonitor;
class Platform;
class QLabel;
class QMenu;
class QTableView;

class CVelkartDlg : public QDialog {
    Q_OBJECT
  public:
    explicit CVelkartDlg(Platform &platform, QWidget *parent = nullptr);

    // The window's controls by identifier, as the handlers reach them.
    QWidget *GetDlgItem(int id) const;
    QString GetDlgItemText(int id) const;
    void SetDlgItemText(int id, const QString &text);
    void EnableDlgItem(int id, bool enable);
    // The number typed into an edit box (number-entry rules).
    int GetDlgItemNumber(int id) const;

    // Puts a message at the top of the event log with the local time.
    void AddLog(QString message);
    // The log as the view is about to show it: rows logged since control
    // last returned to the event loop are handed to the view first.
    const EventLogModel &log() const;

    // Button handlers, one source file in ops/ per group of buttons.
    void OnFindReader();
    void OnReadCard();
    void OnResetSAM();
    void OnGetSAMStatus();
    void OnGetSAMID();
    void OnSetMaxRF();
    void OnSetBaud();
    void OnPathRoot();
    void OnPathCurrent();
    void OnPathChoose();
    void OnTypeBmp();
    void OnTypeJpeg();
    void OnTypeBase64();
    void OnNameTmp();
    void OnNameName();
    void OnNameIdNo();
    void OnNameBoth();
    void OnClearLog();

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
    struct Failure {
        const char *call;
        int code;
    };

    void OnInitDialog();
    // Runs a button's handler with a wait cursor, drops the input given
    // meanwhile, then shows the first failed call or clears the status.
    void runHandler(void (CVelkartDlg::*handler)());
    // Notes the first failure of the press running now; check() returns
    // the result it is given, noting it when it is not success.
    void noteFailure(const char *call, int code);
    int check(const char *call, int result);
    // What the status line adds after the first failure (a card's type
    // letter); the first such note of the press stands.
    void noteFailureDetail(const QString &detail);
    // The status line's text, also for screen readers and as a tooltip
    // where the line is too narrow for it.
    void setStatus(const QString &text);
    void copySelectedLogRows() const;
    // Opens the port, runs command unless opening failed, always closes the
    // port, and gives the message to log.
    QString runOnOpenPort(int port, const QString &openFailure,
                          const std::function<QString()> &command);
    void logPhotoSetting(int result, const QString &success, const char *failure);

    Platform &platform_;
    QHash<int, QWidget *> items_;
    EventLogModel *log_ = nullptr;
    QTableView *logView_ = nullptr;
    QMenu *systemMenu_ = nullptr;
    QLabel *status_ = nullptr;
    FrameMonitor *monitor_ = nullptr;
    std::optional<Failure> failure_;
    QString failureDetail_;
    QList<LibraryWarning> warnings_; // the library's, read once at start
    bool handling_ = false;
    bool dropInput_ = false;
};
