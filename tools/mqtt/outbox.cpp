#include "outbox.h"

#include <sqlite3.h>

#include "reading_row.h"
#include "sqlite_statement.h"

namespace mqtt {
namespace {

// The lock is taken by the first write (locking_mode before journal_mode, so
// that WAL needs no shared-memory file); busy_timeout 0 makes a second bridge
// fail at once.
constexpr const char* schema = R"SQL(
PRAGMA locking_mode = EXCLUSIVE;
PRAGMA journal_mode = WAL;
PRAGMA synchronous = FULL;
BEGIN EXCLUSIVE;
CREATE TABLE IF NOT EXISTS outbox (
  seq INTEGER PRIMARY KEY AUTOINCREMENT,
  received_ms INTEGER NOT NULL,
  aircraft TEXT NOT NULL,
  pressure_pa REAL NOT NULL,
  temperature_c REAL NOT NULL,
  wind_m_s REAL NOT NULL,
  direction_deg REAL NOT NULL);
COMMIT;
)SQL";

// Outboxes written before their columns took the reading log's names keep
// their readings: the columns are renamed in place.
constexpr std::pair<const char*, const char*> old_columns[] = {
    {"pressure", "pressure_pa"},
    {"temperature", "temperature_c"},
    {"wind", "wind_m_s"},
    {"direction", "direction_deg"},
};

// The oldest rows are looked at this many at a time.
constexpr std::size_t head_batch = 1000;

using readings::step_done;
using readings::text_of;

}  // namespace

tools::Result<std::unique_ptr<Outbox>> Outbox::open(const std::string& path) {
    sqlite3* db = nullptr;
    const int rc =
        sqlite3_open_v2(path.c_str(), &db,
                        SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
    std::unique_ptr<Outbox> outbox(new Outbox(db));
    if (rc != SQLITE_OK)
        return tools::fail("cannot open the outbox " + path + ": " + sqlite3_errmsg(db));
    if (const tools::Status made = outbox->exec(schema); !made) {
        const bool locked =
            sqlite3_errcode(db) == SQLITE_BUSY || sqlite3_errcode(db) == SQLITE_LOCKED;
        return tools::fail(locked ? "the outbox " + path + " is in use by another anemobus-mqtt"
                                  : "cannot use the outbox " + path + ": " + made.error());
    }
    tools::Status ready = outbox->rename_old_columns();
    if (ready) ready = outbox->prepare_all();
    if (!ready) return ready.failure();
    return outbox;
}

Outbox::~Outbox() {
    insert_.reset();
    delete_.reset();
    select_after_.reset();
    head_.reset();
    sqlite3_close(db_);
}

tools::Status Outbox::rename_old_columns() {
    auto found = readings::prepare(db_, "SELECT 1 FROM pragma_table_info('outbox') WHERE name = ?");
    if (!found) return failure("reading the outbox's columns");
    std::string renames;
    for (const auto& [old_name, name] : old_columns) {
        sqlite3_bind_text(found->get(), 1, old_name, -1, SQLITE_STATIC);
        const int rc = sqlite3_step(found->get());
        sqlite3_reset(found->get());
        // A failed read is said as itself, not later as a column missing.
        if (rc != SQLITE_ROW && rc != SQLITE_DONE) return failure("reading the outbox's columns");
        if (rc == SQLITE_ROW)
            renames +=
                std::string("ALTER TABLE outbox RENAME COLUMN ") + old_name + " TO " + name + ";";
    }
    if (renames.empty()) return {};
    return exec(("BEGIN;" + renames + "COMMIT;").c_str());
}

tools::Status Outbox::prepare_all() {
    const std::pair<readings::Statement*, const char*> statements[] = {
        {&insert_,
         "INSERT INTO outbox (received_ms, aircraft, pressure_pa, temperature_c, wind_m_s,"
         " direction_deg) VALUES (?, ?, ?, ?, ?, ?)"},
        {&delete_, "DELETE FROM outbox WHERE seq = ?"},
        {&select_after_,
         "SELECT seq, received_ms, aircraft, pressure_pa, temperature_c, wind_m_s, direction_deg"
         " FROM outbox WHERE seq > ? ORDER BY seq LIMIT ?"},
        {&head_, "SELECT seq, received_ms FROM outbox ORDER BY seq LIMIT ?"},
    };
    for (const auto& [statement, sql] : statements) {
        auto prepared = readings::prepare(db_, sql, SQLITE_PREPARE_PERSISTENT);
        if (!prepared) return failure("preparing the outbox's statements");
        *statement = std::move(*prepared);
    }
    return {};
}

tools::Status Outbox::exec(const char* sql) {
    char* message = nullptr;
    if (sqlite3_exec(db_, sql, nullptr, nullptr, &message) == SQLITE_OK) return {};
    tools::Failure failed = tools::fail(message != nullptr ? message : sqlite3_errmsg(db_));
    sqlite3_free(message);
    return failed;
}

tools::Failure Outbox::failure(const char* what) const {
    return tools::fail(std::string(what) + ": " + sqlite3_errmsg(db_));
}

tools::Status Outbox::begin() {
    return exec("BEGIN");
}

tools::Status Outbox::commit() {
    return exec("COMMIT");
}

// Its own failure is not said: the failure that called for it is, and
// SQLite may have ended the transaction already (on a full disk, an I/O
// error), leaving nothing to undo.
void Outbox::rollback() {
    sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
}

tools::Result<std::int64_t> Outbox::append(const readings::StationReading& r) {
    sqlite3_stmt* s = insert_.get();
    readings::bind_reading_row(s, r);
    if (!step_done(s)) return failure("writing a reading to the outbox");
    return sqlite3_last_insert_rowid(db_);
}

tools::Status Outbox::remove(std::int64_t seq) {
    sqlite3_bind_int64(delete_.get(), 1, seq);
    if (!step_done(delete_.get())) return failure("removing a sent reading from the outbox");
    return {};
}

tools::Result<Outbox::Dropped> Outbox::drop_before(std::int64_t cutoff_ms) {
    Dropped dropped;
    std::vector<std::int64_t> old;
    do {
        old.clear();
        std::int64_t first_ms = 0;
        if (tools::Status read = read_head(cutoff_ms, old, &first_ms); !read) return read.failure();
        if (dropped.count == 0 && !old.empty()) dropped.oldest_ms = first_ms;
        for (std::int64_t seq : old)
            if (tools::Status removed = remove(seq); !removed) return removed.failure();
        dropped.count += static_cast<std::int64_t>(old.size());
        if (!old.empty()) dropped.last_seq = old.back();
    } while (old.size() == head_batch);
    return dropped;
}

// The numbers of the oldest rows received before cutoff_ms, up to the first
// that is not and at most head_batch, and the time of the first.
tools::Status Outbox::read_head(std::int64_t cutoff_ms, std::vector<std::int64_t>& seqs,
                                std::int64_t* first_ms) {
    sqlite3_stmt* s = head_.get();
    sqlite3_bind_int64(s, 1, static_cast<sqlite3_int64>(head_batch));
    int rc = SQLITE_ROW;
    while ((rc = sqlite3_step(s)) == SQLITE_ROW && sqlite3_column_int64(s, 1) < cutoff_ms) {
        if (seqs.empty()) *first_ms = sqlite3_column_int64(s, 1);
        seqs.push_back(sqlite3_column_int64(s, 0));
    }
    sqlite3_reset(s);
    if (rc != SQLITE_ROW && rc != SQLITE_DONE) return failure("reading the outbox");
    return {};
}

// A row whose id is no aircraft id could only come from outside; it is
// passed over, and goes with age. The read goes on past it, so that fewer
// rows than asked still mean there are no more (the forwarder takes the
// rows after it for sent otherwise).
tools::Status Outbox::read_after(std::int64_t seq, std::size_t limit,
                                 std::vector<OutboxRow>& rows) {
    rows.clear();
    for (std::size_t wanted = limit; wanted > 0; wanted = limit - rows.size()) {
        const auto looked_at = read_rows(&seq, wanted, rows);
        if (!looked_at) return looked_at.failure();
        if (*looked_at < wanted) break;
    }
    return {};
}

// Appends the readings among the `limit` rows after *seq, which becomes the
// last row's number; says how many rows there were.
tools::Result<std::size_t> Outbox::read_rows(std::int64_t* seq, std::size_t limit,
                                             std::vector<OutboxRow>& rows) {
    sqlite3_stmt* s = select_after_.get();
    sqlite3_bind_int64(s, 1, *seq);
    sqlite3_bind_int64(s, 2, static_cast<sqlite3_int64>(limit));
    std::size_t looked_at = 0;
    int rc = SQLITE_ROW;
    while ((rc = sqlite3_step(s)) == SQLITE_ROW) {
        ++looked_at;
        *seq = sqlite3_column_int64(s, 0);
        auto id = readings::StationId::from(text_of(s, 2));
        if (!id) continue;
        rows.push_back(
            {*seq,
             *id,
             {sqlite3_column_int64(s, 1), sqlite3_column_double(s, 3), sqlite3_column_double(s, 4),
              sqlite3_column_double(s, 5), sqlite3_column_double(s, 6)}});
    }
    sqlite3_reset(s);
    if (rc != SQLITE_DONE) return failure("reading the outbox");
    return looked_at;
}

tools::Status Outbox::newest_rows(
    const std::function<void(const readings::StationId&, std::int64_t)>& each) {
    const auto s =
        readings::prepare(db_, "SELECT aircraft, MAX(seq) FROM outbox GROUP BY aircraft");
    if (!s) return failure("reading the outbox");
    sqlite3_stmt* raw = s->get();
    int rc = SQLITE_ROW;
    while ((rc = sqlite3_step(raw)) == SQLITE_ROW)
        if (auto id = readings::StationId::from(text_of(raw, 0)))
            each(*id, sqlite3_column_int64(raw, 1));
    if (rc != SQLITE_DONE) return failure("reading the outbox");
    return {};
}

// The query's one number; 0 when it gives no row.
tools::Result<std::int64_t> Outbox::single_integer(const char* sql, const char* what) {
    const auto s = readings::prepare(db_, sql);
    if (!s) return failure(what);
    sqlite3_stmt* raw = s->get();
    const int rc = sqlite3_step(raw);
    if (rc == SQLITE_ROW) return sqlite3_column_int64(raw, 0);
    if (rc == SQLITE_DONE) return 0;
    return failure(what);
}

tools::Result<std::int64_t> Outbox::count() {
    return single_integer("SELECT COUNT(*) FROM outbox", "counting the outbox's readings");
}

// No row until the first reading is written.
tools::Result<std::int64_t> Outbox::last_seq() {
    return single_integer("SELECT seq FROM sqlite_sequence WHERE name = 'outbox'",
                          "reading the outbox's last number");
}

}  // namespace mqtt
