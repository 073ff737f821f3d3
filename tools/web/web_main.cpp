// anemobus-web: records every weather reading on the bus, and from a broker
// when one is given, and serves a live weather page. The bus loop (Ivy's
// main loop, this thread) takes the bus's readings, the MQTT client's thread
// the broker's; a writer thread puts them in the log; the server's threads
// (see web_server.h) serve the page. They meet in the Intake, LiveState and
// LogWriter's queue only.
#include <Ivy/ivy.h>
#include <Ivy/ivyloop.h>
#include <Ivy/timer.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>

#include "broker_feed.h"
#include "intake.h"
#include "live_state.h"
#include "log_writer.h"
#include "reading_store.h"
#include "state_file.h"
#include "stop_on_signals.h"
#include "wall_clock.h"
#include "web_options.h"
#include "web_server.h"

namespace {

using namespace web;

constexpr std::int64_t prime_span_ms = tendency_span_ms + tendency_tolerance_ms;

struct Agent {
    Options options;
    LiveState* live = nullptr;
    Intake* intake = nullptr;
};

Agent agent;

using tools::now_ms;

void print_line(const std::string& line) {
    if (!line.empty()) std::fprintf(stderr, "anemobus-web: %s\n", line.c_str());
}

void on_weather(IvyClientPtr app, void*, int argc, char** argv) {
    agent.intake->take_bus(IvyGetApplicationName(app), argc, argv, now_ms());
}

void on_application(IvyClientPtr app, void*, IvyApplicationEvent event) {
    if (agent.options.quiet) return;
    if (event == IvyApplicationConnected)
        std::fprintf(stderr, "%s connected from %s\n", IvyGetApplicationName(app),
                     IvyGetApplicationHost(app));
    else if (event == IvyApplicationDisconnected)
        std::fprintf(stderr, "%s disconnected\n", IvyGetApplicationName(app));
}

void on_second(TimerId, void*, unsigned long) {
    const std::int64_t now = now_ms();
    agent.intake->flush(now);
    agent.live->tick(now);
}

// Whether to run; false once --help is printed or the command line refused.
bool read_command_line(int argc, char** argv, int* status) {
    const std::string program = "anemobus-web";
    auto parsed = parse_options(argc, argv);
    switch (parsed.kind) {
        case ParseResult::Kind::help:
            std::fputs(help_text(program).c_str(), stdout);
            *status = 0;
            return false;
        case ParseResult::Kind::error:
            std::fprintf(stderr, "%s: %s\n%s\n", program.c_str(), parsed.error.c_str(),
                         usage_line(program).c_str());
            *status = 1;
            return false;
        case ParseResult::Kind::run:
            break;
    }
    agent.options = parsed.options;
    return true;
}

// The log at *path, or at the default place, which *path then names.
tools::Result<std::unique_ptr<ReadingStore>> open_log(std::string* path) {
    if (path->empty()) {
        *path = default_db_path(std::getenv("STATE_DIRECTORY"), std::getenv("XDG_STATE_HOME"),
                                std::getenv("HOME"));
        if (path->empty()) return tools::fail("no place for the reading log: give --db PATH");
    }
    // 0750: the log is the site's, not every user's of the machine.
    if (const tools::Status made = tools::make_parent_directories(*path, 0750); !made)
        return made.failure();
    return ReadingStore::open(*path);
}

// The last hours from the log, so that a restart shows the figures again.
void prime_from_log(const ReadingStore& store, LiveState& live) {
    const std::int64_t now = now_ms();
    const tools::Status read = store.read_range(std::nullopt, now - prime_span_ms, now,
                                                [&](const StationId& id, const Reading& r) {
                                                    live.prime({id, r});
                                                });
    if (!read) print_line(read.error());
    live.tick(now);
}

// The broker's session is ours across restarts, so that it keeps what comes
// while we are away: its name comes from this machine, the log it fills and
// what it subscribes to (another log, or another -i, is another session).
std::string session_id(const std::string& db_path, const std::string& filter) {
    char host[HOST_NAME_MAX + 1] = {};
    if (::gethostname(host, sizeof host - 1) != 0) host[0] = '\0';
    std::uint32_t h = 2166136261u;
    for (const char c : db_path + '\n' + filter)
        h = (h ^ static_cast<unsigned char>(c)) * 16777619u;
    char hex[12];
    std::snprintf(hex, sizeof hex, "%08x", h);
    return std::string("anemobus-web-") + host + "-" + hex;
}

// The broker's client for feed, not started; fails when the password, a TLS
// file or a setting cannot be used.
tools::Result<std::unique_ptr<mqtt::Client>> make_broker_client(BrokerFeed& feed,
                                                                const std::string& db_path) {
    auto setup = mqtt::client_settings(agent.options.broker);
    if (!setup) return setup.failure();
    print_line(setup->warning);
    mqtt::ClientSettings& settings = setup->settings;
    settings.client_id = session_id(db_path, feed.filter());
    settings.keep_session = true;
    settings.session_expiry_s = agent.options.session_expiry_s;
    return mqtt::Client::create(std::move(settings), feed,
                                [&feed](const std::string& line) { feed.report(line); });
}

}  // namespace

int main(int argc, char** argv) {
    // 1. The command line.
    if (int status = 0; !read_command_line(argc, argv, &status)) return status;
    const Options& opt = agent.options;

    // 2. The log, and what it remembers. Without it the page still runs.
    std::string db_path = opt.db_path, log_error;
    std::unique_ptr<ReadingStore> store;
    if (auto opened = open_log(&db_path))
        store = std::move(*opened);
    else
        log_error = opened.error();
    if (!store) print_line(log_error + "; the page shows live readings only, nothing is kept");
    LiveState live(opt.wind_limit, opt.only_id);
    if (store) prime_from_log(*store, live);
    LogWriter writer(store.get(), log_error,
                     {.keep_days = opt.keep_days,
                      .quiet = opt.quiet,
                      .recall = [&live](std::uint64_t seq) { return live.kept_readings(seq); }});
    const bool with_broker = !opt.broker.broker.host.empty();
    Intake intake(live, writer, {.only_id = opt.only_id, .with_broker = with_broker}, print_line);
    agent.live = &live;
    agent.intake = &intake;

    // 3. The broker, if any: what cannot be used ends the program here.
    std::optional<BrokerFeed> feed;
    std::unique_ptr<mqtt::Client> client;
    if (with_broker) {
        feed.emplace(
            intake, live,
            BrokerFeed::Settings{opt.broker.broker.text(), opt.only_id, opt.keep_days, opt.sites},
            print_line, now_ms);
        auto made = make_broker_client(*feed, db_path);
        if (!made) {
            print_line(made.error());
            return 1;
        }
        client = std::move(*made);
    }

    // 4. The page.
    WebServer server(live, writer, store.get(), db_path);
    const auto bound = server.bind(opt.listen_host, opt.listen_port);
    if (!bound) {
        print_line(bound.error());
        return 1;
    }
    const int port = *bound;
    server.start();
    const bool v6 = opt.listen_host.find(':') != std::string::npos;
    std::printf("anemobus-web: serving http://%s%s%s:%d/\n", v6 ? "[" : "", opt.listen_host.c_str(),
                v6 ? "]" : "", port);
    std::fflush(stdout);
    if (client) client->start();

    // 5. The bus, until a signal or a Die.
    IvyInit(opt.name.c_str(), nullptr, on_application, nullptr, nullptr, nullptr);
    tools::stop_loop_on_signals();
    IvyBindMsg(on_weather, nullptr, "%s", binding_regexp(opt.only_id).c_str());
    TimerRepeatAfter(TIMER_LOOP, 1000, on_second, nullptr);
    IvyStart(opt.bus.empty() ? nullptr : opt.bus.c_str());
    IvyMainLoop();

    // 6. Leave the bus and the broker, close the page, write what is
    // queued. A reading taken but not in the log is a failure, even one the
    // page showed.
    IvyTerminate();
    if (client) client->stop();
    server.stop();
    const std::uint64_t unwritten = writer.finish();
    if (unwritten == 0) return 0;
    print_line(std::to_string(unwritten) + " reading(s) taken are not in the log");
    return 1;
}
