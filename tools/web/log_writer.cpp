#include "log_writer.h"

#include <algorithm>
#include <cstdio>

#include "wall_clock.h"

namespace web {
namespace {

constexpr std::size_t eager_batch = 2000;  // a burst is written without waiting the interval
constexpr int clean_step_rows = 5000;
constexpr std::chrono::hours clean_every{1};

using tools::now_ms;

}  // namespace

LogWriter::LogWriter(ReadingStore* store, std::string open_error, Settings settings)
    : store_(store), settings_(std::move(settings)) {
    state_.ok = store_ != nullptr;
    state_.error = std::move(open_error);
    if (store_ != nullptr) thread_ = std::thread([this] { run(); });
}

LogWriter::~LogWriter() {
    finish();
}

std::uint64_t LogWriter::finish() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_one();
    if (thread_.joinable()) thread_.join();
    std::lock_guard lock(mutex_);
    return unwritten_ + state_.dropped;
}

void LogWriter::push(const StationReading& reading, std::uint64_t seq) {
    std::lock_guard lock(mutex_);
    if (store_ == nullptr || queue_.size() >= settings_.max_queued) {
        ++state_.dropped;
        return;
    }
    queue_.push_back(reading);
    if (seq != 0) pushed_seq_ = seq;
    state_.queued = queue_.size();
    if (queue_.size() == eager_batch) wake_.notify_one();
}

LogState LogWriter::state() const {
    std::lock_guard lock(mutex_);
    return state_;
}

void LogWriter::set_state(bool ok, const std::string& error) {
    bool changed = false;
    {
        std::lock_guard lock(mutex_);
        changed = state_.ok != ok || state_.error != error;
        state_.ok = ok;
        state_.error = error;
    }
    if (!changed) return;
    if (!ok)
        std::fprintf(stderr,
                     "anemobus-web: %s; the readings are queued and the write tried again\n",
                     error.c_str());
    else if (!settings_.quiet)
        std::fprintf(stderr, "anemobus-web: the reading log %s is written again\n",
                     store_->path().c_str());
}

void LogWriter::set_notice(const std::string& notice) {
    {
        std::lock_guard lock(mutex_);
        state_.notice = notice;
        state_.notice_ms = now_ms();
    }
    std::fprintf(stderr, "anemobus-web: %s\n", notice.c_str());
}

bool LogWriter::take_queue(std::vector<StationReading>& batch, bool after_failure) {
    std::unique_lock lock(mutex_);
    const auto pause = after_failure ? settings_.retry_pause : settings_.flush_interval;
    wake_.wait_for(lock, pause,
                   [&] { return stopping_ || (!after_failure && queue_.size() >= eager_batch); });
    if (batch.empty()) {
        batch.swap(queue_);
    } else {
        move_into_batch(batch);
    }
    state_.queued = batch.size() + queue_.size();
    return queue_.empty();
}

// A batch kept by a failed write takes from the queue only up to
// max_queued, oldest first: what is held while the log fails stays within
// the queue's bound and the batch's, and the rest waits its turn in order.
void LogWriter::move_into_batch(std::vector<StationReading>& batch) {
    const std::size_t room = settings_.max_queued - std::min(batch.size(), settings_.max_queued);
    const auto taken = static_cast<std::ptrdiff_t>(std::min(room, queue_.size()));
    batch.insert(batch.end(), queue_.begin(), queue_.begin() + taken);
    queue_.erase(queue_.begin(), queue_.begin() + taken);
}

void LogWriter::run() {
    std::vector<StationReading> batch;
    std::uint64_t batch_seq = 0;  // of the batch's latest reading
    for (;;) {
        if (take_queue(batch, !batch.empty())) {
            std::lock_guard lock(mutex_);
            batch_seq = pushed_seq_;
        }
        const auto now = std::chrono::steady_clock::now();
        if (now >= next_check_) {
            next_check_ = now + settings_.file_check_interval;
            follow_file(batch);
        }
        if (!reopen_failed_) write_batch(batch, batch_seq);
        clean_old(now);
        std::lock_guard lock(mutex_);
        if (stopping_ && (queue_.empty() || !batch.empty())) {
            unwritten_ = batch.size() + queue_.size();
            break;
        }
    }
}

void LogWriter::write_batch(std::vector<StationReading>& batch, std::uint64_t batch_seq) {
    if (batch.empty()) return;
    std::uint64_t duplicates = 0;
    if (const tools::Status written = store_->insert(batch, &duplicates); !written) {
        set_state(false, written.error());  // the batch is kept for the next try
        return;
    }
    written_seq_ = std::max(written_seq_, batch_seq);
    {
        std::lock_guard lock(mutex_);
        state_.written += batch.size() - duplicates;
        state_.duplicates += duplicates;
        state_.queued = queue_.size();
    }
    batch.clear();
    set_state(true, "");
}

// A log deleted while we write it takes every later reading with it when
// the program ends, unseen: writes go on into the unlinked file. So the path
// is watched, and a new log starts there with what memory still holds of
// the lost one, ahead of the readings not yet written.
void LogWriter::follow_file(std::vector<StationReading>& batch) {
    const ReadingStore::FileCheck found = store_->check_file();
    if (found == ReadingStore::FileCheck::same && !reopen_failed_) return;
    const tools::Status reopened = store_->reopen();
    reopen_failed_ = !reopened;
    if (reopen_failed_) return set_state(false, reopened.error());
    std::vector<StationReading> kept;
    if (settings_.recall) kept = settings_.recall(written_seq_);
    batch.insert(batch.begin(), kept.begin(), kept.end());
    const std::string count = std::to_string(kept.size()) + " reading(s) still in memory";
    if (found == ReadingStore::FileCheck::replaced)
        set_notice("the reading log " + store_->path() + " was replaced by another file; the " +
                   count + " are written to it");
    else
        set_notice("the reading log " + store_->path() +
                   " was deleted; a new one starts with the " + count);
}

void LogWriter::clean_old(std::chrono::steady_clock::time_point now) {
    if (now < next_clean_) return;
    const std::int64_t keep_ms = std::int64_t{settings_.keep_days} * 86400 * 1000;
    const auto deleted = store_->delete_before(now_ms() - keep_ms, clean_step_rows);
    if (!deleted) {
        set_state(false, deleted.error());
        next_clean_ = now + settings_.retry_pause;
        return;
    }
    // A full step means more is left: go on at the next flush.
    next_clean_ = *deleted == clean_step_rows ? now : now + clean_every;
}

}  // namespace web
