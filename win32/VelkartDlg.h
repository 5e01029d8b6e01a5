// The main dialog's Win32 window: built from its template, routing clicks
// to the handlers of DialogCore (ops/), and the Win32 front end those
// handlers talk to. The event log is an owner-data report list view.
#pragma once

#include "DialogCore.h"
#include "EventLog.h"
#include "FrameMonitor.h"
#include "FrontEnd.h"
#include "System.h"

#include <memory>

class CVelkartDlg : private DialogFrontEnd, public DialogCore {
  public:
    CVelkartDlg();
    ~CVelkartDlg() override;

    // Runs the dialog modally until it ends; its end code.
    INT_PTR DoModal(HINSTANCE instance);

  private:
    static INT_PTR CALLBACK dialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    INT_PTR handle(UINT message, WPARAM wParam, LPARAM lParam);

    void OnInitDialog();
    void OnSysCommand(UINT id, LPARAM param);
    void OnFrameMonitor();
    void OnSaveLog();
    static LRESULT CALLBACK filterMessage(int code, WPARAM wParam, LPARAM lParam);
    void OnPaint();
    HCURSOR OnQueryDragIcon() const;
    void OnCommand(int id, int code);
    LRESULT OnNotify(const NMHDR &header);
    void copySelectedLogRows() const;
    void showLogChange();

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

    HINSTANCE instance_ = nullptr;
    HWND window_ = nullptr;
    HWND logView_ = nullptr;
    HICON bigIcon_ = nullptr;
    HICON smallIcon_ = nullptr;
    HCURSOR savedCursor_ = nullptr;
    bool pressing_ = false;
    bool logChanged_ = false;
    EventLog log_;
    std::unique_ptr<FrameMonitor> monitor_; // made when first opened
    HHOOK messageFilter_ = nullptr;
};

// The about box, modal over owner.
void showAboutBox(HINSTANCE instance, HWND owner);
