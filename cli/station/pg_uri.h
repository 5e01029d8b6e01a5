// A line's central record is named by a libpq connection URI. Such a URI
// may carry a password, which must never be shown, logged or stored: every
// place that names the record uses redactUri().
#pragma once

#include <string>

namespace kav::station {

// Whether `db` names a central record (a PostgreSQL URI) rather than a file.
bool isCentralUri(const std::string &db);

// The URI without its password: the userinfo's ":password" and every
// "password=" query parameter (its key possibly percent-encoded) are
// removed. Hostile forms are read generously: when in doubt, more goes.
std::string redactUri(const std::string &uri);

// False in a build without libpq (the Windows builds).
bool havePostgres();

// What kav says when given a URI in a build without libpq.
inline constexpr const char *kNoPostgres = "this kav has no PostgreSQL support";

} // namespace kav::station
