// The topics readings go to, under anemobus/<site>/<aircraft id>/:
//   weather  every reading, QoS 1, not retained
//   latest   the newest reading, retained
// and anemobus/<site>/status: "online" (retained) while connected, "offline"
// as the broker's will and on a clean stop.
//
// Principles: a site name or an aircraft id is one topic level, and must stay
// one: a '/' would add levels that anemobus/+/+/weather no longer matches,
// and '+' or '#' in a published topic makes the broker drop the connection,
// which would wedge the outbox on that reading for ever. Such names are
// refused where they come in (the command line, the bus), never mended.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "result.h"

namespace mqtt {

inline constexpr std::string_view topic_root = "anemobus";

// Whether text can be one topic level: not empty, UTF-8, no NUL, no control
// character, no '/', '+' or '#'; the failure says which rule it breaks.
tools::Status check_topic_level(std::string_view text);
inline bool is_topic_level(std::string_view text) {
    return check_topic_level(text).ok();
}

enum class ReadingTopic { weather, latest };

// anemobus/<site>/<id>/weather or .../latest; both names must be topic levels.
std::string reading_topic(std::string_view site, std::string_view id, ReadingTopic kind);
// anemobus/<site>/status
std::string status_topic(std::string_view site);

// The subscription an operations centre uses: every site, every aircraft.
inline constexpr std::string_view every_weather_topic = "anemobus/+/+/weather";

// The site and aircraft id of anemobus/<site>/<id>/weather; nullopt for any
// other topic.
struct SiteAndId {
    std::string site, id;
};
std::optional<SiteAndId> parse_weather_topic(std::string_view topic);

}  // namespace mqtt
