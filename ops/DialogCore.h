// The main dialog without its window: the button handlers (one source file
// per group of buttons), the controls by identifier, AddLog and the status
// line's bookkeeping, all in UTF-8 and free of any toolkit. It talks to the
// window through DialogFrontEnd; each front end's CVelkartDlg derives from
// it, so the handlers are CVelkartDlg's on every system.
#pragma once

#include "FrontEnd.h"
#include "StatusText.h"
#include "exports.h"
#include "version.h"

#include <functional>
#include <optional>
#include <span>
#include <string>

class DialogCore {
  public:
    using Handler = void (DialogCore::*)();

    // The routing table: which handler a click on each button runs. Every
    // front end connects it in one loop, the form a message map takes here.
    struct Route {
        int id;
        Handler handler;
    };
    static std::span<const Route> messageMap();
    // The handler a click on the button id runs; null for another control.
    static Handler routeFor(int id);

    explicit DialogCore(DialogFrontEnd &frontEnd);
    virtual ~DialogCore() = default;
    DialogCore(const DialogCore &) = delete;
    DialogCore &operator=(const DialogCore &) = delete;

    // The window's controls by identifier, as the handlers reach them.
    std::string GetDlgItemText(int id) const;
    void SetDlgItemText(int id, const std::string &text);
    void EnableDlgItem(int id, bool enable);
    // The number typed into an edit box (number-entry rules).
    int GetDlgItemNumber(int id) const;

    // Puts a message at the top of the event log with the local time.
    void AddLog(const std::string &message);

    // Button handlers.
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

    // Runs a button's handler between the front end's pressBegins and
    // pressEnds, then shows the first failed call or clears the status. A
    // press while one runs is dropped.
    void runHandler(Handler handler);

    // Reads the library's warnings (once, at start) and shows those that
    // concern no port, after a library version this program was not built
    // for; a null getter reads none.
    void readLibraryWarnings(kav::host::WarningGetter getter,
                             kav::host::VersionGetter version = kav::host::versionGetterExport());

  protected:
    // Notes the first failure of the press running now; check() returns
    // the result it is given, noting it when it is not success.
    void noteFailure(const char *call, int code);
    int check(const char *call, int result);
    // What the status line adds after the first failure (a card's type
    // letter); the first such note of the press stands.
    void noteFailureDetail(const std::string &detail);
    // Opens the port, runs command unless opening failed, always closes the
    // port, and gives the message to log.
    std::string runOnOpenPort(int port, const std::string &openFailure,
                              const std::function<std::string()> &command);
    void logPhotoSetting(int result, const std::string &success, const char *failure);

  private:
    struct Failure {
        const char *call;
        int code;
    };

    std::string statusAfterPress() const;

    DialogFrontEnd &frontEnd_;
    std::optional<Failure> failure_;
    std::string failureDetail_;
    LibraryWarningList warnings_;
    bool handling_ = false;
};
