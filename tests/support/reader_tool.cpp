#include "reader_tool.h"

#include <unistd.h>

#include <atomic>
#include <filesystem>

namespace test {

ToolReader::ToolReader(std::vector<std::string> options) : options_(std::move(options)) {
    static std::atomic<int> serial{0};
    link_ = (std::filesystem::temp_directory_path() /
             ("kav_reader_" + std::to_string(::getpid()) + "_" + std::to_string(serial++)))
                .string();
    start();
}

ToolReader::~ToolReader() {
    stop();
}

Vars ToolReader::devices(int port) const {
    return {{"KAVIDCARD_DEVICES", "defaults=off," + std::to_string(port) + "=" + link_}};
}

void ToolReader::stop(int sig) {
    if (!child_)
        return;
    child_->signal(sig);
    child_->wait();
    child_.reset();
    // A killed tool leaves its link behind; a replugged device's node is
    // missing until it is back.
    std::error_code ignored;
    std::filesystem::remove(link_, ignored);
    pty_.clear();
}

int ToolReader::wait(std::chrono::milliseconds limit) {
    if (!child_)
        return -1;
    const int code = child_->wait(limit);
    child_.reset();
    std::error_code ignored;
    std::filesystem::remove(link_, ignored);
    pty_.clear();
    return code;
}

void ToolReader::start() {
    if (child_)
        return;
    std::vector<std::string> args = options_;
    args.insert(args.end(), {"--link", link_});
    child_ = std::make_unique<Child>(KAV_VIRTUAL_READER_TOOL, std::move(args));
    // The tool prints its pty once it serves it.
    pty_ = child_->started() ? child_->readLine() : std::string();
    if (pty_.empty())
        child_.reset();
}

} // namespace test
