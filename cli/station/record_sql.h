// The record's SQL, written once for every store: the layout's tables and
// the queries a filter makes, in SQL that SQLite and PostgreSQL both take.
// Text columns are compared byte by byte (times as ISO 8601 text); a store
// whose collation orders otherwise declares its text columns so.
#pragma once

#include "record_store.h"

#include <string>
#include <vector>

namespace kav::station {

// How a store numbers its bound values: ?1 (SQLite) or $1 (PostgreSQL).
enum class Dialect { Sqlite, Postgres };

// A query's text and the values bound to its placeholders, 1 first.
struct Query {
    std::string text;
    std::vector<std::string> values;
};

// The units table's columns in the order unitsQuery() selects them.
enum UnitColumn {
    kColId,
    kColRunId,
    kColAt,
    kColEndedAt,
    kColStation,
    kColOperator,
    kColSerial,
    kColSequence,
    kColPort,
    kColSamId,
    kColPlanName,
    kColPlanVersion,
    kColPlanHash,
    kColVerdict,
    kColMs,
    kColLibraryVersion,
    kColKavVersion,
    kColSteps,
    kColPayloadHash,
    kColReceivedAt,
    kUnitColumnCount
};

// "units.id, units.run_id, ...", in UnitColumn's order.
const std::string &unitColumns();

// " WHERE ..." over units for the filter (empty when it takes every unit),
// its placeholders numbered from `first`.
Query filterWhere(const RecordFilter &filter, Dialect dialect, int first = 1);

// " WHERE units.id = ?1" and " WHERE units.run_id = ?1": one unit.
Query idWhere(long long id, Dialect dialect);
Query runIdWhere(const std::string &runId, Dialect dialect);

// The units, ordered by id.
Query unitsQuery(const RecordFilter &filter, Dialect dialect);
Query unitsQuery(const Query &where);
// day, station, plan, units, passed; ordered by the first three.
Query summaryQuery(const RecordFilter &filter, Dialect dialect);
// step, operation, code, text, count over the filter's units; most first.
Query failuresQuery(const RecordFilter &filter, Dialect dialect);
// Every read time of the filter's units.
Query readTimesQuery(const RecordFilter &filter, Dialect dialect);

// Each selected unit's own rows, ordered by unit: unit, step, operation,
// code, text, count / unit, ms / unit, position, step, outcome, measured,
// units, low, high. A store merges them with unitsQuery()'s rows by id.
Query unitFailuresQuery(const RecordFilter &filter, Dialect dialect);
Query unitReadTimesQuery(const RecordFilter &filter, Dialect dialect);
Query unitStepResultsQuery(const RecordFilter &filter, Dialect dialect);
Query unitFailuresQuery(const Query &where);
Query unitReadTimesQuery(const Query &where);
Query unitStepResultsQuery(const Query &where);

// The INSERTs of one unit: its row (values in UnitColumn's order from
// run id to payload hash, received_at left to the store) and its rows in
// the other tables.
std::string insertUnitSql(Dialect dialect);
std::string insertFailureSql(Dialect dialect);  // unit, step, operation, code, text, count
std::string insertReadTimeSql(Dialect dialect); // unit, ms
std::string
insertStepResultSql(Dialect dialect); // unit, position, step, outcome, measured, units, low, high

// The layout's tables and indexes, as one script. The local record also
// has the outbox of units waiting for upload to a central record.
std::string layoutDdl(Dialect dialect);
// Parts of it, for an upgrade that rebuilds the units table under `name`
// (renamed to units afterwards) and then indexes it.
std::string unitsTableDdl(Dialect dialect, const std::string &name);
std::string unitsIndexDdl();
// The indexes added to the layout after its version was set, each IF NOT
// EXISTS: a writer opening a record made before them makes them. They
// change no result, so a kav that lacks them uses the record as before.
struct LaterIndexDdl {
    std::string name, ddl; // ddl: one statement, no closing ';'
};
std::vector<LaterIndexDdl> laterIndexes();
std::string laterIndexDdl();  // all of them as one script
std::string stepResultsDdl(); // the table and its index
std::string outboxDdl();

} // namespace kav::station
