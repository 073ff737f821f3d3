#include "log_writer.h"

#include <cstdio>

namespace web {
namespace {

constexpr std::size_t eager_batch = 2000;  // a burst is written without waiting the interval
constexpr int clean_step_rows = 5000;
constexpr std::chrono::hours clean_every{1};

std::int64_t now_ms() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

}  // namespace

LogWriter::LogWriter(ReadingStore* store, std::string open_error, Settings settings)
    : store_(store), settings_(settings) {
    state_.ok = store_ != nullptr;
    state_.error = std::move(open_error);
    if (store_ != nullptr) thread_ = std::thread([this] { run(); });
}

LogWriter::~LogWriter() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_one();
    if (thread_.joinable()) thread_.join();
}

void LogWriter::push(const StationReading& reading) {
    std::lock_guard lock(mutex_);
    if (store_ == nullptr) return;
    if (queue_.size() >= settings_.max_queued) {
        ++state_.dropped;
        return;
    }
    queue_.push_back(reading);
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

void LogWriter::run() {
    std::vector<StationReading> batch;
    bool last_failed = false;
    for (;;) {
        {
            std::unique_lock lock(mutex_);
            const auto pause = last_failed ? settings_.retry_pause : settings_.flush_interval;
            wake_.wait_for(lock, pause, [&] {
                return stopping_ || (!last_failed && queue_.size() >= eager_batch);
            });
            if (batch.empty()) {
                batch.swap(queue_);
            } else if (batch.size() < settings_.max_queued) {
                batch.insert(batch.end(), queue_.begin(), queue_.end());
                queue_.clear();
            }
            state_.queued = batch.size() + queue_.size();
        }
        write_batch(batch);
        last_failed = !batch.empty();
        clean_old(std::chrono::steady_clock::now());
        std::lock_guard lock(mutex_);
        if (stopping_ && (queue_.empty() || last_failed)) break;
    }
    const std::size_t lost = batch.size() + queue_.size();
    if (lost > 0)
        std::fprintf(stderr, "anemobus-web: %zu reading(s) could not be written to the log\n",
                     lost);
}

void LogWriter::write_batch(std::vector<StationReading>& batch) {
    if (batch.empty()) return;
    std::string error;
    if (!store_->insert(batch, &error)) {
        set_state(false, error);  // the batch is kept for the next try
        return;
    }
    {
        std::lock_guard lock(mutex_);
        state_.written += batch.size();
        state_.queued = queue_.size();
    }
    batch.clear();
    set_state(true, "");
}

void LogWriter::clean_old(std::chrono::steady_clock::time_point now) {
    if (now < next_clean_) return;
    const std::int64_t keep_ms = std::int64_t{settings_.keep_days} * 86400 * 1000;
    std::string error;
    auto deleted = store_->delete_before(now_ms() - keep_ms, clean_step_rows, &error);
    if (!deleted) {
        set_state(false, error);
        next_clean_ = now + settings_.retry_pause;
        return;
    }
    // A full step means more is left: go on at the next flush.
    next_clean_ = *deleted == clean_step_rows ? now : now + clean_every;
}

}  // namespace web
