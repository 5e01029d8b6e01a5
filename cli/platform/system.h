// What kav needs from the system, one implementation per system in
// cli/platform/<system>/system.cpp.
#pragma once

#include <csignal>
#include <cstddef>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace kav::cli::platform {

// The program's arguments as UTF-8 (Windows hands them over in its ANSI
// code page) and the console set to show UTF-8.
std::vector<std::string> utf8Arguments(int argc, char **argv);

// Standard error (or output) is a terminal: live lines may redraw themselves.
bool stderrIsTerminal();
bool stdoutIsTerminal();

// From now on the first Ctrl-C sets `flag` and the next ends the program
// (after the clean-up below); restoreInterrupt() puts back what was there
// before.
void catchFirstInterrupt(volatile std::sig_atomic_t *flag);
void restoreInterrupt();

// From now on a signal that ends the program (terminate, hang-up, Ctrl-C
// outside catchFirstInterrupt or its second) runs `cleanup` on a thread of
// its own, then ends the program by that signal as it would have.
void cleanUpOnEndingSignals(void (*cleanup)());

// Standard streams the program was started without are opened on the null
// device, so no later file takes their place; true when stdout was missing.
bool reopenMissingStreams();

// The file name of the library kav runs with ("libKavIDCardAPI.so.1.0.0"):
// it carries its version, whichever library took our place.
std::string libraryFileName();

std::string hostName();

// A new folder under the system's temporary folder, of this user's only;
// empty when none can be made.
std::string makeTempFolder(const std::string &prefix);

// As makeTempFolder, in a folder of this user's own that every such folder
// goes into, named with the process that made it: first it removes those
// whose process is gone (killed, so it could not clean up).
std::string makeRunFolder(const std::string &prefix);

// Writes `bytes` into a new file of this user's only: never over or through
// an existing name. On failure the file is gone and `error` says why.
bool writeNewPrivateFile(const std::string &path, const unsigned char *bytes, std::size_t size,
                         std::string &error);

// Whether this user may make a file in `folder`.
bool mayCreateIn(const std::string &folder);

// A local device (not virtual, not on the network) that may be there: a
// node that exists, or a name that is no node at all.
bool mayBeThere(const std::string &device);

// Whether this user may open a local device, and if not, what to do:
// fills "exists", "access" and, when refused, "reason" (and what else helps);
// `human` gets the same as a line's end.
void describeLocalDevice(const std::string &device, nlohmann::ordered_json &entry,
                         std::string &human);

// The processes other than this one that hold a local device open, as
// "PID 1234 (its name)"; empty where the system does not tell.
std::vector<std::string> deviceHolders(const std::string &device);

} // namespace kav::cli::platform
