// The Wireshark dissector, run by Debian's tshark on captures of a read, of
// a noisy soak and of garbled frames: its fields match the committed
// listings, and a garbled frame gets expert notes, never a Lua error.
#include "capture/capture.h"
#include "process.h"
#include "protocol/protocol.h"
#include "reader_tool.h"
#include "required_part.h"
#include "test_files.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

const char *kTshark = "/usr/bin/tshark";

std::string fileText(const fs::path &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

void writeCapture(const kav::capture::Capture &capture, const fs::path &path) {
    std::ofstream out(path, std::ios::binary);
    kav::capture::writePcapng(capture, out);
}

test::Outcome tshark(const fs::path &file, std::vector<std::string> more) {
    std::vector<std::string> args = {"-X", "lua_script:" KAV_DISSECTOR, "-r", file.string()};
    args.insert(args.end(), more.begin(), more.end());
    return test::run(kTshark, args, {}, std::chrono::seconds{60});
}

// What the dissector says of each frame, without times, paths, events or
// the capture's own comments.
std::string fieldListing(const fs::path &file) {
    std::vector<std::string> args = {"-Y", "kav", "-T", "fields", "-E", "separator=|"};
    for (const char *field :
         {"kav.direction", "kav.length", "kav.command", "kav.para", "kav.status.name",
          "kav.checksum.status", "kav.text.name", "kav.text.sex", "kav.text.born", "kav.text.id",
          "kav.text.valid_until", "kav.photo_length"})
        args.insert(args.end(), {"-e", field});
    const test::Outcome run = tshark(file, args);
    EXPECT_EQ(run.exit, 0) << run.err;
    EXPECT_EQ(run.err.find("Lua"), std::string::npos) << run.err;
    return run.out;
}

// A golden listing; KAV_UPDATE_GOLDEN=1 writes it anew from what came.
void expectGolden(const std::string &listing, const char *name) {
    const fs::path golden = fs::path(KAV_GOLDEN_DIR) / name;
    if (std::getenv("KAV_UPDATE_GOLDEN") != nullptr)
        std::ofstream(golden, std::ios::binary) << listing;
    EXPECT_EQ(listing, fileText(golden)) << golden;
}

struct Recorded {
    const char *name;
    std::vector<std::string> tool; // the reader's faults
    std::vector<std::string> kav;
};

TEST(Dissector, ReadAndNoisySoakMatchTheirListings) {
    KAV_REQUIRE_PART(fs::exists(kTshark), "tshark is needed to run the dissector");
    const std::vector<Recorded> cases = {
        {"read.fields", {}, {"read", "--json"}},
        {"noisy_soak.fields",
         {"--fault", "bad-checksum", "--fault", "noise", "--every", "5"},
         {"soak", "--count", "3", "--json"}},
    };
    for (const Recorded &c : cases) {
        SCOPED_TRACE(c.name);
        test::TempFolder folder;
        const fs::path trace = folder.path() / "trace";
        {
            test::ToolReader reader(c.tool);
            ASSERT_FALSE(reader.path().empty());
            test::Vars vars = reader.devices();
            vars["KAVIDCARD_TRACE"] = trace.string();
            std::vector<std::string> args = c.kav;
            args.insert(args.end(), {"--photo-dir", folder.path().string()});
            const test::Outcome run = test::run(KAV_CLI, args, vars);
            ASSERT_EQ(run.exit, 0) << run.out << run.err;
        }
        const fs::path pcapng = folder.path() / "capture.pcapng";
        writeCapture(kav::capture::readCapture(trace.string()), pcapng);
        expectGolden(fieldListing(pcapng), c.name);
    }
}

Bytes withChecksum(Bytes frame, int delta) {
    frame.back() = static_cast<std::uint8_t>(frame.back() + delta);
    return frame;
}

TEST(Dissector, GarbledFramesGetExpertNotesNeverALuaError) {
    KAV_REQUIRE_PART(fs::exists(kTshark), "tshark is needed to run the dissector");
    using kav::capture::Direction;
    using kav::capture::Record;
    namespace proto = kav::proto;
    const Bytes status = proto::encodeResponse(0, 0, 0x90);
    const Bytes find = proto::encodeCommand(proto::kFindCard);
    struct Garbled {
        Direction direction;
        Bytes bytes;
        const char *note; // the expert note it must get
    };
    const std::vector<Garbled> cases = {
        {Direction::FromReader, withChecksum(status, 1), "does not hold"},
        {Direction::ToReader, withChecksum(find, 3), "does not hold"},
        {Direction::FromReader, {0xAA, 0xAA, 0xAA}, "Frame cut short"},
        {Direction::FromReader, Bytes(status.begin(), status.begin() + 8), "Frame cut short"},
        {Direction::FromReader,
         {0xAA, 0xAA, 0xAA, 0x96, 0x69, 0xFF, 0xFF, 0x00},
         "Frame cut short"},
        {Direction::ToReader, {0xAA, 0xAA, 0xAA, 0x96, 0x69, 0x00, 0x00}, "Frame cut short"},
        {Direction::FromReader, {0x55, 0x01, 0x02}, "No preamble"},
        {Direction::FromReader, {0xAA}, "Frame cut short"},
        // A length one short of the bytes: the rest is no part of the frame.
        {Direction::FromReader,
         [&] {
             Bytes b = status;
             b.push_back(0);
             return b;
         }(),
         "Length does not match"},
    };
    kav::capture::Capture capture;
    capture.ports.push_back({"/dev/ttyUSB0", "115200 8N1"});
    std::int64_t t = 1'700'000'000'000'000'000;
    for (const Garbled &g : cases) {
        Record r;
        r.kind = Record::Kind::Noise;
        r.port = 0;
        r.timeNs = t += 1'000'000;
        r.direction = g.direction;
        r.bytes = g.bytes;
        capture.records.push_back(r);
    }
    test::TempFolder folder;
    const fs::path pcapng = folder.path() / "garbled.pcapng";
    writeCapture(capture, pcapng);
    const test::Outcome run = tshark(pcapng, {"-T", "fields", "-E", "separator=|", "-e",
                                              "frame.number", "-e", "_ws.expert.message"});
    ASSERT_EQ(run.exit, 0) << run.err;
    EXPECT_EQ(run.err.find("Lua"), std::string::npos) << run.err;
    std::istringstream lines(run.out);
    std::string line;
    std::size_t n = 0;
    while (std::getline(lines, line)) {
        ASSERT_LT(n, cases.size()) << run.out;
        SCOPED_TRACE(line);
        EXPECT_NE(line.find(cases[n].note), std::string::npos) << "packet " << n + 1;
        ++n;
    }
    EXPECT_EQ(n, cases.size()) << run.out;
}

} // namespace
