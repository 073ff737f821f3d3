// anemobus-web's side of a broker: on the MQTT client's own thread (so that
// neither the bus loop nor the page ever waits on the network), it
// subscribes to every site's readings, checks each message and hands it to
// the intake, and keeps the page told of the link: up or down, and the
// latest change as it was said on standard error.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "intake.h"
#include "live_state.h"
#include "mqtt_client.h"

namespace web {

class BrokerFeed : public mqtt::Handler {
public:
    using Clock = std::function<std::int64_t()>;
    using Print = std::function<void(const std::string& line)>;
    struct Settings {
        std::string url;  // for the page
        std::optional<StationId> only_id;
        int keep_days = 30;
        // Only these sites are subscribed to (--sites); empty: every site.
        std::vector<std::string> sites{};
    };
    BrokerFeed(Intake& intake, LiveState& live, Settings settings, Print print, Clock now);

    // The topics to subscribe to: every site's readings, each listed
    // site's, or the one station of -i; and the same as one text.
    std::vector<std::string> filters() const;
    std::string filter() const;
    // Each line the client reports (connected, lost, refused, ...): printed,
    // and the page's latest.
    void report(const std::string& line);

    void on_connected(mqtt::Session& session) override;
    void on_lost() override;
    void on_subscribed(int reason_code) override;
    void on_message(std::string_view topic, std::string_view payload, bool retained) override;

private:
    void publish_link();
    bool listed(const StationId& station) const;

    Intake& intake_;
    LiveState& live_;
    const Settings settings_;
    Print print_;
    Clock now_;
    BrokerLink link_;  // the client's thread's own; copied to live_
};

}  // namespace web
