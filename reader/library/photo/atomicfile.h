// Writing a file so that it appears whole or not at all.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace kav::photo {

struct WriteOutcome {
    bool ok = false;
    std::string error; // the failed step and the system's message
};

// Writes bytes to folder/fileName through a temporary file created
// exclusively in folder (never through a symlink), flushed to disk, then
// renamed over fileName: a symlink or file already there is replaced, never
// followed or written through. fileName must be a single path component.
// On failure no temporary file is left behind.
WriteOutcome writeFileAtomically(const std::string &folder, const std::string &fileName,
                                 std::span<const std::uint8_t> bytes);

} // namespace kav::photo
