// Ctrl-C in the commands that run until told to stop (soak, check --loop):
// the first Ctrl-C asks them to end after the sequence or unit under way;
// the handler then resets, so a second one ends kav at once.
#pragma once

namespace kav::cli {

class InterruptEndsRun {
  public:
    InterruptEndsRun();
    ~InterruptEndsRun();
    InterruptEndsRun(const InterruptEndsRun &) = delete;
    InterruptEndsRun &operator=(const InterruptEndsRun &) = delete;
};

// Whether Ctrl-C came since the program started.
bool interruptRequested();

} // namespace kav::cli
