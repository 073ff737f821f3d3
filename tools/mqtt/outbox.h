// The outbox: every reading taken from the bus, on disk, until the broker has
// acknowledged it. SQLite in WAL mode, one row per reading, numbered in the
// order the readings came (AUTOINCREMENT, so a number is never used twice,
// even after the outbox empties), which is the order they are sent in.
//
// Principles:
//  - A reading is committed before it is published, so anything the broker
//    acknowledges was on disk first; a kill -9 loses at most the readings of
//    the current turn (a few milliseconds), never one already committed.
//    synchronous=FULL: a power cut keeps every committed reading too, for an
//    fsync per turn (about a millisecond), which batching makes cheap.
//  - One bridge per outbox: the file is locked exclusively while open, so a
//    second bridge on the same file is refused instead of sending the same
//    readings twice and deleting the other's.
//  - Bounded by age: drop_before() removes the oldest readings, from the
//    head only, so that the order of what stays is untouched.
// One thread uses an Outbox (the client's); it is not shared.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "result.h"
#include "sqlite_statement.h"
#include "weather_message.h"

namespace mqtt {

struct OutboxRow {
    std::int64_t seq = 0;
    readings::StationId id;
    readings::Reading reading;
};

class Outbox {
public:
    // Opens or creates the file (not its folders); fails also when another
    // bridge holds it.
    static tools::Result<std::unique_ptr<Outbox>> open(const std::string& path);
    ~Outbox();
    Outbox(const Outbox&) = delete;
    Outbox& operator=(const Outbox&) = delete;

    // Every change below goes in a transaction of the caller's.
    tools::Status begin();
    tools::Status commit();
    void rollback();

    // The reading's number.
    tools::Result<std::int64_t> append(const readings::StationReading& reading);
    tools::Status remove(std::int64_t seq);
    // Removes readings from the oldest on while their time is before
    // cutoff_ms, and says what went.
    struct Dropped {
        std::int64_t count = 0;
        std::int64_t oldest_ms = 0;  // the time of the first one
        std::int64_t last_seq = 0;   // the number of the last one
    };
    tools::Result<Dropped> drop_before(std::int64_t cutoff_ms);

    // Up to `limit` rows after `seq`, oldest first, replacing rows' content
    // (the caller's vector, kept across turns, so that a read allocates
    // nothing). Fewer than `limit` means there are no more.
    tools::Status read_after(std::int64_t seq, std::size_t limit, std::vector<OutboxRow>& rows);
    // For each aircraft id, its newest row's number.
    tools::Status newest_rows(
        const std::function<void(const readings::StationId&, std::int64_t)>& each);
    // How many readings wait, and the highest number ever given (0: none).
    tools::Result<std::int64_t> count();
    tools::Result<std::int64_t> last_seq();

private:
    explicit Outbox(sqlite3* db) : db_(db) {}
    tools::Status rename_old_columns();
    tools::Status prepare_all();
    tools::Status exec(const char* sql);
    // "what: SQLite's words"
    tools::Failure failure(const char* what) const;
    tools::Result<std::int64_t> single_integer(const char* sql, const char* what);
    tools::Status read_head(std::int64_t cutoff_ms, std::vector<std::int64_t>& seqs,
                            std::int64_t* first_ms);
    tools::Result<std::size_t> read_rows(std::int64_t* seq, std::size_t limit,
                                         std::vector<OutboxRow>& rows);

    sqlite3* db_;
    readings::Statement insert_, delete_, select_after_, head_;
};

}  // namespace mqtt
