#include "interrupt.h"

#include "platform/system.h"

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <mutex>
#include <vector>

namespace kav::cli {
namespace {

volatile std::sig_atomic_t interrupted = 0;

std::mutex registryMutex;
std::vector<std::string> registry;

void removeRegistered() {
    const std::lock_guard lock(registryMutex);
    for (const std::string &path : registry) {
        // A read under way may still put a file in: try again.
        for (int attempt = 0; attempt < 3; ++attempt) {
            std::error_code ignored;
            std::filesystem::remove_all(std::filesystem::u8path(path), ignored);
            if (!std::filesystem::exists(std::filesystem::u8path(path), ignored))
                break;
        }
    }
}

} // namespace

RemovedOnSignal::RemovedOnSignal(std::string path) : path_(std::move(path)) {
    if (path_.empty())
        return;
    {
        const std::lock_guard lock(registryMutex);
        registry.push_back(path_);
    }
    platform::cleanUpOnEndingSignals(removeRegistered);
}

RemovedOnSignal::~RemovedOnSignal() {
    const std::lock_guard lock(registryMutex);
    const auto found = std::find(registry.begin(), registry.end(), path_);
    if (found != registry.end())
        registry.erase(found);
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
