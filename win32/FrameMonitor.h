// The frame monitor: a window of its own beside the dialog that shows the
// library's trace events (frames, noise, operations) as they happen, in an
// owner-data report list view.
#pragma once

#include "KavIDCardAPI.h"
#include "System.h"
#include "exports.h"
#include "trace_format.h"
#include "trace_mailbox.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

// The monitor's controls, as another process finds them.
enum FrameMonitorControl : int {
    IDC_MONITOR_PAUSE = 100,
    IDC_MONITOR_CLEAR = 101,
    IDC_MONITOR_SAVE = 102,
    IDC_MONITOR_NOTE = 103,
    IDC_MONITOR_LIST = 104,
};

enum TraceColumn { TimeColumn, LinkColumn, DirectionColumn, DataColumn, MeaningColumn };
inline constexpr int kTraceColumnCount = 5;

class FrameMonitor {
  public:
    using TraceSetter = kav::host::TraceSetter;
    static constexpr std::size_t kCapacity = 100'000;

    // An event copied out of the library's call: its strings live only as
    // long as the call.
    using Frame = kav::host::KeptTraceEvent;

    // setter may be null: the window then says that no frames come. The
    // window is made when first shown, beside owner and owned by it.
    FrameMonitor(HINSTANCE instance, HWND owner, TraceSetter setter,
                 std::size_t capacity = kCapacity);
    ~FrameMonitor();
    FrameMonitor(const FrameMonitor &) = delete;
    FrameMonitor &operator=(const FrameMonitor &) = delete;

    // Shown, it listens; closed or hidden, it does not.
    void show();
    void hide();

    HWND window() const { return window_; }
    bool isListening() const { return trace_.listening(); }
    std::size_t rowCount() const { return rows_.size(); }
    std::wstring note() const { return note_; }

    // One line per row, the columns separated by tabs, in the order given;
    // rows out of range are left out.
    std::wstring toText(const std::vector<std::size_t> &rows) const;
    // The rows as a pcapng capture, as kav --capture writes them.
    std::string toPcapng(const std::vector<std::size_t> &rows) const;

    // Called by the library, on whichever thread does the work.
    void receive(const KavTraceEvent &event);

  private:
    static LRESULT CALLBACK windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT handle(UINT message, WPARAM wParam, LPARAM lParam);
    void create();
    void layOut();
    void deliver();
    void setPaused(bool paused);
    void clear();
    void save();
    void showNote();
    void showRowCount(bool following);
    const std::array<std::wstring, kTraceColumnCount> &formatted(std::size_t row) const;
    std::wstring infoTip(std::size_t row) const;

    HINSTANCE instance_;
    HWND owner_;
    std::size_t capacity_;
    HWND window_ = nullptr;
    HWND view_ = nullptr;
    HWND pause_ = nullptr;
    HWND noteLabel_ = nullptr;
    HFONT font_ = nullptr;
    bool paused_ = false;
    std::size_t missed_ = 0; // arrived while paused
    std::wstring note_;

    std::deque<Frame> rows_; // oldest first
    std::uint64_t nextSerial_ = 1;
    // The list view asks for a row's cells one after another: the row is
    // formatted once for all of them.
    mutable std::uint64_t cachedSerial_ = 0;
    mutable std::array<std::wstring, kTraceColumnCount> cached_;

    kav::host::TraceMailbox<Frame> mailbox_;           // from the library's threads
    kav::host::TraceSubscription<FrameMonitor> trace_; // after what it fills
};
