// Velkart.exe timed from another process under wine, as a user meets it:
//   dialog_timing read N FOLDER
//                              the read button pressed N times (after one
//                              untimed read, which learns the port's rate)
//                              on the reader KAVIDCARD_DEVICES maps to port 1,
//                              the dialog started in FOLDER, where its photos
//                              go; prints the median milliseconds of a press
//                              (until the handler has run) and of a press
//                              until its rows are painted
//   dialog_timing startup N    Velkart.exe, bare_dialog.exe and
//                              template_dialog.exe started N times each, in
//                              turn: process start to its window shown and
//                              answering, and on to its first paint done
//                              (the program idle); prints the medians (see
//                              startup() for the order)
// Both programs are looked for beside this one.
// clang-format off
#include "resource.h"
#include <windows.h>
#include <commctrl.h>
// clang-format on

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double msSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

std::wstring besideThisProgram(const wchar_t *name) {
    wchar_t path[MAX_PATH] = {};
    std::wstring self(path, GetModuleFileNameW(nullptr, path, MAX_PATH));
    return self.substr(0, self.find_last_of(L"\\/") + 1) + name;
}

struct Find {
    DWORD process;
    HWND found;
};

BOOL CALLBACK visibleOf(HWND window, LPARAM param) {
    auto &find = *reinterpret_cast<Find *>(param);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    if (owner == find.process && IsWindowVisible(window)) {
        find.found = window;
        return FALSE;
    }
    return TRUE;
}

class Program {
  public:
    explicit Program(const wchar_t *name, const wchar_t *folder = nullptr) {
        const std::wstring path = besideThisProgram(name);
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        wchar_t temp[MAX_PATH] = {};
        GetTempPathW(MAX_PATH, temp); // a read writes its photo to the current folder
        started_ = Clock::now();
        if (!CreateProcessW(path.c_str(), nullptr, nullptr, nullptr, FALSE, 0, nullptr,
                            folder != nullptr ? folder : temp, &startup, &process_)) {
            std::fprintf(stderr, "cannot start %ls\n", path.c_str());
            std::exit(1);
        }
    }
    ~Program() {
        if (window_ != nullptr)
            PostMessageW(window_, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
        if (WaitForSingleObject(process_.hProcess, 10000) != WAIT_OBJECT_0)
            TerminateProcess(process_.hProcess, 1);
        CloseHandle(process_.hThread);
        CloseHandle(process_.hProcess);
    }
    Program(const Program &) = delete;
    Program &operator=(const Program &) = delete;

    // Milliseconds from the process's start until its window is visible and
    // its message loop has answered; negative when it never was, in 30 s.
    double waitShown() {
        while (msSince(started_) < 30000) {
            Find find{process_.dwProcessId, nullptr};
            EnumWindows(visibleOf, reinterpret_cast<LPARAM>(&find));
            DWORD_PTR result = 0;
            if (find.found != nullptr &&
                SendMessageTimeoutW(find.found, WM_NULL, 0, 0, SMTO_NORMAL, 30000, &result)) {
                window_ = find.found;
                return msSince(started_);
            }
            std::this_thread::yield();
        }
        return -1;
    }
    // Milliseconds from the process's start until, after its window was
    // shown, it has painted everything and waits for input. The system's
    // wait, not a poll: polling the windows' update regions took a share of
    // wineserver's time from the painting it was timing.
    double waitPainted() {
        return WaitForInputIdle(process_.hProcess, 30000) == 0 ? msSince(started_) : -1;
    }
    HWND window() const { return window_; }

  private:
    PROCESS_INFORMATION process_{};
    Clock::time_point started_;
    HWND window_ = nullptr;
};

int read(int runs, const wchar_t *folder) {
    Program dialog(L"Velkart.exe", folder);
    if (dialog.waitShown() < 0)
        return 1;
    HWND log = GetDlgItem(dialog.window(), IDC_LOG);
    HWND button = GetDlgItem(dialog.window(), IDC_READ_CARD);
    SetDlgItemTextW(dialog.window(), IDC_PORT, L"1");
    std::vector<double> times, shownTimes;
    for (int i = -1; i < runs; ++i) {
        const LRESULT before = SendMessageW(log, LVM_GETITEMCOUNT, 0, 0);
        const auto start = Clock::now();
        SendMessageW(button, BM_CLICK, 0, 0); // returns once the handler has run
        const double ms = msSince(start);
        // Until the rows are on the screen: the window has nothing left to
        // paint and its thread has answered after painting it.
        while (GetUpdateRect(log, nullptr, FALSE) || GetUpdateRect(dialog.window(), nullptr, FALSE))
            std::this_thread::yield();
        SendMessageW(dialog.window(), WM_NULL, 0, 0);
        const double shownMs = msSince(start);
        // A read logs its eleven lines and leaves no failure on the status line.
        wchar_t status[256] = {};
        GetDlgItemTextW(dialog.window(), IDC_STATUS, status, 256);
        if (SendMessageW(log, LVM_GETITEMCOUNT, 0, 0) - before < 11 || status[0] != L'\0') {
            std::fprintf(stderr, "read %d failed: %ls\n", i, status);
            return 1;
        }
        if (i >= 0) {
            times.push_back(ms);
            shownTimes.push_back(shownMs);
        }
    }
    std::printf("%.1f %.1f\n", median(times), median(shownTimes));
    return 0;
}

// Three programs: Velkart.exe; the bare dialog, the reference of the
// target; and Velkart.exe's own template with comctl32 6 and nothing else,
// which tells the window system's price of the 30 controls from ours.
// Prints Velkart.exe's and the bare dialog's medians until shown and their
// ratio, the template's median and Velkart.exe's ratio to it, then the
// three medians until painted, in the same order.
int startup(int runs) {
    constexpr const wchar_t *kNames[] = {L"Velkart.exe", L"bare_dialog.exe",
                                         L"template_dialog.exe"};
    std::vector<double> shown[3], painted[3];
    for (int i = 0; i < runs; ++i) {
        for (int p = 0; p < 3; ++p) {
            Program program(kNames[p]);
            const double ms = program.waitShown();
            const double done = ms < 0 ? -1 : program.waitPainted();
            if (ms < 0 || done < 0) {
                std::fprintf(stderr, "%ls showed no window, or never went idle\n", kNames[p]);
                return 1;
            }
            shown[p].push_back(ms);
            painted[p].push_back(done);
        }
    }
    const double v = median(shown[0]), b = median(shown[1]), t = median(shown[2]);
    std::printf("%.1f %.1f %.2f %.1f %.2f %.1f %.1f %.1f\n", v, b, v / b, t, v / t,
                median(painted[0]), median(painted[1]), median(painted[2]));
    return 0;
}

} // namespace

int wmain(int argc, wchar_t **argv) {
    const int runs = argc >= 3 ? _wtoi(argv[2]) : 0;
    if (runs > 0 && argc == 4 && std::wstring(argv[1]) == L"read")
        return read(runs, argv[3]);
    if (runs > 0 && argc == 3 && std::wstring(argv[1]) == L"startup")
        return startup(runs);
    std::fprintf(stderr, "usage: dialog_timing read N FOLDER | startup N\n");
    return 2;
}
