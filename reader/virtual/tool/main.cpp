// kav-virtual-reader: a virtual reader on a pseudo-terminal. Prints the
// slave's path as its first line (and a new line each time a disconnect
// fault reopens the pty), then serves frames until SIGINT or SIGTERM.

#include "protocol/protocol.h"
#include "protocol/trace.h"
#include "virtual/card_file.h"
#include "virtual/pty_server.h"
#include "virtual/replay_capture.h"
#include "virtual/virtual_reader.h"

#include <CLI/CLI.hpp>

#include <poll.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

std::string faultHelp() {
    std::string text = "Faults for --fault:\n";
    for (const kav::virt::FaultInfo &f : kav::virt::faultTable()) {
        std::string name(f.name);
        name.resize(std::max<std::size_t>(name.size(), 22), ' ');
        text += "  " + name + "  " + std::string(f.help) + "\n";
    }
    return text;
}

int usageError(const std::string &message) {
    std::fprintf(stderr, "kav-virtual-reader: %s\n", message.c_str());
    return 2;
}

// A whole decimal number and nothing else.
std::optional<unsigned> number(const std::string &text) {
    unsigned value = 0;
    const char *end = text.data() + text.size();
    const auto [at, error] = std::from_chars(text.data(), end, value);
    if (text.empty() || error != std::errc{} || at != end)
        return std::nullopt;
    return value;
}

// Writes a line to `fd` without ever blocking for long: whoever reads our
// output may stop reading, and a stop signal must still end the tool. Gives
// up after `limit`, or as soon as one of `stop` is pending (then *signal is
// set). Only the thread that waits for the signals may pass `stop`.
bool say(int fd, const std::string &line, Clock::duration limit, const sigset_t *stop = nullptr,
         int *signal = nullptr) {
    const auto until = Clock::now() + limit;
    std::size_t done = 0;
    while (done < line.size()) {
        if (stop != nullptr) {
            const timespec now{0, 0};
            const int caught = sigtimedwait(stop, nullptr, &now);
            if (caught > 0) {
                *signal = caught;
                return false;
            }
        }
        if (Clock::now() >= until)
            return false;
        pollfd p{fd, POLLOUT, 0};
        const int ready = ::poll(&p, 1, 100);
        if (ready < 0 && errno != EINTR)
            return false;
        if (ready <= 0)
            continue;
        if ((p.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0)
            return false;
        const ssize_t n = ::write(fd, line.data() + done, line.size() - done);
        if (n < 0 && errno != EINTR && errno != EAGAIN)
            return false;
        if (n > 0)
            done += static_cast<std::size_t>(n);
    }
    return true;
}

// Set by the server's thread when --strict-exit ends the tool.
std::atomic<bool> strictMiss{false};

std::string hexOrNothing(const std::vector<std::uint8_t> &bytes) {
    return bytes.empty() ? "nothing (the recording has ended)" : kav::trace::hex(bytes);
}

} // namespace

int main(int argc, char *argv[]) {
    CLI::App cli{"A virtual identity-card reader with a SAM, served on a pseudo-terminal.\n"
                 "Prints the pty's path on the first line of standard output.",
                 "kav-virtual-reader"};
    cli.footer(faultHelp());
    cli.set_version_flag("--version", "kav-virtual-reader " KAV_VERSION);

    std::string cardPath;
    bool noCard = false;
    std::string baudText = "115200";
    bool pace = false;
    bool wireOnly = false;
    std::vector<std::string> faults;
    std::string everyText = "1";
    std::string delayText = std::to_string(kav::virt::VirtualReader::kDefaultDelay.count());
    std::string linkPath;
    const auto takeLast = CLI::MultiOptionPolicy::TakeLast;
    CLI::Option *cardOpt =
        cli.add_option("--card", cardPath, "Card file (JSON); default: the built-in card.")
            ->option_text("FILE")
            ->multi_option_policy(takeLast);
    cli.add_flag("--no-card", noCard, "Start with no card in the field.");
    std::string samIdText;
    cli.add_option("--sam-id", samIdText,
                   "The SAM's ID, as kav prints it (default 05-01-20069995-12345-1234567890).");
    cli.add_option("--baud", baudText,
                   "The SAM's rate at start: 115200, 57600, 38400, 19200 or 9600.")
        ->option_text("RATE [115200]")
        ->multi_option_policy(takeLast);
    cli.add_flag("--pace", pace,
                 "Answer at the wire's speed and take a realistic time for a card read.");
    cli.add_flag("--wire-only", wireOnly,
                 "Answer at the wire's speed but at once, with no time for the SAM's work.");
    cli.add_option("--fault", faults, "Inject a fault (repeatable; see the list).")
        ->option_text("NAME")
        ->allow_extra_args(false);
    cli.add_option("--every", everyText, "Faults hit only every Nth frame they could affect.")
        ->option_text("N [1]")
        ->multi_option_policy(takeLast);
    cli.add_option("--delay", delayText, "Delay of the delay fault in milliseconds.")
        ->option_text("MS [" + delayText + "]")
        ->multi_option_policy(takeLast);
    CLI::Option *linkOpt =
        cli.add_option("--link", linkPath, "Also make a symlink PATH to the pty.")
            ->option_text("PATH")
            ->multi_option_policy(takeLast);
    std::string replayPath;
    std::string matchText = "order";
    std::string speedText = "1";
    bool strictExit = false;
    CLI::Option *replayOpt =
        cli.add_option("--replay", replayPath,
                       "Answer as the capture (pcapng or text trace) recorded, instead of a card.")
            ->option_text("FILE")
            ->multi_option_policy(takeLast);
    cli.add_option("--match", matchText,
                   "With --replay: order (the next recorded command, the default) or content "
                   "(the next recorded answer to the same command).")
        ->option_text("HOW [order]")
        ->multi_option_policy(takeLast);
    cli.add_option("--speed", speedText,
                   "With --replay: 1 keeps the recorded delays, 0 answers at once, N is N times "
                   "as fast.")
        ->option_text("N [1]")
        ->multi_option_policy(takeLast);
    cli.add_flag("--strict-exit", strictExit,
                 "With --replay: a command without a recorded match ends the tool (exit 3).");
    // Unknown options and stray arguments are ours to report, in one line.
    cli.allow_extras();
    try {
        cli.parse(argc, argv);
    } catch (const CLI::Success &e) {
        return cli.exit(e); // --help, --version
    } catch (const CLI::ParseError &e) {
        return usageError(e.what());
    }
    if (const std::vector<std::string> extra = cli.remaining(); !extra.empty()) {
        const std::string &first = extra.front();
        if (first.size() > 1 && first[0] == '-')
            return usageError("unknown option " + first);
        return usageError("unexpected argument " + first);
    }

    const bool replaying = replayOpt->count() > 0;
    if (!replaying && (strictExit || cli.count("--match") > 0 || cli.count("--speed") > 0))
        return usageError("--match, --speed and --strict-exit go with --replay");
    if (replaying && (cardOpt->count() > 0 || noCard || pace || wireOnly || !faults.empty()))
        return usageError("--replay answers as recorded: no --card, --no-card, --pace, "
                          "--wire-only or --fault with it");
    const std::optional<kav::virt::ReplayReader::Match> match = kav::virt::matchFromName(matchText);
    if (!match)
        return usageError("--match: order or content");
    const std::optional<double> speed = kav::virt::speedFromText(speedText);
    if (!speed)
        return usageError("--speed: a number, 0 or more");
    std::shared_ptr<kav::virt::ReplayReader> replay;
    if (replaying) {
        try {
            replay = std::make_shared<kav::virt::ReplayReader>(
                kav::virt::scriptFromCapture(kav::capture::readCapture(replayPath)), *match,
                *speed);
        } catch (const std::exception &e) {
            return usageError(replayPath + ": " + e.what());
        }
    }

    // Until the signals are blocked below, SIGINT and SIGTERM end the tool
    // as usual: nothing here needs cleaning up, and nothing here blocks (a
    // card file that is a FIFO or a device is refused, not read).
    std::optional<kav::virt::Card> card = kav::virt::defaultCard();
    if (cardOpt->count() > 0) {
        kav::virt::CardResult loaded = kav::virt::loadCardFile(cardPath);
        if (!loaded.card)
            return usageError(loaded.error);
        card = loaded.card;
    }
    if (noCard)
        card.reset();

    const std::optional<unsigned> baud = number(baudText);
    if (!baud || !kav::proto::baudCode(*baud))
        return usageError("--baud: " + baudText + " is not one of the SAM's rates");
    const std::optional<unsigned> every = number(everyText);
    if (!every || *every == 0)
        return usageError("--every: a positive number");
    const std::optional<unsigned> delayMs = number(delayText);
    if (!delayMs)
        return usageError("--delay: a number of milliseconds");

    std::optional<std::array<std::uint8_t, kav::proto::kSamIdSize>> samId;
    if (!samIdText.empty() || cli.count("--sam-id") > 0) {
        samId = kav::proto::samIdFromText(samIdText);
        if (!samId)
            return usageError("--sam-id: " + samIdText +
                              " is not a SAM ID such as 05-01-20069995-12345-1234567890 (two "
                              "groups of two hex digits, then three numbers below 4294967296)");
    }

    auto reader = std::make_shared<kav::virt::VirtualReader>(card);
    if (samId)
        reader->setSamId(*samId);
    reader->setBaudRate(*baud);
    using Pacing = kav::virt::VirtualReader::Pacing;
    reader->setPacing(pace ? Pacing::WireAndWork : wireOnly ? Pacing::Wire : Pacing::Instant);
    reader->setDelay(std::chrono::milliseconds{*delayMs});
    for (const std::string &name : faults) {
        const std::optional<kav::virt::Fault> fault = kav::virt::faultFromName(name);
        if (!fault)
            return usageError("unknown fault " + name + "\n" + faultHelp());
        reader->setFault(*fault, *every);
    }

    // Blocked before the server's thread starts, so only this thread sees
    // them, in sigwait() below or while it writes its first lines.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGUSR1); // --strict-exit's own
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    std::unique_ptr<kav::virt::PtyServer> served;
    if (replay) {
        replay->setMissHandler([strictExit](const kav::virt::ReplayReader::Miss &miss) {
            // On the server's thread: short, and never waits for long.
            say(STDERR_FILENO,
                "kav-virtual-reader: no recorded answer: expected " + hexOrNothing(miss.expected) +
                    ", received " + kav::trace::hex(miss.received) + "\n",
                1s);
            if (strictExit && !strictMiss.exchange(true))
                ::kill(::getpid(), SIGUSR1);
        });
        served =
            std::make_unique<kav::virt::PtyServer>(replay, [replay] { return replay->baudRate(); });
    } else {
        served = std::make_unique<kav::virt::PtyServer>(reader);
    }
    kav::virt::PtyServer &server = *served;
    if (linkOpt->count() > 0)
        server.setLinkPath(linkPath);
    server.setReopenHandler([](const std::string &path) {
        // On the server's thread, which stop() waits for: never for long.
        say(STDOUT_FILENO, path + "\n", 1s);
    });
    std::string error;
    if (!server.start(&error))
        return usageError(error);

    int signal = 0;
    const std::string mode = pace ? ", paced" : wireOnly ? ", wire speed only" : "";
    const std::string what =
        replay ? "replaying " + replayPath + " at " + std::to_string(replay->baudRate()) + " baud"
               : "serving at " + std::to_string(*baud) + " baud" + (card ? "" : ", no card") + mode;
    // The path is what a caller waits for: no limit but a stop signal.
    if (say(STDOUT_FILENO, server.slavePath() + "\n", Clock::duration::max() / 2, &stopSignals,
            &signal))
        say(STDERR_FILENO,
            "kav-virtual-reader: " + what + "; rate mismatch " +
                (server.seesClientRate() ? "modelled" : "not modelled (rate not visible)") + "\n",
            1s, &stopSignals, &signal);
    if (signal == 0)
        sigwait(&stopSignals, &signal);
    server.stop();
    return strictMiss ? 3 : 0;
}
