#include "interrupt.h"

namespace kav::cli {
namespace {

volatile std::sig_atomic_t interrupted = 0;

extern "C" void onInterrupt(int) {
    interrupted = 1;
}

} // namespace

InterruptEndsRun::InterruptEndsRun() {
    struct sigaction action {};
    action.sa_handler = onInterrupt;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART | SA_RESETHAND;
    sigaction(SIGINT, &action, &previous_);
}

InterruptEndsRun::~InterruptEndsRun() {
    sigaction(SIGINT, &previous_, nullptr);
}

bool interruptRequested() {
    return interrupted != 0;
}

} // namespace kav::cli
