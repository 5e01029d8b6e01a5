// A build without SQLite (Debian ships none for mingw): the station checks
// and plans, but keeps no local record.
#include "record_store.h"

namespace kav::station {

std::unique_ptr<RecordStore> openLocalStore(const std::string &, StoreOpen, std::string &error,
                                            StoreCheck) {
    error = "this build of kav has no results database (no SQLite)";
    return nullptr;
}

bool haveLocalStore() {
    return false;
}

} // namespace kav::station
