#include "DialogCore.h"

#include "KavIDCardAPI.h"
#include "Text.h"
#include "port_session.h"
#include "resource.h"
#include "result_codes.h"

DialogCore::DialogCore(DialogFrontEnd &frontEnd) : frontEnd_(frontEnd) {}

std::string DialogCore::GetDlgItemText(int id) const {
    return frontEnd_.itemText(id);
}

void DialogCore::SetDlgItemText(int id, const std::string &text) {
    frontEnd_.setItemText(id, text);
}

void DialogCore::EnableDlgItem(int id, bool enable) {
    frontEnd_.enableItem(id, enable);
}

int DialogCore::GetDlgItemNumber(int id) const {
    return numberEntry(GetDlgItemText(id));
}

void DialogCore::AddLog(const std::string &message) {
    frontEnd_.showLogRow(frontEnd_.now(), message);
}

void DialogCore::OnClearLog() {
    frontEnd_.clearLog();
}

void DialogCore::runHandler(Handler handler) {
    if (handling_)
        return;
    handling_ = true;
    failure_.reset();
    failureDetail_.clear();
    frontEnd_.pressBegins();
    (this->*handler)();
    frontEnd_.pressEnds();
    frontEnd_.showStatus(statusAfterPress());
    handling_ = false;
}

std::string DialogCore::statusAfterPress() const {
    if (!failure_)
        return {};
    return kav::results::failureStatus(failure_->call, failure_->code) +
           (failureDetail_.empty() ? std::string() : "; " + failureDetail_) +
           portWarningsText(warnings_, failure_->call, GetDlgItemNumber(IDC_PORT));
}

void DialogCore::readLibraryWarnings(kav::host::WarningGetter getter,
                                     kav::host::VersionGetter version) {
    warnings_ = kav::host::readWarnings(getter);
    frontEnd_.showStatus(startUpStatusText(kav::host::libraryVersionProblem(version), warnings_));
}

void DialogCore::noteFailure(const char *call, int code) {
    if (!failure_)
        failure_ = Failure{call, code};
}

void DialogCore::noteFailureDetail(const std::string &detail) {
    if (failureDetail_.empty())
        failureDetail_ = detail;
}

int DialogCore::check(const char *call, int result) {
    if (result != KAV_OK)
        noteFailure(call, result);
    return result;
}

std::string DialogCore::runOnOpenPort(int port, const std::string &openFailure,
                                      const std::function<std::string()> &command) {
    const kav::host::PortSession session(port);
    return check("Kav_OpenPort", session.openResult()) != KAV_OK ? openFailure : command();
}
