#include "broker_feed.h"

#include <algorithm>

#include "broker_reading.h"
#include "topics.h"

namespace web {

BrokerFeed::BrokerFeed(Intake& intake, LiveState& live, Settings settings, Print print, Clock now)
    : intake_(intake),
      live_(live),
      settings_(std::move(settings)),
      print_(std::move(print)),
      now_(std::move(now)) {
    link_.url = settings_.url;
    link_.state = "connecting to " + settings_.url;
    link_.since_ms = now_();
    publish_link();
}

std::vector<std::string> BrokerFeed::filters() const {
    const std::string root(mqtt::topic_root);
    if (settings_.only_id)
        return {root + "/" + std::string(settings_.only_id->view()) + "/weather"};
    if (settings_.sites.empty()) return {std::string(mqtt::every_weather_topic)};
    std::vector<std::string> each;
    for (const std::string& site : settings_.sites)
        each.push_back(root + "/" + site + "/+/weather");
    return each;
}

std::string BrokerFeed::filter() const {
    std::string text;
    for (const std::string& f : filters()) text += (text.empty() ? "" : " ") + f;
    return text;
}

// A session kept from before --sites changed could still bring others.
bool BrokerFeed::listed(const StationId& station) const {
    if (settings_.sites.empty()) return true;
    const std::string_view name = station.view();
    const std::string_view site = name.substr(0, name.find('/'));
    return std::find(settings_.sites.begin(), settings_.sites.end(), site) != settings_.sites.end();
}

void BrokerFeed::publish_link() {
    live_.set_broker(link_);
}

void BrokerFeed::report(const std::string& line) {
    print_(line);
    link_.state = line;
    link_.since_ms = now_();
    publish_link();
}

void BrokerFeed::on_connected(mqtt::Session& session) {
    link_.connected = true;
    publish_link();
    // Refused only when the connection is going: the next one asks again.
    for (const std::string& f : filters()) session.subscribe(f);
}

void BrokerFeed::on_lost() {
    link_.connected = false;
    publish_link();
}

void BrokerFeed::on_subscribed(int reason_code) {
    if (reason_code < 0x80) return;
    // Connected, yet nothing will come: said as the other changes are.
    link_.connected = false;
    report("the broker refused the subscription to " + filter() + ": " +
           mqtt::reason_text(reason_code) + " (may --user read these topics?)");
}

void BrokerFeed::on_message(std::string_view topic, std::string_view payload, bool) {
    const std::int64_t now = now_();
    const BrokerMessage m =
        check_broker_message(topic, payload, settings_.only_id, now, settings_.keep_days);
    // Another station than -i's, which was not asked for: not the sender's
    // fault, so not counted as refused.
    if (m.refusal == Refusal::other_aircraft ||
        (m.refusal == Refusal::none && !listed(m.reading.id)))
        return;
    if (m.refusal != Refusal::none) return intake_.refuse(topic, payload, m.refusal, m.detail, now);
    intake_.take_stamped(topic, payload, m.reading, now);
}

}  // namespace web
