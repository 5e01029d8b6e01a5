// The Win32 frame monitor in this process, with a trace setter of the
// test's own that the events are fed through from another thread, and the
// rows' save to a file. Needs a display (run under Xvfb).
#include "FrameMonitor.h"
#include "RowText.h"
#include "capture/capture.h"
#include "trace_format.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <span>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

// What the monitor last gave the library, and every call in order.
struct FakeLibrary {
    KavTraceCallback callback = nullptr;
    void *context = nullptr;
    std::vector<bool> calls; // true: a callback set, false: taken away
};
FakeLibrary library;

int KAV_CALL fakeSetter(KavTraceCallback callback, void *context) {
    library.callback = callback;
    library.context = context;
    library.calls.push_back(callback != nullptr);
    return KAV_OK;
}

// Runs this thread's messages until the condition holds or 30 s pass.
bool pumpUntil(const std::function<bool()> &condition) {
    const auto end = std::chrono::steady_clock::now() + 30s;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

// Notes "e<first>" .. "e<first+count-1>", given by another thread as the
// library gives them.
void feed(int first, int count) {
    std::thread worker([first, count] {
        for (int i = first; i < first + count; ++i) {
            const std::string text = "e" + std::to_string(i);
            const unsigned char bytes[] = {0xAA, 0xAA, 0xAA, 0x96, 0x69,
                                           0x00, 0x03, 0x11, 0xFF, static_cast<unsigned char>(i)};
            KavTraceEvent event{};
            event.kind = i % 2 == 0 ? KAV_TRACE_NOTE : KAV_TRACE_TO_READER;
            event.timeMs = 1'700'000'000'000LL + i;
            event.link = "virtual@1";
            event.bytes = i % 2 == 0 ? nullptr : bytes;
            event.byteCount = i % 2 == 0 ? 0 : sizeof bytes;
            event.text = text.c_str();
            library.callback(&event, library.context);
        }
    });
    worker.join();
}

void click(const FrameMonitor &monitor, int id) {
    SendMessageW(GetDlgItem(monitor.window(), id), BM_CLICK, 0, 0);
}

int listed(const FrameMonitor &monitor) {
    return ListView_GetItemCount(GetDlgItem(monitor.window(), IDC_MONITOR_LIST));
}

std::wstring meaning(const FrameMonitor &monitor, std::size_t row) {
    const std::wstring line = monitor.toText({row});
    return line.substr(line.find_last_of(L'\t') + 1,
                       line.find(L"\r\n") - line.find_last_of(L'\t') - 1);
}

TEST(FrameMonitorWindow, RowsFollowTheEventsUpToTheCapacityAndPauseHoldsThemBack) {
    struct Case {
        const char *what;
        std::size_t capacity;
        int events;
        int batches;     // each delivered before the next is given
        int pauseClicks; // before the events
        std::size_t rows;
        const wchar_t *firstMeaning; // of the top row, when there are rows
        std::wstring note;
    };
    const Case cases[] = {
        {"fewer than the capacity", 10, 3, 1, 0, 3, L"e0", L""},
        {"more: the oldest go", 3, 5, 1, 0, 3, L"e2", L""},
        {"far more than the capacity", 4, 250, 1, 0, 4, L"e246", L""},
        {"more in two batches: the oldest shown go", 4, 3, 2, 0, 4, L"e2", L""},
        {"paused", 10, 4, 1, 1, 0, nullptr, L"已暂停: 收到 4 条未显示"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        library = {};
        FrameMonitor monitor(GetModuleHandleW(nullptr), nullptr, fakeSetter, c.capacity);
        monitor.show();
        ASSERT_NE(monitor.window(), nullptr);
        ASSERT_NE(library.callback, nullptr);
        for (int i = 0; i < c.pauseClicks; ++i)
            click(monitor, IDC_MONITOR_PAUSE);
        for (int batch = 0; batch < c.batches; ++batch) {
            feed(batch * c.events, c.events);
            const std::size_t given = std::size_t(batch + 1) * std::size_t(c.events);
            ASSERT_TRUE(pumpUntil([&] {
                return c.pauseClicks > 0 || monitor.rowCount() == std::min(given, c.capacity);
            }));
        }
        ASSERT_TRUE(pumpUntil([&] {
            return monitor.rowCount() == c.rows && monitor.note() == c.note;
        })) << monitor.rowCount()
            << " rows";
        EXPECT_EQ(listed(monitor), static_cast<int>(c.rows));
        if (c.firstMeaning != nullptr) {
            EXPECT_EQ(meaning(monitor, 0), c.firstMeaning);
        }
        wchar_t shown[128] = {};
        GetWindowTextW(GetDlgItem(monitor.window(), IDC_MONITOR_NOTE), shown, 128);
        EXPECT_EQ(std::wstring(shown), c.note);
    }
}

TEST(FrameMonitorWindow, ResumeSaysWhatWasMissedAndClearForgetsIt) {
    library = {};
    FrameMonitor monitor(GetModuleHandleW(nullptr), nullptr, fakeSetter);
    monitor.show();
    feed(0, 2);
    ASSERT_TRUE(pumpUntil([&] { return monitor.rowCount() == 2; }));
    click(monitor, IDC_MONITOR_PAUSE);
    feed(2, 5);
    ASSERT_TRUE(pumpUntil([&] { return monitor.note() == L"已暂停: 收到 5 条未显示"; }));
    click(monitor, IDC_MONITOR_PAUSE);
    EXPECT_EQ(monitor.note(), L"暂停期间收到 5 条,未显示");
    feed(7, 1);
    ASSERT_TRUE(pumpUntil([&] { return monitor.rowCount() == 3; }));
    EXPECT_EQ(meaning(monitor, 2), L"e7"); // the missed ones never come
    click(monitor, IDC_MONITOR_CLEAR);
    EXPECT_EQ(monitor.rowCount(), 0u);
    EXPECT_EQ(listed(monitor), 0);
    EXPECT_EQ(monitor.note(), L"");
}

TEST(FrameMonitorWindow, ListensOnlyWhileShownAndLetsGoBeforeItsWindowGoes) {
    struct Case {
        const char *what;
        std::function<void(FrameMonitor &, HWND owner)> end;
        std::vector<bool> calls;
    };
    const Case cases[] = {
        {"closed",
         [](FrameMonitor &m, HWND) { SendMessageW(m.window(), WM_CLOSE, 0, 0); },
         {true, false}},
        {"closed and shown again",
         [](FrameMonitor &m, HWND) {
             SendMessageW(m.window(), WM_CLOSE, 0, 0);
             m.show();
         },
         {true, false, true}},
        {"its owner destroyed",
         [](FrameMonitor &, HWND owner) { DestroyWindow(owner); },
         {true, false}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        library = {};
        HWND owner = CreateWindowExW(0, L"Static", L"owner", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0,
                                     300, 200, nullptr, nullptr, nullptr, nullptr);
        {
            FrameMonitor monitor(GetModuleHandleW(nullptr), owner, fakeSetter);
            monitor.show();
            EXPECT_EQ(GetWindow(monitor.window(), GW_OWNER), owner);
            EXPECT_EQ(library.context, &monitor);
            c.end(monitor, owner);
            EXPECT_EQ(library.calls, c.calls);
            EXPECT_EQ(monitor.isListening(), c.calls.back());
            if (monitor.window() != nullptr) {
                EXPECT_EQ(IsWindowVisible(monitor.window()) != FALSE, c.calls.back());
            }
        }
        // Gone, it has taken the callback away whatever state it was in.
        EXPECT_EQ(library.callback, nullptr);
        EXPECT_FALSE(library.calls.back());
        if (IsWindow(owner))
            DestroyWindow(owner);
    }
}

// The tip the list view would show for `row`, asked as it asks, in a buffer
// of `room` characters that held "x".
std::wstring infoTip(const FrameMonitor &monitor, int row, int room) {
    std::vector<wchar_t> buffer(static_cast<std::size_t>(room) + 1, L'\0');
    buffer[0] = L'x';
    NMLVGETINFOTIPW tip{};
    tip.hdr.hwndFrom = GetDlgItem(monitor.window(), IDC_MONITOR_LIST);
    tip.hdr.idFrom = IDC_MONITOR_LIST;
    tip.hdr.code = LVN_GETINFOTIPW;
    tip.pszText = buffer.data();
    tip.cchTextMax = room;
    tip.iItem = row;
    SendMessageW(monitor.window(), WM_NOTIFY, IDC_MONITOR_LIST, reinterpret_cast<LPARAM>(&tip));
    return buffer.data();
}

TEST(FrameMonitorWindow, PointingAtARowShowsItsMeaningAndItsBytesInLinesOfSixteen) {
    library = {};
    FrameMonitor monitor(GetModuleHandleW(nullptr), nullptr, fakeSetter);
    monitor.show();
    ASSERT_NE(monitor.window(), nullptr);
    EXPECT_NE(ListView_GetExtendedListViewStyle(GetDlgItem(monitor.window(), IDC_MONITOR_LIST)) &
                  LVS_EX_INFOTIP,
              0u);
    const std::vector<unsigned char> bytes(40, 0xAB);
    // A frame, a note, and a note of two characters beyond 16 bits.
    for (const char *text : {"读卡", "第二", "\xF0\x9F\x98\x80\xF0\x9F\x98\x80"}) {
        KavTraceEvent event{};
        event.text = text;
        if (text == std::string("读卡")) {
            event.kind = KAV_TRACE_FROM_READER;
            event.bytes = bytes.data();
            event.byteCount = bytes.size();
        }
        library.callback(&event, library.context);
    }
    ASSERT_TRUE(pumpUntil([&] { return monitor.rowCount() == 3; }));

    const std::wstring sixteen = L"AB AB AB AB AB AB AB AB AB AB AB AB AB AB AB AB";
    struct Case {
        const char *what;
        int row;
        int room;
        std::wstring tip;
    };
    const Case cases[] = {
        {"a frame: its meaning, then its bytes", 0, 1024,
         L"读卡\n" + sixteen + L"\n" + sixteen + L"\n" + sixteen.substr(0, 8 * 3 - 1)},
        {"a note: its meaning alone", 1, 1024, L"第二"},
        {"longer than the buffer: cut, and says so", 0, 8, L"读卡\nAB …"},
        {"never cut inside a character", 2, 3, L"…"},
        {"a character that fits is kept whole", 2, 4, L"\U0001F600…"},
        {"no such row: the buffer is left alone", 3, 1024, L"x"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(infoTip(monitor, c.row, c.room), c.tip);
    }
}

TEST(FrameMonitorWindow, WithoutATraceSetterItSaysNoFramesCome) {
    FrameMonitor monitor(GetModuleHandleW(nullptr), nullptr, nullptr);
    monitor.show();
    ASSERT_NE(monitor.window(), nullptr);
    EXPECT_FALSE(monitor.isListening());
    wchar_t shown[128] = {};
    GetWindowTextW(GetDlgItem(monitor.window(), IDC_MONITOR_NOTE), shown, 128);
    EXPECT_EQ(std::wstring(shown), L"所用的读卡器库不报告通讯帧 (没有 Kav_SetTraceCallback)");
}

TEST(FrameMonitorWindow, TextIsTheSharedFormattersAndPcapngReadsBack) {
    library = {};
    FrameMonitor monitor(GetModuleHandleW(nullptr), nullptr, fakeSetter);
    monitor.show();
    feed(0, 4);
    ASSERT_TRUE(pumpUntil([&] { return monitor.rowCount() == 4; }));
    // Row 1 is a frame to the reader: its cells as every host shows them.
    const unsigned char bytes[] = {0xAA, 0xAA, 0xAA, 0x96, 0x69, 0x00, 0x03, 0x11, 0xFF, 0x01};
    KavTraceEvent event{};
    event.kind = KAV_TRACE_TO_READER;
    event.timeMs = 1'700'000'000'001LL;
    event.link = "virtual@1";
    event.bytes = bytes;
    event.byteCount = sizeof bytes;
    event.text = "e1";
    const kav::host::TraceRow row = kav::host::traceRow(event);
    const std::string line =
        row.time + "\t" + row.port + "\t" + row.direction + "\t" + row.data + "\t" + row.meaning;
    const std::wstring text = monitor.toText({1, 9});
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), int(text.size()), nullptr, 0,
                                         nullptr, nullptr);
    std::string utf8(std::size_t(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), int(text.size()), utf8.data(), size, nullptr,
                        nullptr);
    EXPECT_EQ(utf8, line + "\r\n"); // row 9 is not there

    const std::string capture = monitor.toPcapng({0, 1, 2, 3});
    const auto read = kav::capture::readPcapng(
        std::span(reinterpret_cast<const std::uint8_t *>(capture.data()), capture.size()));
    ASSERT_EQ(read.records.size(), 4u);
    EXPECT_EQ(read.records[1].bytes, std::vector<std::uint8_t>(std::begin(bytes), std::end(bytes)));
    EXPECT_EQ(read.records[2].text, "e2");
}

namespace fs = std::filesystem;

std::string contents(const fs::path &path) {
    std::ifstream in(path, std::ios::binary);
    return in ? std::string(std::istreambuf_iterator<char>(in), {}) : "(none)";
}

// The files in a folder; `remove` deletes them as it counts.
std::size_t filesIn(const fs::path &folder, bool remove = false) {
    std::size_t count = 0;
    std::error_code ignored;
    for (const fs::directory_entry &entry : fs::directory_iterator(folder, ignored)) {
        count += entry.is_regular_file();
        if (remove && entry.is_regular_file())
            fs::remove(entry.path(), ignored);
    }
    return count;
}

TEST(RowsFile, WrittenWholeOrWhatWasThereKept) {
    const fs::path folder = fs::temp_directory_path() / "velkart-rows-file";
    fs::create_directory(folder);
    filesIn(folder, true); // what an earlier run left
    const fs::path path = folder / L"日志.log";
    enum class There { Nothing, File, Folder };
    struct Case {
        const char *what;
        There before;
        fs::path target;
        bool written;
    };
    const Case cases[] = {
        {"a new file", There::Nothing, path, true},
        {"over an older one", There::File, path, true},
        {"where a folder of that name is", There::Folder, path, false},
        {"in a folder that is not there", There::Nothing, folder / "none" / "x.log", false},
    };
    const std::string older = "older\r\n";
    const std::string bytes = "时间\t信息\r\n" + std::string(70'000, 'x');
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        std::error_code ignored;
        fs::remove(path, ignored);
        if (c.before == There::File)
            std::ofstream(path, std::ios::binary) << older;
        else if (c.before == There::Folder)
            fs::create_directory(path);
        const DWORD error = writeWholeFile(c.target.wstring(), bytes);
        EXPECT_EQ(error == 0, c.written) << error;
        const std::string after = contents(c.target);
        const std::string expected = c.written ? bytes : c.before == There::File ? older : "(none)";
        EXPECT_TRUE(after == expected) << after.size() << " bytes, not " << expected.size();
        EXPECT_EQ(fs::is_directory(path), c.before == There::Folder);
        if (!c.written) {
            EXPECT_FALSE(systemReason(error).empty());
        }
        // The file beside it, used for the writing, is gone either way.
        EXPECT_EQ(filesIn(folder), c.written || c.before == There::File ? 1u : 0u);
    }
    std::error_code ignored;
    fs::remove_all(folder, ignored);
}

TEST(RowsFile, DefaultNameIsTheLocalTime) {
    struct Case {
        std::tm local;
        const wchar_t *prefix;
        const wchar_t *suffix;
        const wchar_t *name;
    };
    Case cases[] = {
        {{5, 4, 3, 2, 0, 126, 0, 0, -1}, L"velkart-", L".log", L"velkart-20260102-030405.log"},
        {{59, 59, 23, 31, 11, 130, 0, 0, -1},
         L"velkart-frames-",
         L".txt",
         L"velkart-frames-20301231-235959.txt"},
    };
    for (Case &c : cases) {
        const auto at = std::chrono::system_clock::from_time_t(std::mktime(&c.local));
        EXPECT_EQ(timeStampedName(c.prefix, c.suffix, at + 999ms), c.name);
    }
}

} // namespace
