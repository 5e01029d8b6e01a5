// A broken or hostile reader on a pty that the test drives byte by byte:
// the library must neither stall on it nor take its garbage for a card.
#include "KavIDCardAPI.h"
#include "codepage936.h"
#include "protocol/frame_parser.h"
#include "protocol/protocol.h"
#include "test_pty.h"
#include "testing.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <poll.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace {

namespace proto = kav::proto;
namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Bytes = std::vector<std::uint8_t>;

// What the device does with one command frame: bytes to send, after a delay.
struct Act {
    std::chrono::milliseconds delay{0};
    Bytes bytes;
    bool hangUp = false; // close the pty instead
};
using Script = std::function<Act(const proto::CommandFrame &)>;
// The same, told the rate the host was sending at.
using RatedScript = std::function<Act(const proto::CommandFrame &, std::uint32_t baud)>;

std::uint32_t baudOf(speed_t speed) {
    using Rate = std::pair<speed_t, std::uint32_t>;
    for (const auto &[code, baud] : {Rate{B115200, 115200}, Rate{B57600, 57600},
                                     Rate{B38400, 38400}, Rate{B19200, 19200}, Rate{B9600, 9600}})
        if (speed == code)
            return baud;
    return 0;
}

// The master side of a pty, answering each command the host sends by a
// script; or, with `stream`, sending those bytes without end.
class HostileDevice {
  public:
    HostileDevice(Script script, Bytes stream = {})
        : HostileDevice(script ? RatedScript([script](const proto::CommandFrame &c, std::uint32_t) {
                            return script(c);
                        })
                               : RatedScript(),
                        std::move(stream)) {}
    HostileDevice(RatedScript script, Bytes stream = {})
        : script_(std::move(script)), stream_(std::move(stream)) {
        if (pty_.master() < 0)
            return;
        pty_.holdSlave();
        thread_ = std::thread([this] { run(); });
    }
    ~HostileDevice() {
        stop_ = true;
        if (thread_.joinable())
            thread_.join();
    }
    const std::string &slave() const { return pty_.slave(); }
    std::size_t sent() const { return sent_; }

    // Whether the master sees the rate the host sets on the slave (Linux
    // passes the slave's settings through), so a rated script can tell.
    bool seesClientRate() const {
        const int slave = ::open(pty_.slave().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        termios t{};
        termios seen{};
        bool sees = false;
        if (slave >= 0 && ::tcgetattr(slave, &t) == 0) {
            const speed_t was = ::cfgetospeed(&t);
            ::cfsetospeed(&t, B19200);
            sees = ::tcsetattr(slave, TCSANOW, &t) == 0 && ::tcgetattr(pty_.master(), &seen) == 0 &&
                   ::cfgetospeed(&seen) == B19200;
            ::cfsetospeed(&t, was);
            ::tcsetattr(slave, TCSANOW, &t);
        }
        if (slave >= 0)
            ::close(slave);
        return sees;
    }

  private:
    void run() {
        proto::FrameParser parser(proto::FrameKind::Command);
        std::uint8_t buffer[512];
        while (!stop_) {
            const int master = pty_.master();
            if (!stream_.empty() && master >= 0) {
                const ssize_t n = ::write(master, stream_.data(), stream_.size());
                if (n > 0)
                    sent_ += static_cast<std::size_t>(n);
                else
                    std::this_thread::sleep_for(1ms);
            }
            pollfd p{master, POLLIN, 0};
            if (master < 0 || ::poll(&p, 1, stream_.empty() ? 5 : 0) <= 0)
                continue;
            const ssize_t n = ::read(master, buffer, sizeof buffer);
            if (n <= 0)
                continue;
            for (const proto::ParseEvent &e :
                 parser.feedAll(std::span(buffer, static_cast<std::size_t>(n)))) {
                if (e.type != proto::ParseEvent::Type::Frame || !script_)
                    continue;
                termios t{};
                const std::uint32_t rate =
                    ::tcgetattr(master, &t) == 0 ? baudOf(::cfgetospeed(&t)) : 0;
                const Act act = script_(*proto::decodeCommand(e.bytes), rate);
                if (act.hangUp) {
                    pty_.hangUp();
                    return;
                }
                const auto until = Clock::now() + act.delay;
                while (!stop_ && Clock::now() < until)
                    std::this_thread::sleep_for(2ms);
                if (!act.bytes.empty() && ::write(master, act.bytes.data(), act.bytes.size()) > 0)
                    sent_ += act.bytes.size();
            }
        }
    }

    RatedScript script_;
    Bytes stream_;
    test::Pty pty_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<std::size_t> sent_{0};
};

// A text block holding `name` (UCS-2 LE) and an ID number, padded.
Bytes textBlock(std::u16string_view name) {
    Bytes text(proto::kTextSize, 0);
    for (std::size_t i = 0; i < text.size(); i += 2)
        text[i] = 0x20;
    for (std::size_t i = 0; i < name.size() && i < 15; ++i) {
        text[2 * i] = static_cast<std::uint8_t>(name[i] & 0xFF);
        text[2 * i + 1] = static_cast<std::uint8_t>(name[i] >> 8);
    }
    const std::u16string_view id = u"11010119900307123X";
    for (std::size_t i = 0; i < id.size(); ++i) {
        text[122 + 2 * i] = static_cast<std::uint8_t>(id[i]);
        text[122 + 2 * i + 1] = 0;
    }
    return text;
}

// A device that answers every command at once, as a good SAM would, with
// `read` as its read answer's data.
Act goodAnswer(const proto::CommandFrame &c, const Bytes &read) {
    const proto::Command command{c.cmd, c.para};
    if (command == proto::kFindCard)
        return {0ms, proto::encodeResponse(0, 0, proto::kFindSuccess, Bytes(4, 0))};
    if (command == proto::kSelectCard)
        return {0ms, proto::encodeResponse(0, 0, proto::kSuccess, Bytes(8, 0))};
    if (command == proto::kReadCard)
        return {0ms, proto::encodeResponse(0, 0, proto::kSuccess, read)};
    if (command == proto::kSamId)
        return {0ms, proto::encodeResponse(0, 0, proto::kSuccess, Bytes(16, 1))};
    return {0ms, proto::encodeResponse(0, 0, proto::kSuccess)};
}

const Bytes kGoodRead = proto::encodeReadAnswer(textBlock(u"林晓航"), {});

class HostileDeviceTest : public ::testing::Test {
  protected:
    void SetUp() override {
        folder = fs::temp_directory_path() / ("kav-hostile-" + std::to_string(::getpid()));
        fs::create_directories(folder);
    }
    void TearDown() override {
        Kav_ClosePort(1);
        fs::remove_all(folder);
    }
    void attach(const HostileDevice &device) {
        ASSERT_FALSE(device.slave().empty());
        const std::string devices = "defaults=off,1=" + device.slave();
        ::setenv("KAVIDCARD_DEVICES", devices.c_str(), 1);
        kav::testing::resetLibrary();
        ASSERT_EQ(Kav_SetPhotoPath(KAV_PHOTO_IN_FOLDER, folder.c_str()), KAV_OK);
        ASSERT_EQ(Kav_SetPhotoType(KAV_PHOTO_BMP), KAV_OK);
    }
    // The dialog's read sequence after the port is open.
    static int readCard(IDCardRecord &record) {
        unsigned char find[KAV_FIND_BUFFER_SIZE] = {};
        unsigned char select[KAV_SELECT_BUFFER_SIZE] = {};
        Kav_SetMaxRFByte(1, 80, 0);
        Kav_StartFindIDCard(1, find, 0);
        Kav_SelectIDCard(1, select, 0);
        return Kav_ReadMsg(1, 0, &record);
    }
    std::vector<std::string> files() const {
        std::vector<std::string> names;
        for (const fs::directory_entry &e : fs::directory_iterator(folder))
            names.push_back(e.path().filename().string());
        return names;
    }

    fs::path folder;
};

template <typename F> std::chrono::milliseconds timed(F f) {
    const auto start = Clock::now();
    f();
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
}

// A device that never stops sending stalls no operation.
TEST_F(HostileDeviceTest, EndlessSendingStallsNothing) {
    const struct {
        const char *what;
        Bytes unit;
    } streams[] = {
        {"a preamble and a length", {0xAA, 0xAA, 0xAA, 0x96, 0x69, 0x10, 0x00}},
        {"noise", Bytes(64, 0x55)},
        {"find answers", proto::encodeResponse(0, 0, proto::kFindSuccess, Bytes(4, 0))},
    };
    // Each bound is the operation's own time limits, twice over for a slow
    // (sanitized, loaded) build, plus a second: a stall runs past any of them.
    const auto limit = [](std::initializer_list<proto::Command> commands, int times = 1) {
        std::chrono::milliseconds total{1000};
        for (proto::Command c : commands)
            total += 2 * times * proto::commandTimeout(c, 9600);
        return total;
    };
    const auto openLimit = limit({proto::kSamStatus}, static_cast<int>(proto::kBaudRates.size()));
    for (const auto &s : streams) {
        SCOPED_TRACE(s.what);
        HostileDevice device(Script{}, s.unit);
        attach(device);
        int opened = -100;
        EXPECT_LT(timed([&] { opened = Kav_OpenPort(1); }), openLimit);
        if (opened == KAV_OK) {
            int status = KAV_OK;
            EXPECT_LT(timed([&] { status = Kav_GetSAMStatus(1, 0); }), limit({proto::kSamStatus}));
            EXPECT_NE(status, KAV_OK);
            IDCardRecord record{};
            int read = KAV_OK;
            EXPECT_LT(
                timed([&] { read = readCard(record); }),
                limit({proto::kSetMaxRf, proto::kFindCard, proto::kSelectCard, proto::kReadCard}));
            EXPECT_NE(read, KAV_OK);
        }
        Kav_ClosePort(1);
        EXPECT_LT(timed([&] { Kav_FindReader(); }), openLimit);
        EXPECT_GT(device.sent(), 10'000u) << "the device must have kept sending";
    }
}

// Answers that are not what the command must return never pass for a card.
TEST_F(HostileDeviceTest, WrongAnswersAreNeverTakenForACard) {
    const Bytes selectAnswer = proto::encodeResponse(0, 0, proto::kSuccess, Bytes(8, 0));
    const Bytes emptyRead = {0x00, 0x00, 0x00, 0x00};
    // A 35-byte GIF declaring 4096 x 4096 where the photo goes.
    Bytes gif = {'G', 'I', 'F', '8', '9', 'a', 0x00, 0x10, 0x00, 0x10, 0x80, 0x00, 0x00};
    gif.resize(35, 0);
    const struct Case {
        const char *what;
        std::function<Act(const proto::CommandFrame &)> script;
        int result; // what the read returns; INT32_MIN: anything but success
    } cases[] = {
        {"find answered late, after select was sent",
         [&](const proto::CommandFrame &c) {
             Act a = goodAnswer(c, kGoodRead);
             if (proto::Command{c.cmd, c.para} == proto::kFindCard)
                 a.delay = 400ms;
             if (proto::Command{c.cmd, c.para} == proto::kReadCard)
                 a.bytes.clear(); // the read is left to the stale answers
             return a;
         },
         INT32_MIN},
        {"read answered with select's answer",
         [&](const proto::CommandFrame &c) {
             Act a = goodAnswer(c, kGoodRead);
             if (proto::Command{c.cmd, c.para} == proto::kReadCard)
                 a.bytes = selectAnswer;
             return a;
         },
         KAV_E_BAD_REPLY},
        {"a read answer declaring no text and no photo",
         [&](const proto::CommandFrame &c) { return goodAnswer(c, emptyRead); }, KAV_E_BAD_REPLY},
        {"a read answer with text and photo lengths swapped",
         [&](const proto::CommandFrame &c) {
             Bytes swapped = kGoodRead;
             std::swap(swapped[0], swapped[2]);
             std::swap(swapped[1], swapped[3]);
             return goodAnswer(c, swapped);
         },
         KAV_E_BAD_REPLY},
        {"a GIF declaring a huge image as the photo",
         [&](const proto::CommandFrame &c) {
             return goodAnswer(c, proto::encodeReadAnswer(textBlock(u"林晓航"), gif));
         },
         KAV_OK},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove_all(folder);
        fs::create_directories(folder);
        HostileDevice device(c.script);
        attach(device);
        ASSERT_EQ(Kav_OpenPort(1), KAV_OK);
        IDCardRecord record{};
        const int result = readCard(record);
        if (c.result == INT32_MIN)
            EXPECT_NE(result, KAV_OK);
        else
            EXPECT_EQ(result, c.result);
        if (result != KAV_OK) {
            EXPECT_TRUE(files().empty()) << "a failed read wrote a photo";
            EXPECT_EQ(record.name[0], '\0');
            continue;
        }
        EXPECT_STRNE(record.name, "");
        // Whatever the card holds, the photo file stays within a card's size.
        for (const fs::directory_entry &e : fs::directory_iterator(folder))
            EXPECT_LE(e.file_size(), 64u * 1024) << e.path();
        Kav_ClosePort(1);
    }
}

// A late status must not make a refused radio setting look accepted.
TEST_F(HostileDeviceTest, ARefusalIsNotHiddenByAStrayAnswer) {
    HostileDevice device([](const proto::CommandFrame &c) {
        Act a = goodAnswer(c, kGoodRead);
        if (proto::Command{c.cmd, c.para} == proto::kSetMaxRf)
            a.bytes = proto::encodeResponse(0, 0, proto::kNotAuthorised);
        if (proto::Command{c.cmd, c.para} == proto::kFindCard)
            a.bytes = proto::encodeResponse(0, 0, proto::kSuccess); // find's refusal, oddly
        return a;
    });
    attach(device);
    ASSERT_EQ(Kav_OpenPort(1), KAV_OK);
    EXPECT_EQ(Kav_SetMaxRFByte(1, 80, 0), proto::kNotAuthorised);
    unsigned char find[KAV_FIND_BUFFER_SIZE] = {};
    // 0x90 is not find's success: it answers no find, so the command fails.
    EXPECT_NE(Kav_StartFindIDCard(1, find, 0), KAV_OK);
    const std::string text = Kav_ResultText(0x90);
    EXPECT_NE(text.find("not the status this command succeeds with"), std::string::npos) << text;
}

TEST_F(HostileDeviceTest, HangingUpDuringTheOpenIsAFailure) {
    HostileDevice device([](const proto::CommandFrame &) { return Act{0ms, {}, true}; });
    attach(device);
    EXPECT_EQ(Kav_OpenPort(1), KAV_E_IO);
}

// Control characters from the card reach neither the record nor a file name.
TEST_F(HostileDeviceTest, ControlCharactersFromTheCardAreReplaced) {
    HostileDevice device([](const proto::CommandFrame &c) {
        return goodAnswer(c, proto::encodeReadAnswer(textBlock(u"a\nb\tc\x1b"
                                                               u"d"),
                                                     {}));
    });
    attach(device);
    ASSERT_EQ(Kav_SetPhotoName(KAV_PHOTO_NAME_HOLDER), KAV_OK);
    ASSERT_EQ(Kav_OpenPort(1), KAV_OK);
    IDCardRecord record{};
    ASSERT_EQ(readCard(record), KAV_OK);
    for (const char *p = record.name; *p != '\0'; ++p)
        EXPECT_GE(static_cast<unsigned char>(*p), 0x20) << record.name;
    for (const std::string &name : files())
        for (char ch : name)
            EXPECT_GE(static_cast<unsigned char>(ch), 0x20) << name;
}

// A SAM at 115200 that hears nothing sent at another rate and answers at
// once, except its first answer, which comes `late`: the SAM was still busy
// (sending a read to a client that was killed, say).
RatedScript samAt115200(std::chrono::milliseconds late) {
    auto answers = std::make_shared<int>(0);
    return [answers, late](const proto::CommandFrame &c, std::uint32_t baud) {
        if (baud != 115200)
            return Act{};
        Act a = goodAnswer(c, kGoodRead);
        if ((*answers)++ == 0)
            a.delay = late;
        return a;
    };
}

// Whatever came before, the open port ends up talking at the SAM's rate.
TEST_F(HostileDeviceTest, TheOpenPortKeepsTheSamsRate) {
    // Past the status timeout at 115200, well inside the 57600 probe's.
    const auto lateAnswer = proto::commandTimeout(proto::kSamStatus, 115200) + 80ms;
    const struct Case {
        const char *what;
        std::chrono::milliseconds late; // the SAM's first answer
        std::function<void()> before;
    } cases[] = {
        {"the late answer to the 115200 probe comes during the 57600 probe of the open", lateAnswer,
         [] { ASSERT_EQ(Kav_OpenPort(1), KAV_OK); }},
        {"the same during the search, whose rate the open then takes", lateAnswer,
         [] {
             EXPECT_EQ(Kav_FindReader(), 1);
             ASSERT_EQ(Kav_OpenPort(1), KAV_OK);
         }},
        {"a baud change that names a rate the SAM is not at", 0ms,
         [] {
             ASSERT_EQ(Kav_OpenPort(1), KAV_OK);
             EXPECT_EQ(Kav_SetCOMBaud(1, 57600, 38400), KAV_E_TIMEOUT);
         }},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        HostileDevice device(samAt115200(c.late));
        if (!device.seesClientRate())
            GTEST_SKIP() << "this system's pty master does not see the slave's rate";
        attach(device);
        c.before();
        EXPECT_EQ(Kav_GetSAMStatus(1, 0), KAV_OK);
        unsigned baud = 0;
        EXPECT_EQ(Kav_GetCOMBaud(1, &baud), KAV_OK);
        EXPECT_EQ(baud, 115200u);
        Kav_ClosePort(1);
    }
}

} // namespace

// A SAM that says "no fingerprint on the card" with status 0x91 rather than
// a zero length: the extended read still gets text and photo, by finding,
// selecting and reading again without the fingerprint.
TEST_F(HostileDeviceTest, NoFingerprintByStatusStillReadsTheCard) {
    auto seen = std::make_shared<std::vector<proto::Command>>();
    HostileDevice device([seen](const proto::CommandFrame &c) {
        seen->push_back({c.cmd, c.para});
        if (proto::Command{c.cmd, c.para} == proto::kReadFingerprint)
            return Act{0ms, proto::encodeResponse(0, 0, proto::kNoContent)};
        return goodAnswer(c, kGoodRead);
    });
    attach(device);
    ASSERT_EQ(Kav_OpenPort(1), KAV_OK);
    ASSERT_EQ(Kav_StartFindIDCard(1, nullptr, 0), KAV_OK);
    ASSERT_EQ(Kav_SelectIDCard(1, nullptr, 0), KAV_OK);
    seen->clear();
    KavCardData data{};
    data.size = sizeof data;
    ASSERT_EQ(Kav_ReadCard(1, KAV_READ_FINGERPRINT, &data), KAV_OK);
    EXPECT_EQ(*seen, (std::vector<proto::Command>{proto::kReadFingerprint, proto::kFindCard,
                                                  proto::kSelectCard, proto::kReadCard}));
    EXPECT_EQ(data.fingerprintRead, 1);
    EXPECT_EQ(data.fingerprintSize, 0);
    EXPECT_STREQ(data.name, "林晓航");

    unsigned char buffer[KAV_FINGERPRINT_MAX_SIZE];
    int size = -1;
    ASSERT_EQ(Kav_ReadFingerprint(1, buffer, sizeof buffer, &size), KAV_OK);
    EXPECT_EQ(size, 0);
}
