#include "virtual/replay.h"

#include "protocol/protocol.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using kav::PeerReply;
using kav::virt::Exchange;
using kav::virt::ReplayReader;
using kav::virt::ReplayScript;
using Bytes = std::vector<std::uint8_t>;
using std::chrono::microseconds;
namespace proto = kav::proto;

const Bytes kFind = proto::encodeCommand(proto::kFindCard);
const Bytes kSelect = proto::encodeCommand(proto::kSelectCard);
const Bytes kStatus = proto::encodeCommand(proto::kSamStatus);
const Bytes kFound = proto::encodeResponse(0, 0, 0x9F, Bytes(4, 0));
const Bytes kNone = proto::encodeResponse(0, 0, 0x80);
const Bytes kSelected = proto::encodeResponse(0, 0, 0x90, Bytes(8, 0));

Bytes half(const Bytes &b, bool first) {
    const auto mid = b.begin() + static_cast<std::ptrdiff_t>(b.size() / 2);
    return first ? Bytes(b.begin(), mid) : Bytes(mid, b.end());
}

ReplayScript script() {
    // find (no card), find (found, split in two), select (then the line fails)
    return {{{kFind, {{microseconds{3000}, kNone}}, false},
             {kFind,
              {{microseconds{2000}, half(kFound, true)}, {microseconds{500}, half(kFound, false)}},
              false},
             {kSelect, {{microseconds{1000}, kSelected}}, true}},
            57600};
}

Bytes kv(Bytes a, const Bytes &b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

Bytes joined(const std::vector<PeerReply> &replies) {
    Bytes out;
    for (const PeerReply &r : replies)
        for (const PeerReply::Segment &s : r.segments)
            out.insert(out.end(), s.bytes.begin(), s.bytes.end());
    return out;
}

struct Case {
    const char *name;
    ReplayReader::Match match;
    std::vector<Bytes> sent;    // one host write each
    std::vector<Bytes> answers; // what each write got back
    std::size_t missed;
};

TEST(ReplayReader, AnswersWhatWasRecordedForTheMatchingCommand) {
    const Bytes corrupt = [] {
        Bytes b = kStatus;
        b.back() ^= 0xFF;
        return b;
    }();
    const std::vector<Case> cases = {
        {"in order",
         ReplayReader::Match::Order,
         {kFind, kFind, kSelect},
         {kNone, kFound, kSelected},
         0},
        // Out of order: nothing, and the recording waits for the expected one.
        {"order refuses", ReplayReader::Match::Order, {kSelect, kFind}, {{}, kNone}, 1},
        {"content skips ahead",
         ReplayReader::Match::Content,
         {kSelect, kFind, kFind},
         {kSelected, kNone, kFound},
         0},
        {"content runs out", ReplayReader::Match::Content, {kSelect, kSelect}, {kSelected, {}}, 1},
        {"unrecorded command", ReplayReader::Match::Content, {kStatus, corrupt}, {{}, {}}, 2},
        {"past the end",
         ReplayReader::Match::Order,
         {kFind, kFind, kSelect, kFind},
         {kNone, kFound, kSelected, {}},
         1},
        // Two commands in one write, and one command over two writes.
        {"joined writes", ReplayReader::Match::Order, {kv(kFind, kFind)}, {kv(kNone, kFound)}, 0},
        {"split write",
         ReplayReader::Match::Order,
         {half(kFind, true), half(kFind, false)},
         {{}, kNone},
         0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        ReplayReader reader(script(), c.match);
        std::vector<ReplayReader::Miss> misses;
        reader.setMissHandler([&](const ReplayReader::Miss &m) { misses.push_back(m); });
        for (std::size_t i = 0; i < c.sent.size(); ++i)
            EXPECT_EQ(joined(reader.receive(c.sent[i], 115200)), c.answers[i]) << "write " << i;
        EXPECT_EQ(reader.missed(), c.missed);
        EXPECT_EQ(misses.size(), c.missed);
    }
}

TEST(ReplayReader, SaysWhatItExpectedAndWhatCame) {
    ReplayReader reader(script());
    std::vector<ReplayReader::Miss> misses;
    reader.setMissHandler([&](const ReplayReader::Miss &m) { misses.push_back(m); });
    reader.receive(kStatus, 115200);
    ASSERT_EQ(misses.size(), 1u);
    EXPECT_EQ(misses[0].expected, kFind);
    EXPECT_EQ(misses[0].received, kStatus);
    EXPECT_FALSE(reader.finished());
}

TEST(ReplayReader, KeepsPiecesGapsAndTheLineFailureScaledBySpeed) {
    struct SpeedCase {
        double speed;
        std::vector<long long> delaysUs; // of the second find's two pieces
    };
    const std::vector<SpeedCase> cases = {
        {1, {2000, 500}}, {2, {1000, 250}}, {0.5, {4000, 1000}}, {0, {0, 0}}};
    for (const SpeedCase &c : cases) {
        SCOPED_TRACE(c.speed);
        ReplayReader reader(script(), ReplayReader::Match::Order, c.speed);
        EXPECT_FALSE(reader.receive(kFind, 115200).at(0).disconnect);
        const std::vector<PeerReply> found = reader.receive(kFind, 115200);
        ASSERT_EQ(found.size(), 1u);
        ASSERT_EQ(found[0].segments.size(), 2u);
        EXPECT_EQ(found[0].baud, 57600u);
        for (std::size_t i = 0; i < 2; ++i)
            EXPECT_EQ(found[0].segments[i].delay.count(), c.delaysUs[i]);
        EXPECT_TRUE(reader.receive(kSelect, 115200).at(0).disconnect);
        EXPECT_TRUE(reader.finished());
    }
}

TEST(ReplayReader, ToolOptions) {
    EXPECT_EQ(kav::virt::matchFromName("content"), ReplayReader::Match::Content);
    EXPECT_EQ(kav::virt::matchFromName("order"), ReplayReader::Match::Order);
    EXPECT_FALSE(kav::virt::matchFromName("Content"));
    const std::vector<std::pair<std::string, std::optional<double>>> speeds = {
        {"1", 1.0},         {"0", 0.0},           {"2.5", 2.5},          {"-1", std::nullopt},
        {"", std::nullopt}, {"1x", std::nullopt}, {"nan", std::nullopt}, {"inf", std::nullopt}};
    for (const auto &[text, want] : speeds)
        EXPECT_EQ(kav::virt::speedFromText(text), want) << text;
}

} // namespace
