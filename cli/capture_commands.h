// kav --capture FILE and the commands on capture files.
#pragma once

#include "KavIDCardAPI.h"
#include "output.h"

#include <memory>
#include <string>

namespace kav::cli {

// Records every frame and event of the command into a pcapng file, fed
// from the trace callback; --trace's printing goes through it too.
class CaptureFile {
  public:
    // Empty path: no file, the callback only prints (when print is set).
    // error says why the file could not be begun.
    CaptureFile(const std::string &path, bool redact, bool print, std::string &error);
    ~CaptureFile();
    static void KAV_CALL onEvent(const KavTraceEvent *event, void *self);
    // After the callback is removed: false when the file could not take it all.
    bool finish();

  private:
    struct State;
    std::unique_ptr<State> state_;
};

// capture-convert: a text trace (or pcapng) written as pcapng.
int runCaptureConvert(const Output &out, const std::string &in, const std::string &outPath);
// capture-redact: the same kind out as in, the holder's fields replaced.
int runCaptureRedact(const Output &out, const std::string &in, const std::string &outPath);

} // namespace kav::cli
