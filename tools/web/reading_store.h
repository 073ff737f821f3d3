// The reading log: an SQLite database with one row per reading (receive
// time, aircraft id and the four values), in write-ahead-log mode so that the
// page reads while the writer writes. Beside the readings, the same
// transaction keeps each minute's sums (see Sums), so that a day's chart
// reads 1440 rows instead of 86400, and a month's 43200 instead of millions.
//
// Principles: one thread writes, through the connection opened here; any
// thread reads, each read on a connection of its own taken from a small pool
// and given back when the query ends (never held across network I/O). Every
// failure comes back as false with a sentence that names the file and what
// SQLite said; nothing here prints or exits. A stamped reading (its time is
// its sender's, see StationReading) is written only if the log does not hold
// it already (its aircraft, time and values): the same reading may come
// twice, and the minutes' sums must count it once, whatever the order it
// comes in.
#pragma once

#include <sqlite3.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "downsample.h"
#include "sqlite_statement.h"
#include "web_readings.h"

namespace web {

class ReadingStore {
public:
    // Opens the log, creating the file, its table and index when new (not
    // its folders: see tools::make_parent_directories).
    static tools::Result<std::unique_ptr<ReadingStore>> open(const std::string& path);
    ~ReadingStore();
    ReadingStore(const ReadingStore&) = delete;
    ReadingStore& operator=(const ReadingStore&) = delete;

    const std::string& path() const { return path_; }

    // Whether the file at path() is still the one written: it may have been
    // deleted (its inode then lives on, unseen, until we close it) or
    // replaced by another file.
    enum class FileCheck { same, deleted, replaced };
    FileCheck check_file() const;
    // Closes the log and opens path() again, creating the file (and its
    // directories) when it is gone, once the reads in progress have ended.
    // Nothing is written until a reopen succeeds.
    tools::Status reopen();

    // The writer's side: one transaction for the whole batch. *duplicates
    // (when given) grows by the stamped readings the log already held.
    tools::Status insert(const std::vector<StationReading>& batch,
                         std::uint64_t* duplicates = nullptr);
    // Deletes readings received before t_ms, at most `limit` rows at a time
    // so that the writer is never held long; returns the rows deleted.
    tools::Result<int> delete_before(std::int64_t t_ms, int limit);

    // The readers' side: visits the readings with from_ms <= time <= to_ms
    // in time order, of one aircraft or of all. A read whose *cancel turns
    // true stops at the next row (its client has left) and fails, saying
    // so (it is no failure of the log).
    using Visit = std::function<void(const StationId&, const Reading&)>;
    tools::Status read_range(const std::optional<StationId>& id, std::int64_t from_ms,
                             std::int64_t to_ms, const Visit& visit,
                             const std::atomic<bool>* cancel = nullptr) const;

    // The minutes' sums of one aircraft, from the minute of from_ms to the
    // minute of to_ms, in time order; Sums::t_ms is the minute's start.
    using VisitSums = std::function<void(const Sums&)>;
    tools::Status read_minutes(const StationId& id, std::int64_t from_ms, std::int64_t to_ms,
                               const VisitSums& visit,
                               const std::atomic<bool>* cancel = nullptr) const;

    // The times of the first and the last reading held, so that a walk over
    // a span asks only where there are readings; none when the log holds
    // no reading.
    using TimeBounds = std::pair<std::int64_t, std::int64_t>;
    tools::Result<std::optional<TimeBounds>> time_bounds(
        const std::atomic<bool>* cancel = nullptr) const;

private:
    using StatementStep = std::function<void(sqlite3_stmt*)>;
    bool insert_row(const StationReading& r, bool* kept);
    bool insert_minutes(const std::vector<StationReading>& batch);
    explicit ReadingStore(std::string path) : path_(std::move(path)) {}
    tools::Status open_writer();
    tools::Status prepare_writer();
    void close_writer();
    // "cannot read the reading log PATH: SQLite's words"
    tools::Failure failure(sqlite3* db, const char* what) const;
    // One read-only query on a pooled connection: bind, then each row.
    tools::Status read_query(const char* sql, const StatementStep& bind, const StatementStep& row,
                             const std::atomic<bool>* cancel = nullptr) const;
    tools::Result<sqlite3*> take_reader() const;
    void give_back(sqlite3* db) const;

    struct FileId {
        std::uint64_t device = 0, inode = 0;
        bool operator==(const FileId&) const = default;
    };
    static std::optional<FileId> file_id(const std::string& path);

    std::string path_;
    // The files opened: the log, its write-ahead log and its shared index.
    std::optional<FileId> file_, wal_, shm_;
    sqlite3* writer_ = nullptr;
    Statement insert_;
    Statement insert_once_;  // for stamped readings
    Statement add_minute_;
    std::vector<char> kept_;  // the writer's: which rows of the batch were written
    mutable std::mutex readers_mutex_;
    mutable std::condition_variable readers_back_;
    mutable std::vector<sqlite3*> readers_;  // idle
    mutable std::size_t readers_lent_ = 0;
    bool reopening_ = false;  // under readers_mutex_: no reader is lent meanwhile
};

}  // namespace web
