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
#include <optional>
#include <string>
#include <vector>

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
    // Opens or creates the file (not its folders); nullptr with the reason
    // in *error, also when another bridge holds it.
    static std::unique_ptr<Outbox> open(const std::string& path, std::string* error);
    ~Outbox();
    Outbox(const Outbox&) = delete;
    Outbox& operator=(const Outbox&) = delete;

    // Every change below goes in a transaction of the caller's.
    bool begin(std::string* error);
    bool commit(std::string* error);
    void rollback();

    bool append(const readings::StationReading& reading, std::int64_t* seq, std::string* error);
    bool remove(std::int64_t seq, std::string* error);
    // Removes readings from the oldest on while their time is before
    // cutoff_ms, and says what went.
    struct Dropped {
        std::int64_t count = 0;
        std::int64_t oldest_ms = 0;  // the time of the first one
        std::int64_t last_seq = 0;   // the number of the last one
    };
    bool drop_before(std::int64_t cutoff_ms, Dropped* dropped, std::string* error);

    // Up to `limit` rows after `seq`, oldest first, replacing rows' content.
    bool read_after(std::int64_t seq, std::size_t limit, std::vector<OutboxRow>& rows,
                    std::string* error);
    // For each aircraft id, its newest row's number.
    bool newest_rows(const std::function<void(const readings::StationId&, std::int64_t)>& each,
                     std::string* error);
    // How many readings wait, and the highest number ever given (0: none);
    // nullopt with the reason in *error.
    std::optional<std::int64_t> count(std::string* error);
    std::optional<std::int64_t> last_seq(std::string* error);

private:
    explicit Outbox(sqlite3* db) : db_(db) {}
    bool rename_old_columns(std::string* error);
    bool prepare_all(std::string* error);
    bool exec(const char* sql, std::string* error);
    bool fail(const char* what, std::string* error);
    std::optional<std::int64_t> single_integer(const char* sql, const char* what,
                                               std::string* error);

    sqlite3* db_;
    readings::Statement insert_, delete_, select_after_, head_;
};

}  // namespace mqtt
