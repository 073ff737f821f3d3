#include "forwarder.h"

#include <algorithm>

#include "payload.h"
#include "reading_text.h"
#include "topics.h"

namespace mqtt {
namespace {

constexpr std::int64_t day_ms = std::int64_t{24} * 3600 * 1000;
constexpr std::int64_t prune_period_ms = std::int64_t{60} * 1000;
// Rows read from the outbox per query while filling the window.
constexpr std::size_t read_batch = 512;

}  // namespace

Forwarder::Forwarder(Outbox& outbox, Inbox& inbox, ForwarderSettings settings, Report report,
                     Now now)
    : outbox_(outbox),
      inbox_(inbox),
      settings_(std::move(settings)),
      report_(std::move(report)),
      now_(std::move(now)) {}

bool Forwarder::load(std::string* error) {
    const auto last = outbox_.last_seq(error);
    if (!last) return false;
    last_seq_ = *last;
    return outbox_.newest_rows(
        [this](const readings::StationId& id, std::int64_t seq) { newest_[id] = seq; }, error);
}

void Forwarder::on_connected(Session& session) {
    session.publish(status_topic(settings_.site), "online", true);
}

void Forwarder::on_lost() {
    in_flight_.clear();
    cursor_ = 0;
    stop_message_ = 0;
}

void Forwarder::on_acked(int message_id) {
    if (message_id == stop_message_) stop_message_ = 0;
    const auto it = in_flight_.find(message_id);
    if (it == in_flight_.end()) return;  // a `latest` or a status
    const InFlight done = it->second;
    in_flight_.erase(it);
    acked_.push_back(done.seq);
    // Rows are acknowledged in order: the newest acknowledged means all are.
    const auto newest = newest_.find(done.id);
    if (newest != newest_.end() && newest->second == done.seq) newest_.erase(newest);
}

void Forwarder::on_turn(Session* session) {
    inbox_.take(pending_);
    report_dropped_in_memory();
    // What is already committed still goes out while the outbox cannot be
    // written (a full disk): the broker may be fine.
    store_turn();
    if (session != nullptr) fill_window(*session);
}

void Forwarder::on_stopping(Session& session) {
    stop_message_ = session.publish(status_topic(settings_.site), "offline", true);
    if (stop_message_ < 0) stop_message_ = 0;
}

bool Forwarder::settled() const {
    return in_flight_.empty() && stop_message_ == 0;
}

// The turn's readings and acknowledgements, and the age bound, in one
// transaction. The newest rows are taken up only once it is committed.
void Forwarder::store_turn() {
    const bool prune_due = now_() >= next_prune_ms_;
    if (pending_.empty() && acked_.empty() && !prune_due) return;
    std::vector<std::pair<readings::StationId, std::int64_t>> added;
    std::string error;
    pruned_ = {};
    if (!outbox_.begin(&error) || !write_turn(prune_due, added, &error) ||
        !outbox_.commit(&error)) {
        outbox_.rollback();
        return say_error(write_error_,
                         error + "; the readings wait in memory and the write is tried again");
    }
    say_recovered(write_error_, "the outbox is written again");
    report_pruned();
    for (const auto& [id, seq] : added) newest_[id] = seq;
    if (!added.empty()) last_seq_ = added.back().second;
    pending_.clear();
    acked_.clear();
    if (prune_due) next_prune_ms_ = now_() + prune_period_ms;
}

bool Forwarder::write_turn(bool prune_due,
                           std::vector<std::pair<readings::StationId, std::int64_t>>& added,
                           std::string* error) {
    for (const readings::StationReading& reading : pending_) {
        std::int64_t seq = 0;
        if (!outbox_.append(reading, &seq, error)) return false;
        added.emplace_back(reading.id, seq);
    }
    for (std::int64_t seq : acked_)
        if (!outbox_.remove(seq, error)) return false;
    return !prune_due || prune(error);
}

// Readings older than --outbox-days go, oldest first; they are reported
// once the transaction is committed.
bool Forwarder::prune(std::string* error) {
    return outbox_.drop_before(now_() - settings_.keep_days * day_ms, &pruned_, error);
}

void Forwarder::report_pruned() {
    if (pruned_.count == 0) return;
    report_("dropped " + std::to_string(pruned_.count) + " reading(s) older than " +
            std::to_string(settings_.keep_days) +
            " days from the outbox, never acknowledged by the broker (the oldest from " +
            readings::format_utc(pruned_.oldest_ms) + ")");
    // The rows dropped are the outbox's oldest: an aircraft whose newest row
    // is among them has none left.
    std::erase_if(newest_, [this](const auto& entry) { return entry.second <= pruned_.last_seq; });
}

void Forwarder::fill_window(Session& session) {
    while (in_flight_.size() < settings_.window && cursor_ < last_seq_) {
        const std::size_t room = std::min(read_batch, settings_.window - in_flight_.size());
        std::string error;
        if (!outbox_.read_after(cursor_, room, rows_, &error))
            return say_error(read_error_, error + "; the read is tried again");
        say_recovered(read_error_, "the outbox is read again");
        if (rows_.empty()) {
            cursor_ = last_seq_;
            return;
        }
        for (const OutboxRow& row : rows_)
            if (!send_row(session, row)) return;
    }
}

bool Forwarder::send_row(Session& session, const OutboxRow& row) {
    payload_.clear();
    append_weather_payload(payload_, row.reading);
    const auto newest = newest_.find(row.id);
    if (newest != newest_.end() && newest->second == row.seq &&
        session.publish(reading_topic(settings_.site, row.id.view(), ReadingTopic::latest),
                        payload_, true) < 0)
        return false;
    const int mid = session.publish(
        reading_topic(settings_.site, row.id.view(), ReadingTopic::weather), payload_, false);
    if (mid < 0) return false;
    in_flight_[mid] = {row.seq, row.id};
    cursor_ = row.seq;
    ++published_;
    return true;
}

// Readings that the outbox could not take: those the inbox dropped, and
// those past the bound of what waits here for a write that keeps failing.
void Forwarder::report_dropped_in_memory() {
    std::uint64_t dropped = inbox_.take_dropped();
    if (pending_.size() > settings_.max_pending) {
        const auto excess = pending_.size() - settings_.max_pending;
        pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(excess));
        dropped += excess;
    }
    if (dropped > 0)
        report_("dropped " + std::to_string(dropped) +
                " reading(s) from the bus: the outbox could not take them in time");
}

// Reads and writes fail apart (a full disk still lets the outbox be read):
// each has its own last error, so that each recovery said is true.
void Forwarder::say_error(std::string& last, const std::string& error) {
    if (error == last) return;
    last = error;
    report_(error);
}

void Forwarder::say_recovered(std::string& last, const std::string& line) {
    if (last.empty()) return;
    last.clear();
    report_(line);
}

}  // namespace mqtt
