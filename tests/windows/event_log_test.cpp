// The event log's list view told of a new row count: the count and the
// scroll bar's range it shows, whether or not the view is on the screen,
// and a shown view left shown. Needs a display (run under Xvfb).
#include "EventLog.h"

#include <gtest/gtest.h>

#include <chrono>

namespace {

struct Case {
    const char *what;
    bool frameShown; // the top-level window
    bool viewShown;  // the list view's own WS_VISIBLE
    int rows;
};

class LogView {
  public:
    LogView(bool shown, bool viewShown) {
        INITCOMMONCONTROLSEX controls{sizeof controls, ICC_LISTVIEW_CLASSES};
        InitCommonControlsEx(&controls);
        frame_ =
            CreateWindowExW(0, L"Static", L"log", WS_OVERLAPPEDWINDOW | (shown ? WS_VISIBLE : 0), 0,
                            0, 400, 300, nullptr, nullptr, nullptr, nullptr);
        view_ = CreateWindowExW(0, WC_LISTVIEWW, L"",
                                WS_CHILD | (viewShown ? WS_VISIBLE : 0) | WS_BORDER | LVS_REPORT |
                                    LVS_OWNERDATA,
                                0, 0, 380, 200, frame_, nullptr, nullptr, nullptr);
        LVCOLUMNW column{};
        column.mask = LVCF_TEXT | LVCF_WIDTH;
        column.pszText = const_cast<wchar_t *>(L"信息");
        column.cx = 300;
        ListView_InsertColumn(view_, 0, &column);
    }
    ~LogView() { DestroyWindow(frame_); }
    LogView(const LogView &) = delete;
    LogView &operator=(const LogView &) = delete;
    HWND frame() const { return frame_; }
    HWND view() const { return view_; }

  private:
    HWND frame_ = nullptr;
    HWND view_ = nullptr;
};

TEST(EventLogView, CountAndScrollRangeFollowTheLogWhetherShownOrNot) {
    const Case cases[] = {
        {"shown, fewer rows than fit", true, true, 3},
        {"shown, more rows than fit", true, true, 200},
        {"in a hidden window, more rows than fit", false, true, 200},
        {"itself hidden, more rows than fit", true, false, 200},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        LogView window(c.frameShown, c.viewShown);
        ASSERT_NE(window.view(), nullptr);
        EventLog log;
        for (int i = 0; i < c.rows; ++i) {
            log.prepend(std::chrono::system_clock::now(), L"行 " + std::to_wstring(i));
            showLogSize(window.view(), log);
        }
        EXPECT_EQ(ListView_GetItemCount(window.view()), c.rows);
        // Shown stays shown (and hidden hidden): the view is hidden only
        // while it takes the count.
        EXPECT_EQ(IsWindowVisible(window.view()) != FALSE, c.frameShown && c.viewShown);
        EXPECT_EQ((GetWindowLongPtrW(window.view(), GWL_STYLE) & WS_VISIBLE) != 0, c.viewShown);
        SCROLLINFO bar{};
        bar.cbSize = sizeof bar;
        bar.fMask = SIF_RANGE | SIF_PAGE;
        const bool scrolls = GetScrollInfo(window.view(), SB_VERT, &bar) != FALSE &&
                             bar.nMax >= static_cast<int>(bar.nPage) && bar.nPage > 0;
        EXPECT_EQ(scrolls, c.rows > ListView_GetCountPerPage(window.view()));
        if (scrolls) {
            EXPECT_EQ(bar.nMax, c.rows - 1);
        }
        // The newest row is at the top.
        EXPECT_STREQ(log.cell(0, EventLog::MessageColumn),
                     (L"行 " + std::to_wstring(c.rows - 1)).c_str());
    }
}

} // namespace
