#include "intake.h"

namespace web {

Intake::Intake(LiveState& live, LogWriter& writer, Settings settings, Print print)
    : live_(live), writer_(writer), settings_(std::move(settings)), print_(std::move(print)) {}

void Intake::refuse_locked(std::int64_t now_ms, std::string_view sender, Refusal why, int argc,
                           const char* const* argv, std::string_view detail) {
    const std::string line = refusals_.refuse(now_ms, sender, why, argc, argv, detail);
    if (!line.empty()) print_(line);
    live_.set_refused(refusals_.total());
}

void Intake::take_bus(std::string_view sender, int argc, const char* const* argv,
                      std::int64_t now_ms) {
    CheckedMessage checked = check_weather_message(argc, argv, settings_.only_id);
    if (checked.refusal == Refusal::none && settings_.with_broker &&
        checked.id.view().find('/') != std::string_view::npos)
        checked.refusal = Refusal::slash_in_bus_id;
    std::lock_guard lock(mutex_);
    if (checked.refusal != Refusal::none)
        return refuse_locked(now_ms, sender, checked.refusal, argc, argv);
    checked.reading.received_ms = now_ms;
    const StationReading reading{checked.id, checked.reading};
    const std::uint64_t seq =
        live_.add(reading, sender == relay_agent_name ? std::string_view() : sender);
    if (seq == 0) return refuse_locked(now_ms, sender, Refusal::too_many_stations, argc, argv);
    writer_.push(reading, seq);
}

void Intake::take_stamped(std::string_view topic, std::string_view payload,
                          const StationReading& reading, std::int64_t now_ms) {
    std::lock_guard lock(mutex_);
    if (now_ms - reading.reading.received_ms > forget_after_ms) return writer_.push(reading);
    const LiveState::Taken taken = live_.add_stamped(reading);
    if (taken.outcome == LiveState::Outcome::duplicate) return;
    if (taken.outcome == LiveState::Outcome::too_many_stations) {
        const std::string text(payload);
        const char* fields[] = {text.c_str()};
        return refuse_locked(now_ms, topic, Refusal::too_many_stations, 1, fields);
    }
    writer_.push(reading, taken.seq);
}

void Intake::refuse(std::string_view topic, std::string_view payload, Refusal why,
                    std::string_view detail, std::int64_t now_ms) {
    const std::string text(payload);
    const char* fields[] = {text.c_str()};
    std::lock_guard lock(mutex_);
    refuse_locked(now_ms, topic, why, 1, fields, detail);
}

void Intake::flush(std::int64_t now_ms) {
    std::lock_guard lock(mutex_);
    const std::string line = refusals_.flush(now_ms);
    if (!line.empty()) print_(line);
}

}  // namespace web
