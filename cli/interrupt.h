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

// While one lives, Ctrl-C or SIGTERM first removes the file at `path` (a
// temporary one kav is writing), then ends kav as the signal would.
class RemoveOnSignal {
  public:
    explicit RemoveOnSignal(const std::string &path);
    ~RemoveOnSignal();
    RemoveOnSignal(const RemoveOnSignal &) = delete;
    RemoveOnSignal &operator=(const RemoveOnSignal &) = delete;
};

// Whether Ctrl-C came since the program started.
bool interruptRequested();

} // namespace kav::cli
