// kav: the reader on the command line, for scripts, ssh sessions and soak
// tests. It uses only the library's public C interface, so it drives any
// library that exports it.
#include "KavIDCardAPI.h"
#include "capture_commands.h"
#include "check_run.h"
#include "codepage936.h"
#include "commands.h"
#include "exit_codes.h"
#include "host/version.h"
#include "optional_exports.h"
#include "output.h"
#include "platform/system.h"
#include "port_set.h"
#include "station/report.h"
#include "trace_format.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <iostream>
#include <map>
#include <memory>
#include <string>

namespace {

using namespace kav::cli;

constexpr const char *kExitCodesHelp =
    "Exit status:\n"
    "  0  success\n"
    "  1  bad usage (nothing was sent to any port)\n"
    "  2  no reader found, or no device behind the port\n"
    "  3  permission denied, or the port is busy\n"
    "  4  link failure: I/O error, timeout, bad frame, unexpected answer\n"
    "  5  the SAM or the card refused (a status byte, e.g. 128: no card)\n"
    "  6  the photo could not be written\n"
    "  7  anything else\n"
    "  8  standard output could not be written (closed, disk full)\n"
    "  9  check: a unit failed its plan\n"
    " 10  check, results: the results database could not be used or written\n"
    " 11  check: Ctrl+C stopped a unit's check (recorded ABORTED)\n"
    "check: a unit it could not check (ERROR) exits with its failure's class (2-7)\n"
    "soak exits 0 when every read succeeded, else with the class of its most\n"
    "frequent failure (of equally frequent ones, the first to get there).\n"
    "Environment: KAVIDCARD_DEVICES maps ports to devices, KAVIDCARD_TRACE names\n"
    "a trace file (both read by the library; see kav(1)).";

// Help as the tools technicians know print it: a short usage line, each
// option with a metavar (PORT, FILE) and nothing of CLI11's own types.
class HelpFormat : public CLI::Formatter {
  public:
    HelpFormat() {
        label("Subcommands", "Commands");
        column_width(28);
    }
    std::string make_usage(const CLI::App *app, std::string) const override {
        if (app->get_parent() == nullptr)
            return "Usage: kav [OPTIONS] COMMAND [COMMAND OPTIONS]\n";
        std::string line = "Usage: kav [OPTIONS] " + app->get_name();
        const CLI::Option *help = app->get_help_ptr();
        if (!app->get_options(
                    [help](const CLI::Option *o) { return o->nonpositional() && o != help; })
                 .empty())
            line += " [COMMAND OPTIONS]";
        for (const CLI::Option *o :
             app->get_options([](const CLI::Option *o) { return o->get_positional(); }))
            line += " " + o->get_name();
        return line + "\n";
    }
    std::string make_option_opts(const CLI::Option *option) const override {
        // A flag: its type has no name.
        if (option->get_type_name().empty())
            return {};
        if (!option->get_option_text().empty())
            return " " + option->get_option_text();
        // CLI11 names the type and its checks ("TEXT:PORTS"): the check's
        // name is what the value is.
        const std::string type = option->get_type_name();
        const std::size_t colon = type.find(':');
        if (colon != std::string::npos)
            return " " + type.substr(colon + 1);
        if (type == "INT" || type == "UINT")
            return " N";
        std::string name = option->get_name(false, true);
        name.erase(0, name.find_first_not_of('-'));
        for (char &c : name)
            c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        return " " + name;
    }
};

// Edits that turn one word into the other.
std::size_t editDistance(const std::string &a, const std::string &b) {
    std::vector<std::vector<std::size_t>> d(a.size() + 1, std::vector<std::size_t>(b.size() + 1));
    for (std::size_t i = 0; i <= a.size(); ++i)
        d[i][0] = i;
    for (std::size_t j = 0; j <= b.size(); ++j)
        d[0][j] = j;
    for (std::size_t i = 1; i <= a.size(); ++i)
        for (std::size_t j = 1; j <= b.size(); ++j) {
            d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1,
                                d[i - 1][j - 1] + (a[i - 1] != b[j - 1] ? 1 : 0)});
            // Two letters swapped are one slip.
            if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1])
                d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
        }
    return d[a.size()][b.size()];
}

// "; did you mean read?" for a word near one of `names` (a slip of a
// letter or two, or a swap), else nothing.
std::string didYouMean(const std::string &word, const std::vector<std::string> &names) {
    std::string best;
    std::size_t bestDistance = 3;
    for (const std::string &name : names) {
        const std::size_t d = editDistance(word, name);
        if (d < bestDistance && d <= std::max<std::size_t>(name.size() / 3, 1)) {
            best = name;
            bestDistance = d;
        }
    }
    return best.empty() ? std::string() : "; did you mean " + best + "?";
}

// Every long and short name of the options `app` takes.
std::vector<std::string> optionNames(const CLI::App &app) {
    std::vector<std::string> names;
    for (const CLI::Option *o : app.get_options()) {
        for (const std::string &n : o->get_lnames())
            names.push_back("--" + n);
        for (const std::string &n : o->get_snames())
            names.push_back("-" + n);
    }
    return names;
}

// Checks on the arguments, before anything reaches a port. CLI11 puts the
// option's name in front of each message.
CLI::Validator portList() {
    return CLI::Validator(
        [](const std::string &value) -> std::string {
            std::string error;
            return parsePortList(value, error) ? std::string() : error;
        },
        "PORTS");
}

CLI::Validator oneOf(std::vector<int> allowed, std::string what) {
    std::string list;
    for (int v : allowed)
        list += (list.empty() ? "" : ", ") + std::to_string(v);
    return CLI::Validator(
        [allowed, what, list](const std::string &value) -> std::string {
            for (int v : allowed)
                if (value == std::to_string(v))
                    return {};
            return value + " is not " + what + " (" + list + ")";
        },
        "");
}

CLI::Validator between(long low, long high, std::string what) {
    return CLI::Validator(
        [=](const std::string &value) -> std::string {
            try {
                std::size_t used = 0;
                const long n = std::stol(value, &used);
                if (used == value.size() && n >= low && n <= high)
                    return {};
            } catch (const std::exception &) {
            }
            return value + " is not " + what;
        },
        "");
}

// Fingerprint data goes only into a file kav creates: never over one that
// exists, whatever it is, and into a folder that is there.
CLI::Validator newFile() {
    return CLI::Validator(
        [](const std::string &value) -> std::string {
            // The name itself, not what a link points to: a link counts even
            // when it points nowhere.
            std::error_code statusError;
            const auto type =
                std::filesystem::symlink_status(std::filesystem::u8path(value), statusError).type();
            if (type != std::filesystem::file_type::not_found &&
                type != std::filesystem::file_type::none)
                return value + ": exists; kav writes fingerprint data only into a new file";
            const std::filesystem::path parent = std::filesystem::path(value).parent_path().empty()
                                                     ? std::filesystem::path(".")
                                                     : std::filesystem::path(value).parent_path();
            std::error_code error;
            if (!std::filesystem::is_directory(parent, error))
                return value + ": no such folder";
            // Known before the card is read, not once its data is in hand.
            if (!platform::mayCreateIn(parent.string()))
                return value + ": this user may not make a file in " + parent.string();
            return {};
        },
        "FILE");
}

CLI::Validator existingFolder() {
    return CLI::Validator(
        [](const std::string &value) -> std::string {
            std::error_code error;
            if (!std::filesystem::exists(value, error))
                return value + ": no such folder";
            if (!std::filesystem::is_directory(value, error))
                return value + ": not a folder";
            return {};
        },
        "DIR");
}

struct PhotoArgs {
    std::string dir;
    std::string format;
    std::string name;
};

void addPhotoOptions(CLI::App &command, PhotoArgs &args) {
    command.add_option("--photo-dir", args.dir, "Folder for the photo (default: the current one)")
        ->check(existingFolder());
    command.add_option("--photo-format", args.format, "bmp (default), jpeg or base64")
        ->check(CLI::IsMember({"bmp", "jpeg", "base64"}));
    command.add_option("--photo-name", args.name, "tmp (default), name, id or name-id")
        ->check(CLI::IsMember({"tmp", "name", "id", "name-id"}));
}

// nullopt with a message when the folder cannot be given to the library exactly.
std::optional<PhotoOptions> photoOptions(const PhotoArgs &args, std::string &error) {
    static const std::map<std::string, int> kTypes{
        {"bmp", KAV_PHOTO_BMP}, {"jpeg", KAV_PHOTO_JPEG}, {"base64", KAV_PHOTO_BASE64}};
    static const std::map<std::string, int> kSchemes{{"tmp", KAV_PHOTO_NAME_TMP},
                                                     {"name", KAV_PHOTO_NAME_HOLDER},
                                                     {"id", KAV_PHOTO_NAME_ID},
                                                     {"name-id", KAV_PHOTO_NAME_BOTH}};
    PhotoOptions photo;
    if (!args.dir.empty()) {
        std::optional<std::string> gbk = kav::cp936::fromUtf8(args.dir);
        if (!gbk) {
            error = "--photo-dir: " + args.dir + " cannot be written in code page 936";
            return std::nullopt;
        }
        if (gbk->size() > KAV_PHOTO_FOLDER_MAX) {
            error = "--photo-dir: longer than " + std::to_string(KAV_PHOTO_FOLDER_MAX) +
                    " bytes in code page 936";
            return std::nullopt;
        }
        photo.folderGbk = std::move(gbk);
    }
    if (!args.format.empty())
        photo.type = kTypes.at(args.format);
    if (!args.name.empty())
        photo.scheme = kSchemes.at(args.name);
    return photo;
}

// CLI11 prints help and version through std::cout.
int helpPrinted(int exitCode) {
    std::cout.flush();
    if (!std::cout && exitCode == kExitOk) {
        std::fputs("kav: standard output could not be written\n", stderr);
        return kExitOutput;
    }
    return finishOutput(exitCode);
}

// Set once --json is seen on the command line, parsed or not: a script
// that asked for JSON gets its error object even when the line is wrong.
bool usageAsJson = false;

bool asksForJson(const std::vector<std::string> &arguments) {
    for (const std::string &word : arguments) {
        if (word == "--")
            return false;
        if (word == "--json")
            return true;
    }
    return false;
}

int usage(const std::string &message) {
    std::fprintf(stderr, "kav: %s (kav --help for usage)\n", message.c_str());
    if (usageAsJson)
        printOut(jsonLine(Json{{"error", Json{{"operation", "usage"}, {"text", message}}}}));
    return kExitUsage;
}

// What the commands' own options fill in.
struct Args {
    int newBaud = 0;
    int maxRfCount = 0;
    PhotoArgs readPhoto;
    ReadOptions readOptions;
    std::string fingerprintOut;
    SoakOptions soakOptions;
    PhotoArgs soakPhoto;
    CheckOptions checkOptions;
    ResultsOptions resultsOptions;
    SyncOptions syncOptions;
    std::string captureIn, captureOut;
    std::string sendHex;
    bool sendRaw = false;
    std::vector<std::uint8_t> sendBytes;
    int watchIntervalMs = 500;
};

// What a command runs with once every argument is checked.
struct Context {
    const Output &out;
    const CLI::App &command; // its own options, as given
    int port;                // --port's first
    // The ports it runs on at once; --all searches only once the arguments
    // (and check's plan) are known good.
    const std::vector<int> &many;
    const std::function<std::vector<int>()> &findPorts;
    const PhotoOptions &photo;
};

enum class Ports {
    One,       // --port's one port
    Several,   // several at once, or every port with a reader (--all)
    OwnSearch, // several, asked for by the command itself when it is ready
};

struct Command {
    const char *name;
    const char *help;
    Ports ports = Ports::One;
    PhotoArgs Args::*photo = nullptr; // where its photo options go; none
    // Adds its options; nullptr: it has none.
    void (*setUp)(CLI::App &command, Args &args) = nullptr;
    // Checks what CLI11 cannot before the library is used: a usage error's
    // text, or empty; nullptr: nothing to check.
    std::string (*prepare)(const CLI::App &command, Args &args, bool severalPorts) = nullptr;
    int (*run)(const Context &context, const Args &args) = nullptr;
    // With several ports; nullptr: it runs on one port only, or (with
    // Ports::OwnSearch) takes the search itself.
    int (*runMany)(const Context &context, const Args &args) = nullptr;
};

const Command kCommands[] = {
    {"ports", "List the port map: each port's device, whether it exists and may be opened",
     Ports::One, nullptr, nullptr, nullptr,
     [](const Context &c, const Args &) { return runPorts(c.out); }},
    {"find", "Look for a reader on every mapped port", Ports::One, nullptr, nullptr, nullptr,
     [](const Context &c, const Args &) { return runFind(c.out); }},
    {"status", "Ask the SAM whether it works", Ports::Several, nullptr, nullptr, nullptr,
     [](const Context &c, const Args &) { return runStatus(c.out, c.port); },
     [](const Context &c, const Args &) { return runOnPortsAtOnce(c.out, c.many, runStatus); }},
    {"reset", "Reset the SAM (it reruns its self-test)", Ports::One, nullptr, nullptr, nullptr,
     [](const Context &c, const Args &) { return runReset(c.out, c.port); }},
    {"sam-id", "The SAM's identifier", Ports::Several, nullptr, nullptr, nullptr,
     [](const Context &c, const Args &) { return runSamId(c.out, c.port); },
     [](const Context &c, const Args &) { return runOnPortsAtOnce(c.out, c.many, runSamId); }},
    {"baud", "The SAM's baud rate; --set changes it", Ports::One, nullptr,
     [](CLI::App &command, Args &args) {
         command.add_option("--set", args.newBaud, "New rate: 115200, 57600, 38400, 19200 or 9600")
             ->option_text("RATE")
             ->check(oneOf({115200, 57600, 38400, 19200, 9600}, "a SAM baud rate"));
     },
     nullptr,
     [](const Context &c, const Args &args) {
         return runBaud(c.out, c.port,
                        c.command.count("--set") > 0 ? std::optional<int>(args.newBaud)
                                                     : std::nullopt);
     }},
    {"max-rf", "Set the bytes per radio exchange", Ports::One, nullptr,
     [](CLI::App &command, Args &args) {
         command.add_option("COUNT", args.maxRfCount, "24 to 255")
             ->required()
             ->check(between(KAV_MIN_MAX_RF, KAV_MAX_MAX_RF, "a byte count from 24 to 255"));
     },
     nullptr,
     [](const Context &c, const Args &args) { return runMaxRf(c.out, c.port, args.maxRfCount); }},
    {"read", "Read the card: open, 80 RF bytes, find, select, read, close", Ports::Several,
     &Args::readPhoto,
     [](CLI::App &command, Args &args) {
         addPhotoOptions(command, args.readPhoto);
         command.add_flag("--fingerprint", args.readOptions.fingerprint,
                          "Also read the fingerprint data: show whether the card holds it, its "
                          "size and its SHA-256, never its bytes");
         command
             .add_option("--fingerprint-out", args.fingerprintOut,
                         "Write the fingerprint data into FILE, a new file (mode 0600); implies "
                         "--fingerprint")
             ->check(newFile());
     },
     [](const CLI::App &command, Args &args, bool severalPorts) -> std::string {
         if (command.count("--fingerprint-out") == 0)
             return {};
         // One file cannot take the fingerprint data of several cards.
         if (severalPorts)
             return "--fingerprint-out: one port only";
         args.readOptions.fingerprintOut = args.fingerprintOut;
         return {};
     },
     [](const Context &c, const Args &args) {
         return runRead(c.out, c.port, c.photo, args.readOptions);
     },
     [](const Context &c, const Args &args) {
         return runOnPortsAtOnce(c.out, c.many, [&](const Output &o, int p) {
             return runRead(o, p, c.photo, args.readOptions);
         });
     }},
    {"address",
     "Read the card's newest appended address: open, 80 RF bytes, find, select, read, close",
     Ports::One, nullptr, nullptr, nullptr,
     [](const Context &c, const Args &) { return runAddress(c.out, c.port); }},
    {"soak", "Run the read sequence COUNT times and sum up (Ctrl+C: stop and sum up)",
     Ports::Several, &Args::soakPhoto,
     [](CLI::App &command, Args &args) {
         command.add_option("--count", args.soakOptions.count, "How many read sequences")
             ->required()
             ->check(between(1, 0x7FFFFFFF, "a count of 1 or more"));
         command
             .add_option("--interval", args.soakOptions.intervalMs, "Pause between sequences, ms")
             ->option_text("MS")
             ->check(between(0, 3'600'000, "a pause in milliseconds (0 to 3600000)"));
         addPhotoOptions(command, args.soakPhoto);
     },
     nullptr,
     [](const Context &c, const Args &args) {
         return runSoak(c.out, c.port, c.photo, args.soakOptions);
     },
     [](const Context &c, const Args &args) {
         return runSoakAtOnce(c.out, c.many, c.photo, args.soakOptions);
     }},
    {"send",
     "Send one frame by hand (HEX: CMD PARA DATA; --raw: the whole frame) and decode the answer",
     Ports::One, nullptr,
     [](CLI::App &command, Args &args) {
         command.add_option("HEX", args.sendHex, "The bytes in hex, e.g. \"11 FF\"")->required();
         command.add_flag("--raw", args.sendRaw,
                          "Send HEX byte for byte: preamble, length and checksum as given");
     },
     [](const CLI::App &, Args &args, bool) -> std::string {
         const auto bytes = parseHex(args.sendHex);
         if (!bytes)
             return "HEX: pairs of hex digits, e.g. \"11 FF\"";
         if (!args.sendRaw && bytes->size() < 2)
             return "HEX: at least CMD and PARA";
         if (bytes->size() > 260)
             return "HEX: at most 260 bytes";
         args.sendBytes = *bytes;
         return {};
     },
     [](const Context &c, const Args &args) {
         return runSend(c.out, c.port, args.sendBytes, args.sendRaw);
     }},
    {"watch", "Print each card's arrival and departure with its time, until Ctrl+C", Ports::One,
     nullptr,
     [](CLI::App &command, Args &args) {
         command.add_option("--interval", args.watchIntervalMs, "How often to look, ms (500)")
             ->check(between(10, 3'600'000, "a pause in milliseconds (10 to 3600000)"));
     },
     nullptr,
     [](const Context &c, const Args &args) {
         return runWatch(c.out, c.port, args.watchIntervalMs);
     }},
    {"check", "Check the unit on the port against a plan: PASS or FAIL, recorded", Ports::OwnSearch,
     nullptr,
     [](CLI::App &command, Args &args) {
         CheckOptions &o = args.checkOptions;
         command.add_option("--plan", o.planPath, "The check plan (JSON; default: built in)")
             ->option_text("FILE");
         command
             .add_option("--db", o.dbPath,
                         "The results database (default: $XDG_DATA_HOME/velkart/results.sqlite)")
             ->option_text("FILE");
         command.add_flag("--loop", o.loop,
                          "Check unit after unit: each when it arrives, the next once it is "
                          "taken away (Ctrl+C: stop, the unit under way recorded ABORTED)");
         command
             .add_option("--outbox", o.outboxPath,
                         "With a central record (--db postgresql://...): the local record units "
                         "wait in for upload (default: the default results database)")
             ->option_text("FILE");
         command.add_flag("--show-plan", o.showPlan, "Print the plan and touch no port");
         command.add_option("--station", o.station, "The station's name (default: the host name)")
             ->option_text("NAME");
         command.add_option("--operator", o.operatorId, "Who checks the units, as recorded")
             ->option_text("ID");
         command.add_option("--serial", o.serial, "The unit's serial (default: its SAM ID)")
             ->option_text("SERIAL");
         command.add_flag("--full-check", o.fullCheck,
                          "Read every page of the database for damage before using it");
         command.add_flag("--stop-at-first-failure", o.stopAtFirstFailure,
                          "Skip a unit's remaining steps once one has failed");
         command
             .add_option("--on-verdict", o.onVerdict,
                         "Run CMD (/bin/sh -c) after each verdict is recorded, the unit's JSON "
                         "on its standard input; ended after 10 s")
             ->option_text("CMD");
     },
     nullptr,
     [](const Context &c, const Args &args) {
         return runCheck(c.out, c.findPorts, args.checkOptions);
     }},
    {"results", "List, export or sum up the recorded units", Ports::One, nullptr,
     [](CLI::App &command, Args &args) {
         ResultsOptions &o = args.resultsOptions;
         command.add_option("--db", o.dbPath, "The results database")->option_text("FILE");
         command.add_flag("--full-check", o.fullCheck,
                          "Read every page of the database for damage before using it");
         const CLI::Validator date([](const std::string &v) { return kav::station::checkDate(v); },
                                   "DATE");
         command.add_option("--since", o.since, "Units checked at or after (UTC)")->check(date);
         command.add_option("--sam-id", o.samId, "Units with this SAM ID")->option_text("ID");
         command.add_option("--until", o.until, "Units checked at or before (UTC)")->check(date);
         command.add_option("--station", o.station, "Units of this station")->option_text("NAME");
         command.add_option("--operator", o.operatorId, "Units of this operator")
             ->option_text("ID");
         command.add_option("--serial", o.serial, "Units of this serial")->option_text("SERIAL");
         command.add_option("--verdict", o.verdict, "pass, fail, error or aborted (any case)")
             ->check(CLI::IsMember({"pass", "fail", "error", "aborted"}, CLI::ignore_case));
         CLI::Option *historyFlag = command.add_flag(
             "--history", o.history,
             "One unit's checks over time with its read-time trend (with --sam-id or --serial)");
         CLI::Option *csvFlag = command.add_flag("--csv", o.csv, "CSV (RFC 4180)");
         CLI::Option *summaryFlag = command.add_flag(
             "--summary", o.summary, "Counts and pass rates by day, station and plan");
         CLI::Option *htmlOption =
             command.add_option("--html", o.htmlPath, "Write a self-contained HTML report to FILE")
                 ->option_text("FILE");
         csvFlag->excludes(summaryFlag)->excludes(htmlOption);
         summaryFlag->excludes(htmlOption);
         historyFlag->excludes(csvFlag)->excludes(summaryFlag);
     },
     nullptr,
     [](const Context &c, const Args &args) { return runResults(c.out, args.resultsOptions); }},
    {"sync", "Upload now the units waiting in the local record for the central one", Ports::One,
     nullptr,
     [](CLI::App &command, Args &args) {
         SyncOptions &o = args.syncOptions;
         command
             .add_option("--db", o.dbPath,
                         "The central record (default: the one the waiting units name)")
             ->option_text("URI");
         command
             .add_option("--outbox", o.outboxPath,
                         "The local record (default: the default results database)")
             ->option_text("FILE");
     },
     nullptr, [](const Context &c, const Args &args) { return runSync(c.out, args.syncOptions); }},
    {"capture-convert", "Write a library trace file (KAVIDCARD_TRACE) as a pcapng capture",
     Ports::One, nullptr,
     [](CLI::App &command, Args &args) {
         command.add_option("TRACE", args.captureIn, "The trace file")->required();
         command.add_option("OUT", args.captureOut, "The pcapng file to write")->required();
     },
     nullptr,
     [](const Context &c, const Args &args) {
         return runCaptureConvert(c.out, args.captureIn, args.captureOut);
     }},
    {"capture-redact",
     "Copy a capture (pcapng or text trace) with the holder's personal fields replaced", Ports::One,
     nullptr,
     [](CLI::App &command, Args &args) {
         command.add_option("IN", args.captureIn, "The capture or trace")->required();
         command.add_option("OUT", args.captureOut, "The redacted copy")->required();
     },
     nullptr,
     [](const Context &c, const Args &args) {
         return runCaptureRedact(c.out, args.captureIn, args.captureOut);
     }},
};

// The whole of kav; `json` is set as soon as --json is known, for the
// failure main reports should anything escape.
int runKav(int argc, char **argv, bool &json) {
    guardStandardStreams();
    CLI::App app{"kav: the identity-card reader on the command line, for scripts and soak tests.",
                 "kav"};
    app.set_version_flag("--version", [] {
        // The library kav runs with may be another than it was built with.
        const std::string library = kav::host::libraryVersion();
        return std::string("kav " KAV_VERSION "\nlibrary ") +
               (library.empty() ? "version unknown (it has no Kav_GetVersion)" : library);
    });
    app.formatter(std::make_shared<HelpFormat>());
    app.footer(kExitCodesHelp);
    // Global options may also follow the command: kav read --json.
    app.fallthrough();
    app.require_subcommand(0, 1);
    // Words that name no command land here, so the message can name them.
    std::vector<std::string> strays;
    app.add_option("stray", strays)->group("");

    std::string portText = "1";
    bool allPorts = false;
    bool trace = false;
    CLI::Option *portOption =
        app.add_option(
               "-p,--port", portText,
               "Port number (default 1, as in the dialog); status, sam-id, read, soak and check "
               "also take several: 1,3,5 or 1-16")
            ->check(portList())
            ->option_text("PORT");
    app.add_flag("--all", allPorts,
                 "status, sam-id, read, soak, check: every port where a reader answers")
        ->excludes(portOption);
    app.add_flag("--json", json, "Print one JSON object on standard output");
    app.add_flag("--trace", trace, "Print every frame and operation on standard error");
    std::string capturePath;
    bool redact = false;
    app.add_option("--capture", capturePath,
                   "Record every frame and event of the command into FILE (pcapng)");
    app.add_flag("--redact", redact,
                 "With --capture: the holder's personal fields never enter the file");

    Args args;
    std::vector<CLI::App *> commands;
    for (const Command &command : kCommands) {
        CLI::App *sub = app.add_subcommand(command.name, command.help);
        sub->group("Commands");
        if (command.setUp != nullptr)
            command.setUp(*sub, args);
        sub->footer("Options before the command (-p/--port, --all, --json, --trace) go\n"
                    "after it too; kav --help lists them and the exit status.");
        commands.push_back(sub);
    }

    try {
        // CLI11 takes them without the program's name, last first.
        std::vector<std::string> arguments = platform::utf8Arguments(argc, argv);
        arguments.erase(arguments.begin());
        usageAsJson = asksForJson(arguments);
        std::reverse(arguments.begin(), arguments.end());
        app.parse(arguments);
    } catch (const CLI::CallForHelp &e) {
        return helpPrinted(app.exit(e));
    } catch (const CLI::CallForAllHelp &e) {
        return helpPrinted(app.exit(e));
    } catch (const CLI::CallForVersion &e) {
        return helpPrinted(app.exit(e));
    } catch (const CLI::ParseError &e) {
        std::string message = e.what();
        // An option no command takes: the nearest that the command (or kav) takes.
        if (const std::size_t at = message.find("not expected: ");
            dynamic_cast<const CLI::ExtrasError *>(&e) != nullptr && at != std::string::npos) {
            std::string word = message.substr(at + 14);
            word = word.substr(0, word.find_first_of(" \n"));
            std::vector<std::string> names = optionNames(app);
            for (const CLI::App *sub : commands)
                if (sub->parsed()) {
                    const std::vector<std::string> own = optionNames(*sub);
                    names.insert(names.end(), own.begin(), own.end());
                }
            message = "unknown option " + word + didYouMean(word, names);
        }
        if (message.empty())
            message = "bad arguments";
        // One line: CLI11 may end its text with a newline.
        while (!message.empty() && message.back() == '\n')
            message.pop_back();
        for (char &c : message)
            if (c == '\n')
                c = ' ';
        return usage(message);
    }

    usageAsJson = usageAsJson || json;
    if (!strays.empty()) {
        if (!app.get_subcommands().empty())
            return usage("unexpected argument " + strays.front());
        std::vector<std::string> names;
        for (const Command &command : kCommands)
            names.emplace_back(command.name);
        return usage("unknown command " + strays.front() + didYouMean(strays.front(), names));
    }
    if (app.get_subcommands().empty())
        return usage("no command given");

    std::size_t chosen = 0;
    while (!commands[chosen]->parsed())
        ++chosen;
    const Command &command = kCommands[chosen];

    // Several ports only for the commands that run on each at once.
    std::string portError;
    const std::vector<int> portSet = *parsePortList(portText, portError);
    const bool severalPorts = portSet.size() > 1 || allPorts;
    if (severalPorts && command.ports == Ports::One)
        return usage(
            "--port: only status, sam-id, read, soak and check take several ports or --all");
    const int port = portSet.front();
    if (command.prepare != nullptr)
        if (const std::string error = command.prepare(*commands[chosen], args, severalPorts);
            !error.empty())
            return usage(error);

    std::string photoError;
    std::optional<PhotoOptions> photo =
        photoOptions(command.photo != nullptr ? args.*command.photo : PhotoArgs{}, photoError);
    if (!photo)
        return usage(photoError);
    // One port keeps the library's own name; each of several gets its own.
    photo->portInName =
        severalPorts && (command.photo == &Args::readPhoto || command.photo == &Args::soakPhoto);

    // Every argument is checked: from here on the library is used. Its
    // warnings are read before --trace shows the calls that read them.
    std::vector<LibraryWarning> warnings = libraryWarnings();
    for (const LibraryWarning &warning : warnings)
        if (warning.port == KAV_NO_PORT)
            std::fprintf(stderr, "kav: warning: %s\n", warning.text.c_str());
    if (const std::string problem = kav::host::checkLibraryVersion(); !problem.empty())
        std::fprintf(stderr, "kav: warning: %s\n", problem.c_str());
    if (redact && capturePath.empty())
        return usage("--redact: only with --capture");
    std::string captureError;
    CaptureFile captureFile(capturePath, redact, trace, captureError);
    if (!captureError.empty())
        return usage("--capture: " + captureError);
    const bool listen = trace || !capturePath.empty();
    if (listen) {
        if (const SetTraceCallbackFn setCallback = setTraceCallbackExport())
            setCallback(CaptureFile::onEvent, &captureFile);
        else
            std::fputs("kav: warning: this library reports no frames (it has no "
                       "Kav_SetTraceCallback); --trace and --capture show nothing\n",
                       stderr);
    }

    const Output out(json, std::move(warnings));
    const std::function<std::vector<int>()> findPorts = [&] {
        return allPorts ? portsWithReaders() : portSet;
    };
    std::vector<int> many;
    if (command.ports == Ports::Several) {
        many = findPorts();
        if (many.empty())
            return finishOutput(out.result(Json::array(), "no reader found", kExitNoDevice));
    }
    const Context context{out, *commands[chosen], port, many, findPorts, *photo};
    const int exitCode = command.runMany != nullptr && (allPorts || many.size() > 1)
                             ? command.runMany(context, args)
                             : command.run(context, args);

    if (listen) {
        // No event may reach the callback while the process winds down.
        if (const SetTraceCallbackFn setCallback = setTraceCallbackExport())
            setCallback(nullptr, nullptr);
    }
    if (!captureFile.finish()) {
        std::fprintf(stderr, "kav: %s: the capture could not be written whole\n",
                     capturePath.c_str());
        return finishOutput(exitCode != kExitOk ? exitCode : kExitOther);
    }
    return finishOutput(exitCode);
}

} // namespace

// Nothing may end kav unreported: what escapes is a failure of its own,
// said as every failure is, and the destructors on the way (a run's photo
// folder) still run.
int main(int argc, char **argv) {
    bool json = false;
    std::string what;
    try {
        return runKav(argc, argv, json);
    } catch (const std::exception &e) {
        what = e.what();
    } catch (...) {
        what = "an unexpected failure";
    }
    if (const SetTraceCallbackFn setCallback = setTraceCallbackExport())
        setCallback(nullptr, nullptr);
    return finishOutput(Output(json).error("internal error", what, kExitOther));
}
