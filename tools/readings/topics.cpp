#include "topics.h"

#include <mosquitto.h>

namespace mqtt {

tools::Status check_topic_level(std::string_view text) {
    if (text.empty()) return tools::fail("it is empty");
    if (text.find_first_of("/+#") != std::string_view::npos)
        return tools::fail("it has a '/', '+' or '#', which MQTT reserves in topics");
    for (char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7f) return tools::fail("it has a control character");
    }
    // The broker checks UTF-8 too, and drops a client that sends a bad topic.
    if (text.size() > 65535 ||
        mosquitto_validate_utf8(text.data(), static_cast<int>(text.size())) != MOSQ_ERR_SUCCESS)
        return tools::fail("it is not valid UTF-8");
    return {};
}

std::string reading_topic(std::string_view site, std::string_view id, ReadingTopic kind) {
    std::string topic;
    topic.reserve(topic_root.size() + site.size() + id.size() + 10);
    topic.append(topic_root).append("/").append(site).append("/").append(id);
    topic.append(kind == ReadingTopic::weather ? "/weather" : "/latest");
    return topic;
}

std::string status_topic(std::string_view site) {
    return std::string(topic_root) + "/" + std::string(site) + "/status";
}

std::optional<SiteAndId> parse_weather_topic(std::string_view topic) {
    const std::string_view prefix = "anemobus/", suffix = "/weather";
    if (topic.size() <= prefix.size() + suffix.size() || topic.substr(0, prefix.size()) != prefix ||
        topic.substr(topic.size() - suffix.size()) != suffix)
        return std::nullopt;
    const auto middle = topic.substr(prefix.size(), topic.size() - prefix.size() - suffix.size());
    const auto slash = middle.find('/');
    if (slash == std::string_view::npos) return std::nullopt;
    SiteAndId parts{std::string(middle.substr(0, slash)), std::string(middle.substr(slash + 1))};
    if (!is_topic_level(parts.site) || !is_topic_level(parts.id)) return std::nullopt;
    return parts;
}

}  // namespace mqtt
