// The event log's own storage: texts packed into shared blocks, local-time
// stamps, and rows handed to the views in bursts.
#include "EventLogModel.h"
#include "fake_platform.h" // readable QString failures

#include <QCoreApplication>
#include <QSignalSpy>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

namespace {

using namespace std::chrono_literals;

EventLogModel::Clock::time_point at(std::int64_t utcSeconds) {
    return EventLogModel::Clock::time_point{std::chrono::seconds{utcSeconds}};
}

// 2026-12-07 01:30:05 UTC
constexpr std::int64_t kNoon = 1796607005;

class ScopedTimeZone {
  public:
    explicit ScopedTimeZone(const char *zone) {
        if (const char *old = std::getenv("TZ"))
            old_ = old;
        set(zone);
    }
    ~ScopedTimeZone() { set(old_.empty() ? nullptr : old_.c_str()); }
    static void set(const char *zone) {
        if (zone)
            setenv("TZ", zone, 1);
        else
            unsetenv("TZ");
        tzset();
    }

  private:
    std::string old_;
};

TEST(EventLogModel, KeepsEveryTextExactlyAcrossBlockBoundaries) {
    // Lengths around the 32 Ki-character block, empty texts, a text larger
    // than a block, and UTF-16 that is not valid (a lone surrogate).
    const std::vector<qsizetype> lengths = {0,      1, 30,    32767, 32768, 32769, 0,
                                            100000, 1, 65536, 0,     31,    32700, 2};
    std::vector<QString> texts;
    EventLogModel log;
    for (std::size_t i = 0; i < lengths.size(); ++i) {
        QString text(lengths[i], QChar(u'甲' + int(i)));
        if (text.size() > 2)
            text[1] = QChar(0xD800);
        texts.push_back(text);
        log.prepend(at(kNoon), text);
    }
    ASSERT_EQ(log.size(), int(texts.size()));
    for (std::size_t i = 0; i < texts.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(log.message(int(texts.size() - 1 - i)), texts[i]);
    }
}

TEST(EventLogModel, ViewsHearOfABurstOnceWhenTheEventLoopRuns) {
    ScopedTimeZone zone("UTC0");
    EventLogModel log;
    QSignalSpy inserted(&log, &QAbstractItemModel::rowsInserted);
    log.prepend(at(kNoon), u"a");
    log.prepend(at(kNoon), u"b");
    log.prepend(at(kNoon), u"c");
    EXPECT_EQ(log.rowCount(), 0) << "views see no row they were not told of";
    EXPECT_EQ(log.size(), 3);
    QCoreApplication::processEvents();
    ASSERT_EQ(inserted.count(), 1);
    EXPECT_EQ(inserted[0][1].toInt(), 0);
    EXPECT_EQ(inserted[0][2].toInt(), 2);
    EXPECT_EQ(log.data(log.index(0, EventLogModel::MessageColumn), Qt::DisplayRole), "c");
    EXPECT_EQ(log.data(log.index(2, EventLogModel::MessageColumn), Qt::DisplayRole), "a");

    // Rows told already keep their numbers until the next burst is told.
    log.prepend(at(kNoon), u"d");
    EXPECT_EQ(log.data(log.index(0, EventLogModel::MessageColumn), Qt::DisplayRole), "c");
    EXPECT_EQ(log.toText({0, 2}), "2026-12-07 01:30:05\tc\n2026-12-07 01:30:05\ta\n");
    log.flush();
    EXPECT_EQ(log.rowCount(), 4);
    EXPECT_EQ(log.data(log.index(0, EventLogModel::MessageColumn), Qt::DisplayRole), "d");
    QCoreApplication::processEvents();
    EXPECT_EQ(inserted.count(), 2) << "the queued turn finds nothing left to tell";
}

TEST(EventLogModel, ClearingBeforeTheViewsHeardDropsEverything) {
    EventLogModel log;
    log.prepend(at(kNoon), u"a");
    log.clear();
    QCoreApplication::processEvents();
    EXPECT_EQ(log.rowCount(), 0);
    EXPECT_EQ(log.size(), 0);
    log.prepend(at(kNoon), u"b");
    log.flush();
    ASSERT_EQ(log.rowCount(), 1);
    EXPECT_EQ(log.message(0), "b");
}

TEST(EventLogModel, StampsKeepTheLocalTimeTheyWereLoggedIn) {
    EventLogModel log;
    {
        ScopedTimeZone zone("UTC0");
        log.prepend(at(kNoon), u"utc");
    }
    {
        ScopedTimeZone zone("CST-8");
        log.prepend(at(kNoon + 1), u"beijing");
        EXPECT_EQ(log.time(0), "2026-12-07 09:30:06");
        EXPECT_EQ(log.time(1), "2026-12-07 01:30:05") << "an earlier row is not rewritten";
    }
    // Within the same second a burst shares one conversion; the zone it
    // was taken in stays.
    ScopedTimeZone zone("UTC0");
    log.prepend(at(kNoon + 1) + 900ms, u"same second");
    EXPECT_EQ(log.time(0), "2026-12-07 09:30:06");
    log.prepend(at(kNoon + 2), u"next second");
    EXPECT_EQ(log.time(0), "2026-12-07 01:30:07");
}

TEST(EventLogModel, TimesBeforeTheEpochAndFarAheadFormat) {
    ScopedTimeZone zone("UTC0");
    EventLogModel log;
    log.prepend(at(-1), u"");
    log.prepend(at(7258118399), u""); // near the end of the clock's range
    EXPECT_EQ(log.time(1), "1969-12-31 23:59:59");
    EXPECT_EQ(log.time(0), "2199-12-31 23:59:59");
}

} // namespace
