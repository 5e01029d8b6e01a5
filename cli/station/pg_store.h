// A line's central record read and written as a RecordStore: the same
// layout and the same query texts as the local record, over one libpq
// connection. Stations feed it from their outbox; kav results reads it.
#pragma once

#include "pg_connection.h"
#include "pg_schema.h"
#include "record_store.h"

#include <memory>
#include <mutex>

namespace kav::station {

class PgStore final : public RecordStore {
  public:
    // Connects and checks (or with Create, makes) the layout; nullptr with
    // `error`, which names the record without its password.
    static std::unique_ptr<PgStore> open(const std::string &uri, SchemaUse use, std::string &error);

    std::optional<StoredUnit> append(const UnitResult &unit, const CheckRun &run, const Json &steps,
                                     std::string &error) override;
    Receipt receive(const StoredUnit &unit, std::string &error) override;
    std::optional<StoredUnit> unit(long long id, std::string &error) override;
    std::optional<StoredUnit> unitByRunId(const std::string &runId, std::string &error) override;
    std::vector<StoredUnit> units(const RecordFilter &filter, std::string &error) override;
    std::vector<SummaryRow> summary(const RecordFilter &filter, std::string &error) override;
    std::vector<FailureCount> failures(const RecordFilter &filter, std::string &error) override;
    std::vector<double> readTimes(const RecordFilter &filter, std::string &error) override;

    // The URI without its password.
    const std::string &location() const override { return conn_->location(); }

  private:
    explicit PgStore(std::unique_ptr<PgConnection> conn) : conn_(std::move(conn)) {}
    std::unique_ptr<PgConnection> conn_;
    std::mutex mutex_; // one connection: the threads of one process take turns
};

} // namespace kav::station
