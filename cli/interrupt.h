// Ctrl-C in the commands that run until told to stop (soak, check --loop):
// the first Ctrl-C asks them to end after the sequence or unit under way;
// the handler then resets, so a second one ends kav at once.
#pragma once

#include <string>

namespace kav::cli {

class InterruptEndsRun {
  public:
    InterruptEndsRun();
    ~InterruptEndsRun();
    InterruptEndsRun(const InterruptEndsRun &) = delete;
    InterruptEndsRun &operator=(const InterruptEndsRun &) = delete;
};

// A path (a file, or a folder and all in it) removed when a signal ends
// kav, as the destructors that would remove it then do not run; the
// holder's own clean-up removes it otherwise.
class RemovedOnSignal {
  public:
    explicit RemovedOnSignal(std::string path);
    ~RemovedOnSignal();
    RemovedOnSignal(const RemovedOnSignal &) = delete;
    RemovedOnSignal &operator=(const RemovedOnSignal &) = delete;

  private:
    std::string path_;
};

// Whether Ctrl-C came since the program started.
bool interruptRequested();

} // namespace kav::cli
