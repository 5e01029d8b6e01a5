#include "check_run.h"

#include "KavIDCardAPI.h"
#include "codepage936.h"
#include "commands.h"
#include "exit_codes.h"
#include "host/port_session.h"
#include "interrupt.h"
#include "platform/system.h"
#include "port_set.h"
#include "station/check.h"
#include "station/pg_uri.h"
#ifdef KAV_HAVE_POSTGRESQL
#include "station/pg_outbox.h"
#include "station/pg_schema.h"
#include "station/pg_store.h"
#include "station/sqlite_store.h"
#endif
#include "station/record_store.h"
#include "station/report.h"
#include "tally.h"
#include "verdict_hook.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <random>
#include <thread>

namespace kav::cli {
namespace {

namespace fs = std::filesystem;
using namespace station;
using Clock = std::chrono::steady_clock;

// Where the check's reads put their photos: a folder of the run's own,
// removed at its end, so a station's working folder does not fill up.
// A run killed outright leaves it to the next one to sweep.
class PhotoFolder {
  public:
    PhotoFolder() : path_(platform::makeRunFolder("kav-check-")), removed_(path_) {}
    ~PhotoFolder() {
        std::error_code ignored;
        if (!path_.empty())
            fs::remove_all(path_, ignored);
    }
    PhotoFolder(const PhotoFolder &) = delete;
    PhotoFolder &operator=(const PhotoFolder &) = delete;
    // Gives the folder to the library; false when it cannot take it.
    bool use() const {
        const std::optional<std::string> gbk = cp936::fromUtf8(path_);
        // Base64: the photo is only written, not decoded, on a line.
        return !path_.empty() && gbk && Kav_SetPhotoType(KAV_PHOTO_BASE64) == KAV_OK &&
               Kav_SetPhotoName(KAV_PHOTO_NAME_TMP) == KAV_OK &&
               Kav_SetPhotoPath(KAV_PHOTO_IN_FOLDER, gbk->c_str()) == KAV_OK;
    }

  private:
    std::string path_;
    RemovedOnSignal removed_;
};

// Whether a unit answers on the port: a SAM that gives its status (on a
// serial port at whatever rate it is at).
bool unitPresent(int port) {
    if (port <= KAV_LAST_SERIAL_PORT) {
        unsigned int baud = 0;
        return Kav_GetCOMBaud(port, &baud) == KAV_OK;
    }
    const host::PortSession open(port);
    return open.isOpen() && Kav_GetSAMStatus(port, 0) == KAV_OK;
}

// Waits until the unit is there (or gone); false when Ctrl-C came first.
bool waitForUnit(int port, bool present) {
    constexpr auto kPoll = std::chrono::milliseconds{200};
    while (!interruptRequested()) {
        const Clock::time_point asked = Clock::now();
        if (unitPresent(port) == present)
            return true;
        while (!interruptRequested() && Clock::now() - asked < kPoll)
            std::this_thread::sleep_for(std::chrono::milliseconds{20});
    }
    return false;
}

void say(int port, const char *what) {
    std::fprintf(stderr, "kav: port %d: %s\n", port, what);
    std::fflush(stderr);
}

// A build without the local record (no SQLite) has the commands all the
// same, and says why they cannot run rather than being unknown.
int withoutRecords(const char *command) {
    std::fprintf(stderr, "kav: %s: this build of kav has no results database (no SQLite)\n",
                 command);
    return kExitRecord;
}

#ifndef KAV_HAVE_POSTGRESQL
// A central record is a URI, never a file name: a build without libpq says
// what it cannot do with one rather than make a file called "postgresql:".
int withCentral(const char *command, const std::string &db) {
    std::fprintf(stderr, "kav: %s: results database %s: %s\n", command, redactUri(db).c_str(),
                 kNoPostgres);
    return kExitRecord;
}
#endif

// A name for a new file in the folder of `target`, unlike any there.
std::string temporaryBeside(const std::string &target) {
    std::random_device random;
    char tag[24];
    std::snprintf(tag, sizeof tag, ".%08x%08x.part", random(), random());
    const fs::path path(target);
    return (path.parent_path() / ("." + path.filename().string() + tag)).string();
}

std::string toUpper(std::string text) {
    for (char &c : text)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

#ifndef KAV_HAVE_POSTGRESQL
// Names only: without libpq no run has a central record.
class SqliteStore;
class Uploader;
#endif
// The verdicts of one pass over several ports go out in port order, as the
// list of ports has them, while each is checked as fast as it can be: a
// port waits only for the ports before it to print, so the first (and a
// lone port) prints at once.
class PortOrder {
  public:
    explicit PortOrder(const std::vector<int> &ports) : ports_(ports) {}
    void waitForTurn(int port) {
        std::unique_lock lock(mutex_);
        turned_.wait(lock, [&] { return next_ >= ports_.size() || ports_[next_] == port; });
    }
    // Once the port printed or will not: the next port's turn.
    void done(int port) {
        {
            const std::lock_guard lock(mutex_);
            while (next_ < ports_.size() && ports_[next_] != port)
                ++next_;
            ++next_;
        }
        turned_.notify_all();
    }

  private:
    const std::vector<int> &ports_;
    std::mutex mutex_;
    std::condition_variable turned_;
    std::size_t next_ = 0;
};

// A unit's verdict goes out whole: ports checked at once never mix lines.
std::mutex printing;

// What every port of a run shares.
struct Station {
    const CheckRun &run;
    RecordStore &records;
    const Output &out;
    bool colour;
    bool loop;
    PortOrder *order = nullptr; // a single run over several ports: verdicts in port order
    std::string onVerdict;      // empty: no command after each verdict
    Tally *tally = nullptr;
    // With a central record: the local record as its outbox, and the
    // thread that empties it into `target` (the URI without its password).
    SqliteStore *outbox = nullptr;
    Uploader *uploader = nullptr;
    std::string target;
};

// A command's hold on the line after a verdict: long enough for a label.
constexpr std::chrono::seconds kHookDeadline{10};

// Runs the --on-verdict command on the port's own thread, before the port
// waits for its turn to print: a slow command holds back its own port's
// line (up to the deadline), never another port's check. Its outcome joins
// the line; the verdict stays what the unit earned.
void runHookFor(const Station &station, int port, Json &line) {
    if (station.onVerdict.empty())
        return;
    const HookOutcome outcome =
        runVerdictHook(station.onVerdict, line.dump() + "\n", kHookDeadline);
    line["hook"] = hookJson(outcome);
    if (const std::string problem = hookProblem(outcome); !problem.empty()) {
        const std::lock_guard lock(printing);
        std::fprintf(stderr, "kav: port %d: --on-verdict: %s\n", port, problem.c_str());
        std::fflush(stderr);
    }
}

// The port's turn is given on whatever way its job ends, so no later port
// waits on it for ever.
struct TurnGiven {
    PortOrder *order;
    int port;
    ~TurnGiven() {
        if (order)
            order->done(port);
    }
};

#ifdef KAV_HAVE_POSTGRESQL
// "N units waiting for upload (last error: ...)", or "" when none waits.
std::string waitingLine(long long pending, const std::string &lastError) {
    if (pending <= 0)
        return {};
    return std::to_string(pending) + (pending == 1 ? " unit" : " units") + " waiting for upload" +
           (lastError.empty() ? "" : " (last error: " + lastError + ")");
}
#endif

// The units on one port, one after another with --loop, until Ctrl-C. Holds
// nothing of its own beyond the call, so ports can run it on threads of
// their own. Its exit code.
int checkPort(const Station &station, int port) {
    const CheckRun &run = station.run;
    bool anyFailed = false;
    bool unrecorded = false;
    const TurnGiven turn{station.order, port};
    int errorExit = kExitOk; // of an ERROR or ABORTED unit, which outranks a FAIL
    for (;;) {
        if (station.loop) {
            say(port, "waiting for a unit");
            if (!waitForUnit(port, true))
                break;
            say(port, "checking the unit");
        }
        const UnitResult unit = checkUnit(*run.plan, port, interruptRequested);
        const Json steps = unitJson(unit, run, nullptr)["steps"];
        std::string error;
        const Clock::time_point start = Clock::now();
        std::optional<StoredUnit> stored;
        Json upload;
        std::string waiting;
#ifdef KAV_HAVE_POSTGRESQL
        if (station.outbox != nullptr) {
            // What waited before this unit: the one just made is sent now.
            std::string ignored;
            const OutboxState before = station.outbox->outboxState(ignored);
            waiting = waitingLine(before.pending, before.lastError);
            stored = station.outbox->appendForUpload(unit, run, steps, station.target, error);
            station.uploader->wake();
            upload = Json{
                {"target", station.target},
                {"waiting", before.pending},
                {"lastError", before.lastError.empty() ? Json(nullptr) : Json(before.lastError)}};
            if (std::vector<std::string> c = station.uploader->takeConflicts(); !c.empty())
                upload["conflicts"] = c;
        } else
#endif
            stored = station.records.append(unit, run, steps, error);
        const std::optional<long long> id =
            stored ? std::optional<long long>(stored->id) : std::nullopt;
        const double recordMs =
            std::chrono::duration<double, std::milli>(Clock::now() - start).count();
        Json record = id ? Json{{"id", *id},
                                {"db", station.records.location()},
                                {"ms", std::round(recordMs * 100.0) / 100.0}}
                         : Json{{"error", error}};
        if (id && !upload.is_null())
            record["upload"] = upload;
        std::string banner = unitBanner(unit, run, station.colour);
        Json line = unitJson(unit, run, record);
        runHookFor(station, port, line);
        station.tally->add(unit.verdict, run.serial.empty() ? unit.samId : run.serial);
        if (station.order)
            station.order->waitForTurn(port);
        if (!waiting.empty())
            banner += waiting + "\n";
        if (upload.contains("conflicts"))
            banner += "CONFLICT in the central record: see above; those units stay in the "
                      "outbox\n";
        {
            const std::lock_guard lock(printing);
            if (!id) {
                // Shown all the same: the unit is checked; the line must
                // know its record is missing.
                banner += "NOT RECORDED: " + error + "\n";
                std::fprintf(stderr, "kav: %s: the unit could not be recorded: %s\n",
                             station.records.location().c_str(), error.c_str());
                unrecorded = true;
            }
            station.out.result(line, banner, kExitOk);
        }
        anyFailed = anyFailed || unit.verdict == Verdict::Fail;
        if (unit.verdict == Verdict::Error)
            errorExit = std::max(errorExit, exitClass(unit.errorCode));
        if (unit.verdict == Verdict::Aborted)
            errorExit = kExitAborted;
        if (!station.loop || interruptRequested())
            break;
        say(port, "checked: take the unit away");
        if (!waitForUnit(port, false))
            break;
    }
    return unrecorded             ? kExitRecord
           : errorExit != kExitOk ? errorExit
           : anyFailed            ? kExitFailed
                                  : kExitOk;
}

} // namespace

int runCheck(const Output &out, const std::function<std::vector<int>()> &findPorts,
             const CheckOptions &options) {
    if (!haveLocalStore())
        return withoutRecords("check");
#ifndef KAV_HAVE_POSTGRESQL
    if (isCentralUri(options.dbPath))
        return withCentral("check", options.dbPath);
#endif
    const bool central = isCentralUri(options.dbPath);
    std::string error;
    std::optional<CheckPlan> plan = loadPlan(options.planPath, error);
    if (!plan) {
        std::fprintf(stderr, "kav: plan %s\n", error.c_str());
        return kExitUsage;
    }
    if (options.stopAtFirstFailure)
        plan->stopAtFirstFailure = true;
    if (options.showPlan)
        return out.result(Json::parse(plan->text, nullptr, false), plan->text, kExitOk);
    if (!options.onVerdict.empty() && !verdictHooksSupported())
        return out.error("check",
                         "--on-verdict: this build of kav cannot run a command after a verdict",
                         kExitUsage);
    const std::string dbPath =
        central ? (options.outboxPath.empty() ? defaultRecordsPath() : options.outboxPath)
        : options.dbPath.empty() ? defaultRecordsPath()
                                 : options.dbPath;
#ifdef KAV_HAVE_POSTGRESQL
    std::unique_ptr<SqliteStore> outbox;
    std::unique_ptr<RecordStore> records;
    if (central) {
        outbox = SqliteStore::open(dbPath, StoreOpen::CreateIfMissing, error,
                                   options.fullCheck ? StoreCheck::Full : StoreCheck::Quick);
    } else {
        records = openLocalStore(dbPath, StoreOpen::CreateIfMissing, error,
                                 options.fullCheck ? StoreCheck::Full : StoreCheck::Quick);
    }
    if (!records && !outbox) {
        std::fprintf(stderr, "kav: %s\n", error.c_str());
        return kExitRecord;
    }
    RecordStore &local = outbox ? static_cast<RecordStore &>(*outbox) : *records;
#else
    const std::unique_ptr<RecordStore> records =
        openLocalStore(dbPath, StoreOpen::CreateIfMissing, error,
                       options.fullCheck ? StoreCheck::Full : StoreCheck::Quick);
    if (!records) {
        std::fprintf(stderr, "kav: %s\n", error.c_str());
        return kExitRecord;
    }
    RecordStore &local = *records;
#endif
    const PhotoFolder photos;
    if (!photos.use())
        return out.error("check", "no folder for the photos the check reads", kExitPhoto);
    const CheckRun run{&*plan,
                       options.station.empty() ? platform::hostName() : options.station,
                       platform::libraryFileName(),
                       KAV_VERSION,
                       options.operatorId,
                       options.serial};
    const InterruptEndsRun interruptEndsLoop;
    Tally tally;
    Station station{run,
                    local,
                    out,
                    !out.json() && platform::stdoutIsTerminal(),
                    options.loop,
                    nullptr,
                    options.onVerdict,
                    &tally,
                    nullptr,
                    nullptr,
                    {}};
#ifdef KAV_HAVE_POSTGRESQL
    // One uploader a process, started before any port: units left in the
    // outbox by an earlier run go too.
    std::unique_ptr<Uploader> uploader;
    if (outbox) {
        station.outbox = outbox.get();
        station.target = redactUri(options.dbPath);
        uploader = std::make_unique<Uploader>(*outbox, options.dbPath);
        station.uploader = uploader.get();
    }
    // At the end, one last try, bounded: what the server does not take
    // then waits in the outbox for the next run or kav sync.
    const auto lastUpload = [&]() {
        if (!uploader)
            return;
        uploader->finish(std::chrono::seconds{5});
        std::string ignored;
        const OutboxState state = outbox->outboxState(ignored);
        if (state.pending > 0)
            std::fprintf(stderr, "kav: %s: %s\n", dbPath.c_str(),
                         waitingLine(state.pending, state.lastError).c_str());
    };
#else
    const auto lastUpload = [] {};
#endif
    const std::vector<int> ports = findPorts();
    if (ports.empty()) {
        lastUpload();
        return out.result(Json::array(), "no reader found", kExitNoDevice);
    }
    // With --loop units come and go on each port as they will: each verdict
    // goes out when it is ready.
    PortOrder order(ports);
    station.order = options.loop ? nullptr : &order;
    // Several ports share the station, each on a thread of its own; the
    // run's exit code is the worst of theirs.
    const std::vector<int> codes =
        runOnPorts<int>(ports, [&station](int port) { return checkPort(station, port); });
    lastUpload();
    // A lone unit's line says it all; a loop or a line of ports sums up.
    if (options.loop || ports.size() > 1)
        out.success(Json{{"tally", tally.json()}}, tally.text());
    return *std::max_element(codes.begin(), codes.end());
}

int runResults(const Output &out, const ResultsOptions &options) {
    if (options.history && options.samId.empty() && options.serial.empty()) {
        std::fprintf(stderr, "kav: --history follows one unit: give its --sam-id ID or --serial "
                             "SERIAL\n");
        return kExitUsage;
    }
    if (!haveLocalStore())
        return withoutRecords("results");
    std::string error;
    std::unique_ptr<RecordStore> records;
    if (isCentralUri(options.dbPath)) {
#ifdef KAV_HAVE_POSTGRESQL
        records = PgStore::open(options.dbPath, SchemaUse::MustExist, error);
#else
        return withCentral("results", options.dbPath);
#endif
    } else {
        records = openLocalStore(options.dbPath.empty() ? defaultRecordsPath() : options.dbPath,
                                 StoreOpen::MustExist, error,
                                 options.fullCheck ? StoreCheck::Full : StoreCheck::Quick);
    }
    if (!records) {
        std::fprintf(stderr, "kav: %s\n", error.c_str());
        return kExitRecord;
    }
    RecordFilter filter;
    filter.since = options.since;
    filter.samId = options.samId;
    filter.until = options.until;
    filter.verdict = toUpper(options.verdict);
    const std::string &dbPath = records->location();
#ifdef KAV_HAVE_POSTGRESQL
    // Units still waiting for a central record are said on stderr, so an
    // export on stdout stays clean.
    if (auto *local = dynamic_cast<SqliteStore *>(records.get()); local != nullptr) {
        std::string ignored;
        const OutboxState state = local->outboxState(ignored);
        if (state.pending > 0)
            std::fprintf(stderr, "kav: %s: %s\n", dbPath.c_str(),
                         waitingLine(state.pending, state.lastError).c_str());
    }
#endif
    filter.station = options.station;
    filter.operatorId = options.operatorId;
    filter.serial = options.serial;
    std::string followed;
    if (!filter.samId.empty())
        followed = "SAM " + filter.samId;
    if (!filter.serial.empty())
        followed += (followed.empty() ? "serial " : ", serial ") + filter.serial;
    const auto failed = [&error, &dbPath]() {
        std::fprintf(stderr, "kav: results database %s: %s\n", dbPath.c_str(), error.c_str());
        return kExitRecord;
    };
    if (!options.htmlPath.empty()) {
        ReportData data;
        data.generated = utcNow();
        data.title = "Units recorded in " + dbPath;
        if (!filter.since.empty())
            data.title += " since " + filter.since;
        if (!filter.until.empty())
            data.title += " until " + filter.until;
        if (!filter.station.empty())
            data.title += ", station " + filter.station;
        if (!filter.operatorId.empty())
            data.title += ", operator " + filter.operatorId;
        if (!filter.serial.empty())
            data.title += ", serial " + filter.serial;
        if (!filter.samId.empty())
            data.title += ", SAM " + filter.samId;
        if (!filter.verdict.empty())
            data.title += ", verdict " + filter.verdict;
        data.summary = records->summary(filter, error);
        if (error.empty())
            data.failures = records->failures(filter, error);
        if (error.empty())
            data.readMs = records->readTimes(filter, error);
        // Each verdict that is not a pass, asked of the store by itself so
        // that the passed units are never read for this list.
        for (const char *verdict : {"FAIL", "ERROR", "ABORTED"}) {
            if (!error.empty() || (!filter.verdict.empty() && filter.verdict != verdict))
                continue;
            RecordFilter only = filter;
            only.verdict = verdict;
            for (StoredUnit &u : records->units(only, error))
                data.failedUnits.push_back(std::move(u));
        }
        std::stable_sort(data.failedUnits.begin(), data.failedUnits.end(),
                         [](const StoredUnit &a, const StoredUnit &b) { return a.at < b.at; });
        if (error.empty() && options.history)
            data.history = history(followed, records->units(filter, error));
        if (!error.empty())
            return failed();
        // Whole or not at all: a page cut short by a full disk never
        // replaces the last good one. The temporary file has a new name
        // of its own, made exclusively, so nothing planted beside the
        // report is written through or waited on; no way out leaves it.
        const std::string temporary = temporaryBeside(options.htmlPath);
        const RemovedOnSignal removeIfInterrupted(temporary);
        const std::string page = reportHtml(data);
        std::string why;
        bool written = platform::writeNewPrivateFile(
            temporary, reinterpret_cast<const unsigned char *>(page.data()), page.size(), why);
        if (written) {
            std::error_code ec;
            fs::rename(temporary, options.htmlPath, ec);
            if (ec) {
                why = ec.message();
                fs::remove(temporary, ec);
                written = false;
            }
        }
        if (!written) {
            std::fprintf(stderr, "kav: %s could not be written: %s\n", options.htmlPath.c_str(),
                         why.c_str());
            return kExitOther;
        }
        long long units = 0;
        for (const SummaryRow &r : data.summary)
            units += r.units;
        return out.success(
            Json{{"html", options.htmlPath}, {"units", units}, {"reads", data.readMs.size()}},
            "report of " + std::to_string(units) + " units written to " + options.htmlPath);
    }
    if (options.summary) {
        const std::vector<SummaryRow> rows = records->summary(filter, error);
        if (!error.empty())
            return failed();
        return out.success(summaryJson(rows), summaryText(rows));
    }
    std::vector<StoredUnit> units = records->units(filter, error);
    if (!error.empty())
        return failed();
    if (options.history) {
        const History h = history(followed, std::move(units));
        return out.success(historyJson(h), historyText(h));
    }
    if (options.csv) {
        const std::string csv = unitsCsv(units);
        std::fwrite(csv.data(), 1, csv.size(), stdout);
        return kExitOk;
    }
    return out.success(unitsJson(units), unitsText(units));
}

int runSync(const Output &out, const SyncOptions &options) {
    if (!haveLocalStore())
        return withoutRecords("sync");
#ifdef KAV_HAVE_POSTGRESQL
    std::string error;
    const std::string path = options.outboxPath.empty() ? defaultRecordsPath() : options.outboxPath;
    const std::unique_ptr<SqliteStore> outbox =
        SqliteStore::open(path, StoreOpen::MustExist, error);
    if (!outbox) {
        std::fprintf(stderr, "kav: sync: %s\n", error.c_str());
        return kExitRecord;
    }
    std::string uri = options.dbPath;
    if (!uri.empty() && !isCentralUri(uri))
        return out.error("sync", "--db must be a postgresql:// URI", kExitUsage);
    const std::vector<OutboxEntry> first = outbox->pending(1, error);
    if (!error.empty()) {
        std::fprintf(stderr, "kav: sync: %s: %s\n", path.c_str(), error.c_str());
        return kExitRecord;
    }
    // The rows keep the target without its password: libpq finds it in
    // PGPASSWORD or ~/.pgpass then.
    if (uri.empty() && !first.empty())
        uri = first[0].target;
    SyncCounts total;
    const auto report = [&](int code) {
        std::string ignored;
        const OutboxState state = outbox->outboxState(ignored);
        Json j{{"outbox", path},
               {"db", uri.empty() ? Json(nullptr) : Json(redactUri(uri))},
               {"sent", total.sent},
               {"alreadyThere", total.alreadyThere},
               {"conflicts", total.conflicted},
               {"left", state.pending},
               {"lastError", total.lastError.empty() ? Json(nullptr) : Json(total.lastError)}};
        const std::string text =
            std::to_string(total.sent) + " sent, " + std::to_string(total.alreadyThere) +
            " already there, " + std::to_string(total.conflicted.size()) + " conflicting, " +
            std::to_string(state.pending) + " left" +
            (total.lastError.empty() ? "" : " (last error: " + total.lastError + ")");
        if (code == kExitOk && state.pending > 0)
            code = kExitRecord;
        return out.result(j, text, code);
    };
    if (first.empty())
        return report(kExitOk);
    const auto conn = PgConnection::connect(uri, std::chrono::seconds{30}, error);
    if (!conn || !ensureCentralSchema(*conn, SchemaUse::Create, error)) {
        total.lastError = error;
        return report(kExitRecord);
    }
    // Once over the whole outbox, past the units that conflict or fail.
    OutboxWindow window;
    for (;;) {
        const SyncCounts pass = uploadPending(*outbox, *conn, kUploadBatch, window);
        total.sent += pass.sent;
        total.alreadyThere += pass.alreadyThere;
        total.conflicted.insert(total.conflicted.end(), pass.conflicted.begin(),
                                pass.conflicted.end());
        if (!pass.lastError.empty())
            total.lastError = pass.lastError;
        for (const std::string &c : pass.conflicted)
            std::fprintf(stderr, "kav: sync: %s: CONFLICT, the unit stays in the outbox: %s\n",
                         conn->location().c_str(), c.c_str());
        if (pass.seen < kUploadBatch || (pass.failed > 0 && !conn->alive()))
            break;
        window.afterUnit = pass.lastUnit;
    }
    return report(kExitOk);
#else
    (void)out;
    std::fprintf(stderr, "kav: sync: %s\n", kNoPostgres);
    (void)options;
    return kExitRecord;
#endif
}

} // namespace kav::cli
