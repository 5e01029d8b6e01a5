#include "version.h"

#include "exports.h"

namespace kav::host {
namespace {

struct Version {
    int major = 0;
    int minor = 0;
    int patch = 0;
};

std::string text(const Version &v) {
    return std::to_string(v.major) + "." + std::to_string(v.minor) + "." + std::to_string(v.patch);
}

bool ask(VersionGetter get, Version &v) {
    return get != nullptr && get(&v.major, &v.minor, &v.patch) == KAV_OK;
}

} // namespace

VersionGetter versionGetterExport() {
    return optionalExport<VersionGetter>("Kav_GetVersion");
}

std::string libraryVersionProblem(VersionGetter get) {
    Version loaded;
    if (!ask(get, loaded))
        return {};
    const Version built{KAV_VERSION_MAJOR, KAV_VERSION_MINOR, KAV_VERSION_PATCH};
    if (loaded.major == built.major && loaded.minor >= built.minor)
        return {};
    return "the reader library is " + text(loaded) + "; this program was built for " + text(built);
}

std::string checkLibraryVersion() {
    return libraryVersionProblem(versionGetterExport());
}

std::string libraryVersion() {
    Version loaded;
    return ask(versionGetterExport(), loaded) ? text(loaded) : std::string();
}

} // namespace kav::host
