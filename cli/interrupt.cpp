#include "interrupt.h"

#include "platform/system.h"

#include <csignal>
#include <cstring>

#ifdef _WIN32
#include <io.h>
#define KAV_UNLINK _unlink
#else
#include <unistd.h>
#define KAV_UNLINK ::unlink
#endif

namespace kav::cli {
namespace {

volatile std::sig_atomic_t interrupted = 0;

// The path to remove, in storage a signal handler may read.
char removePath[4096];
void (*previousInt)(int) = SIG_DFL;
void (*previousTerm)(int) = SIG_DFL;

extern "C" void removeThenEnd(int signal) {
    KAV_UNLINK(removePath);
    std::signal(signal, SIG_DFL);
    std::raise(signal);
}

} // namespace

RemoveOnSignal::RemoveOnSignal(const std::string &path) {
    if (path.size() >= sizeof removePath)
        return;
    std::memcpy(removePath, path.c_str(), path.size() + 1);
    previousInt = std::signal(SIGINT, removeThenEnd);
    previousTerm = std::signal(SIGTERM, removeThenEnd);
}

RemoveOnSignal::~RemoveOnSignal() {
    std::signal(SIGINT, previousInt == SIG_ERR ? SIG_DFL : previousInt);
    std::signal(SIGTERM, previousTerm == SIG_ERR ? SIG_DFL : previousTerm);
    removePath[0] = '\0';
}

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
