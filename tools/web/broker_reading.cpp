#include "broker_reading.h"

#include <cstdio>

#include "payload.h"
#include "topics.h"
#include "web_text.h"

namespace web {

std::optional<StationId> station_of_topic(std::string_view topic) {
    const auto parts = mqtt::parse_weather_topic(topic);
    if (!parts) return std::nullopt;
    return StationId::from(parts->site + "/" + parts->id);
}

Refusal check_reading_time(std::int64_t t_ms, std::int64_t now_ms, int keep_days) {
    if (t_ms - now_ms > max_clock_skew_ms) return Refusal::ahead_of_clock;
    if (now_ms - t_ms > std::int64_t{keep_days} * 86400 * 1000) return Refusal::too_old;
    return Refusal::none;
}

namespace {

BrokerMessage refused(Refusal why, std::string detail = {}) {
    BrokerMessage m;
    m.refusal = why;
    m.detail = std::move(detail);
    return m;
}

std::string time_detail(Refusal why, std::int64_t t_ms, std::int64_t now_ms) {
    if (why != Refusal::ahead_of_clock) return "from " + format_utc(t_ms);
    char text[64];
    std::snprintf(text, sizeof text, "by %.1f s: is the sender's clock set?",
                  static_cast<double>(t_ms - now_ms) / 1000.0);
    return text;
}

}  // namespace

BrokerMessage check_broker_message(std::string_view topic, std::string_view payload,
                                   const std::optional<StationId>& only_id, std::int64_t now_ms,
                                   int keep_days) {
    const std::optional<StationId> id = station_of_topic(topic);
    if (!id) return refused(Refusal::not_a_station_name);
    if (only_id && *id != *only_id) return refused(Refusal::other_aircraft);
    const auto reading = mqtt::parse_weather_payload(payload);
    if (!reading) return refused(Refusal::bad_payload, reading.error());
    if (!within_physical_bounds(*reading)) return refused(Refusal::out_of_bounds);
    const Refusal when = check_reading_time(reading->received_ms, now_ms, keep_days);
    if (when != Refusal::none)
        return refused(when, time_detail(when, reading->received_ms, now_ms));
    BrokerMessage m;
    m.reading = {*id, *reading, true};
    return m;
}

}  // namespace web
