// The bridge's work on the client's thread: readings from the inbox into the
// outbox, the outbox to the broker, acknowledged readings out of the outbox.
//
// Principles:
//  - The outbox is sent strictly in its order. A window of at most `window`
//    readings is in flight; each PUBACK frees a place. After a lost
//    connection everything still in the outbox is sent again from the
//    oldest: readings in flight when it broke may arrive twice, as QoS 1
//    allows, never out of order once duplicates are removed (the broker
//    acknowledges in the order it received).
//  - `latest` carries the newest reading of each aircraft id: a reading is
//    published there only if no newer reading of its aircraft is in the
//    outbox, so a replayed old reading never overwrites a newer one. It is
//    published just before its `weather` twin, so that the twin's PUBACK,
//    which removes the reading, also means `latest` was received.
//  - A turn's database work is one transaction, committed before anything of
//    it is published. A failed transaction (a full or unwritable disk) is
//    rolled back and retried the next turn with the same readings (at most
//    max_pending of them, the oldest dropped and counted past that); its
//    error is said once, and again when it is over. Meanwhile the readings
//    are published from memory after the outbox's: one the broker
//    acknowledges needs no writing, so with the broker up nothing waits for
//    the disk. unwritten() counts those neither written nor acknowledged,
//    which a stop loses.
//  - A publish the broker refuses (an MQTT 5 reason of 0x80 or more: not
//    authorised, quota exceeded, ...) is no acknowledgement: the reading
//    stays where it is, the refusal is counted and named once per reason
//    (then at most once a minute, with the count), and once the window is
//    empty and a wait has passed (1 s doubling to 30 s, as reconnects) the
//    outbox is sent again from the oldest.
//  - An exact copy of a reading (same_reading: the same aircraft, millisecond
//    and values) is dropped and counted before the outbox: no subscriber
//    could tell the two apart.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <unordered_map>
#include <vector>

#include "backoff.h"
#include "inbox.h"
#include "mqtt_client.h"
#include "outbox.h"
#include "result.h"

namespace mqtt {

struct ForwarderSettings {
    std::string site;
    int keep_days = 7;
    std::size_t window = 4096;  // readings in flight at most
    // Readings kept in memory while the outbox cannot be written, at most.
    std::size_t max_pending = 100000;
};

class Forwarder : public Handler {
public:
    using Report = std::function<void(const std::string& line)>;
    using Now = std::function<std::int64_t()>;  // ms since the epoch, UTC

    Forwarder(Outbox& outbox, Inbox& inbox, ForwarderSettings settings, Report report, Now now,
              std::uint32_t seed = 1);
    // Takes up what the outbox already holds.
    tools::Status load();

    void on_connected(Session& session) override;
    void on_lost() override;
    void on_acked(int message_id) override;
    void on_refused(int message_id, int reason_code) override;
    void on_turn(Session* session) override;
    void on_stopping(Session& session) override;
    bool settled() const override;

    std::uint64_t published() const { return published_; }
    std::uint64_t refused() const { return refused_total_; }
    std::uint64_t copies() const { return copies_total_; }
    // Readings taken from the bus that are neither in the outbox nor
    // acknowledged: what a stop now would lose.
    std::size_t unwritten() const { return unwritten_.size(); }

private:
    // A reading not yet in the outbox, numbered in the order taken.
    struct Unwritten {
        std::uint64_t key;
        readings::StationReading reading;
    };
    // In flight, a row of the outbox (seq) or a reading in memory (key).
    struct InFlight {
        std::int64_t seq;
        std::uint64_t key;
        readings::StationId id;
    };
    struct RefusalNote {
        std::uint64_t held = 0;  // since it was last said
        std::int64_t said_ms = 0;
        std::string topic;
    };

    void take_inbox();
    void written(const std::vector<std::pair<readings::StationId, std::int64_t>>& added,
                 std::int64_t old_last_seq);
    void forget_unwritten(std::uint64_t key);
    bool send_memory(Session& session);
    bool send_reading(Session& session, const readings::StationReading& r, bool latest,
                      InFlight in_flight);
    void resend_if_due();
    void note_refusal(int reason_code, const std::string& topic);
    void say_refusals(bool all_due);
    void report_copies();

    void store_turn();
    tools::Status write_turn(bool prune_due,
                             std::vector<std::pair<readings::StationId, std::int64_t>>& added);
    tools::Status prune();
    void report_pruned();
    void fill_window(Session& session);
    bool send_row(Session& session, const OutboxRow& row);
    void report_dropped_in_memory();
    void say_error(std::string& last, const std::string& error);
    void say_recovered(std::string& last, const std::string& line);

    Outbox& outbox_;
    Inbox& inbox_;
    ForwarderSettings settings_;
    Report report_;
    Now now_;

    std::vector<readings::StationReading> taken_;  // from the inbox, this turn
    std::deque<Unwritten> unwritten_;              // taken, not yet committed, by key
    std::uint64_t next_key_ = 1;
    std::uint64_t memory_cursor_ = 0;  // the last key published on this connection
    std::map<readings::StationId, std::uint64_t> newest_unwritten_;  // per aircraft id, its key
    std::vector<readings::StationReading> this_ms_;  // the last millisecond's readings, for copies
    std::uint64_t copies_ = 0, copies_total_ = 0;
    std::int64_t copies_said_ms_ = 0;
    std::vector<std::int64_t> acked_;  // acknowledged, not yet removed
    std::unordered_map<int, InFlight> in_flight_;
    std::map<readings::StationId, std::int64_t> newest_;  // per aircraft id, its newest row
    std::int64_t cursor_ = 0;    // the last row published on this connection
    std::int64_t last_seq_ = 0;  // the last row committed
    std::int64_t next_prune_ms_ = 0;
    Outbox::Dropped pruned_;  // by this turn's prune
    int stop_message_ = 0;    // the "offline" status while stopping, until acknowledged
    std::uint64_t published_ = 0;
    // Refusals: by reason, when the outbox is sent again, and how long the
    // next wait is.
    std::map<int, RefusalNote> refusals_;
    std::uint64_t refused_total_ = 0;
    bool resend_due_ = false;
    std::int64_t resend_at_ms_ = 0;
    bool resent_ = false;  // since the last resend, no refusal came
    Backoff refusal_backoff_;
    std::mt19937 random_;
    std::string write_error_, read_error_;  // the last said, until it is over
    std::vector<OutboxRow> rows_;
    std::string payload_;
};

}  // namespace mqtt
