#include "forwarder.h"

#include <algorithm>

#include "payload.h"
#include "reading_text.h"
#include "refusal_log.h"
#include "topics.h"

namespace mqtt {
namespace {

constexpr std::int64_t day_ms = std::int64_t{24} * 3600 * 1000;
constexpr std::int64_t prune_period_ms = std::int64_t{60} * 1000;
// Rows read from the outbox per query while filling the window.
constexpr std::size_t read_batch = 512;
// A refusal's reason is said at once, then at most this often with a count.
constexpr std::int64_t refusal_report_ms = std::int64_t{60} * 1000;

}  // namespace

Forwarder::Forwarder(Outbox& outbox, Inbox& inbox, ForwarderSettings settings, Report report,
                     Now now, std::uint32_t seed)
    : outbox_(outbox),
      inbox_(inbox),
      settings_(std::move(settings)),
      report_(std::move(report)),
      now_(std::move(now)),
      random_(seed) {}

tools::Status Forwarder::load() {
    const auto last = outbox_.last_seq();
    if (!last) return last.failure();
    last_seq_ = *last;
    return outbox_.newest_rows(
        [this](const readings::StationId& id, std::int64_t seq) { newest_[id] = seq; });
}

void Forwarder::on_connected(Session& session) {
    session.publish(status_topic(settings_.site), "online", true);
}

// A new connection sends everything from the oldest: no wait for refusals.
void Forwarder::on_lost() {
    in_flight_.clear();
    cursor_ = 0;
    memory_cursor_ = 0;
    stop_message_ = 0;
    resend_due_ = false;
}

void Forwarder::on_acked(int message_id) {
    if (message_id == stop_message_) stop_message_ = 0;
    const auto it = in_flight_.find(message_id);
    if (it == in_flight_.end()) return;  // a `latest` or a status
    const InFlight done = it->second;
    in_flight_.erase(it);
    if (done.key != 0) return forget_unwritten(done.key);
    if (done.seq == 0) return;
    acked_.push_back(done.seq);
    // Rows are acknowledged in order: the newest acknowledged means all are.
    const auto newest = newest_.find(done.id);
    if (newest != newest_.end() && newest->second == done.seq) newest_.erase(newest);
}

// The reading stays where it is, in the outbox or in memory, for the resend.
void Forwarder::on_refused(int message_id, int reason_code) {
    if (message_id == stop_message_) stop_message_ = 0;
    std::string topic = status_topic(settings_.site);
    const auto it = in_flight_.find(message_id);
    if (it != in_flight_.end()) {
        topic = reading_topic(settings_.site, it->second.id.view(), ReadingTopic::weather);
        in_flight_.erase(it);
        ++refused_total_;
        if (!resend_due_) {
            std::uniform_real_distribution<double> draw(0.0, 1.0);
            resend_due_ = true;
            resend_at_ms_ = now_() + refusal_backoff_.next(draw(random_)).count();
        }
        resent_ = false;
    }
    note_refusal(reason_code, topic);
}

void Forwarder::on_turn(Session* session) {
    take_inbox();
    report_dropped_in_memory();
    report_copies();
    say_refusals(false);
    // What is already committed still goes out while the outbox cannot be
    // written (a full disk), and what is not yet committed after it.
    store_turn();
    if (session != nullptr) fill_window(*session);
}

// Readings from the bus, less exact copies. The bridge stamps them itself,
// in order: a copy can only be of a reading of the same millisecond.
void Forwarder::take_inbox() {
    taken_.clear();
    inbox_.take(taken_);
    for (const readings::StationReading& r : taken_) {
        if (!this_ms_.empty() && this_ms_.front().reading.received_ms != r.reading.received_ms)
            this_ms_.clear();
        const auto same = [&r](const readings::StationReading& o) {
            return readings::same_reading(o, r);
        };
        if (std::any_of(this_ms_.begin(), this_ms_.end(), same)) {
            ++copies_;
            ++copies_total_;
            continue;
        }
        this_ms_.push_back(r);
        newest_unwritten_[r.id] = next_key_;
        unwritten_.push_back({next_key_++, r});
    }
}

void Forwarder::forget_unwritten(std::uint64_t key) {
    const auto it = std::lower_bound(unwritten_.begin(), unwritten_.end(), key,
                                     [](const Unwritten& u, std::uint64_t k) { return u.key < k; });
    if (it == unwritten_.end() || it->key != key) return;
    const auto newest = newest_unwritten_.find(it->reading.id);
    if (newest != newest_unwritten_.end() && newest->second == key) newest_unwritten_.erase(newest);
    unwritten_.erase(it);
}

void Forwarder::report_copies() {
    const std::int64_t now = now_();
    if (copies_ == 0 || now - copies_said_ms_ < readings::refusal_report_interval_ms) return;
    report_("dropped " + std::to_string(copies_) +
            " exact copy(ies) of a reading (the same aircraft, millisecond and values: no "
            "subscriber could tell them apart), " +
            std::to_string(copies_total_) + " since the start");
    copies_ = 0;
    copies_said_ms_ = now;
}

void Forwarder::note_refusal(int reason_code, const std::string& topic) {
    RefusalNote& note = refusals_[reason_code];
    ++note.held;
    note.topic = topic;
    say_refusals(false);
}

// Each reason the first time at once, then at most once a minute with the
// count since; all_due says what is held whatever the time.
void Forwarder::say_refusals(bool all_due) {
    const std::int64_t now = now_();
    for (auto& [reason, note] : refusals_) {
        if (note.held == 0 ||
            (!all_due && note.said_ms != 0 && now - note.said_ms < refusal_report_ms))
            continue;
        report_(
            "the broker refused " + std::to_string(note.held) + " publish(es) on " + note.topic +
            (note.held > 1 ? " and others" : "") + ": " + reason_text(reason) +
            (reason == 0x87 ? " (may --user write to anemobus/" + settings_.site + "/#?)" : "") +
            "; the readings stay in the outbox and are sent again (" +
            std::to_string(refused_total_) + " refused since the start)");
        note.held = 0;
        note.said_ms = now;
    }
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
    if (unwritten_.empty() && acked_.empty() && !prune_due) return;
    std::vector<std::pair<readings::StationId, std::int64_t>> added;
    pruned_ = {};
    tools::Status stored = outbox_.begin();
    if (stored) stored = write_turn(prune_due, added);
    if (stored) stored = outbox_.commit();
    if (!stored) {
        outbox_.rollback();
        return say_error(write_error_, stored.error() +
                                           "; the readings are forwarded from memory meanwhile "
                                           "(lost if the bridge stops), and the write is tried "
                                           "again");
    }
    say_recovered(write_error_, "the outbox is written again");
    report_pruned();
    written(added, last_seq_);
    acked_.clear();
    if (prune_due) next_prune_ms_ = now_() + prune_period_ms;
}

// The readings of memory are rows now. Those in flight are acknowledged as
// rows; those already published on this connection (a prefix: memory goes
// out after every row) are not published again as rows.
void Forwarder::written(const std::vector<std::pair<readings::StationId, std::int64_t>>& added,
                        std::int64_t old_last_seq) {
    for (const auto& [id, seq] : added) newest_[id] = seq;
    if (!added.empty()) last_seq_ = added.back().second;
    for (auto& [mid, flight] : in_flight_) {
        if (flight.key == 0) continue;
        const auto it =
            std::lower_bound(unwritten_.begin(), unwritten_.end(), flight.key,
                             [](const Unwritten& u, std::uint64_t k) { return u.key < k; });
        // One dropped past max_pending meanwhile has no row: seq 0.
        const bool kept = it != unwritten_.end() && it->key == flight.key;
        flight.seq = kept ? added[static_cast<std::size_t>(it - unwritten_.begin())].second : 0;
        flight.key = 0;
    }
    if (cursor_ == old_last_seq && memory_cursor_ != 0) {
        for (std::size_t i = 0; i < unwritten_.size() && unwritten_[i].key <= memory_cursor_; ++i)
            cursor_ = added[i].second;
    }
    memory_cursor_ = 0;
    unwritten_.clear();
    newest_unwritten_.clear();
}

tools::Status Forwarder::write_turn(
    bool prune_due, std::vector<std::pair<readings::StationId, std::int64_t>>& added) {
    for (const Unwritten& u : unwritten_) {
        const auto seq = outbox_.append(u.reading);
        if (!seq) return seq.failure();
        added.emplace_back(u.reading.id, *seq);
    }
    for (std::int64_t seq : acked_)
        if (tools::Status removed = outbox_.remove(seq); !removed) return removed;
    if (!prune_due) return {};
    return prune();
}

// Readings older than --outbox-days go, oldest first; they are reported
// once the transaction is committed.
tools::Status Forwarder::prune() {
    const auto dropped = outbox_.drop_before(now_() - settings_.keep_days * day_ms);
    if (!dropped) return dropped.failure();
    pruned_ = *dropped;
    return {};
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

// After refusals, once the window is empty and the wait has passed: the
// outbox from the oldest again (what was acknowledged is gone from it). A
// resend that no refusal follows ends the waits' doubling.
void Forwarder::resend_if_due() {
    if (!in_flight_.empty()) return;
    if (resent_) {
        refusal_backoff_.reset();
        resent_ = false;
    }
    if (!resend_due_ || now_() < resend_at_ms_) return;
    resend_due_ = false;
    resent_ = true;
    cursor_ = 0;
    memory_cursor_ = 0;
}

void Forwarder::fill_window(Session& session) {
    resend_if_due();
    while (in_flight_.size() < settings_.window && cursor_ < last_seq_) {
        const std::size_t room = std::min(read_batch, settings_.window - in_flight_.size());
        if (const tools::Status read = outbox_.read_after(cursor_, room, rows_); !read)
            return say_error(read_error_, read.error() + "; the read is tried again");
        say_recovered(read_error_, "the outbox is read again");
        if (rows_.empty()) cursor_ = last_seq_;
        for (const OutboxRow& row : rows_)
            if (!send_row(session, row)) return;
    }
    if (cursor_ >= last_seq_) send_memory(session);
}

bool Forwarder::send_row(Session& session, const OutboxRow& row) {
    const auto newest = newest_.find(row.id);
    const bool latest = newest != newest_.end() && newest->second == row.seq &&
                        newest_unwritten_.count(row.id) == 0;
    if (!send_reading(session, {row.id, row.reading}, latest, {row.seq, 0, row.id})) return false;
    cursor_ = row.seq;
    return true;
}

// What the outbox could not take yet, after all it holds.
bool Forwarder::send_memory(Session& session) {
    const auto from =
        std::upper_bound(unwritten_.begin(), unwritten_.end(), memory_cursor_,
                         [](std::uint64_t k, const Unwritten& u) { return k < u.key; });
    for (auto it = from; it != unwritten_.end() && in_flight_.size() < settings_.window; ++it) {
        const auto newest = newest_unwritten_.find(it->reading.id);
        const bool latest = newest != newest_unwritten_.end() && newest->second == it->key;
        if (!send_reading(session, it->reading, latest, {0, it->key, it->reading.id})) return false;
        memory_cursor_ = it->key;
    }
    return true;
}

bool Forwarder::send_reading(Session& session, const readings::StationReading& r, bool latest,
                             InFlight in_flight) {
    payload_.clear();
    append_weather_payload(payload_, r.reading);
    if (latest && session.publish(reading_topic(settings_.site, r.id.view(), ReadingTopic::latest),
                                  payload_, true) < 0)
        return false;
    const int mid = session.publish(
        reading_topic(settings_.site, r.id.view(), ReadingTopic::weather), payload_, false);
    if (mid < 0) return false;
    in_flight_[mid] = in_flight;
    ++published_;
    return true;
}

// Readings that the outbox could not take: those the inbox dropped, and
// those past the bound of what waits here for a write that keeps failing.
void Forwarder::report_dropped_in_memory() {
    std::uint64_t dropped = inbox_.take_dropped();
    while (unwritten_.size() > settings_.max_pending) {
        forget_unwritten(unwritten_.front().key);
        ++dropped;
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
