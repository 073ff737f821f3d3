#include "broker_feed.h"

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

std::string BrokerFeed::filter() const {
    if (!settings_.only_id) return std::string(mqtt::every_weather_topic);
    return std::string(mqtt::topic_root) + "/" + std::string(settings_.only_id->view()) +
           "/weather";
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
    session.subscribe(filter());
}

void BrokerFeed::on_lost() {
    link_.connected = false;
    publish_link();
}

void BrokerFeed::on_subscribed(bool granted) {
    if (granted) return;
    // Connected, yet nothing will come: said as the other changes are.
    link_.connected = false;
    report("the broker refused the subscription to " + filter() +
           " (may --user read these topics?)");
}

void BrokerFeed::on_message(std::string_view topic, std::string_view payload, bool) {
    const std::int64_t now = now_();
    const BrokerMessage m =
        check_broker_message(topic, payload, settings_.only_id, now, settings_.keep_days);
    // Another station than -i's, which was not asked for: not the sender's
    // fault, so not counted as refused.
    if (m.refusal == Refusal::other_aircraft) return;
    if (m.refusal != Refusal::none) return intake_.refuse(topic, payload, m.refusal, m.detail, now);
    intake_.take_stamped(topic, payload, m.reading, now);
}

}  // namespace web
