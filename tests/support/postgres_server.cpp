#include "postgres_server.h"

#include "network_server.h"
#include "process.h"

#include <fstream>
#include <random>
#include <sstream>

#include <stdlib.h>
#include <unistd.h>

namespace test {

namespace {

constexpr const char *kUnprivileged = "nobody";

std::string readAll(const std::filesystem::path &path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

std::string randomPassword() {
    std::random_device rd;
    std::mt19937_64 gen(rd());
    static const char *alphabet = "abcdefghijkmnpqrstuvwxyzACDEFGHJKLMNPQRTUVWXY3479";
    std::string p = "Pw";
    for (int i = 0; i < 18; ++i)
        p += alphabet[gen() % 48];
    return p;
}

} // namespace

std::string postgresBinaries() {
    for (const char *dir : {"/usr/lib/postgresql/15/bin", "/usr/lib/postgresql/16/bin"}) {
        std::error_code ec;
        if (std::filesystem::exists(std::filesystem::path(dir) / "pg_ctl", ec) &&
            std::filesystem::exists(std::filesystem::path(dir) / "initdb", ec))
            return dir;
    }
    return {};
}

bool PostgresServer::runTool(const std::string &tool, const std::vector<std::string> &args) {
    const std::string program = postgresBinaries() + "/" + tool;
    // In the cluster's folder, as nobody when we are root.
    std::vector<std::string> command;
    std::string launcher = "/bin/sh";
    if (::geteuid() == 0) {
        launcher = "/usr/bin/setpriv";
        command = {"--reuid=" + std::string(kUnprivileged), "--regid=nogroup", "--clear-groups",
                   "/bin/sh"};
    }
    command.insert(command.end(), {"-c", "cd \"$0\" && exec \"$@\"", folder_.string(), program});
    command.insert(command.end(), args.begin(), args.end());
    const Outcome o = run(launcher, command, {{"HOME", folder_.string()}, {"LC_ALL", "C"}},
                          std::chrono::seconds{60});
    if (o.exit != 0) {
        error_ = tool + " failed (" + std::to_string(o.exit) + "): " + o.out + o.err +
                 readAll(folder_ / "server.log");
        return false;
    }
    return true;
}

PostgresServer::PostgresServer() : password_(randomPassword()) {
    if (postgresBinaries().empty()) {
        error_ = "PostgreSQL is not installed";
        return;
    }
    std::string pattern = (std::filesystem::temp_directory_path() / "kav_pg_XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {
        error_ = "no temporary folder";
        return;
    }
    folder_ = pattern;
    std::filesystem::permissions(folder_, std::filesystem::perms::owner_all |
                                              std::filesystem::perms::group_exec |
                                              std::filesystem::perms::others_exec);
    {
        std::ofstream pw(folder_ / "pwfile");
        pw << password_ << "\n";
    }
    if (::geteuid() == 0) {
        // The server's own user must own its folder.
        const Outcome o =
            run("/bin/chown", {"-R", std::string(kUnprivileged) + ":nogroup", folder_.string()});
        if (o.exit != 0) {
            error_ = "chown: " + o.err;
            return;
        }
    }
    if (!runTool("initdb", {"-D", "data", "-U", kUser, "--auth=scram-sha-256", "--pwfile=pwfile",
                            "-E", "UTF8", "--locale=C", "--no-sync", "--no-instructions"}))
        return;
    port_ = freePort();
    {
        std::ofstream conf(folder_ / "data" / "postgresql.conf", std::ios::app);
        conf << "port = " << port_ << "\n"
             << "unix_socket_directories = '" << folder_.string() << "'\n"
             << "listen_addresses = '127.0.0.1'\n"
             // A test's cluster need not survive a power cut.
             << "fsync = off\nfull_page_writes = off\n"
             << "max_connections = 60\n";
    }
    start();
}

PostgresServer::~PostgresServer() {
    if (running_)
        runTool("pg_ctl", {"-D", "data", "-m", "immediate", "-w", "stop"});
    if (!folder_.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(folder_, ignored);
    }
}

bool PostgresServer::start() {
    if (folder_.empty())
        return false;
    running_ = runTool("pg_ctl", {"-D", "data", "-l", "server.log", "-w", "-t", "30", "start"});
    return running_;
}

bool PostgresServer::stop() {
    if (!running_)
        return true;
    running_ = !runTool("pg_ctl", {"-D", "data", "-m", "fast", "-w", "-t", "30", "stop"});
    return !running_;
}

std::string PostgresServer::uri(const std::string &database) const {
    return uri(kUser, password_, database);
}

std::string PostgresServer::uri(const std::string &user, const std::string &password,
                                const std::string &database) const {
    return "postgresql://" + user + (password.empty() ? "" : ":" + password) + "@/" + database +
           "?host=" + folder_.string() + "&port=" + std::to_string(port_);
}

std::string PostgresServer::tcpUri(const std::string &database) const {
    return "postgresql://" + std::string(kUser) + ":" + password_ +
           "@127.0.0.1:" + std::to_string(port_) + "/" + database;
}

} // namespace test
