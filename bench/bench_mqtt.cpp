// anemobus-mqtt against Debian's mosquitto on loopback, one line per case:
//   - bus to broker: 100 000 readings sent on the bus in a burst, until a
//     subscriber has every one (readings/s), and the bridge's peak memory;
//   - the ceiling: mosquitto_pub publishing the same payloads, QoS 1, to the
//     same subscriber;
//   - latency, bus to subscriber: a reading every 10 ms, p50 and p99;
//   - outbox replay: a bridge started on an outbox of 100 000 readings, until
//     the subscriber has them all;
//   - broker to page: anemobus-web --broker subscribed, the ceiling's
//     payloads published again, until its log holds every one (readings/s),
//     and the page's peak memory;
//   - refused, then allowed: an outbox whose site the bridge's user may not
//     write under the shipped ACL is refused reading by reading and kept;
//     the ACL then allows it, and the bridge started again delivers it all;
//   - kill -9 of a connected bridge at a random moment while a reading
//     comes every 10 ms, again and again: the readings it had taken from
//     the bus that never arrive, and those that arrive twice;
//   - the broker's settings, the shipped example against mosquitto's
//     defaults: a burst of 20 000 to a connected QoS 1 subscriber
//     (max_queued_messages), and what a broker killed -9 two seconds after
//     queueing 1000 readings for an absent subscriber still has for it
//     (autosave_interval).
//
//   bench_mqtt [readings per case, default 100000]
//
// The sender keeps at most `window` readings ahead of the subscriber: past
// the bus library's queue bound a peer is dropped, and the burst measures
// the bridge, not how fast a queue fills.
#include <Ivy/ivy.h>
#include <Ivy/ivyloop.h>
#include <Ivy/timer.h>
#include <signal.h>
#include <sqlite3.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "bench_children.h"
#include "broker_rig.h"
#include "event_loop.h"
#include "mqtt_client.h"
#include "outbox.h"
#include "payload.h"
#include "wall_clock.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr long window = 20000;
constexpr long latency_readings = 1000;
constexpr int latency_period_ms = 10;
// A reading's pressure carries its number, a tenth of a pascal a reading, so
// the subscriber knows which it got; 100 000 readings stay within the
// pressures the bridge and the page accept (at most 1200 hPa).
constexpr double pressure_base = 90000;

double pressure_of(long n) {
    return pressure_base + static_cast<double>(n) / 10;
}

// Counts the weather messages that reach the broker's subscriber, and how
// long each latency reading took.
class Subscriber : public mqtt::Handler {
public:
    void on_connected(mqtt::Session& session) override {
        session.subscribe("anemobus/#");
        session.publish("anemobus/probe", "", false);
    }
    void on_message(std::string_view topic, std::string_view payload, bool) override {
        if (topic == "anemobus/probe") subscribed = true;
        if (topic.ends_with("/status") && payload == "online") ++bridges_online;
        if (!topic.ends_with("/weather")) return;
        if (tracking) {
            const auto r = mqtt::parse_weather_payload(payload);
            std::lock_guard lock(mutex);
            if (r) ++copies[std::lround((r->pressure - pressure_base) * 10)];
        }
        if (timing) {
            const auto r = mqtt::parse_weather_payload(payload);
            const auto index =
                r ? static_cast<std::size_t>(std::lround((r->pressure - pressure_base) * 10)) : 0;
            std::lock_guard lock(mutex);
            if (r && index < sent_at.size())
                latency_ms.push_back(
                    std::chrono::duration<double, std::milli>(Clock::now() - sent_at[index])
                        .count());
        }
        ++weather;
    }
    std::atomic<bool> subscribed{false}, timing{false}, tracking{false};
    std::map<long, int> copies;  // while tracking: how often each reading came
    std::atomic<int> bridges_online{0};
    std::atomic<long> weather{0};
    std::mutex mutex;
    std::vector<Clock::time_point> sent_at;
    std::vector<double> latency_ms;
};

Subscriber subscriber;

struct Sender {
    long sent = 0, target = 0, base = 0;  // base: the subscriber's count at the start
    bool bridge_on_bus = false;
} sender;

bool wait_for(const std::function<bool()>& done, std::chrono::seconds limit) {
    const auto deadline = Clock::now() + limit;
    while (!done()) {
        if (Clock::now() > deadline) return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

void on_application(IvyClientPtr app, void*, IvyApplicationEvent event) {
    if (event == IvyApplicationConnected &&
        std::string_view(IvyGetApplicationName(app)) == "anemobus-mqtt") {
        sender.bridge_on_bus = true;
        IvyStop();
    }
}

void send_reading(long n) {
    IvySendMsg("1 WEATHER %.1f 21.5 4.4704 180", pressure_of(n));
}

void top_up(TimerId, void*, unsigned long) {
    const long received = subscriber.weather - sender.base;
    while (sender.sent < sender.target && sender.sent - received < window)
        send_reading(sender.sent++);
    if (received >= sender.target) IvyStop();
}

void send_timed(TimerId timer, void*, unsigned long) {
    {
        std::lock_guard lock(subscriber.mutex);
        subscriber.sent_at.push_back(Clock::now());
    }
    send_reading(sender.sent++);
    if (sender.sent == latency_readings) TimerRemove(timer);
}

void serve(TimerId timer) {
    ivy::loop_reset_stop();
    IvyMainLoop();
    TimerRemove(timer);
}

std::string peak_memory(int pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.starts_with("VmHWM:")) return line.substr(line.find_first_not_of(" \t", 6));
    return "?";
}

std::unique_ptr<test_support::Child> start_bridge(const mqtt_test::TestBroker& broker,
                                                  const std::string& bus,
                                                  const std::string& outbox) {
    return std::make_unique<test_support::Child>(
        test_support::program_path("anemobus-mqtt"),
        std::vector<std::string>{"-b", bus, "--broker", broker.url(), "--site", "bench", "--outbox",
                                 outbox, "-q"});
}

// Ends after two minutes whatever arrived: a reading the bridge refuses
// never reaches the subscriber, and the window would wait for it forever.
void burst(long readings, int bridge_pid) {
    sender = {.sent = 0, .target = readings, .base = subscriber.weather, .bridge_on_bus = true};
    const auto start = Clock::now();
    TimerId stop = TimerRepeatAfter(
        1, 120000, [](TimerId, void*, unsigned long) { IvyStop(); }, nullptr);
    serve(TimerRepeatAfter(TIMER_LOOP, 1, top_up, nullptr));
    TimerRemove(stop);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    const bool all = subscriber.weather - sender.base >= readings;
    std::printf(
        "bus to broker, %ld readings in a burst: %.0f readings/s (%.2f s), bridge peak "
        "memory %s%s\n",
        readings, static_cast<double>(readings) / seconds, seconds, peak_memory(bridge_pid).c_str(),
        all ? "" : " INCOMPLETE");
}

// mosquitto_pub reads the payloads from files: from a pipe it publishes a
// line about every millisecond, which would measure its waiting, not the
// broker's. And in runs of 25 000: Debian's mosquitto 2.0.11 disconnects a
// mosquitto_pub -l whose input goes on much longer ("out of memory") and the
// rest is lost.
constexpr long publish_run = 25000;

// The shell command that publishes `readings` payloads to topic, a
// millisecond apart from first_ms, each with its own pressure.
std::string publish_command(const mqtt_test::TestBroker& broker, long readings,
                            std::int64_t first_ms, const std::string& topic) {
    std::string command = "for f in";
    for (long first = 0; first < readings; first += publish_run) {
        const std::string path = broker.dir() + "/payloads-" + std::to_string(first);
        std::ofstream lines(path);
        for (long i = first; i < std::min(readings, first + publish_run); ++i) {
            std::string line;
            mqtt::append_weather_payload(line, {first_ms + i, pressure_of(i), 21.5, 4.4704, 180});
            lines << line << '\n';
        }
        command += " " + path;
    }
    return command + "; do mosquitto_pub -h 127.0.0.1 -p " + std::to_string(broker.port()) +
           " -q 1 -t " + topic + " -l < $f || exit 1; done";
}

void ceiling(const mqtt_test::TestBroker& broker, long readings) {
    const std::string command =
        publish_command(broker, readings, 1796737378123, "anemobus/ceiling/1/weather");
    const long base = subscriber.weather;
    const auto start = Clock::now();
    test_support::Child pub("/bin/sh", {"-c", command});
    const bool all = wait_for([&] { return subscriber.weather - base >= readings; }, 120s);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    std::printf(
        "ceiling, mosquitto_pub -q 1 -l of the same payloads (runs of %ld): %.0f "
        "readings/s (%.2f s)%s\n",
        publish_run, static_cast<double>(readings) / seconds, seconds, all ? "" : " INCOMPLETE");
}

void latency() {
    sender = {
        .sent = 0, .target = latency_readings, .base = subscriber.weather, .bridge_on_bus = true};
    subscriber.timing = true;
    TimerId timer = TimerRepeatAfter(TIMER_LOOP, latency_period_ms, send_timed, nullptr);
    TimerId stop = TimerRepeatAfter(
        1, latency_readings * latency_period_ms + 2000,
        [](TimerId, void*, unsigned long) { IvyStop(); }, nullptr);
    serve(timer);
    TimerRemove(stop);
    subscriber.timing = false;
    std::lock_guard lock(subscriber.mutex);
    const auto p = bench::percentiles(subscriber.latency_ms);
    std::printf(
        "latency, bus to subscriber, a reading every %d ms: p50 %.2f ms, p99 %.2f ms (%zu of "
        "%ld)\n",
        latency_period_ms, p.p50, p.p99, subscriber.latency_ms.size(), latency_readings);
}

tools::Status fill_outbox(const std::string& path, long readings) {
    auto outbox = mqtt::Outbox::open(path);
    if (!outbox) return outbox.failure();
    if (tools::Status begun = (*outbox)->begin(); !begun) return begun;
    const auto id = *readings::StationId::from("1");
    const std::int64_t now = tools::now_ms();
    for (long i = 0; i < readings; ++i) {
        const readings::Reading r{now - readings + i, pressure_of(i), 21.5, 4.4704, 180};
        if (const auto seq = (*outbox)->append({id, r}); !seq) return seq.failure();
    }
    return (*outbox)->commit();
}

void replay(const mqtt_test::TestBroker& broker, const std::string& bus, long readings) {
    const std::string path = broker.dir() + "/replay.db";
    if (const tools::Status filled = fill_outbox(path, readings); !filled) {
        std::printf("outbox replay: cannot fill the outbox: %s\n", filled.error().c_str());
        return;
    }
    const long base = subscriber.weather;
    const auto start = Clock::now();
    auto bridge = start_bridge(broker, bus, path);
    const bool all = wait_for([&] { return subscriber.weather - base >= readings; }, 120s);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    std::printf(
        "outbox replay, %ld readings, from the bridge's start: %.2f s (%.0f readings/s)%s\n",
        readings, seconds, static_cast<double>(readings) / seconds, all ? "" : " INCOMPLETE");
}

using tools::now_ms;

// Rows in the page's log, read as any reader of it would.
long logged(const std::string& db) {
    sqlite3* handle = nullptr;
    long rows = 0;
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_open_v2(db.c_str(), &handle, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK &&
        sqlite3_prepare_v2(handle, "SELECT count(*) FROM readings", -1, &stmt, nullptr) ==
            SQLITE_OK &&
        sqlite3_step(stmt) == SQLITE_ROW)
        rows = static_cast<long>(sqlite3_column_int64(stmt, 0));
    sqlite3_finalize(stmt);
    sqlite3_close(handle);
    return rows;
}

void page_ingest(const mqtt_test::TestBroker& broker, long readings) {
    const std::string db = broker.dir() + "/page.db";
    test_support::Child page(test_support::program_path("anemobus-web"),
                             {"-b", bench::loopback_bus(), "--db", db, "--listen", "127.0.0.1:0",
                              "--broker", broker.url(), "-q"});
    if (!page.wait_err("connected to mqtt://", 10000ms)) {
        std::printf("broker to page: the page did not connect\n");
        return;
    }
    // A millisecond apart, ending now: all within what the page takes.
    const std::string command =
        publish_command(broker, readings, now_ms() - readings, "anemobus/bench/1/weather");
    const auto start = Clock::now();
    test_support::Child pub("/bin/sh", {"-c", command});
    const bool all = wait_for([&] { return logged(db) >= readings; }, 120s);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    std::printf(
        "broker to page, %ld readings published by mosquitto_pub until in the page's log: %.0f "
        "readings/s (%.2f s), page peak memory %s%s\n",
        readings, static_cast<double>(readings) / seconds, seconds, peak_memory(page.pid()).c_str(),
        all ? "" : " INCOMPLETE");
}

// A broker with the shipped users and ACL, and its reader.
struct GuardedBroker {
    mqtt_test::TestBroker broker{true};
    Subscriber ops;
    std::unique_ptr<mqtt::Client> client;
    bool start() {
        if (!broker.start()) return false;
        mqtt::ClientSettings settings;
        settings.broker = {.tls = false, .host = "127.0.0.1", .port = broker.port()};
        settings.user = mqtt_test::bridge_user.name;
        settings.password = mqtt_test::bridge_user.password;
        auto created = mqtt::Client::create(settings, ops, [](const std::string&) {});
        if (!created) {
            std::fprintf(stderr, "%s\n", created.error().c_str());
            return false;
        }
        client = std::move(*created);
        client->start();
        return wait_for([this] { return ops.subscribed.load(); }, 10s);
    }
    std::unique_ptr<test_support::Child> bridge(const std::string& bus, const std::string& outbox,
                                                const mqtt_test::User& user,
                                                const std::string& site) {
        const std::string password =
            broker.write_file(std::string(user.name) + ".pw", user.password);
        return std::make_unique<test_support::Child>(
            test_support::program_path("anemobus-mqtt"),
            std::vector<std::string>{"-b", bus, "--broker", broker.url(), "--site", site,
                                     "--outbox", outbox, "--user", user.name, "--password-file",
                                     password, "-q"});
    }
};

void refused_then_allowed(const std::string& bus, long readings) {
    GuardedBroker guarded;
    const std::string path = guarded.broker.dir() + "/refused.db";
    if (!guarded.start() || !fill_outbox(path, readings)) {
        std::printf("refused, then allowed: cannot set up\n");
        return;
    }
    const auto start = Clock::now();
    auto bridge = guarded.bridge(bus, path, mqtt_test::site_user, "south");
    const bool said = bridge->wait_err("0x87 (Not authorized)", 60000ms);
    // Every reading goes out once within the replay's time, and is refused.
    std::this_thread::sleep_for(std::chrono::duration<double>(Clock::now() - start) * 4 + 2s);
    bridge->signal(SIGTERM);
    const auto status = bridge->wait_exit(10000ms);
    const long leaked = guarded.ops.weather;
    std::ofstream(guarded.broker.dir() + "/acl", std::ios::app)
        << "user north\ntopic write anemobus/south/#\n";
    guarded.broker.reload();
    std::this_thread::sleep_for(1s);
    const auto allowed = Clock::now();
    bridge = guarded.bridge(bus, path, mqtt_test::site_user, "south");
    const bool all = wait_for([&] { return guarded.ops.weather >= readings; }, 120s);
    const double seconds = std::chrono::duration<double>(Clock::now() - allowed).count();
    std::printf(
        "refused, then allowed, %ld readings: refused and named %s, %ld delivered while refused, "
        "stop status %d; once allowed, all delivered %.2f s after the bridge's start (%.0f "
        "readings/s)%s\n",
        readings, said ? "yes" : "NO", leaked, status.value_or(-1), seconds,
        static_cast<double>(readings) / seconds, all ? "" : " INCOMPLETE");
}

// The kill -9 trials: the readings sent to the bridge (some peer took
// each), numbered by their pressure.
struct KillTrial {
    long next = 0, stop_at = 0;
    int bridge_pid = 0;
    std::vector<long> sent;
    std::mt19937 random{std::random_device{}()};
} trial;

void send_until_kill(TimerId timer, void*, unsigned long) {
    const long n = trial.next++;
    if (IvySendMsg("1 WEATHER %.1f 21.5 4.4704 180", pressure_of(n)) > 0) trial.sent.push_back(n);
    if (trial.next < trial.stop_at) return;
    TimerRemove(timer);
    // Somewhere within the next reading's 10 ms, as a crash would be.
    std::this_thread::sleep_for(std::chrono::microseconds(
        std::uniform_int_distribution<int>(0, latency_period_ms * 1000)(trial.random)));
    ::kill(trial.bridge_pid, SIGKILL);
    IvyStop();
}

void kill_window(const mqtt_test::TestBroker& broker, const std::string& bus, int kills) {
    const std::string path = broker.dir() + "/killed.db";
    {
        std::lock_guard lock(subscriber.mutex);
        subscriber.copies.clear();
    }
    subscriber.tracking = true;
    for (int k = 0; k <= kills; ++k) {
        sender.bridge_on_bus = false;
        auto bridge = start_bridge(broker, bus, path);
        serve(nullptr);  // until the bridge is on the bus
        // Its binding reaches us a moment after it joins.
        std::this_thread::sleep_for(200ms);
        if (k == kills) {  // the last one sends what the outbox kept
            std::this_thread::sleep_for(5s);
            bridge->signal(SIGTERM);
            bridge->wait_exit(10000ms);
            break;
        }
        trial.bridge_pid = bridge->pid();
        trial.stop_at = trial.next + 100;
        serve(TimerRepeatAfter(TIMER_LOOP, latency_period_ms, send_until_kill, nullptr));
        bridge->wait_exit(10000ms);
    }
    subscriber.tracking = false;
    long lost = 0, twice = 0;
    std::lock_guard lock(subscriber.mutex);
    for (long n : trial.sent) {
        const auto it = subscriber.copies.find(n);
        if (it == subscriber.copies.end())
            ++lost;
        else if (it->second > 1)
            ++twice;
    }
    std::printf(
        "kill -9 of the connected bridge, %d times at a random moment, a reading every %d ms "
        "(%zu readings taken): %ld never arrived, %ld arrived twice\n",
        kills, latency_period_ms, trial.sent.size(), lost, twice);
}

// The shipped example with one setting as mosquitto's default has it.
std::string with_setting(const std::string& key, const std::string& line) {
    std::string example = mqtt_test::example_config();
    const auto at = example.find("\n" + key + " ");
    if (at == std::string::npos) return example;
    const auto end = example.find('\n', at + 1);
    return example.replace(at + 1, end - at - 1, line);
}

// A subscriber of its own to a broker, with a session the broker keeps.
std::unique_ptr<mqtt::Client> session_subscriber(const mqtt_test::TestBroker& broker,
                                                 Subscriber& handler) {
    mqtt::ClientSettings settings;
    settings.broker = {.tls = false, .host = "127.0.0.1", .port = broker.port()};
    settings.client_id = "bench-ops";
    settings.keep_session = true;
    auto created = mqtt::Client::create(settings, handler, [](const std::string&) {});
    if (!created) {
        std::fprintf(stderr, "%s\n", created.error().c_str());
        return nullptr;
    }
    (*created)->start();
    return std::move(*created);
}

long queue_burst(const std::string& example, long readings) {
    mqtt_test::TestBroker broker(false, example);
    Subscriber live;
    if (!broker.start()) return -1;
    auto client = session_subscriber(broker, live);
    if (!client || !wait_for([&] { return live.subscribed.load(); }, 10s)) return -1;
    test_support::Child pub("/bin/sh", {"-c", publish_command(broker, readings, now_ms() - readings,
                                                              "anemobus/burst/1/weather")});
    pub.wait_exit(60000ms);
    wait_for([&] { return live.weather >= readings; }, 20s);
    client->stop();
    return readings - live.weather;
}

long killed_broker(const std::string& example, long readings) {
    mqtt_test::TestBroker broker(false, example);
    Subscriber before, after;
    if (!broker.start()) return -1;
    auto client = session_subscriber(broker, before);
    if (!client || !wait_for([&] { return before.subscribed.load(); }, 10s)) return -1;
    client->stop();  // away, its session kept
    test_support::Child pub("/bin/sh", {"-c", publish_command(broker, readings, now_ms() - readings,
                                                              "anemobus/queued/1/weather")});
    pub.wait_exit(60000ms);
    std::this_thread::sleep_for(2s);
    broker.kill();
    if (!broker.start()) return -1;
    client = session_subscriber(broker, after);
    wait_for([&] { return after.weather >= readings; }, 10s);
    client->stop();
    return readings - after.weather;
}

void broker_settings() {
    const long burst = 20000, queued = 1000;
    const std::string shipped = mqtt_test::example_config();
    std::printf(
        "broker settings, lost of a %ld burst to a connected QoS 1 subscriber: shipped "
        "(max_queued_messages 1000000) %ld, mosquitto's default 1000: %ld\n",
        burst, queue_burst(shipped, burst),
        queue_burst(with_setting("max_queued_messages", "max_queued_messages 1000"), burst));
    std::printf(
        "broker settings, lost of %ld readings queued for an absent subscriber when the broker "
        "is killed -9 two seconds later: shipped (autosave_interval 1) %ld, mosquitto's default "
        "1800: %ld\n",
        queued, killed_broker(shipped, queued),
        killed_broker(with_setting("autosave_interval", "autosave_interval 1800"), queued));
}

}  // namespace

int main(int argc, char** argv) {
    const long readings = argc > 1 ? std::atol(argv[1]) : 100000;
    mqtt_test::TestBroker broker(false);
    if (!broker.start()) {
        std::fprintf(stderr, "cannot start mosquitto\n%s", broker.describe().c_str());
        return 1;
    }
    mqtt::ClientSettings settings;
    settings.broker = {.tls = false, .host = "127.0.0.1", .port = broker.port()};
    auto created = mqtt::Client::create(settings, subscriber, [](const std::string&) {});
    if (!created) {
        std::fprintf(stderr, "cannot subscribe: %s\n", created.error().c_str());
        return 1;
    }
    std::unique_ptr<mqtt::Client> client = std::move(*created);
    client->start();
    if (!wait_for([] { return subscriber.subscribed.load(); }, 10s)) return 1;

    const std::string bus = bench::loopback_bus();
    IvyInit("bench-sender", nullptr, on_application, nullptr, nullptr, nullptr);
    IvyStart(bus.c_str());
    auto bridge = start_bridge(broker, bus, broker.dir() + "/outbox.db");
    serve(nullptr);  // until the bridge is on the bus
    if (!wait_for([] { return subscriber.bridges_online > 0; }, 10s)) return 1;

    burst(readings, bridge->pid());
    ceiling(broker, readings);
    latency();
    bridge->signal(SIGTERM);
    bridge->wait_exit(10000ms);
    replay(broker, bus, readings);
    page_ingest(broker, readings);
    refused_then_allowed(bus, readings);
    kill_window(broker, bus, 20);
    broker_settings();
    IvyTerminate();
    client->stop();
    return 0;
}
