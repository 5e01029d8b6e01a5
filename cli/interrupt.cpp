#include "interrupt.h"

#include "platform/system.h"

#include <csignal>

namespace kav::cli {
namespace {

volatile std::sig_atomic_t interrupted = 0;

} // namespace

InterruptEndsRun::InterruptEndsRun() {
    platform::catchFirstInterrupt(&interrupted);
}

InterruptEndsRun::~InterruptEndsRun() {
    platform::restoreInterrupt();
}

bool interruptRequested() {
    return interrupted != 0;
}

} // namespace kav::cli
