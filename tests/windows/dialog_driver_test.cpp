// Velkart.exe (its test build) driven from another process as a user or a
// screen reader would: found by its caption, typed into, its buttons
// pressed, its log rows read back through the list view's own messages.
// The reader is the library's in-process virtual one; what the dialog
// shows is compared with what the library answers this process.
#include "../support/required_part.h"
#include "FrameMonitor.h"
#include "TestChannel.h"
#include "card_fields.h"
#include "port_session.h"
#include "read_sequence.h"
#include "sam_id.h"
#include "templates.h"

// clang-format off
#include "resource.h"
#include <windows.h>
#include <commctrl.h>
// clang-format on

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

std::wstring wide(const std::string &utf8) {
    const int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), int(utf8.size()), nullptr, 0);
    std::wstring out(std::size_t(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), int(utf8.size()), out.data(), n);
    return out;
}

std::string utf8(const std::wstring &text) {
    const int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), int(text.size()), nullptr, 0,
                                      nullptr, nullptr);
    std::string out(std::size_t(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), int(text.size()), out.data(), n, nullptr, nullptr);
    return out;
}

// Polls until the condition holds or the deadline passes.
bool waitFor(const std::function<bool()> &condition, std::chrono::milliseconds deadline = 30s) {
    const auto end = std::chrono::steady_clock::now() + deadline;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(20ms);
    }
    return true;
}

std::wstring besideThisProgram(const wchar_t *name) {
    wchar_t path[MAX_PATH] = {};
    std::wstring self(path, GetModuleFileNameW(nullptr, path, MAX_PATH));
    return self.substr(0, self.find_last_of(L"\\/") + 1) + name;
}

struct FindContext {
    DWORD process;
    const wchar_t *caption;
    HWND found;
};

// Enumeration callbacks are __stdcall on x86, which a lambda cannot be.
BOOL CALLBACK matchWindow(HWND window, LPARAM param) {
    auto &c = *reinterpret_cast<FindContext *>(param);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    wchar_t text[256] = {};
    GetWindowTextW(window, text, 256);
    if (owner == c.process && IsWindowVisible(window) && c.caption == std::wstring(text)) {
        c.found = window;
        return FALSE;
    }
    return TRUE;
}

BOOL CALLBACK collectText(HWND child, LPARAM param) {
    wchar_t text[1024] = {};
    SendMessageW(child, WM_GETTEXT, 1024, reinterpret_cast<LPARAM>(text));
    reinterpret_cast<std::vector<std::wstring> *>(param)->push_back(text);
    return TRUE;
}

// A visible top-level window of the process with this caption.
HWND windowOf(DWORD process, const wchar_t *caption) {
    FindContext context{process, caption, nullptr};
    EnumWindows(matchWindow, reinterpret_cast<LPARAM>(&context));
    return context.found;
}

// The texts of a window's children, in order: a message box's note among them.
std::vector<std::wstring> childTexts(HWND window) {
    std::vector<std::wstring> texts;
    EnumChildWindows(window, collectText, reinterpret_cast<LPARAM>(&texts));
    return texts;
}

// A report list view's cells, row by row, read in its process's own
// memory as the list view's messages require.
std::vector<std::vector<std::string>> listCells(DWORD processId, HWND view, int columns) {
    const int count = int(SendMessageW(view, LVM_GETITEMCOUNT, 0, 0));
    HANDLE process =
        OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE, FALSE, processId);
    constexpr int kChars = 8192;
    const SIZE_T size = sizeof(LVITEMW) + kChars * sizeof(wchar_t);
    auto *remote =
        static_cast<char *>(VirtualAllocEx(process, nullptr, size, MEM_COMMIT, PAGE_READWRITE));
    std::vector<std::vector<std::string>> out;
    for (int row = 0; row < count; ++row) {
        std::vector<std::string> cells;
        for (int column = 0; column < columns; ++column) {
            LVITEMW item{};
            item.iSubItem = column;
            item.cchTextMax = kChars;
            item.pszText = reinterpret_cast<wchar_t *>(remote + sizeof(LVITEMW));
            WriteProcessMemory(process, remote, &item, sizeof item, nullptr);
            const auto length =
                SendMessageW(view, LVM_GETITEMTEXTW, row, reinterpret_cast<LPARAM>(remote));
            std::wstring text(std::size_t(length), L'\0');
            ReadProcessMemory(process, remote + sizeof(LVITEMW), text.data(),
                              text.size() * sizeof(wchar_t), nullptr);
            cells.push_back(utf8(text));
        }
        out.push_back(std::move(cells));
    }
    VirtualFreeEx(process, remote, 0, MEM_RELEASE);
    CloseHandle(process);
    return out;
}

using Environment = std::vector<std::pair<std::wstring, std::wstring>>;

// The dialog's test build in a process of its own, with the environment given.
class Dialog {
  public:
    explicit Dialog(const Environment &environment,
                    const wchar_t *programName = L"velkart_testbuild.exe") {
        std::vector<std::optional<std::wstring>> saved;
        for (const auto &[name, value] : environment) {
            wchar_t old[1024];
            const DWORD length = GetEnvironmentVariableW(name.c_str(), old, 1024);
            saved.push_back(length > 0 && length < 1024 ? std::optional(std::wstring(old, length))
                                                        : std::nullopt);
            SetEnvironmentVariableW(name.c_str(), value.c_str());
        }
        std::wstring program = besideThisProgram(programName);
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        // In the temporary folder: a read writes its photo to the current one.
        wchar_t temp[MAX_PATH] = {};
        GetTempPathW(MAX_PATH, temp);
        started_ = CreateProcessW(program.c_str(), nullptr, nullptr, nullptr, FALSE, 0, nullptr,
                                  temp, &startup, &process_) != 0;
        for (std::size_t i = 0; i < environment.size(); ++i)
            SetEnvironmentVariableW(environment[i].first.c_str(),
                                    saved[i] ? saved[i]->c_str() : nullptr);
        if (started_)
            waitFor([this] { return (window_ = windowOf(process_.dwProcessId, L"Velkart")); });
    }
    ~Dialog() {
        if (!started_)
            return;
        if (window_ != nullptr)
            PostMessageW(window_, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
        if (WaitForSingleObject(process_.hProcess, 10000) != WAIT_OBJECT_0)
            TerminateProcess(process_.hProcess, 1);
        CloseHandle(process_.hThread);
        CloseHandle(process_.hProcess);
    }
    Dialog(const Dialog &) = delete;
    Dialog &operator=(const Dialog &) = delete;

    HWND window() const { return window_; }
    DWORD processId() const { return process_.dwProcessId; }
    // The process's exit code once it has ended; none before.
    std::optional<DWORD> exitCode(DWORD ms) const {
        DWORD code = 0;
        if (!ended(ms) || !GetExitCodeProcess(process_.hProcess, &code))
            return std::nullopt;
        return code;
    }
    bool ended(DWORD ms) const {
        return WaitForSingleObject(process_.hProcess, ms) == WAIT_OBJECT_0;
    }
    HWND item(int id) const { return GetDlgItem(window_, id); }

    // A press, returning once the handler has run.
    void click(int id) const { SendMessageW(item(id), BM_CLICK, 0, 0); }
    void type(int id, const std::string &text) const {
        SendMessageW(item(id), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(wide(text).c_str()));
    }
    std::string text(int id) const {
        wchar_t buffer[512] = {};
        SendMessageW(item(id), WM_GETTEXT, 512, reinterpret_cast<LPARAM>(buffer));
        return utf8(buffer);
    }
    bool enabled(int id) const { return IsWindowEnabled(item(id)) != 0; }

    // The log's rows from the top, "time" and "message".
    std::vector<std::pair<std::string, std::string>> rows() const {
        std::vector<std::pair<std::string, std::string>> out;
        for (const auto &cells : listCells(process_.dwProcessId, item(IDC_LOG), 2))
            out.emplace_back(cells[0], cells[1]);
        return out;
    }
    std::string topMessage() const {
        const auto all = rows();
        return all.empty() ? std::string("(no row)") : all.front().second;
    }

  private:
    bool started_ = false;
    PROCESS_INFORMATION process_{};
    HWND window_ = nullptr;
};

const std::pair<std::wstring, std::wstring> kSerialReader{L"KAVIDCARD_DEVICES",
                                                          L"defaults=off,1=virtual"};

#define START_DIALOG(name, ...)                                                                    \
    Dialog name(Environment{__VA_ARGS__});                                                         \
    KAV_REQUIRE_PART(name.window() != nullptr, "the dialog did not show (no display for wine?)")

// The asking end of the test channel: a hidden window of this process that
// the dialog's answer is sent to.
class ChannelAsker {
  public:
    ChannelAsker() {
        WNDCLASSW type{};
        type.lpfnWndProc = receive;
        type.hInstance = GetModuleHandleW(nullptr);
        type.lpszClassName = L"VelkartChannelAsker";
        RegisterClassW(&type);
        window_ = CreateWindowExW(0, type.lpszClassName, L"", WS_POPUP, 0, 0, 0, 0, nullptr,
                                  nullptr, type.hInstance, nullptr);
        SetWindowLongPtrW(window_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    }
    ~ChannelAsker() { DestroyWindow(window_); }
    ChannelAsker(const ChannelAsker &) = delete;
    ChannelAsker &operator=(const ChannelAsker &) = delete;

    // The dialog's answer, line by line; none when it did not answer.
    std::optional<std::vector<std::string>> ask(HWND dialog) {
        answer_.reset();
        COPYDATASTRUCT query{};
        query.dwData = kTestQuery;
        DWORD_PTR result = 0;
        SendMessageTimeoutW(dialog, WM_COPYDATA, reinterpret_cast<WPARAM>(window_),
                            reinterpret_cast<LPARAM>(&query), SMTO_ABORTIFHUNG, 10000, &result);
        if (!answer_)
            return std::nullopt;
        std::vector<std::string> lines;
        for (std::size_t start = 0, end; (end = answer_->find(L'\n', start)) != std::wstring::npos;
             start = end + 1)
            lines.push_back(utf8(answer_->substr(start, end - start)));
        return lines;
    }

  private:
    static LRESULT CALLBACK receive(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
        auto *self = reinterpret_cast<ChannelAsker *>(GetWindowLongPtrW(window, GWLP_USERDATA));
        if (message == WM_COPYDATA && self != nullptr) {
            const auto &data = *reinterpret_cast<const COPYDATASTRUCT *>(lParam);
            if (data.dwData == kTestAnswer) {
                self->answer_.emplace(static_cast<const wchar_t *>(data.lpData),
                                      data.cbData / sizeof(wchar_t));
                return TRUE;
            }
        }
        return DefWindowProcW(window, message, wParam, lParam);
    }

    HWND window_ = nullptr;
    std::optional<std::wstring> answer_;
};

TEST(DialogDriver, FindReaderFillsPortAndEnablesBaudOnlyForSerial) {
    struct Case {
        const wchar_t *devices;
        std::string logStart;
        std::string port;
        bool baudEnabled;
    };
    const Case cases[] = {
        {L"defaults=off,1=virtual", "读卡器连接在串口 1,当前SAM波特率为 ", "1", true},
        {L"defaults=off,1001=virtual", "读卡器连接在USB端口 1001", "1001", false},
        {L"defaults=off", "没有找打读卡器", "1", false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(utf8(c.devices));
        START_DIALOG(dialog, {L"KAVIDCARD_DEVICES", c.devices});
        EXPECT_FALSE(dialog.enabled(IDC_BAUD)); // until a serial reader is found
        dialog.click(IDC_FIND_READER);
        const std::string message = dialog.topMessage();
        EXPECT_EQ(message.rfind(c.logStart, 0), 0u) << message;
        EXPECT_EQ(dialog.text(IDC_PORT), c.port);
        EXPECT_EQ(dialog.enabled(IDC_BAUD), c.baudEnabled);
        EXPECT_EQ(dialog.enabled(IDC_SET_BAUD), c.baudEnabled);
        if (c.baudEnabled) { // the box shows the rate the log names
            EXPECT_EQ(c.logStart + dialog.text(IDC_BAUD), message);
        }
        // A failed find says why under the buttons; a good one clears it.
        EXPECT_EQ(dialog.text(IDC_STATUS).empty(), c.baudEnabled || c.port == "1001");
    }
}

// This process reads the same virtual reader (its library took the
// variable from the test's environment at start) for what the dialog must show.
bool libraryHasTheReader() {
    wchar_t devices[256] = {};
    GetEnvironmentVariableW(kSerialReader.first.c_str(), devices, 256);
    return kSerialReader.second == devices;
}

TEST(DialogDriver, ReadCardLogsWhatTheLibraryReads) {
    ASSERT_TRUE(libraryHasTheReader())
        << "start this program with KAVIDCARD_DEVICES=" << utf8(kSerialReader.second);
    std::vector<std::string> expected{"读取身份证信息成功!"};
    {
        // Where the dialog runs: the photo's path is in the record.
        wchar_t temp[MAX_PATH] = {};
        GetTempPathW(MAX_PATH, temp);
        SetCurrentDirectoryW(temp);
        kav::host::setReadFieldFormats();
        const kav::host::PortSession session(1);
        ASSERT_EQ(session.openResult(), KAV_OK);
        IDCardRecord record{};
        ASSERT_TRUE(kav::host::readCard(1, record, kav::host::AfterRefusal::GoOn).ok());
        for (const kav::host::CardField &field : kav::host::recordFields(record))
            expected.push_back(std::string(field.label) + ':' + field.value);
    }
    ASSERT_EQ(expected.size(), 11u);

    START_DIALOG(dialog, kSerialReader);
    dialog.click(IDC_READ_CARD);
    const auto rows = dialog.rows();
    ASSERT_EQ(rows.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(rows[rows.size() - 1 - i].second, expected[i]) << "line " << i;
        EXPECT_EQ(rows[i].first.size(), 19u) << rows[i].first; // YYYY-MM-DD HH:MM:SS
    }
    EXPECT_EQ(dialog.text(IDC_STATUS), "");

    dialog.click(IDC_CLEAR_LOG);
    EXPECT_TRUE(dialog.rows().empty());
}

TEST(DialogDriver, SamCommandsAndLinkSettings) {
    ASSERT_TRUE(libraryHasTheReader());
    KavSamId id{};
    {
        const kav::host::PortSession session(1);
        ASSERT_EQ(Kav_GetSAMID(1, id.bytes, 0), KAV_OK);
    }

    struct Case {
        int button;
        const char *port; // typed into IDC_PORT first
        std::string message;
    };
    const Case cases[] = {
        {IDC_SAM_STATUS, "1", "SAM模块状态正常"},
        {IDC_RESET_SAM, "1", "复位SAM模块成功"},
        {IDC_SAM_ID, "1", "按16字节获得SAM模块ID成功,SAM模块ID为: " + kav::host::samIdText(id)},
        {IDC_SET_MAXRF, "1", "设置最大通讯字节数成功,最大通讯字节数为 80"},
        {IDC_SAM_STATUS, "7", "打开端口错误"},
        {IDC_SAM_ID, " 1x", "按16字节获得SAM模块ID成功,SAM模块ID为: " + kav::host::samIdText(id)},
    };
    START_DIALOG(dialog, kSerialReader);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.message);
        dialog.type(IDC_PORT, c.port);
        dialog.click(c.button);
        EXPECT_EQ(dialog.topMessage(), c.message);
    }

    // The rate after a serial find: set to what it is, then to another.
    dialog.type(IDC_PORT, "1");
    dialog.click(IDC_FIND_READER);
    const std::string baud = dialog.text(IDC_BAUD);
    for (const std::string &rate : {baud, std::string("9600")}) {
        dialog.type(IDC_BAUD, rate);
        dialog.click(IDC_SET_BAUD);
        EXPECT_EQ(dialog.topMessage(), "设置读卡器波特率成功,当前波特率为 " + rate + " ");
    }
}

TEST(DialogDriver, PhotoSettingsLogTheirOutcome) {
    const std::pair<int, std::string> cases[] = {
        {IDC_PATH_ROOT, "照片存放路径设置为 C:,nRet = 0"},
        {IDC_PATH_CURRENT, "照片存放路径设置为 当前路径,nRet = 0"},
        {IDC_TYPE_BMP, "照片保存格式设置为 Bmp,nRet = 0"},
        {IDC_TYPE_JPEG, "照片保存格式设置为 Jpeg,nRet = 0"},
        {IDC_TYPE_BASE64, "照片保存格式设置为 Base64,nRet = 0"},
        {IDC_NAME_TMP, "照片保存文件名格式设置为 tmp,nRet = 0"},
        {IDC_NAME_NAME, "照片保存文件名格式设置为 姓名,nRet = 0"},
        {IDC_NAME_IDNO, "照片保存文件名格式设置为 身份证号,nRet = 0"},
        {IDC_NAME_BOTH, "照片保存文件名格式设置为 姓名_身份证号,nRet = 0"},
    };
    START_DIALOG(dialog, kSerialReader);
    for (const auto &[button, message] : cases) {
        dialog.click(button);
        EXPECT_EQ(dialog.topMessage(), message);
    }
    EXPECT_EQ(dialog.rows().size(), std::size(cases));
}

TEST(DialogDriver, FolderPickerOutcomes) {
    wchar_t temp[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, temp);
    const std::wstring folder = std::wstring(temp) + L"照片";
    CreateDirectoryW(folder.c_str(), nullptr);
    struct Case {
        std::wstring answer;
        std::string message;
    };
    const Case cases[] = {
        {L"cancel", "没有选取路径！"},
        {L"notfs", "选取路径失败！"},
        {L"chosen:" + folder, "照片存放路径设置为 " + utf8(folder) + ",nRet = 0"},
        // Code page 936 has no emoji: the path cannot cross unaltered.
        {L"chosen:" + folder + L"\U0001F600", "选取路径失败！"},
        // A lone surrogate has no UTF-8 either.
        {L"chosen:" + folder + L"\xD800", "选取路径失败！"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.message);
        START_DIALOG(dialog, kSerialReader, {L"VELKART_TEST_FOLDER", c.answer});
        dialog.click(IDC_PATH_CHOOSE);
        EXPECT_EQ(dialog.topMessage(), c.message);
    }
}

TEST(DialogDriver, PickerUnavailableShowsMessageBoxCaptionedWithTheProgram) {
    START_DIALOG(dialog, kSerialReader, {L"VELKART_TEST_FOLDER", L"unavailable"});
    PostMessageW(dialog.item(IDC_PATH_CHOOSE), BM_CLICK, 0, 0); // the box's loop would block a send
    HWND box = nullptr;
    ASSERT_TRUE(
        waitFor([&] { return (box = windowOf(dialog.processId(), L"velkart_testbuild")); }));
    const std::vector<std::wstring> texts = childTexts(box);
    EXPECT_NE(std::find(texts.begin(), texts.end(), L"选择下载目录操作出错"), texts.end());
    PostMessageW(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
    EXPECT_TRUE(waitFor([&] { return !IsWindow(box); }));
    EXPECT_TRUE(dialog.rows().empty()); // the box is the only report
}

TEST(DialogDriver, AboutBoxFromTheSystemMenuCommand) {
    START_DIALOG(dialog, kSerialReader);
    // The low four bits are the window system's: the command matches with any.
    for (const WPARAM command : {WPARAM(IDM_ABOUT), WPARAM(IDM_ABOUT | 0x7)}) {
        PostMessageW(dialog.window(), WM_SYSCOMMAND, command, 0);
        HWND about = nullptr;
        ASSERT_TRUE(
            waitFor([&] { return (about = windowOf(dialog.processId(), L"关于 Velkart")); }));
        EXPECT_EQ(GetWindow(about, GW_OWNER), dialog.window());
        wchar_t ok[32] = {};
        SendMessageW(GetDlgItem(about, IDOK), WM_GETTEXT, 32, reinterpret_cast<LPARAM>(ok));
        EXPECT_EQ(std::wstring(ok), L"确定");
        EXPECT_NE(SendMessageW(GetDlgItem(about, IDI_MAIN), STM_GETICON, 0, 0), 0);
        PostMessageW(GetDlgItem(about, IDOK), BM_CLICK, 0, 0);
        EXPECT_TRUE(waitFor([&] { return !IsWindow(about); }));
    }
    // Another system command the dialog leaves to the window system: close.
    PostMessageW(dialog.window(), WM_SYSCOMMAND, SC_CLOSE, 0);
    EXPECT_TRUE(dialog.ended(10000));
}

TEST(DialogDriver, SystemMenuEndsWithTheAboutEntryAndBothIconsAreSet) {
    ChannelAsker asker;
    {
        START_DIALOG(dialog, kSerialReader);
        const auto answer = asker.ask(dialog.window());
        ASSERT_TRUE(answer.has_value()) << "the test build did not answer";
        const std::vector<std::string> &lines = *answer;
        std::vector<std::string> menu, icons;
        for (const std::string &line : lines)
            (line.starts_with("menu\t") ? menu : icons).push_back(line);
        // The window system's own entries, close among them, then ours last.
        ASSERT_GE(menu.size(), 6u);
        const std::string close = "menu\t" + std::to_string(SC_CLOSE) + "\t";
        EXPECT_TRUE(std::any_of(menu.begin(), menu.end() - 5, [&](const std::string &line) {
            return line.starts_with(close);
        })) << menu.front();
        const auto entry = [](unsigned id, const std::string &text) {
            return "menu\t" + std::to_string(id) + "\t" + text;
        };
        EXPECT_EQ(std::vector<std::string>(menu.end() - 5, menu.end()),
                  (std::vector<std::string>{"menu\t-",
                                            entry(IDM_FRAME_MONITOR, "通讯监视(&M)...\tCtrl+M"),
                                            entry(IDM_SAVE_LOG, "保存日志(&S)..."), "menu\t-",
                                            entry(IDM_ABOUT, res::loadString(IDS_ABOUT_MENU))}));
        EXPECT_EQ(icons, (std::vector<std::string>{"icon\tbig\t32x32", "icon\tsmall\t16x16"}));
    }
    // The shipped program has no such channel.
    Dialog shipped(Environment{kSerialReader}, L"Velkart.exe");
    ASSERT_NE(shipped.window(), nullptr);
    EXPECT_FALSE(asker.ask(shipped.window()).has_value());
}

std::wstring tempPath(const std::wstring &name) {
    wchar_t temp[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, temp);
    return temp + name;
}

// The file's bytes; none when it cannot be read.
std::optional<std::string> fileBytes(const std::wstring &path) {
    std::ifstream in(std::filesystem::path(path), std::ios::binary);
    if (!in)
        return std::nullopt;
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// Rows joined as Ctrl+C copies them: columns by tabs, CR LF after each.
std::string joinedRows(const std::vector<std::vector<std::string>> &rows) {
    std::string text;
    for (const auto &cells : rows) {
        for (std::size_t column = 0; column < cells.size(); ++column)
            text += (column > 0 ? "\t" : "") + cells[column];
        text += "\r\n";
    }
    return text;
}

// A message box of the dialog's, captioned with the program: its texts,
// once it is dismissed.
std::optional<std::vector<std::wstring>> dismissBox(const Dialog &dialog) {
    HWND box = nullptr;
    if (!waitFor([&] { return (box = windowOf(dialog.processId(), L"velkart_testbuild")); }))
        return std::nullopt;
    std::vector<std::wstring> texts = childTexts(box);
    PostMessageW(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
    waitFor([&] { return !IsWindow(box); });
    return texts;
}

bool anyStartsWith(const std::vector<std::wstring> &texts, const std::wstring &start) {
    return std::any_of(texts.begin(), texts.end(), [&](const std::wstring &text) {
        return text.starts_with(start) && text.size() > start.size();
    });
}

TEST(DialogDriver, SaveLogWritesTheRowsWholeOrShowsWhyNot) {
    const std::wstring saved = tempPath(L"velkart-saved.log");
    const std::wstring missing = tempPath(L"no-such-folder\\velkart.log");
    struct Case {
        const char *what;
        std::wstring answer;
        std::optional<std::string> before; // the file at the path before the save
        bool written;
    };
    const Case cases[] = {
        {"new file", L"chosen:" + saved, std::nullopt, true},
        {"over an existing file", L"chosen:" + saved, std::string("an older log\r\n"), true},
        {"into a folder that is not there", L"chosen:" + missing, std::nullopt, false},
        {"cancelled, the old file kept", L"cancel", std::string("kept\r\n"), false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        DeleteFileW(saved.c_str());
        if (c.before)
            std::ofstream(std::filesystem::path(saved), std::ios::binary) << *c.before;
        START_DIALOG(dialog, kSerialReader, {L"VELKART_TEST_SAVE", c.answer});
        dialog.click(IDC_TYPE_JPEG); // rows, Chinese among them, to save
        dialog.click(IDC_NAME_BOTH);
        std::vector<std::vector<std::string>> rows;
        for (const auto &[time, message] : dialog.rows())
            rows.push_back({time, message});
        ASSERT_EQ(rows.size(), 2u);
        if (c.written || c.answer == L"cancel") {
            // Sent: it returns once the save has run.
            SendMessageW(dialog.window(), WM_SYSCOMMAND, IDM_SAVE_LOG, 0);
        } else {
            PostMessageW(dialog.window(), WM_SYSCOMMAND, IDM_SAVE_LOG, 0); // a box will wait
            const auto texts = dismissBox(dialog);
            ASSERT_TRUE(texts.has_value()) << "no message box";
            EXPECT_TRUE(anyStartsWith(*texts, L"日志无法保存: "));
            EXPECT_EQ(GetFileAttributesW(missing.c_str()), INVALID_FILE_ATTRIBUTES);
        }
        const std::optional<std::string> after = fileBytes(saved);
        EXPECT_EQ(after, c.written ? std::optional(joinedRows(rows)) : c.before);
        // Nothing else was left beside it: no temporary file.
        WIN32_FIND_DATAW found{};
        HANDLE search = FindFirstFileW(tempPath(L"vkt*.tmp").c_str(), &found);
        EXPECT_EQ(search, INVALID_HANDLE_VALUE) << utf8(found.cFileName);
        if (search != INVALID_HANDLE_VALUE)
            FindClose(search);
    }
    DeleteFileW(saved.c_str());
}

TEST(DialogDriver, FrameMonitorShowsTheFramesOfAPressAndSavesThem) {
    ASSERT_TRUE(libraryHasTheReader());
    struct Case {
        const wchar_t *name;
        bool pcapng;
    };
    const Case cases[] = {{L"velkart-frames.txt", false}, {L"velkart-frames.PCAPNG", true}};
    for (const Case &c : cases) {
        SCOPED_TRACE(utf8(c.name));
        const std::wstring path = tempPath(c.name);
        DeleteFileW(path.c_str());
        START_DIALOG(dialog, kSerialReader, {L"VELKART_TEST_SAVE", L"chosen:" + path});
        SendMessageW(dialog.window(), WM_SYSCOMMAND, IDM_FRAME_MONITOR, 0);
        HWND monitor = windowOf(dialog.processId(), L"通讯监视 - Velkart");
        ASSERT_NE(monitor, nullptr);
        EXPECT_EQ(GetWindow(monitor, GW_OWNER), dialog.window());
        HWND list = GetDlgItem(monitor, IDC_MONITOR_LIST);
        const auto before = SendMessageW(list, LVM_GETITEMCOUNT, 0, 0);

        dialog.click(IDC_SAM_STATUS);
        // The rows come with a message posted after the press.
        ASSERT_TRUE(waitFor([&] { return SendMessageW(list, LVM_GETITEMCOUNT, 0, 0) > before; }));
        const auto rows = listCells(dialog.processId(), list, 5);
        const auto sent = std::find_if(rows.begin(), rows.end(), [](const auto &cells) {
            return cells[2] == "→" && cells[3].starts_with("AA AA AA 96 69");
        });
        ASSERT_NE(sent, rows.end()) << joinedRows(rows);
        EXPECT_EQ((*sent)[1], "virtual@1");
        EXPECT_EQ((*sent)[0].size(), 12u) << (*sent)[0]; // HH:MM:SS.mmm

        SendMessageW(GetDlgItem(monitor, IDC_MONITOR_SAVE), BM_CLICK, 0, 0);
        const std::optional<std::string> saved = fileBytes(path);
        ASSERT_TRUE(saved.has_value());
        // A pcapng file starts with its section header's block type.
        EXPECT_EQ(c.pcapng ? saved->substr(0, 4) : *saved,
                  c.pcapng ? std::string("\x0A\x0D\x0D\x0A", 4) : joinedRows(rows));
        DeleteFileW(path.c_str());

        // Closed, it is hidden; the dialog then ends with it cleanly.
        SendMessageW(monitor, WM_CLOSE, 0, 0);
        EXPECT_FALSE(IsWindowVisible(monitor));
        if (c.pcapng) { // the other way: the dialog ends with the monitor open
            SendMessageW(dialog.window(), WM_SYSCOMMAND, IDM_FRAME_MONITOR, 0);
            EXPECT_TRUE(IsWindowVisible(monitor));
            dialog.click(IDC_SAM_STATUS);
        }
        PostMessageW(dialog.window(), WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
        EXPECT_EQ(dialog.exitCode(10000), std::optional<DWORD>(0));
    }
}

// Keys as the keyboard gives them, to the window in front.
void pressKeys(std::initializer_list<WORD> keys) {
    std::vector<INPUT> inputs;
    for (WORD key : keys) {
        INPUT input{};
        input.type = INPUT_KEYBOARD;
        input.ki.wVk = key;
        inputs.push_back(input);
    }
    for (auto key = keys.end(); key != keys.begin();) {
        INPUT input{};
        input.type = INPUT_KEYBOARD;
        input.ki.wVk = *--key;
        input.ki.dwFlags = KEYEVENTF_KEYUP;
        inputs.push_back(input);
    }
    SendInput(UINT(inputs.size()), inputs.data(), sizeof(INPUT));
}

TEST(DialogDriver, CtrlMInTheDialogOpensTheMonitorAndEscClosesIt) {
    START_DIALOG(dialog, kSerialReader);
    // Keys go to the window in front, which another test's dialog, just
    // started, may take: the dialog is put in front again for each try.
    HWND monitor = nullptr;
    for (int attempt = 0; attempt < 5 && monitor == nullptr; ++attempt) {
        SetForegroundWindow(dialog.window());
        if (!waitFor([&] { return GetForegroundWindow() == dialog.window(); }, 5s))
            continue;
        pressKeys({VK_CONTROL, 'M'});
        waitFor([&] { return (monitor = windowOf(dialog.processId(), L"通讯监视 - Velkart")); },
                10s);
    }
    ASSERT_NE(monitor, nullptr);
    if (GetForegroundWindow() != monitor)
        SetForegroundWindow(monitor);
    // Esc reaches the monitor through the dialog's modal loop, and closes it.
    pressKeys({VK_ESCAPE});
    EXPECT_TRUE(waitFor([&] { return !IsWindowVisible(monitor); }));
}

// Velkart.exe's resources, read from the file as a resource reader does.
class VelkartResources : public ::testing::Test {
  protected:
    void SetUp() override {
        module_ = LoadLibraryExW(program_.c_str(), nullptr,
                                 LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
        ASSERT_NE(module_, nullptr);
    }
    void TearDown() override { FreeLibrary(module_); }

    std::wstring program_ = besideThisProgram(L"Velkart.exe");
    HMODULE module_ = nullptr;
};

TEST_F(VelkartResources, VersionBlock) {
    DWORD ignored = 0;
    std::vector<char> block(GetFileVersionInfoSizeW(program_.c_str(), &ignored));
    ASSERT_FALSE(block.empty());
    ASSERT_TRUE(GetFileVersionInfoW(program_.c_str(), 0, DWORD(block.size()), block.data()));

    VS_FIXEDFILEINFO *fixed = nullptr;
    UINT size = 0;
    ASSERT_TRUE(VerQueryValueW(block.data(), L"\\", reinterpret_cast<void **>(&fixed), &size));
    EXPECT_EQ(fixed->dwFileVersionMS, 0x00010000u);
    EXPECT_EQ(fixed->dwFileVersionLS, 0x00000001u);
    EXPECT_EQ(fixed->dwProductVersionMS, 0x00010000u);
    EXPECT_EQ(fixed->dwProductVersionLS, 0x00000001u);
    WORD *translation = nullptr;
    ASSERT_TRUE(VerQueryValueW(block.data(), L"\\VarFileInfo\\Translation",
                               reinterpret_cast<void **>(&translation), &size));
    EXPECT_EQ(translation[0], 2052);
    EXPECT_EQ(translation[1], 1200);

    const std::pair<const wchar_t *, const wchar_t *> strings[] = {
        {L"FileDescription", L"Velkart Microsoft 基础类应用程序"},
        {L"ProductName", L"Velkart 应用程序"},
        {L"InternalName", L"Velkart"},
        {L"OriginalFilename", L"Velkart.EXE"},
        {L"CompanyName", L""},
        {L"LegalTrademarks", L""},
        {L"FileVersion", L"1, 0, 0, 1"},
        {L"ProductVersion", L"1, 0, 0, 1"},
    };
    for (const auto &[key, expected] : strings) {
        wchar_t *value = nullptr;
        const std::wstring path = std::wstring(L"\\StringFileInfo\\080404B0\\") + key;
        ASSERT_TRUE(
            VerQueryValueW(block.data(), path.c_str(), reinterpret_cast<void **>(&value), &size))
            << utf8(key);
        EXPECT_EQ(std::wstring(value), expected) << utf8(key);
    }
}

TEST_F(VelkartResources, IconsAndStringInChineseAsTheTemplatesSay) {
    const WORD chinese = MAKELANGID(LANG_CHINESE, SUBLANG_CHINESE_SIMPLIFIED); // 2052
    EXPECT_NE(FindResourceExW(module_, MAKEINTRESOURCEW(14) /* RT_GROUP_ICON */,
                              MAKEINTRESOURCEW(IDI_MAIN), chinese),
              nullptr);
    for (const int pixels : {32, 16}) {
        auto icon = static_cast<HICON>(LoadImageW(module_, MAKEINTRESOURCEW(IDI_MAIN), IMAGE_ICON,
                                                  pixels, pixels, LR_DEFAULTCOLOR));
        ASSERT_NE(icon, nullptr) << pixels;
        ICONINFO info{};
        ASSERT_TRUE(GetIconInfo(icon, &info));
        BITMAP bitmap{};
        GetObjectW(info.hbmColor, sizeof bitmap, &bitmap);
        EXPECT_EQ(bitmap.bmWidth, pixels);
        EXPECT_EQ(bitmap.bmHeight, pixels);
        DeleteObject(info.hbmColor);
        DeleteObject(info.hbmMask);
        DestroyIcon(icon);
    }
    // The menu text the dialog takes from the shared table is the one a
    // resource reader finds in the file.
    const wchar_t *text = nullptr;
    const int length = LoadStringW(module_, IDS_ABOUT_MENU, reinterpret_cast<LPWSTR>(&text), 0);
    ASSERT_GT(length, 0);
    EXPECT_EQ(utf8(std::wstring(text, std::size_t(length))), res::loadString(IDS_ABOUT_MENU));
}

} // namespace
