// The frame monitor's rows: what the dialog's monitor and kav --trace show.
#include "trace_format.h"
#include "trace_mailbox.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <deque>
#include <string>

namespace {

class TraceFormat : public ::testing::Test {
  protected:
    void SetUp() override {
        // A zone with an offset, so that UTC passed off as local time shows.
        setenv("TZ", "CST-8", 1); // POSIX form: needs no zone database
        tzset();
    }
};

const unsigned char kStatusCommand[] = {0xAA, 0xAA, 0xAA, 0x96, 0x69, 0x00, 0x03, 0x11, 0xFF, 0xED};
// 2026-12-07 02:03:04.005 UTC, 10:03:04.005 in Shanghai.
constexpr long long kTimeMs = 1796608984005LL;

TEST_F(TraceFormat, EachKindGetsItsColumns) {
    struct Case {
        int kind;
        const char *link;
        const unsigned char *bytes;
        std::size_t count;
        const char *text;
        kav::host::TraceRow expected;
    };
    const Case cases[] = {
        {KAV_TRACE_TO_READER,
         "/dev/ttyUSB0",
         kStatusCommand,
         sizeof kStatusCommand,
         "SAM status",
         {"10:03:04.005", "/dev/ttyUSB0", "→", "AA AA AA 96 69 00 03 11 FF ED", "SAM status"}},
        {KAV_TRACE_FROM_READER,
         "virtual@1",
         kStatusCommand,
         3,
         "bad frame",
         {"10:03:04.005", "virtual@1", "←", "AA AA AA", "bad frame"}},
        {KAV_TRACE_NOISE,
         "virtual@1",
         nullptr,
         17,
         "17 bytes of noise skipped",
         {"10:03:04.005", "virtual@1", "←", "", "17 bytes of noise skipped"}},
        {KAV_TRACE_NOISE,
         "virtual@1",
         nullptr,
         5,
         nullptr,
         {"10:03:04.005", "virtual@1", "←", "", "5 bytes skipped as noise"}},
        {KAV_TRACE_OPERATION,
         "",
         nullptr,
         0,
         "Kav_OpenPort(1) = 0 (success)",
         {"10:03:04.005", "", "", "", "Kav_OpenPort(1) = 0 (success)"}},
        {KAV_TRACE_NOTE,
         nullptr,
         nullptr,
         0,
         "trace callback set",
         {"10:03:04.005", "", "", "", "trace callback set"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.kind);
        KavTraceEvent event{};
        event.kind = c.kind;
        event.timeMs = kTimeMs;
        event.link = c.link;
        event.bytes = c.bytes;
        event.byteCount = c.count;
        event.text = c.text;
        const kav::host::TraceRow row = kav::host::traceRow(event);
        EXPECT_EQ(row.time, c.expected.time);
        EXPECT_EQ(row.port, c.expected.port);
        EXPECT_EQ(row.direction, c.expected.direction);
        EXPECT_EQ(row.data, c.expected.data);
        EXPECT_EQ(row.meaning, c.expected.meaning);
    }
}

TEST_F(TraceFormat, MillisecondsStayInRangeAroundWholeSeconds) {
    EXPECT_EQ(kav::host::localClock(kTimeMs - 5), "10:03:04.000");
    EXPECT_EQ(kav::host::localClock(kTimeMs - 6), "10:03:03.999");
    // Before 1970: the fraction still counts up from the second before.
    EXPECT_EQ(kav::host::localClock(-1), "07:59:59.999");
}

TEST_F(TraceFormat, LineKeepsEmptyColumnsInPlace) {
    const kav::host::TraceRow row{"10:03:04.005", "", "", "", "trace callback set"};
    EXPECT_EQ(kav::host::traceLine(row), "10:03:04.005"
                                         "        "
                                         "trace callback set");
}

} // namespace

// The hand-over from the library's threads: the newest kept, every arrival
// counted, one wake-up a burst, and another asked for when one was lost.
TEST(TraceMailbox, KeepsTheNewestAndWakesOncePerBurst) {
    struct Case {
        std::size_t capacity, puts;
        std::deque<int> kept;
    };
    for (const Case &c :
         {Case{3, 0, {}}, Case{3, 2, {0, 1}}, Case{3, 5, {2, 3, 4}}, Case{0, 2, {1}}}) {
        SCOPED_TRACE(testing::Message() << c.capacity << " " << c.puts);
        kav::host::TraceMailbox<int> mailbox(c.capacity);
        for (std::size_t i = 0; i < c.puts; ++i)
            EXPECT_EQ(mailbox.put(static_cast<int>(i)), i == 0);
        auto [frames, arrived] = mailbox.take();
        EXPECT_EQ(frames, c.kept);
        EXPECT_EQ(arrived, c.puts);
        EXPECT_EQ(mailbox.take().arrived, 0u);
    }
    kav::host::TraceMailbox<int> mailbox(4);
    EXPECT_TRUE(mailbox.put(1));
    mailbox.wakeFailed();
    EXPECT_TRUE(mailbox.put(2));
    EXPECT_FALSE(mailbox.put(3));
    EXPECT_EQ(mailbox.take().frames.size(), 3u);
    EXPECT_TRUE(mailbox.put(4)); // a take starts a new burst
}

// A kept event gives back what the callback gave, after the library's own
// buffers are gone: a frame's bytes (an empty frame is still a frame), a
// noise event's count without bytes, and an operation's result.
TEST(KeptTraceEvent, GivesBackWhatTheCallbackGave) {
    struct Case {
        int kind;
        const char *bytes; // null: the event has none
        std::size_t count;
        int result;
    };
    for (const Case &c :
         {Case{KAV_TRACE_TO_READER, "\xAA\x00\x96", 3, 0}, Case{KAV_TRACE_FROM_READER, "", 0, 0},
          Case{KAV_TRACE_NOISE, nullptr, 7, 0},
          Case{KAV_TRACE_OPERATION, nullptr, 0, KAV_E_TIMEOUT}}) {
        SCOPED_TRACE(c.kind);
        std::string link = "COM5", text = "meaning",
                    bytes(c.bytes != nullptr ? std::string(c.bytes, c.count) : std::string());
        KavTraceEvent event{};
        event.kind = c.kind;
        event.timeMs = 1234;
        event.link = link.c_str();
        event.bytes =
            c.bytes != nullptr ? reinterpret_cast<const unsigned char *>(bytes.data()) : nullptr;
        event.byteCount = c.count;
        event.text = text.c_str();
        event.result = c.result;
        const kav::host::KeptTraceEvent kept = kav::host::KeptTraceEvent::of(event);
        link.assign(4, 'x');
        text.assign(7, 'x');
        bytes.assign(c.count, 'x');
        const KavTraceEvent back = kept.view();
        EXPECT_EQ(back.kind, c.kind);
        EXPECT_EQ(back.timeMs, 1234);
        EXPECT_STREQ(back.link, "COM5");
        EXPECT_STREQ(back.text, "meaning");
        EXPECT_EQ(back.result, c.result);
        EXPECT_EQ(back.byteCount, c.count);
        ASSERT_EQ(back.bytes != nullptr, c.bytes != nullptr);
        if (c.bytes != nullptr) {
            EXPECT_EQ(std::string(reinterpret_cast<const char *>(back.bytes), c.count),
                      std::string(c.bytes, c.count));
        }
    }
}
