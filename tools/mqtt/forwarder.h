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
//    it is published. A failed transaction is rolled back and retried the
//    next turn with the same readings (at most max_pending of them, the
//    oldest dropped and counted past that); its error is reported once.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <unordered_map>
#include <vector>

#include "inbox.h"
#include "mqtt_client.h"
#include "outbox.h"

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

    Forwarder(Outbox& outbox, Inbox& inbox, ForwarderSettings settings, Report report, Now now);
    // Takes up what the outbox already holds; false with the reason.
    bool load(std::string* error);

    void on_connected(Session& session) override;
    void on_lost() override;
    void on_acked(int message_id) override;
    void on_turn(Session* session) override;
    void on_stopping(Session& session) override;
    bool settled() const override;

    std::uint64_t published() const { return published_; }

private:
    struct InFlight {
        std::int64_t seq;
        readings::StationId id;
    };

    void store_turn();
    bool write_turn(bool prune_due,
                    std::vector<std::pair<readings::StationId, std::int64_t>>& added,
                    std::string* error);
    bool prune(std::string* error);
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

    std::vector<readings::StationReading> pending_;  // taken from the inbox, not yet committed
    std::vector<std::int64_t> acked_;                // acknowledged, not yet removed
    std::unordered_map<int, InFlight> in_flight_;
    std::map<readings::StationId, std::int64_t> newest_;  // per aircraft id, its newest row
    std::int64_t cursor_ = 0;    // the last row published on this connection
    std::int64_t last_seq_ = 0;  // the last row committed
    std::int64_t next_prune_ms_ = 0;
    Outbox::Dropped pruned_;  // by this turn's prune
    int stop_message_ = 0;    // the "offline" status while stopping, until acknowledged
    std::uint64_t published_ = 0;
    std::string write_error_, read_error_;  // the last said, until it is over
    std::vector<OutboxRow> rows_;
    std::string payload_;
};

}  // namespace mqtt
