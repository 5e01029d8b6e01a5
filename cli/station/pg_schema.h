// The central record's tables in PostgreSQL: the same layout as the local
// record, marked by a row of kav_schema. Created when missing, refused when
// newer than this kav or when the tables are another program's.
#pragma once

#include "pg_connection.h"

#include <string>

namespace kav::station {

// The layout this kav writes in a central record.
inline constexpr int kCentralVersion = 3;
inline constexpr const char *kSchemaApplication = "velkart-results";

enum class SchemaUse {
    Create,   // make the tables when the database has none (needs CREATE), and the
              // indexes added since when missing (the tables' owner only)
    MustExist // only look: a station's role may read and insert, no more
};

// True when the database holds our layout (made now if `use` allows);
// false with `error`, the database left as it was.
bool ensureCentralSchema(PgConnection &conn, SchemaUse use, std::string &error);

} // namespace kav::station
