// anemobus-mqtt: forwards every weather reading on the bus to an MQTT broker.
// The bus loop (Ivy's main loop, this thread) checks each reading, stamps it
// and hands it to the inbox; the client's thread writes it to the outbox and
// publishes it, and removes it once the broker has acknowledged it. They meet
// in the Inbox only.
#include <Ivy/ivy.h>
#include <Ivy/ivyloop.h>
#include <Ivy/timer.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <random>
#include <string>

#include "bridge_options.h"
#include "forwarder.h"
#include "reading_text.h"
#include "refusal_log.h"
#include "state_file.h"
#include "stop_on_signals.h"
#include "topics.h"
#include "wall_clock.h"

namespace {

// Readings the bus may hand over faster than the outbox takes them, before
// the oldest are dropped: five seconds at the bridge's full rate.
constexpr std::size_t inbox_bound = 100000;

struct Bridge {
    mqtt::BridgeOptions options;
    mqtt::Inbox* inbox = nullptr;
    readings::RefusalLog refusals;
};

Bridge bridge;

using tools::now_ms;

void say(const std::string& line) {
    if (!line.empty()) std::fprintf(stderr, "anemobus-mqtt: %s\n", line.c_str());
}

void info(const std::string& line) {
    if (!bridge.options.quiet) say(line);
}

void on_weather(IvyClientPtr app, void*, int argc, char** argv) {
    readings::CheckedMessage checked =
        readings::check_weather_message(argc, argv, bridge.options.only_id);
    if (checked.refusal == readings::Refusal::none && !mqtt::is_topic_level(checked.id.view()))
        checked.refusal = readings::Refusal::not_a_topic_level;
    if (checked.refusal != readings::Refusal::none)
        return say(bridge.refusals.refuse(now_ms(), IvyGetApplicationName(app), checked.refusal,
                                          argc, argv));
    checked.reading.received_ms = now_ms();
    bridge.inbox->put({checked.id, checked.reading});
}

void on_application(IvyClientPtr app, void*, IvyApplicationEvent event) {
    if (event == IvyApplicationConnected)
        info(std::string(IvyGetApplicationName(app)) + " connected from " +
             IvyGetApplicationHost(app));
    else if (event == IvyApplicationDisconnected)
        info(std::string(IvyGetApplicationName(app)) + " disconnected");
}

void on_report_timer(TimerId, void*, unsigned long) {
    say(bridge.refusals.flush(now_ms()));
}

// Whether to run; false once --help is printed or the command line refused.
bool read_command_line(int argc, char** argv, int* status) {
    const std::string program = "anemobus-mqtt";
    char host[HOST_NAME_MAX + 1] = {};
    const bool have_host = ::gethostname(host, sizeof host - 1) == 0;
    const mqtt::BridgeEnvironment env{std::getenv("IVYBUS"), have_host ? host : nullptr,
                                      std::getenv("STATE_DIRECTORY"), std::getenv("XDG_STATE_HOME"),
                                      std::getenv("HOME")};
    auto parsed = mqtt::parse_bridge_options(argc, argv, env);
    switch (parsed.kind) {
        case mqtt::BridgeParse::Kind::help:
            std::fputs(mqtt::bridge_help_text(program).c_str(), stdout);
            *status = 0;
            return false;
        case mqtt::BridgeParse::Kind::error:
            std::fprintf(stderr, "%s: %s\n%s\n", program.c_str(), parsed.error.c_str(),
                         mqtt::bridge_usage_line(program).c_str());
            *status = 1;
            return false;
        case mqtt::BridgeParse::Kind::run:
            break;
    }
    bridge.options = parsed.options;
    return true;
}

// The connection's settings, the password read from its file.
tools::Result<mqtt::ClientSettings> client_settings() {
    const mqtt::BridgeOptions& opt = bridge.options;
    auto setup = mqtt::client_settings(opt);
    if (!setup) return setup.failure();
    setup->settings.will = mqtt::Message{mqtt::status_topic(opt.site), "offline", true};
    say(setup->warning);
    return std::move(setup->settings);
}

tools::Result<std::unique_ptr<mqtt::Outbox>> open_outbox() {
    // 0700: the outbox holds readings and nothing else reads it.
    const std::string& path = bridge.options.outbox_path;
    if (const tools::Status made = tools::make_parent_directories(path, 0700); !made)
        return tools::fail("no folder for the outbox: " + made.error());
    return mqtt::Outbox::open(path);
}

// For the line that starts the bridge. A count that fails is said and the
// bridge goes on: the forwarding reads the outbox on its own.
std::string waiting_in(mqtt::Outbox& outbox) {
    const auto count = outbox.count();
    if (count) return std::to_string(*count) + " reading(s) waiting";
    say(count.error());
    return "the readings waiting cannot be counted";
}

}  // namespace

int main(int argc, char** argv) {
    // 1. The command line, the password, the outbox and what it holds.
    if (int status = 0; !read_command_line(argc, argv, &status)) return status;
    const mqtt::BridgeOptions& opt = bridge.options;
    auto settings = client_settings();
    if (!settings) {
        say(settings.error());
        return 1;
    }
    auto opened = open_outbox();
    if (!opened) {
        say(opened.error());
        return 1;
    }
    std::unique_ptr<mqtt::Outbox> outbox = std::move(*opened);
    mqtt::Inbox inbox(inbox_bound);
    bridge.inbox = &inbox;
    mqtt::Forwarder forwarder(*outbox, inbox, {.site = opt.site, .keep_days = opt.outbox_days}, say,
                              now_ms, std::random_device{}());
    if (const tools::Status loaded = forwarder.load(); !loaded) {
        say(loaded.error());
        return 1;
    }

    // 2. The broker, on the client's own thread.
    auto created = mqtt::Client::create(std::move(*settings), forwarder, say);
    if (!created) {
        say(created.error());
        return 1;
    }
    std::unique_ptr<mqtt::Client> client = std::move(*created);
    inbox.on_put([&client] { client->wake(); });
    info("site " + opt.site + ", broker " + opt.broker.text() + ", outbox " + opt.outbox_path +
         " (" + waiting_in(*outbox) + ")");
    client->start();

    // 3. The bus, until a signal or a Die.
    IvyInit(opt.name.c_str(), nullptr, on_application, nullptr, nullptr, nullptr);
    tools::stop_loop_on_signals();
    IvyBindMsg(on_weather, nullptr, "%s", readings::binding_regexp(opt.only_id).c_str());
    TimerRepeatAfter(TIMER_LOOP, 1000, on_report_timer, nullptr);
    IvyStart(opt.bus.empty() ? nullptr : opt.bus.c_str());
    IvyMainLoop();

    // 4. Leave the bus; the client writes what came, says "offline" and goes.
    // A reading taken but neither in the outbox nor acknowledged is lost:
    // a failure, as anemobus-web's unlogged readings are.
    IvyTerminate();
    client->stop();
    if (forwarder.unwritten() == 0) return 0;
    say("stopped with " + std::to_string(forwarder.unwritten()) +
        " reading(s) neither written to the outbox nor acknowledged by the broker: they are lost");
    return 1;
}
