#include "reading_store.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "reading_row.h"
#include "sqlite_statement.h"
#include "state_file.h"

namespace web {
namespace {

constexpr const char* schema_sql =
    "CREATE TABLE IF NOT EXISTS readings("
    " received_ms INTEGER NOT NULL,"
    " aircraft TEXT NOT NULL,"
    " pressure_pa REAL NOT NULL,"
    " temperature_c REAL NOT NULL,"
    " wind_m_s REAL NOT NULL,"
    " direction_deg REAL NOT NULL);"
    "CREATE INDEX IF NOT EXISTS readings_by_time ON readings(received_ms);"
    "CREATE TABLE IF NOT EXISTS minutes("
    " aircraft TEXT NOT NULL,"
    " minute INTEGER NOT NULL,"
    " count INTEGER NOT NULL,"
    " wind_sum REAL NOT NULL,"
    " wind_max REAL NOT NULL,"
    " pressure_sum REAL NOT NULL,"
    " temperature_sum REAL NOT NULL,"
    " east REAL NOT NULL,"
    " north REAL NOT NULL,"
    " directions INTEGER NOT NULL,"
    " PRIMARY KEY (aircraft, minute)) WITHOUT ROWID;";

constexpr const char* add_minute_sql =
    "INSERT INTO minutes VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10)"
    " ON CONFLICT(aircraft, minute) DO UPDATE SET count = count + excluded.count,"
    " wind_sum = wind_sum + excluded.wind_sum, wind_max = max(wind_max, excluded.wind_max),"
    " pressure_sum = pressure_sum + excluded.pressure_sum,"
    " temperature_sum = temperature_sum + excluded.temperature_sum,"
    " east = east + excluded.east, north = north + excluded.north,"
    " directions = directions + excluded.directions";

constexpr const char* insert_sql =
    "INSERT INTO readings(received_ms, aircraft, pressure_pa, temperature_c, wind_m_s,"
    " direction_deg) VALUES (?1, ?2, ?3, ?4, ?5, ?6)";

// The time index finds the rows of that millisecond; one of the same
// station with the same values is the same reading (same_reading, in SQL).
// (Two readings a bridge took in one millisecond share their time, not their
// values.)
constexpr const char* insert_once_sql =
    "INSERT INTO readings(received_ms, aircraft, pressure_pa, temperature_c, wind_m_s,"
    " direction_deg) SELECT ?1, ?2, ?3, ?4, ?5, ?6 WHERE NOT EXISTS"
    " (SELECT 1 FROM readings WHERE received_ms = ?1 AND aircraft = ?2 AND pressure_pa = ?3"
    " AND temperature_c = ?4 AND wind_m_s = ?5 AND direction_deg = ?6)";

constexpr std::int64_t minute_ms = std::int64_t{60} * 1000;

// A reader that waits for the writer at most this long (WAL readers rarely wait).
constexpr int busy_timeout_ms = 2000;
constexpr std::size_t max_idle_readers = 8;

// Runs SQL that returns no rows we need.
bool run(sqlite3* db, const char* sql) {
    return sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
}

}  // namespace

tools::Failure ReadingStore::failure(sqlite3* db, const char* what) const {
    return tools::fail(std::string(what) + " " + path_ + ": " +
                       (db != nullptr ? sqlite3_errmsg(db) : "out of memory"));
}

tools::Result<std::unique_ptr<ReadingStore>> ReadingStore::open(const std::string& path) {
    std::unique_ptr<ReadingStore> store(new ReadingStore(path));
    if (const tools::Status opened = store->open_writer(); !opened) return opened.failure();
    return store;
}

tools::Status ReadingStore::open_writer() {
    const int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX;
    tools::Status opened;
    if (sqlite3_open_v2(path_.c_str(), &writer_, flags, nullptr) != SQLITE_OK)
        opened = failure(writer_, "cannot open the reading log");
    else
        opened = prepare_writer();
    if (!opened) {
        close_writer();
        return opened;
    }
    // The write-ahead files exist while a connection is open.
    file_ = file_id(path_);
    wal_ = file_id(path_ + "-wal");
    shm_ = file_id(path_ + "-shm");
    return {};
}

std::optional<ReadingStore::FileId> ReadingStore::file_id(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return std::nullopt;
    return FileId{st.st_dev, st.st_ino};
}

void ReadingStore::close_writer() {
    insert_.reset();
    insert_once_.reset();
    add_minute_.reset();
    sqlite3_close(writer_);
    writer_ = nullptr;
}

tools::Status ReadingStore::prepare_writer() {
    sqlite3_busy_timeout(writer_, busy_timeout_ms);
    // The first statement is where a file that is no database shows it.
    if (!run(writer_, "PRAGMA journal_mode=WAL") || !run(writer_, "PRAGMA synchronous=NORMAL") ||
        !run(writer_, schema_sql))
        return failure(writer_, "cannot use the reading log");
    for (const auto& [sql, stmt] :
         {std::pair{insert_sql, &insert_}, std::pair{insert_once_sql, &insert_once_},
          std::pair{add_minute_sql, &add_minute_}}) {
        auto prepared = prepare(writer_, sql, SQLITE_PREPARE_PERSISTENT);
        if (!prepared) return failure(writer_, "cannot use the reading log");
        *stmt = std::move(*prepared);
    }
    return {};
}

ReadingStore::~ReadingStore() {
    close_writer();
    for (sqlite3* db : readers_) sqlite3_close(db);
}

ReadingStore::FileCheck ReadingStore::check_file() const {
    struct stat st {};
    if (::stat(path_.c_str(), &st) != 0)
        return errno == ENOENT || errno == ENOTDIR ? FileCheck::deleted : FileCheck::same;
    return FileId{st.st_dev, st.st_ino} == file_ ? FileCheck::same : FileCheck::replaced;
}

tools::Status ReadingStore::reopen() {
    const bool deleted = check_file() == FileCheck::deleted;
    const auto wal = wal_, shm = shm_;
    std::unique_lock lock(readers_mutex_);
    reopening_ = true;
    readers_back_.wait(lock, [&] { return readers_lent_ == 0; });
    for (sqlite3* db : readers_) sqlite3_close(db);
    readers_.clear();
    lock.unlock();
    // SQLite leaves the write-ahead log of a file that was moved or deleted
    // where it is, and would take it for the next file's at that path,
    // laying the old pages over it. So ours go; with no file at the path,
    // any left there is stale.
    close_writer();
    for (const auto& [name, ours] :
         {std::pair{path_ + "-wal", wal}, std::pair{path_ + "-shm", shm}}) {
        const auto found = file_id(name);
        if (found && (deleted || found == ours)) ::unlink(name.c_str());
    }
    tools::Status opened = tools::make_parent_directories(path_, 0750);
    if (opened) opened = open_writer();
    lock.lock();
    reopening_ = false;
    lock.unlock();
    readers_back_.notify_all();
    return opened;
}

bool ReadingStore::insert_row(const StationReading& r, bool* kept) {
    sqlite3_stmt* stmt = r.stamped ? insert_once_.get() : insert_.get();
    bind_reading_row(stmt, r);
    const int rc = sqlite3_step(stmt);
    sqlite3_reset(stmt);
    *kept = rc == SQLITE_DONE && sqlite3_changes(writer_) > 0;
    return rc == SQLITE_DONE;
}

tools::Status ReadingStore::insert(const std::vector<StationReading>& batch,
                                   std::uint64_t* duplicates) {
    if (batch.empty()) return {};
    if (writer_ == nullptr)
        return tools::fail("cannot write the reading log " + path_ +
                           ": it could not be opened again");
    if (!run(writer_, "BEGIN")) return failure(writer_, "cannot write the reading log");
    kept_.assign(batch.size(), 0);
    bool ok = true;
    for (std::size_t i = 0; ok && i < batch.size(); ++i) {
        bool kept = false;
        ok = insert_row(batch[i], &kept);
        kept_[i] = kept ? 1 : 0;
    }
    if (!ok || !insert_minutes(batch) || !run(writer_, "COMMIT")) {
        tools::Failure failed = failure(writer_, "cannot write the reading log");
        run(writer_, "ROLLBACK");
        return failed;
    }
    if (duplicates != nullptr)
        *duplicates += static_cast<std::uint64_t>(std::count(kept_.begin(), kept_.end(), 0));
    return {};
}

// The batch's readings summed by aircraft and minute, those written only;
// a batch in time order makes one row per minute, one out of order only an
// extra update (sums add up in any order).
bool ReadingStore::insert_minutes(const std::vector<StationReading>& batch) {
    std::size_t i = 0;
    while (i < batch.size()) {
        const StationId& id = batch[i].id;
        const std::int64_t minute = batch[i].reading.received_ms / minute_ms;
        Sums sums;
        for (; i < batch.size() && batch[i].id == id &&
               batch[i].reading.received_ms / minute_ms == minute;
             ++i)
            if (kept_[i] != 0) sums.merge(Sums::of(batch[i].reading));
        if (sums.count == 0) continue;  // nothing a station measures
        sqlite3_bind_text(add_minute_.get(), 1, id.view().data(),
                          static_cast<int>(id.view().size()), SQLITE_STATIC);
        sqlite3_bind_int64(add_minute_.get(), 2, minute);
        sqlite3_bind_int64(add_minute_.get(), 3, static_cast<std::int64_t>(sums.count));
        const double values[] = {sums.wind_sum,        sums.wind_max, sums.pressure_sum,
                                 sums.temperature_sum, sums.east,     sums.north};
        for (int v = 0; v < 6; ++v) sqlite3_bind_double(add_minute_.get(), 4 + v, values[v]);
        sqlite3_bind_int64(add_minute_.get(), 10, static_cast<std::int64_t>(sums.directions));
        const int rc = sqlite3_step(add_minute_.get());
        sqlite3_reset(add_minute_.get());
        if (rc != SQLITE_DONE) return false;
    }
    return true;
}

tools::Result<int> ReadingStore::delete_before(std::int64_t t_ms, int limit) {
    if (writer_ == nullptr) return 0;
    const auto readings = prepare(
        writer_,
        "DELETE FROM readings WHERE rowid IN (SELECT rowid FROM readings WHERE received_ms < ?"
        " ORDER BY received_ms LIMIT ?)");
    // The minutes are few (1440 a day): all of them at once.
    const auto minutes = prepare(writer_, "DELETE FROM minutes WHERE minute < ?");
    if (readings && minutes) {
        sqlite3_bind_int64(readings->get(), 1, t_ms);
        sqlite3_bind_int(readings->get(), 2, limit);
        sqlite3_bind_int64(minutes->get(), 1, t_ms / minute_ms);
        if (step_done(readings->get())) {
            const int deleted = sqlite3_changes(writer_);
            if (step_done(minutes->get())) return deleted;
        }
    }
    return failure(writer_, "cannot clean the reading log");
}

tools::Result<sqlite3*> ReadingStore::take_reader() const {
    {
        std::unique_lock lock(readers_mutex_);
        readers_back_.wait(lock, [&] { return !reopening_; });
        ++readers_lent_;
        if (!readers_.empty()) {
            sqlite3* db = readers_.back();
            readers_.pop_back();
            return db;
        }
    }
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(path_.c_str(), &db, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX, nullptr) !=
        SQLITE_OK) {
        tools::Failure failed = failure(db, "cannot read the reading log");
        sqlite3_close(db);
        give_back(nullptr);
        return failed;
    }
    sqlite3_busy_timeout(db, busy_timeout_ms);
    return db;
}

void ReadingStore::give_back(sqlite3* db) const {
    {
        std::lock_guard lock(readers_mutex_);
        --readers_lent_;
        if (db != nullptr && readers_.size() < max_idle_readers) {
            readers_.push_back(db);
            db = nullptr;
        }
    }
    sqlite3_close(db);
    readers_back_.notify_all();
}

tools::Status ReadingStore::read_query(const char* sql, const StatementStep& bind,
                                       const StatementStep& row,
                                       const std::atomic<bool>* cancel) const {
    const auto reader = take_reader();
    if (!reader) return reader.failure();
    sqlite3* db = *reader;
    int rc = SQLITE_ERROR;
    {
        if (const auto s = prepare(db, sql)) {
            bind(s->get());
            // A read whose client has left stops here, and counts as failed.
            while ((rc = sqlite3_step(s->get())) == SQLITE_ROW &&
                   (cancel == nullptr || !cancel->load(std::memory_order_relaxed)))
                row(s->get());
        }
    }
    // Stopped with rows left, the log was fine: SQLite has no error to tell.
    tools::Status read;
    if (rc == SQLITE_ROW)
        read = tools::fail("the read of the reading log " + path_ +
                           " was stopped: its client has left");
    else if (rc != SQLITE_DONE)
        read = failure(db, "cannot read the reading log");
    give_back(db);
    return read;
}

tools::Status ReadingStore::read_range(const std::optional<StationId>& id, std::int64_t from_ms,
                                       std::int64_t to_ms, const Visit& visit,
                                       const std::atomic<bool>* cancel) const {
    const char* sql =
        "SELECT received_ms, aircraft, pressure_pa, temperature_c, wind_m_s, direction_deg"
        " FROM readings WHERE received_ms BETWEEN ?1 AND ?2 AND (?3 IS NULL OR aircraft = ?3)"
        " ORDER BY received_ms";
    const auto bind = [&](sqlite3_stmt* stmt) {
        sqlite3_bind_int64(stmt, 1, from_ms);
        sqlite3_bind_int64(stmt, 2, to_ms);
        if (id)
            sqlite3_bind_text(stmt, 3, id->view().data(), static_cast<int>(id->view().size()),
                              SQLITE_STATIC);
    };
    const auto row = [&](sqlite3_stmt* stmt) {
        const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt, 1));
        auto row_id = StationId::from(text != nullptr ? text : "");
        if (!row_id) return;  // written by someone else: not ours to show
        visit(*row_id, Reading{sqlite3_column_int64(stmt, 0), sqlite3_column_double(stmt, 2),
                               sqlite3_column_double(stmt, 3), sqlite3_column_double(stmt, 4),
                               sqlite3_column_double(stmt, 5)});
    };
    return read_query(sql, bind, row, cancel);
}

tools::Status ReadingStore::read_minutes(const StationId& id, std::int64_t from_ms,
                                         std::int64_t to_ms, const VisitSums& visit,
                                         const std::atomic<bool>* cancel) const {
    const char* sql =
        "SELECT minute, count, wind_sum, wind_max, pressure_sum, temperature_sum, east,"
        " north, directions FROM minutes WHERE aircraft = ?1 AND minute BETWEEN ?2 AND ?3"
        " ORDER BY minute";
    const auto bind = [&](sqlite3_stmt* stmt) {
        sqlite3_bind_text(stmt, 1, id.view().data(), static_cast<int>(id.view().size()),
                          SQLITE_STATIC);
        sqlite3_bind_int64(stmt, 2, from_ms / minute_ms);
        sqlite3_bind_int64(stmt, 3, to_ms / minute_ms);
    };
    const auto row = [&](sqlite3_stmt* stmt) {
        Sums sums;
        sums.t_ms = sqlite3_column_int64(stmt, 0) * minute_ms;
        sums.count = static_cast<std::size_t>(sqlite3_column_int64(stmt, 1));
        sums.wind_sum = sqlite3_column_double(stmt, 2);
        sums.wind_max = sqlite3_column_double(stmt, 3);
        sums.pressure_sum = sqlite3_column_double(stmt, 4);
        sums.temperature_sum = sqlite3_column_double(stmt, 5);
        sums.east = sqlite3_column_double(stmt, 6);
        sums.north = sqlite3_column_double(stmt, 7);
        sums.directions = static_cast<std::size_t>(sqlite3_column_int64(stmt, 8));
        visit(sums);
    };
    return read_query(sql, bind, row, cancel);
}

tools::Result<std::optional<ReadingStore::TimeBounds>> ReadingStore::time_bounds(
    const std::atomic<bool>* cancel) const {
    std::optional<TimeBounds> bounds;
    // min() and max() alone each read one end of the time index.
    const tools::Status read = read_query(
        "SELECT (SELECT min(received_ms) FROM readings), (SELECT max(received_ms) FROM readings)",
        [](sqlite3_stmt*) {},
        [&](sqlite3_stmt* stmt) {
            if (sqlite3_column_type(stmt, 0) == SQLITE_INTEGER)
                bounds.emplace(sqlite3_column_int64(stmt, 0), sqlite3_column_int64(stmt, 1));
        },
        cancel);
    if (!read) return read.failure();
    return bounds;
}

}  // namespace web
