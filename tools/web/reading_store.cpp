#include "reading_store.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>

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
    "CREATE INDEX IF NOT EXISTS readings_by_time ON readings(received_ms);";

// A reader that waits for the writer at most this long (WAL readers rarely wait).
constexpr int busy_timeout_ms = 2000;
constexpr std::size_t max_idle_readers = 8;

// Runs SQL that returns no rows we need.
bool run(sqlite3* db, const char* sql) {
    return sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
}

// Statements finalized however the function returns.
struct Statement {
    sqlite3_stmt* stmt = nullptr;
    ~Statement() { sqlite3_finalize(stmt); }
};

}  // namespace

std::string ReadingStore::describe(sqlite3* db, const char* what) const {
    return std::string(what) + " " + path_ + ": " +
           (db != nullptr ? sqlite3_errmsg(db) : "out of memory");
}

std::unique_ptr<ReadingStore> ReadingStore::open(const std::string& path, std::string* error) {
    std::unique_ptr<ReadingStore> store(new ReadingStore(path));
    const int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX;
    if (sqlite3_open_v2(path.c_str(), &store->writer_, flags, nullptr) != SQLITE_OK) {
        *error = store->describe(store->writer_, "cannot open the reading log");
        return nullptr;
    }
    return store->prepare_writer(error) ? std::move(store) : nullptr;
}

bool ReadingStore::prepare_writer(std::string* error) {
    sqlite3_busy_timeout(writer_, busy_timeout_ms);
    // The first statement is where a file that is no database shows it.
    if (!run(writer_, "PRAGMA journal_mode=WAL") || !run(writer_, "PRAGMA synchronous=NORMAL") ||
        !run(writer_, schema_sql)) {
        *error = describe(writer_, "cannot use the reading log");
        return false;
    }
    const char* insert_sql =
        "INSERT INTO readings(received_ms, aircraft, pressure_pa, temperature_c, wind_m_s,"
        " direction_deg) VALUES (?, ?, ?, ?, ?, ?)";
    if (sqlite3_prepare_v3(writer_, insert_sql, -1, SQLITE_PREPARE_PERSISTENT, &insert_, nullptr) !=
        SQLITE_OK) {
        *error = describe(writer_, "cannot use the reading log");
        return false;
    }
    return true;
}

ReadingStore::~ReadingStore() {
    sqlite3_finalize(insert_);
    sqlite3_close(writer_);
    for (sqlite3* db : readers_) sqlite3_close(db);
}

bool ReadingStore::insert(const std::vector<StationReading>& batch, std::string* error) {
    if (batch.empty()) return true;
    if (!run(writer_, "BEGIN")) {
        *error = describe(writer_, "cannot write the reading log");
        return false;
    }
    for (const StationReading& r : batch) {
        const std::string_view id = r.id.view();
        sqlite3_bind_int64(insert_, 1, r.reading.received_ms);
        sqlite3_bind_text(insert_, 2, id.data(), static_cast<int>(id.size()), SQLITE_STATIC);
        sqlite3_bind_double(insert_, 3, r.reading.pressure);
        sqlite3_bind_double(insert_, 4, r.reading.temperature);
        sqlite3_bind_double(insert_, 5, r.reading.wind);
        sqlite3_bind_double(insert_, 6, r.reading.direction);
        const int rc = sqlite3_step(insert_);
        sqlite3_reset(insert_);
        if (rc != SQLITE_DONE) {
            *error = describe(writer_, "cannot write the reading log");
            run(writer_, "ROLLBACK");
            return false;
        }
    }
    if (!run(writer_, "COMMIT")) {
        *error = describe(writer_, "cannot write the reading log");
        run(writer_, "ROLLBACK");
        return false;
    }
    return true;
}

std::optional<int> ReadingStore::delete_before(std::int64_t t_ms, int limit, std::string* error) {
    Statement s;
    const char* sql =
        "DELETE FROM readings WHERE rowid IN (SELECT rowid FROM readings WHERE received_ms < ?"
        " ORDER BY received_ms LIMIT ?)";
    if (sqlite3_prepare_v2(writer_, sql, -1, &s.stmt, nullptr) != SQLITE_OK) {
        *error = describe(writer_, "cannot clean the reading log");
        return std::nullopt;
    }
    sqlite3_bind_int64(s.stmt, 1, t_ms);
    sqlite3_bind_int(s.stmt, 2, limit);
    if (sqlite3_step(s.stmt) != SQLITE_DONE) {
        *error = describe(writer_, "cannot clean the reading log");
        return std::nullopt;
    }
    return sqlite3_changes(writer_);
}

sqlite3* ReadingStore::take_reader(std::string* error) const {
    {
        std::lock_guard lock(readers_mutex_);
        if (!readers_.empty()) {
            sqlite3* db = readers_.back();
            readers_.pop_back();
            return db;
        }
    }
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(path_.c_str(), &db, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX, nullptr) !=
        SQLITE_OK) {
        *error = describe(db, "cannot read the reading log");
        sqlite3_close(db);
        return nullptr;
    }
    sqlite3_busy_timeout(db, busy_timeout_ms);
    return db;
}

void ReadingStore::give_back(sqlite3* db) const {
    std::lock_guard lock(readers_mutex_);
    if (readers_.size() < max_idle_readers) {
        readers_.push_back(db);
        return;
    }
    sqlite3_close(db);
}

bool ReadingStore::read_range(const std::optional<StationId>& id, std::int64_t from_ms,
                              std::int64_t to_ms, const Visit& visit, std::string* error) const {
    sqlite3* db = take_reader(error);
    if (db == nullptr) return false;
    bool ok = true;
    {
        Statement s;
        const char* sql =
            "SELECT received_ms, aircraft, pressure_pa, temperature_c, wind_m_s, direction_deg"
            " FROM readings WHERE received_ms BETWEEN ?1 AND ?2 AND (?3 IS NULL OR aircraft = ?3)"
            " ORDER BY received_ms";
        ok = sqlite3_prepare_v2(db, sql, -1, &s.stmt, nullptr) == SQLITE_OK;
        if (ok) {
            sqlite3_bind_int64(s.stmt, 1, from_ms);
            sqlite3_bind_int64(s.stmt, 2, to_ms);
            if (id)
                sqlite3_bind_text(s.stmt, 3, id->view().data(), static_cast<int>(id->view().size()),
                                  SQLITE_STATIC);
            int rc;
            while ((rc = sqlite3_step(s.stmt)) == SQLITE_ROW) {
                const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(s.stmt, 1));
                auto row_id = StationId::from(text != nullptr ? text : "");
                if (!row_id) continue;  // written by someone else: not ours to show
                visit(*row_id,
                      Reading{sqlite3_column_int64(s.stmt, 0), sqlite3_column_double(s.stmt, 2),
                              sqlite3_column_double(s.stmt, 3), sqlite3_column_double(s.stmt, 4),
                              sqlite3_column_double(s.stmt, 5)});
            }
            ok = rc == SQLITE_DONE;
        }
        if (!ok) *error = describe(db, "cannot read the reading log");
    }
    give_back(db);
    return ok;
}

bool make_parent_directories(const std::string& path, std::string* error) {
    for (auto slash = path.find('/', 1); slash != std::string::npos;
         slash = path.find('/', slash + 1)) {
        const std::string dir = path.substr(0, slash);
        if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
            *error = "cannot create " + dir + ": " + std::strerror(errno);
            return false;
        }
    }
    return true;
}

}  // namespace web
