// kav --capture, capture-convert and capture-redact end to end: the built
// binary against the virtual reader, the files read back with the capture
// reader and, where it is installed, with tshark.
#include "capture/capture.h"
#include "codepage936.h"
#include "process.h"
#include "protocol/protocol.h"
#include "reader_tool.h"
#include "required_part.h"
#include "test_files.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

namespace {

namespace fs = std::filesystem;
using kav::capture::Capture;
using kav::capture::Direction;
using kav::capture::Record;
using Kind = Record::Kind;

const test::Vars kInProcess{{"KAVIDCARD_DEVICES", "defaults=off,1=virtual"}};

// The sample card's holder, as the virtual reader serves it.
const std::string kName = "林晓航";
const std::string kIdNumber = "990102198805120135";

test::Outcome kav(std::vector<std::string> args, test::Vars vars = kInProcess) {
    return test::run(KAV_CLI, std::move(args), vars);
}

std::string bytesText(const fs::path &path) {
    const auto b = test::readFile(path);
    return std::string(b.begin(), b.end());
}

std::string ucs2(const std::string &utf8) {
    std::string out;
    for (std::size_t i = 0; i < utf8.size();) {
        const auto c = static_cast<unsigned char>(utf8[i]);
        char32_t v = c;
        std::size_t n = 1;
        if (c >= 0xE0)
            v = (c & 0x0F) << 12 | (utf8[i + 1] & 0x3F) << 6 | (utf8[i + 2] & 0x3F), n = 3;
        else if (c >= 0xC0)
            v = (c & 0x1F) << 6 | (utf8[i + 1] & 0x3F), n = 2;
        out += static_cast<char>(v & 0xFF);
        out += static_cast<char>(v >> 8);
        i += n;
    }
    return out;
}

// Every form the holder's name and number could take in a file.
void expectNoHolder(const std::string &file) {
    const std::string forms[] = {ucs2(kName), *kav::cp936::fromUtf8(kName), kName, ucs2(kIdNumber),
                                 kIdNumber};
    for (const std::string &form : forms)
        EXPECT_EQ(file.find(form), std::string::npos) << "a form of the holder's data remains";
}

const Record *readAnswer(const Capture &c) {
    for (const Record &r : c.records)
        if (r.kind == Kind::Frame && r.direction == Direction::FromReader &&
            r.bytes.size() == kav::proto::kHeaderSize + 3 + kav::proto::kReadDataSize + 1)
            return &r;
    return nullptr;
}

TEST(KavCapture, ReadCapturedAndReadBack) {
    test::TempFolder folder;
    const fs::path file = folder.path() / "read.pcapng";
    const auto run =
        kav({"--capture", file.string(), "read", "--photo-dir", folder.path().string()});
    ASSERT_EQ(run.exit, 0) << run.err;
    const Capture c = kav::capture::readCapture(file.string());
    ASSERT_EQ(c.ports.size(), 1u);
    EXPECT_EQ(c.ports[0].name, "virtual@1");
    std::vector<std::uint8_t> commands; // CMD of each frame sent
    int answers = 0;
    bool sawReadCall = false;
    for (const Record &r : c.records) {
        if (r.kind == Kind::Event) {
            sawReadCall = sawReadCall || r.text.starts_with("Kav_ReadMsg(1");
            continue;
        }
        EXPECT_EQ(r.port, 0u);
        ASSERT_EQ(r.kind, Kind::Frame) << r.text;
        EXPECT_TRUE(kav::capture::isWholeFrame(r.bytes));
        if (r.direction == Direction::ToReader)
            commands.push_back(r.bytes[7]);
        else
            ++answers;
    }
    EXPECT_TRUE(sawReadCall);
    EXPECT_EQ(static_cast<std::size_t>(answers), commands.size());
    // status, RF bytes, find, select, read, each answered in turn.
    EXPECT_EQ(commands, (std::vector<std::uint8_t>{0x11, 0x61, 0x20, 0x20, 0x30}));
    ASSERT_NE(readAnswer(c), nullptr);
    const std::string bytes = bytesText(file);
    EXPECT_NE(bytes.find(ucs2(kName)), std::string::npos) << "unredacted capture holds the name";
}

TEST(KavCapture, PcapngReadsInTshark) {
    KAV_REQUIRE_PART(fs::exists("/usr/bin/tshark"), "tshark is not installed");
    test::TempFolder folder;
    const fs::path file = folder.path() / "read.pcapng";
    ASSERT_EQ(kav({"--capture", file.string(), "read", "--photo-dir", folder.path().string()}).exit,
              0);
    const auto shark = test::run("/usr/bin/tshark",
                                 {"-r", file.string(), "-T", "fields", "-e", "frame.len", "-e",
                                  "frame.packet_flags_direction"},
                                 {});
    ASSERT_EQ(shark.exit, 0) << shark.err;
    const Capture c = kav::capture::readCapture(file.string());
    std::ostringstream expected;
    for (const Record &r : c.records) {
        expected << (r.kind == Kind::Event ? r.text.size() : r.bytes.size() + r.withheld) << '\t';
        if (r.kind != Kind::Event)
            expected << (r.direction == Direction::ToReader ? "0x00000002" : "0x00000001");
        expected << '\n';
    }
    EXPECT_EQ(shark.out, expected.str());
}

// A soak on a line with faults, traced to a file: the converted capture has
// every frame line of the trace, the broken ones as noise with their words.
TEST(KavCapture, TraceWithFaultsConverts) {
    test::ToolReader tool({"--fault", "bad-checksum", "--fault", "noise", "--every", "5"});
    ASSERT_FALSE(tool.path().empty());
    test::TempFolder folder;
    const fs::path trace = folder.path() / "trace.txt", out = folder.path() / "trace.pcapng";
    test::Vars vars = tool.devices();
    vars["KAVIDCARD_TRACE"] = trace.string();
    ASSERT_EQ(kav({"soak", "--count", "3", "--photo-dir", folder.path().string()}, vars).exit, 0);
    const auto convert = kav({"capture-convert", trace.string(), out.string()});
    ASSERT_EQ(convert.exit, 0) << convert.out << convert.err;
    const Capture c = kav::capture::readCapture(out.string());
    std::istringstream lines(bytesText(trace));
    std::size_t frameLines = 0, lineCount = 0;
    for (std::string line; std::getline(lines, line); ++lineCount)
        frameLines +=
            line.find(" >> ") != std::string::npos || line.find(" << ") != std::string::npos;
    std::size_t packets = 0, broken = 0;
    for (const Record &r : c.records) {
        packets += r.kind != Kind::Event;
        if (r.kind == Kind::Noise) {
            ++broken;
            EXPECT_FALSE(r.text.empty());
        }
    }
    EXPECT_EQ(c.records.size(), lineCount);
    EXPECT_EQ(packets, frameLines);
    EXPECT_GE(broken, 2u);
    ASSERT_EQ(c.ports.size(), 1u);
    EXPECT_EQ(c.ports[0].name, tool.path());
    EXPECT_EQ(c.ports[0].description, "115200 8N1");
}

std::uint8_t byteChecksum(const std::vector<std::uint8_t> &f) {
    return kav::proto::checksum(std::span(f).subspan(5, f.size() - 6));
}

// Redaction, of each kind of file: nothing of the holder remains; every
// packet keeps its length, time and direction, and its checksum stays right
// or wrong as it was.
TEST(KavCapture, RedactionLeavesNoHolderAndKeepsFaults) {
    test::TempFolder folder;
    const fs::path photos = folder.path();
    const fs::path trace = folder.path() / "trace.txt", pcap = folder.path() / "read.pcapng";
    test::Vars vars = kInProcess;
    vars["KAVIDCARD_TRACE"] = trace.string();
    // The photo named after the holder: their name is in the trace's texts.
    ASSERT_EQ(kav({"--capture", pcap.string(), "read", "--photo-dir", photos.string(),
                   "--photo-name", "name-id"},
                  vars)
                  .exit,
              0);
    // A broken copy of the read answer: bad checksum, whole, and one cut short.
    Capture c = kav::capture::readCapture(pcap.string());
    const Record *answer = readAnswer(c);
    ASSERT_NE(answer, nullptr);
    Record bad = *answer, cut = *answer;
    bad.kind = cut.kind = Kind::Noise;
    bad.bytes.back() ^= 0x21;
    cut.bytes.resize(32);
    c.records.push_back(c.records[std::size_t(answer - c.records.data()) - 1]); // the command again
    c.records.push_back(bad);
    c.records.push_back(cut);
    const fs::path faulty = folder.path() / "faulty.pcapng";
    {
        std::ofstream f(faulty, std::ios::binary);
        kav::capture::writePcapng(c, f);
    }
    struct Case {
        const char *what;
        fs::path in;
    };
    const Case cases[] = {{"pcapng", faulty}, {"text trace", trace}};
    for (const Case &k : cases) {
        SCOPED_TRACE(k.what);
        ASSERT_NE(bytesText(k.in).find(k.in == trace ? kName : ucs2(kName)), std::string::npos);
        const fs::path out = folder.path() / (std::string("redacted-") + k.in.filename().string());
        const auto run = kav({"capture-redact", k.in.string(), out.string()});
        ASSERT_EQ(run.exit, 0) << run.out << run.err;
        expectNoHolder(bytesText(out));
        EXPECT_EQ(kav::capture::isPcapng(test::readFile(out)), k.in == faulty);
        const Capture before = kav::capture::readCapture(k.in.string());
        const Capture after = kav::capture::readCapture(out.string());
        ASSERT_EQ(after.records.size(), before.records.size());
        std::size_t changed = 0;
        for (std::size_t i = 0; i < before.records.size(); ++i) {
            const Record &b = before.records[i], &a = after.records[i];
            EXPECT_EQ(a.timeNs, b.timeNs);
            EXPECT_EQ(a.kind, b.kind);
            if (b.kind == Kind::Event)
                continue;
            EXPECT_EQ(a.direction, b.direction);
            ASSERT_EQ(a.bytes.size(), b.bytes.size());
            if (a.bytes == b.bytes)
                continue;
            ++changed;
            // Header and status kept; the checksum's error, if any, the same.
            EXPECT_TRUE(std::equal(b.bytes.begin(), b.bytes.begin() + 14, a.bytes.begin()));
            if (b.bytes.size() > 32) {
                EXPECT_EQ(byteChecksum(a.bytes) ^ a.bytes.back(),
                          byteChecksum(b.bytes) ^ b.bytes.back());
            }
        }
        EXPECT_EQ(changed, k.in == faulty ? 3u : 1u);
    }
}

TEST(KavCapture, RedactedCaptureNeverHoldsTheHolder) {
    test::TempFolder folder;
    const fs::path file = folder.path() / "read.pcapng";
    const auto run = kav({"--capture", file.string(), "--redact", "read", "--photo-dir",
                          folder.path().string(), "--photo-name", "name-id"});
    ASSERT_EQ(run.exit, 0) << run.err;
    expectNoHolder(bytesText(file));
    const Capture c = kav::capture::readCapture(file.string());
    const Record *answer = readAnswer(c);
    ASSERT_NE(answer, nullptr);
    EXPECT_TRUE(kav::capture::isWholeFrame(answer->bytes));
    EXPECT_TRUE(kav::proto::decodeResponse(answer->bytes).has_value());
}

// The appended address: replaced in the answer that carries it, whether
// redacted afterwards or never written.
TEST(KavCapture, AppendedAddressIsRedacted) {
    test::TempFolder folder;
    const std::string address = "云岭省青石市北山区松柏街七号";
    std::ifstream sample(std::string(KAV_CARDS_DIR) + "/ordinary.json");
    std::stringstream text;
    text << sample.rdbuf();
    std::string card = text.str();
    const std::size_t brace = card.rfind('}');
    ASSERT_NE(brace, std::string::npos);
    card.insert(brace, ", \"appendedAddresses\": [\"" + address + "\"]\n");
    const fs::path cardFile = folder.path() / "card.json";
    std::ofstream(cardFile) << card;
    const test::Vars vars{{"KAVIDCARD_DEVICES", "defaults=off,1=virtual:" + cardFile.string()}};
    const fs::path plain = folder.path() / "plain.pcapng", never = folder.path() / "never.pcapng",
                   after = folder.path() / "after.pcapng";
    ASSERT_EQ(kav({"--capture", plain.string(), "address"}, vars).exit, 0);
    ASSERT_EQ(kav({"--capture", never.string(), "--redact", "address"}, vars).exit, 0);
    ASSERT_EQ(kav({"capture-redact", plain.string(), after.string()}).exit, 0);
    ASSERT_NE(bytesText(plain).find(ucs2(address)), std::string::npos);
    for (const fs::path &file : {never, after}) {
        SCOPED_TRACE(file.filename().string());
        EXPECT_EQ(bytesText(file).find(ucs2(address)), std::string::npos);
        const Capture c = kav::capture::readCapture(file.string());
        std::size_t whole = 0;
        for (const Record &r : c.records)
            whole += r.kind == Kind::Frame && r.direction == Direction::FromReader &&
                     r.bytes.size() > 12 + ucs2(address).size() &&
                     kav::capture::isWholeFrame(r.bytes);
        EXPECT_GE(whole, 1u);
    }
}

TEST(KavCapture, BadFilesAreRefused) {
    test::TempFolder folder;
    const fs::path junk = folder.path() / "junk", out = folder.path() / "out";
    std::ofstream(junk) << "no capture here\n";
    for (const char *command : {"capture-convert", "capture-redact"}) {
        SCOPED_TRACE(command);
        const auto run = kav({command, junk.string(), out.string()});
        EXPECT_NE(run.exit, 0);
        EXPECT_NE(run.out.find("offset 0"), std::string::npos) << run.out;
        EXPECT_FALSE(fs::exists(out));
    }
    EXPECT_EQ(kav({"--redact", "read"}).exit, 1);
}

} // namespace
