#include "capture_commands.h"

#include "capture/capture.h"
#include "capture/redact.h"
#include "capture/trace_recorder.h"
#include "exit_codes.h"
#include "trace_format.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace kav::cli {

struct CaptureFile::State {
    std::ofstream file;
    std::unique_ptr<capture::PcapngWriter> writer;
    std::unique_ptr<capture::TraceRecorder> recorder;
    bool print = false;
    bool failed = false;
};

CaptureFile::CaptureFile(const std::string &path, bool redact, bool print, std::string &error)
    : state_(std::make_unique<State>()) {
    state_->print = print;
    if (path.empty())
        return;
    state_->file.open(std::filesystem::u8path(path), std::ios::binary | std::ios::trunc);
    if (!state_->file) {
        error = path + ": cannot be written";
        return;
    }
    state_->writer = std::make_unique<capture::PcapngWriter>(state_->file);
    state_->recorder = std::make_unique<capture::TraceRecorder>(*state_->writer, redact);
}

CaptureFile::~CaptureFile() = default;

void KAV_CALL CaptureFile::onEvent(const KavTraceEvent *event, void *self) {
    State &s = *static_cast<CaptureFile *>(self)->state_;
    if (s.print) {
        const std::string line = kav::host::traceLine(kav::host::traceRow(*event)) + "\n";
        std::fwrite(line.data(), 1, line.size(), stderr);
    }
    if (s.recorder && !s.failed) {
        try {
            s.recorder->add(*event);
        } catch (const std::exception &) {
            s.failed = true; // the command goes on; finish() says the file is short
        }
        if (!s.file.good())
            s.failed = true;
    }
}

bool CaptureFile::finish() {
    if (!state_->writer)
        return true;
    state_->file.flush();
    state_->file.close();
    return !state_->failed && !state_->file.fail();
}

namespace {

// Written beside the target and renamed over it: a failed write never
// leaves half a file under the name asked for.
bool writeWhole(const std::string &path, const std::string &bytes) {
    const std::filesystem::path target = std::filesystem::u8path(path);
    std::filesystem::path partial = target;
    partial += ".partial";
    {
        std::ofstream f(partial, std::ios::binary | std::ios::trunc);
        f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        f.close();
        if (f.fail()) {
            std::error_code ignored;
            std::filesystem::remove(partial, ignored);
            return false;
        }
    }
    std::error_code error;
    std::filesystem::rename(partial, target, error);
    return !error;
}

int fileFailure(const Output &out, const std::string &what) {
    return out.result(Json{{"error", what}}, what, kExitOther);
}

std::string fileText(const std::string &path, bool &ok) {
    std::ifstream f(std::filesystem::u8path(path), std::ios::binary);
    std::ostringstream s;
    s << f.rdbuf();
    ok = static_cast<bool>(f) || f.eof();
    return s.str();
}

} // namespace

int runCaptureConvert(const Output &out, const std::string &in, const std::string &outPath) {
    try {
        const capture::Capture c = capture::readCapture(in);
        std::ostringstream s;
        capture::writePcapng(c, s);
        if (!writeWhole(outPath, s.str()))
            return fileFailure(out, outPath + ": cannot be written");
        return out.result(Json{{"records", c.records.size()}, {"ports", c.ports.size()}},
                          std::to_string(c.records.size()) + " records of " +
                              std::to_string(c.ports.size()) + " ports written to " + outPath,
                          kExitOk);
    } catch (const capture::CaptureError &e) {
        return fileFailure(out, in + ": " + e.what());
    }
}

int runCaptureRedact(const Output &out, const std::string &in, const std::string &outPath) {
    try {
        bool ok = false;
        const std::string bytes = fileText(in, ok);
        if (!ok)
            return fileFailure(out, in + ": cannot be read");
        std::string redacted;
        std::size_t records = 0;
        if (capture::isPcapng(
                std::span(reinterpret_cast<const std::uint8_t *>(bytes.data()), bytes.size()))) {
            capture::Capture c = capture::readCapture(in);
            capture::redact(c);
            std::ostringstream s;
            capture::writePcapng(c, s);
            redacted = s.str();
            records = c.records.size();
        } else {
            // Refuse what is no trace before writing anything.
            records = capture::readTextTrace(bytes).records.size();
            redacted = capture::redactTextTrace(bytes);
        }
        if (!writeWhole(outPath, redacted))
            return fileFailure(out, outPath + ": cannot be written");
        return out.result(Json{{"records", records}},
                          std::to_string(records) + " records redacted into " + outPath, kExitOk);
    } catch (const capture::CaptureError &e) {
        return fileFailure(out, in + ": " + e.what());
    }
}

} // namespace kav::cli
