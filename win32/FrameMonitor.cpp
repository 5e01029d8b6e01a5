#include "FrameMonitor.h"

#include "RowText.h"
#include "Wide.h"
#include "capture/trace_recorder.h"
#include "trace_format.h"

#include <algorithm>
#include <sstream>

namespace {

constexpr wchar_t kClassName[] = L"VelkartFrameMonitor";
// Sent to the monitor's window when the library has handed over events.
constexpr UINT kDeliverMessage = WM_APP + 1;

constexpr int kWidth = 960;
constexpr int kHeight = 420;
constexpr int kMargin = 6;
constexpr int kButtonHeight = 24;
// 数据 shows the head of a frame (a status frame whole); 含义 the rest.
constexpr int kColumnWidths[kTraceColumnCount] = {96, 110, 36, 250, 300};
constexpr DWORD kListExtendedStyles = LVS_EX_GRIDLINES | LVS_EX_HEADERDRAGDROP |
                                      LVS_EX_FULLROWSELECT | LVS_EX_DOUBLEBUFFER | LVS_EX_INFOTIP;

// The list view's buffer holds a tip of some 1,000 characters: a longer
// one is cut, and says so, and never in the middle of a character.
void putTip(NMLVGETINFOTIPW &tip, std::wstring text) {
    const std::size_t room = static_cast<std::size_t>(tip.cchTextMax) - 1;
    if (text.size() > room) {
        text.resize(room > 0 ? room - 1 : 0);
        if (!text.empty() && IS_HIGH_SURROGATE(text.back()))
            text.pop_back();
        if (room > 0)
            text += L'…';
    }
    std::copy(text.begin(), text.end(), tip.pszText);
    tip.pszText[text.size()] = L'\0';
}

bool endsWithPcapng(const std::wstring &path) {
    constexpr std::wstring_view ending = L".pcapng";
    if (path.size() < ending.size())
        return false;
    return CompareStringOrdinal(path.c_str() + path.size() - ending.size(),
                                static_cast<int>(ending.size()), ending.data(),
                                static_cast<int>(ending.size()), TRUE) == CSTR_EQUAL;
}

} // namespace

FrameMonitor::FrameMonitor(HINSTANCE instance, HWND owner, TraceSetter setter, std::size_t capacity)
    : instance_(instance), owner_(owner), capacity_(std::max<std::size_t>(capacity, 1)),
      mailbox_(capacity_), trace_(setter, this) {
    showNote();
}

FrameMonitor::~FrameMonitor() {
    trace_.listen(false);
    if (window_ != nullptr)
        DestroyWindow(window_);
}

void FrameMonitor::show() {
    if (window_ == nullptr)
        create();
    if (window_ == nullptr)
        return;
    trace_.listen(true);
    ShowWindow(window_, SW_SHOW);
    SetForegroundWindow(window_);
}

void FrameMonitor::hide() {
    // Closed, the monitor costs the library nothing: no callback is set.
    trace_.listen(false);
    if (window_ != nullptr)
        ShowWindow(window_, SW_HIDE);
}

void FrameMonitor::create() {
    static const ATOM registered = [this] {
        WNDCLASSEXW type{};
        type.cbSize = sizeof type;
        type.lpfnWndProc = windowProc;
        type.hInstance = instance_;
        type.hCursor = LoadCursorW(nullptr, IDC_ARROW);
        type.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
        type.lpszClassName = kClassName;
        return RegisterClassExW(&type);
    }();
    if (registered == 0)
        return;
    // Beside the dialog, on its screen.
    int x = CW_USEDEFAULT, y = CW_USEDEFAULT;
    RECT ownerFrame{};
    if (owner_ != nullptr && GetWindowRect(owner_, &ownerFrame)) {
        MONITORINFO screen{};
        screen.cbSize = sizeof screen;
        GetMonitorInfoW(MonitorFromWindow(owner_, MONITOR_DEFAULTTONEAREST), &screen);
        x = std::max(screen.rcWork.left,
                     std::min<LONG>(ownerFrame.right + kMargin, screen.rcWork.right - kWidth));
        y = std::max(screen.rcWork.top,
                     std::min<LONG>(ownerFrame.top + 2 * kMargin, screen.rcWork.bottom - kHeight));
    }
    window_ = CreateWindowExW(WS_EX_CONTROLPARENT, kClassName, L"通讯监视 - Velkart",
                              WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN, x, y, kWidth, kHeight, owner_,
                              nullptr, instance_, this);
    if (window_ == nullptr)
        return;
    HICON icon = owner_ != nullptr
                     ? reinterpret_cast<HICON>(SendMessageW(owner_, WM_GETICON, ICON_SMALL, 0))
                     : nullptr;
    if (icon != nullptr)
        SendMessageW(window_, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(icon));
    // The dialog's font, borrowed; without an owner the system's own.
    font_ = owner_ != nullptr ? reinterpret_cast<HFONT>(SendMessageW(owner_, WM_GETFONT, 0, 0))
                              : nullptr;

    const auto control = [this](const wchar_t *type, const wchar_t *text, DWORD style, int id,
                                DWORD exStyle = 0) {
        HWND made =
            CreateWindowExW(exStyle, type, text, WS_CHILD | WS_VISIBLE | style, 0, 0, 0, 0, window_,
                            reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), instance_, nullptr);
        if (font_ != nullptr)
            SendMessageW(made, WM_SETFONT, reinterpret_cast<WPARAM>(font_), FALSE);
        return made;
    };
    pause_ = control(L"Button", L"暂停(&P)", WS_TABSTOP | BS_AUTOCHECKBOX | BS_PUSHLIKE,
                     IDC_MONITOR_PAUSE);
    control(L"Button", L"清除(&L)", WS_TABSTOP | BS_PUSHBUTTON, IDC_MONITOR_CLEAR);
    control(L"Button", L"保存(&S)...", WS_TABSTOP | BS_PUSHBUTTON, IDC_MONITOR_SAVE);
    noteLabel_ = control(L"Static", note_.c_str(), SS_LEFTNOWORDWRAP | SS_NOPREFIX | SS_CENTERIMAGE,
                         IDC_MONITOR_NOTE);
    view_ = control(WC_LISTVIEWW, L"", WS_TABSTOP | LVS_REPORT | LVS_OWNERDATA | LVS_SHOWSELALWAYS,
                    IDC_MONITOR_LIST, WS_EX_CLIENTEDGE);
    ListView_SetExtendedListViewStyle(view_, kListExtendedStyles);
    for (int column = 0; column < kTraceColumnCount; ++column) {
        const std::wstring title = toWide(kav::host::kTraceColumns[column]);
        LVCOLUMNW item{};
        item.mask = LVCF_TEXT | LVCF_WIDTH | LVCF_SUBITEM;
        item.pszText = const_cast<wchar_t *>(title.c_str());
        item.cx = kColumnWidths[column];
        item.iSubItem = column;
        ListView_InsertColumn(view_, column, &item);
    }
    layOut();
    showRowCount(true);
}

void FrameMonitor::layOut() {
    RECT client{};
    GetClientRect(window_, &client);
    const int widths[] = {80, 80, 90};
    const int ids[] = {IDC_MONITOR_PAUSE, IDC_MONITOR_CLEAR, IDC_MONITOR_SAVE};
    int x = kMargin;
    for (int i = 0; i < 3; ++i) {
        MoveWindow(GetDlgItem(window_, ids[i]), x, kMargin, widths[i], kButtonHeight, TRUE);
        x += widths[i] + kMargin;
    }
    MoveWindow(noteLabel_, x, kMargin, std::max(0, int(client.right) - x - kMargin), kButtonHeight,
               TRUE);
    const int top = 2 * kMargin + kButtonHeight;
    MoveWindow(view_, kMargin, top, std::max(0, int(client.right) - 2 * kMargin),
               std::max(0, int(client.bottom) - top - kMargin), TRUE);
    // 含义, the last, takes whatever width the window gains.
    ListView_SetColumnWidth(view_, MeaningColumn, LVSCW_AUTOSIZE_USEHEADER);
}

LRESULT CALLBACK FrameMonitor::windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_NCCREATE) {
        auto *monitor =
            static_cast<FrameMonitor *>(reinterpret_cast<CREATESTRUCTW *>(lParam)->lpCreateParams);
        SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(monitor));
        monitor->window_ = window;
    }
    auto *monitor = reinterpret_cast<FrameMonitor *>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (monitor == nullptr)
        return DefWindowProcW(window, message, wParam, lParam);
    if (message == WM_NCDESTROY) {
        SetWindowLongPtrW(window, GWLP_USERDATA, 0);
        monitor->window_ = monitor->view_ = monitor->pause_ = monitor->noteLabel_ = nullptr;
        return DefWindowProcW(window, message, wParam, lParam);
    }
    return monitor->handle(message, wParam, lParam);
}

LRESULT FrameMonitor::handle(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_SIZE:
        layOut();
        return 0;
    case WM_CLOSE:
        hide();
        return 0;
    case WM_DESTROY:
        // Destroyed with the dialog: the library lets go of the callback
        // before the window goes.
        trace_.listen(false);
        return 0;
    case kDeliverMessage:
        deliver();
        return 0;
    case WM_COMMAND:
        if (HIWORD(wParam) != BN_CLICKED)
            break;
        switch (LOWORD(wParam)) {
        case IDC_MONITOR_PAUSE:
            setPaused(SendMessageW(pause_, BM_GETCHECK, 0, 0) == BST_CHECKED);
            return 0;
        case IDC_MONITOR_CLEAR:
            clear();
            return 0;
        case IDC_MONITOR_SAVE:
            save();
            return 0;
        case IDCANCEL: // Esc
            hide();
            return 0;
        default:
            break;
        }
        break;
    case WM_NOTIFY: {
        const auto &header = *reinterpret_cast<const NMHDR *>(lParam);
        if (header.idFrom != IDC_MONITOR_LIST)
            break;
        if (header.code == LVN_GETDISPINFOW) {
            auto &info = *reinterpret_cast<NMLVDISPINFOW *>(lParam);
            if ((info.item.mask & LVIF_TEXT) == 0 || info.item.iItem < 0 ||
                static_cast<std::size_t>(info.item.iItem) >= rows_.size() ||
                info.item.iSubItem < 0 || info.item.iSubItem >= kTraceColumnCount)
                return 0;
            const auto &cells = formatted(static_cast<std::size_t>(info.item.iItem));
            info.item.pszText = const_cast<wchar_t *>(cells[info.item.iSubItem].c_str());
        } else if (header.code == LVN_GETINFOTIPW) {
            auto &tip = *reinterpret_cast<NMLVGETINFOTIPW *>(lParam);
            if (tip.pszText != nullptr && tip.cchTextMax > 0 && tip.iItem >= 0 &&
                static_cast<std::size_t>(tip.iItem) < rows_.size())
                putTip(tip, infoTip(static_cast<std::size_t>(tip.iItem)));
        } else if (header.code == LVN_KEYDOWN) {
            const auto &key = *reinterpret_cast<const NMLVKEYDOWN *>(lParam);
            if (key.wVKey == 'C' && GetKeyState(VK_CONTROL) < 0) {
                const std::vector<std::size_t> rows = selectedRows(view_);
                if (!rows.empty())
                    putOnClipboard(window_, toText(rows));
            }
        }
        return 0;
    }
    default:
        break;
    }
    return DefWindowProcW(window_, message, wParam, lParam);
}

void FrameMonitor::receive(const KavTraceEvent &event) {
    // The library's thread never touches a window nor waits for one: the
    // rows are handed over on the window's own thread, once per burst.
    if (mailbox_.put(Frame::of(event)) && !PostMessageW(window_, kDeliverMessage, 0, 0))
        mailbox_.wakeFailed();
}

void FrameMonitor::deliver() {
    auto [frames, arrived] = mailbox_.take();
    if (paused_) {
        missed_ += arrived;
        showNote();
        return;
    }
    if (frames.empty())
        return;
    // Scrolled to the newest, the view follows the new rows.
    const int count = ListView_GetItemCount(view_);
    const bool following =
        count == 0 || ListView_GetTopIndex(view_) + ListView_GetCountPerPage(view_) >= count;
    const std::size_t total = rows_.size() + frames.size();
    if (total > capacity_)
        rows_.erase(rows_.begin(), rows_.begin() + static_cast<std::ptrdiff_t>(
                                                       std::min(rows_.size(), total - capacity_)));
    while (frames.size() > capacity_)
        frames.pop_front();
    for (Frame &frame : frames) {
        frame.serial = nextSerial_++;
        rows_.push_back(std::move(frame));
    }
    showRowCount(following);
}

// The list view is told of new rows once per batch.
void FrameMonitor::showRowCount(bool following) {
    if (view_ == nullptr)
        return;
    ListView_SetItemCountEx(view_, static_cast<int>(rows_.size()), LVSICF_NOSCROLL);
    if (following && !rows_.empty())
        ListView_EnsureVisible(view_, static_cast<int>(rows_.size()) - 1, FALSE);
    InvalidateRect(view_, nullptr, FALSE);
}

void FrameMonitor::setPaused(bool paused) {
    if (paused_ == paused)
        return;
    paused_ = paused;
    if (paused)
        missed_ = 0;
    SendMessageW(pause_, BM_SETCHECK, paused ? BST_CHECKED : BST_UNCHECKED, 0);
    showNote();
}

void FrameMonitor::clear() {
    std::deque<Frame>().swap(rows_);
    missed_ = 0;
    showRowCount(true);
    showNote();
}

void FrameMonitor::showNote() {
    note_ = toWide(kav::host::monitorNote(trace_.framesReported(), paused_, missed_));
    if (noteLabel_ != nullptr)
        SetWindowTextW(noteLabel_, note_.c_str());
}

std::wstring FrameMonitor::infoTip(std::size_t row) const {
    // Whatever the narrow columns cut: the meaning, then the bytes in lines.
    const kav::host::TraceRow cells = kav::host::traceRow(rows_[row].view());
    std::string text = cells.meaning;
    if (!cells.data.empty())
        text += (text.empty() ? "" : "\n") + kav::host::hexLines(cells.data);
    return toWide(text);
}

const std::array<std::wstring, kTraceColumnCount> &FrameMonitor::formatted(std::size_t row) const {
    const Frame &frame = rows_[row];
    if (frame.serial != cachedSerial_) {
        // The same texts as every other host of the trace: one formatter.
        const kav::host::TraceRow cells = kav::host::traceRow(frame.view());
        cached_ = {toWide(cells.time), toWide(cells.port), toWide(cells.direction),
                   toWide(cells.data), toWide(cells.meaning)};
        cachedSerial_ = frame.serial;
    }
    return cached_;
}

std::wstring FrameMonitor::toText(const std::vector<std::size_t> &rows) const {
    std::wstring text;
    for (std::size_t row : rows) {
        if (row >= rows_.size())
            continue;
        const auto &cells = formatted(row);
        for (int column = 0; column < kTraceColumnCount; ++column) {
            if (column > 0)
                text += L'\t';
            text += cells[static_cast<std::size_t>(column)];
        }
        text += L"\r\n";
    }
    return text;
}

std::string FrameMonitor::toPcapng(const std::vector<std::size_t> &rows) const {
    std::ostringstream out;
    kav::capture::PcapngWriter writer(out);
    kav::capture::TraceRecorder recorder(writer, false);
    for (std::size_t row : rows)
        if (row < rows_.size())
            recorder.add(rows_[row].view());
    return out.str();
}

void FrameMonitor::save() {
    std::vector<std::size_t> all(rows_.size());
    for (std::size_t row = 0; row < all.size(); ++row)
        all[row] = row;
    // Text unless the name asks for pcapng, which packet analysers read.
    saveRows(
        window_, L"保存通讯记录",
        timeStampedName(L"velkart-frames-", L".txt", std::chrono::system_clock::now()),
        [this, &all](const std::wstring &path) -> std::optional<std::string> {
            if (endsWithPcapng(path))
                return toPcapng(all);
            return toUtf8(toText(all));
        },
        L"通讯记录无法保存: ");
}
