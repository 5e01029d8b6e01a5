#include "VelkartDlg.h"

#include "DialogTemplate.h"
#include "FolderPicker.h"
#include "KavIDCardAPI.h"
#include "RowText.h"
#include "TestChannel.h"
#include "Wide.h"
#include "exports.h"
#include "templates.h"

#include <algorithm>
#include <vector>

namespace {

// Grid lines, movable columns, whole rows selected.
constexpr DWORD kLogExtendedStyles =
    LVS_EX_GRIDLINES | LVS_EX_HEADERDRAGDROP | LVS_EX_FULLROWSELECT; // 0x31
constexpr int kTimeColumnWidth = 140;
constexpr int kMessageColumnWidth = 550;

void addColumn(HWND view, int index, const wchar_t *title, int width) {
    LVCOLUMNW column{};
    column.mask = LVCF_TEXT | LVCF_WIDTH | LVCF_SUBITEM;
    column.pszText = const_cast<wchar_t *>(title);
    column.cx = width;
    column.iSubItem = index;
    ListView_InsertColumn(view, index, &column);
}

INT_PTR CALLBACK aboutProc(HWND window, UINT message, WPARAM wParam, LPARAM) {
    switch (message) {
    case WM_INITDIALOG:
        return TRUE;
    case WM_COMMAND:
        if (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL) {
            EndDialog(window, LOWORD(wParam));
            return TRUE;
        }
        break;
    default:
        break;
    }
    return FALSE;
}

// The one dialog of this thread, for its message filter.
CVelkartDlg *filteredDialog = nullptr;

} // namespace

void showAboutBox(HINSTANCE instance, HWND owner) {
    const std::vector<WORD> about = buildDialogTemplate(res::aboutDialog(), 0);
    DialogBoxIndirectParamW(instance, reinterpret_cast<LPCDLGTEMPLATEW>(about.data()), owner,
                            aboutProc, 0);
}

CVelkartDlg::CVelkartDlg() : DialogCore(static_cast<DialogFrontEnd &>(*this)) {}

CVelkartDlg::~CVelkartDlg() {
    if (bigIcon_ != nullptr)
        DestroyIcon(bigIcon_);
    if (smallIcon_ != nullptr)
        DestroyIcon(smallIcon_);
}

INT_PTR CVelkartDlg::DoModal(HINSTANCE instance) {
    instance_ = instance;
    // On the taskbar, being the program's only top-level window.
    const std::vector<WORD> main = buildDialogTemplate(res::mainDialog(), WS_EX_APPWINDOW);
    return DialogBoxIndirectParamW(instance, reinterpret_cast<LPCDLGTEMPLATEW>(main.data()),
                                   nullptr, dialogProc, reinterpret_cast<LPARAM>(this));
}

INT_PTR CALLBACK CVelkartDlg::dialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_INITDIALOG) {
        auto *dialog = reinterpret_cast<CVelkartDlg *>(lParam);
        SetWindowLongPtrW(window, DWLP_USER, lParam);
        dialog->window_ = window;
        dialog->OnInitDialog();
        return FALSE; // the focus is set
    }
    auto *dialog = reinterpret_cast<CVelkartDlg *>(GetWindowLongPtrW(window, DWLP_USER));
    return dialog != nullptr ? dialog->handle(message, wParam, lParam) : FALSE;
}

INT_PTR CVelkartDlg::handle(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_SYSCOMMAND:
        if (const UINT command = wParam & 0xFFF0;
            command == IDM_ABOUT || command == IDM_FRAME_MONITOR || command == IDM_SAVE_LOG) {
            OnSysCommand(static_cast<UINT>(wParam), lParam);
            return TRUE;
        }
        return FALSE; // the window system's own
    case WM_PAINT:
        if (IsIconic(window_)) {
            OnPaint();
            return TRUE;
        }
        return FALSE;
    case WM_QUERYDRAGICON:
        SetWindowLongPtrW(window_, DWLP_MSGRESULT, reinterpret_cast<LONG_PTR>(OnQueryDragIcon()));
        return TRUE;
    case WM_COMMAND:
        OnCommand(LOWORD(wParam), HIWORD(wParam));
        return TRUE;
    case WM_NOTIFY:
        SetWindowLongPtrW(window_, DWLP_MSGRESULT,
                          OnNotify(*reinterpret_cast<const NMHDR *>(lParam)));
        return TRUE;
    case WM_COPYDATA:
        SetWindowLongPtrW(window_, DWLP_MSGRESULT,
                          answerTestQuery(window_, reinterpret_cast<HWND>(wParam),
                                          *reinterpret_cast<const COPYDATASTRUCT *>(lParam)));
        return TRUE;
    case WM_DESTROY:
        // The monitor, owned by the dialog, has let go of the library's
        // callback as its window went, just before this one.
        monitor_.reset();
        if (messageFilter_ != nullptr)
            UnhookWindowsHookEx(messageFilter_);
        messageFilter_ = nullptr;
        filteredDialog = nullptr;
        return FALSE;
    case WM_SETCURSOR:
        // While a handler runs the wait cursor stays, wherever the mouse is.
        if (savedCursor_ != nullptr) {
            SetCursor(LoadCursorW(nullptr, IDC_WAIT));
            SetWindowLongPtrW(window_, DWLP_MSGRESULT, TRUE);
            return TRUE;
        }
        return FALSE;
    default:
        return FALSE;
    }
}

void CVelkartDlg::OnInitDialog() {
    // The monitor's and the save's entries after the window system's, then
    // the about entry after a separator, when the menu text is there.
    if (HMENU menu = GetSystemMenu(window_, FALSE)) {
        AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
        AppendMenuW(menu, MF_STRING, IDM_FRAME_MONITOR, L"通讯监视(&M)...\tCtrl+M");
        AppendMenuW(menu, MF_STRING, IDM_SAVE_LOG, L"保存日志(&S)...");
        const std::wstring about = toWide(res::loadString(IDS_ABOUT_MENU));
        if (!about.empty()) {
            AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
            AppendMenuW(menu, MF_STRING, IDM_ABOUT, about.c_str());
        }
    }

    // Big then small, as the window system asks for them.
    bigIcon_ = static_cast<HICON>(
        LoadImageW(instance_, MAKEINTRESOURCEW(IDI_MAIN), IMAGE_ICON, 32, 32, LR_DEFAULTCOLOR));
    smallIcon_ = static_cast<HICON>(
        LoadImageW(instance_, MAKEINTRESOURCEW(IDI_MAIN), IMAGE_ICON, 16, 16, LR_DEFAULTCOLOR));
    SendMessageW(window_, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(bigIcon_));
    SendMessageW(window_, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(smallIcon_));

    EnableDlgItem(IDC_BAUD, false);
    EnableDlgItem(IDC_SET_BAUD, false);
    SetDlgItemText(IDC_MAXRF, "80");
    SetDlgItemText(IDC_PORT, "1");

    logView_ = GetDlgItem(window_, IDC_LOG);
    ListView_SetExtendedListViewStyle(logView_, kLogExtendedStyles);
    addColumn(logView_, EventLog::TimeColumn, L"发生时间", kTimeColumnWidth);
    addColumn(logView_, EventLog::MessageColumn, L"信息", kMessageColumnWidth);

    // A mistake in the library's configuration is said before the first
    // press fails because of it.
    readLibraryWarnings(kav::host::warningGetterExport());

    // The modal loop gives every message to this filter first: Ctrl+M
    // anywhere in the dialog, and the monitor's keys (tab, mnemonics, Esc).
    filteredDialog = this;
    messageFilter_ = SetWindowsHookExW(WH_MSGFILTER, filterMessage, nullptr, GetCurrentThreadId());

    SetFocus(GetDlgItem(window_, IDCANCEL));
}

LRESULT CALLBACK CVelkartDlg::filterMessage(int code, WPARAM wParam, LPARAM lParam) {
    CVelkartDlg *const dialog = filteredDialog;
    if (code == MSGF_DIALOGBOX && dialog != nullptr && lParam != 0) {
        MSG &message = *reinterpret_cast<MSG *>(lParam);
        HWND root = message.hwnd != nullptr ? GetAncestor(message.hwnd, GA_ROOT) : nullptr;
        if (root == dialog->window_ && message.message == WM_KEYDOWN && message.wParam == 'M' &&
            GetKeyState(VK_CONTROL) < 0 && GetKeyState(VK_MENU) >= 0 &&
            GetKeyState(VK_SHIFT) >= 0) {
            PostMessageW(dialog->window_, WM_SYSCOMMAND, IDM_FRAME_MONITOR, 0);
            return TRUE;
        }
        if (root != nullptr && dialog->monitor_ != nullptr && root == dialog->monitor_->window() &&
            IsDialogMessageW(root, &message))
            return TRUE;
    }
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

void CVelkartDlg::OnSysCommand(UINT id, LPARAM) {
    switch (id & 0xFFF0) {
    case IDM_ABOUT:
        showAboutBox(instance_, window_);
        break;
    case IDM_FRAME_MONITOR:
        OnFrameMonitor();
        break;
    case IDM_SAVE_LOG:
        OnSaveLog();
        break;
    default:
        break;
    }
}

void CVelkartDlg::OnFrameMonitor() {
    if (monitor_ == nullptr)
        monitor_ =
            std::make_unique<FrameMonitor>(instance_, window_, kav::host::traceSetterExport());
    monitor_->show();
}

void CVelkartDlg::OnSaveLog() {
    std::vector<std::size_t> all(log_.size());
    for (std::size_t row = 0; row < all.size(); ++row)
        all[row] = row;
    // The rows as Ctrl+C copies them, newest first as shown.
    saveRows(
        window_, L"保存日志", timeStampedName(L"velkart-", L".log", now()),
        [this, &all](const std::wstring &) { return toUtf8(log_.toText(all)); }, L"日志无法保存: ");
}

void CVelkartDlg::OnPaint() {
    // Minimised: the icon centred in the client area.
    PAINTSTRUCT paint;
    HDC dc = BeginPaint(window_, &paint);
    SendMessageW(window_, WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc), 0);
    RECT client;
    GetClientRect(window_, &client);
    const int x = (client.right - client.left - GetSystemMetrics(SM_CXICON) + 1) / 2;
    const int y = (client.bottom - client.top - GetSystemMetrics(SM_CYICON) + 1) / 2;
    DrawIcon(dc, x, y, bigIcon_);
    EndPaint(window_, &paint);
}

HCURSOR CVelkartDlg::OnQueryDragIcon() const {
    return static_cast<HCURSOR>(bigIcon_);
}

void CVelkartDlg::OnCommand(int id, int code) {
    if (code != BN_CLICKED)
        return;
    if (id == IDCANCEL) {
        EndDialog(window_, IDCANCEL);
        return;
    }
    if (const Handler handler = routeFor(id))
        runHandler(handler);
}

LRESULT CVelkartDlg::OnNotify(const NMHDR &header) {
    if (header.idFrom != IDC_LOG)
        return 0;
    if (header.code == LVN_GETDISPINFOW) {
        fillLogCell(log_, reinterpret_cast<NMLVDISPINFOW &>(const_cast<NMHDR &>(header)));
    } else if (header.code == LVN_KEYDOWN) {
        const auto &key = reinterpret_cast<const NMLVKEYDOWN &>(header);
        if (key.wVKey == 'C' && GetKeyState(VK_CONTROL) < 0)
            copySelectedLogRows();
    }
    return 0;
}

void CVelkartDlg::copySelectedLogRows() const {
    const std::vector<std::size_t> rows = selectedRows(logView_);
    if (!rows.empty())
        putOnClipboard(window_, log_.toText(rows));
}

std::string CVelkartDlg::itemText(int id) const {
    HWND item = GetDlgItem(window_, id);
    if (item == nullptr)
        return {};
    const int length = GetWindowTextLengthW(item);
    std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
    text.resize(static_cast<std::size_t>(GetWindowTextW(item, text.data(), length + 1)));
    // A typed lone surrogate has no UTF-8 form: such an entry reads as none.
    return toUtf8(text).value_or(std::string());
}

void CVelkartDlg::setItemText(int id, const std::string &text) {
    SetDlgItemTextW(window_, id, toWide(text).c_str());
}

void CVelkartDlg::enableItem(int id, bool enable) {
    if (HWND item = GetDlgItem(window_, id))
        EnableWindow(item, enable ? TRUE : FALSE);
}

void CVelkartDlg::showLogRow(std::chrono::system_clock::time_point at, const std::string &message) {
    log_.prepend(at, toWide(message));
    showLogChange();
}

void CVelkartDlg::clearLog() {
    log_.clear();
    showLogChange();
}

// The list view is told of new rows once a press, at its end: telling it
// of each row costs a full recount and redraw under some window systems.
void CVelkartDlg::showLogChange() {
    if (pressing_)
        logChanged_ = true;
    else
        showLogSize(logView_, log_);
}

void CVelkartDlg::showStatus(const std::string &text) {
    SetDlgItemTextW(window_, IDC_STATUS, toWide(text).c_str());
}

void CVelkartDlg::pressBegins() {
    pressing_ = true;
    savedCursor_ = SetCursor(LoadCursorW(nullptr, IDC_WAIT));
}

void CVelkartDlg::pressEnds() {
    pressing_ = false;
    if (logChanged_) {
        logChanged_ = false;
        showLogSize(logView_, log_);
    }
    // Clicks and keys given while the handler held the thread are waiting
    // in the queue: take them now and drop them, rather than run a read
    // again for every impatient click.
    MSG message;
    while (PeekMessageW(&message, nullptr, WM_KEYFIRST, WM_KEYLAST, PM_REMOVE) ||
           PeekMessageW(&message, nullptr, WM_MOUSEFIRST, WM_MOUSELAST, PM_REMOVE)) {
    }
    SetCursor(savedCursor_ != nullptr ? savedCursor_ : LoadCursorW(nullptr, IDC_ARROW));
    savedCursor_ = nullptr;
}

void CVelkartDlg::tone(int frequencyHz, int durationMs) {
    Beep(static_cast<DWORD>(frequencyHz), static_cast<DWORD>(durationMs));
}

void CVelkartDlg::pause(int durationMs) {
    Sleep(static_cast<DWORD>(durationMs));
}

void CVelkartDlg::messageBox(const std::string &text) {
    MessageBoxW(window_, toWide(text).c_str(), programName().c_str(), MB_OK);
}

FolderPick CVelkartDlg::chooseFolder(const std::string &prompt) {
    return toFolderPick(browseForFolder(window_, toWide(prompt)));
}

std::chrono::system_clock::time_point CVelkartDlg::now() {
    return std::chrono::system_clock::now();
}
