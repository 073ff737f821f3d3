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
//     and the page's peak memory.
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
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bench_children.h"
#include "broker_rig.h"
#include "event_loop.h"
#include "mqtt_client.h"
#include "outbox.h"
#include "payload.h"

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
    std::atomic<bool> subscribed{false}, timing{false};
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

bool fill_outbox(const std::string& path, long readings) {
    std::string error;
    auto outbox = mqtt::Outbox::open(path, &error);
    if (!outbox || !outbox->begin(&error)) return false;
    const auto id = *readings::StationId::from("1");
    const std::int64_t now = std::chrono::duration_cast<std::chrono::milliseconds>(
                                 std::chrono::system_clock::now().time_since_epoch())
                                 .count();
    for (long i = 0; i < readings; ++i) {
        std::int64_t seq = 0;
        const readings::Reading r{now - readings + i, pressure_of(i), 21.5, 4.4704, 180};
        if (!outbox->append({id, r}, &seq, &error)) return false;
    }
    return outbox->commit(&error);
}

void replay(const mqtt_test::TestBroker& broker, const std::string& bus, long readings) {
    const std::string path = broker.dir() + "/replay.db";
    if (!fill_outbox(path, readings)) {
        std::printf("outbox replay: cannot fill the outbox\n");
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

std::int64_t now_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// Rows in the page's log, read as any reader of it would.
long logged(const std::string& db) {
    sqlite3* handle = nullptr;
    long rows = 0;
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_open_v2(db.c_str(), &handle, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK &&
        sqlite3_prepare_v2(handle, "SELECT count(*) FROM readings", -1, &stmt, nullptr) ==
            SQLITE_OK &&
        sqlite3_step(stmt) == SQLITE_ROW)
        rows = sqlite3_column_int64(stmt, 0);
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
    std::string error;
    auto client = mqtt::Client::create(
        settings, subscriber, [](const std::string&) {}, &error);
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
    IvyTerminate();
    client->stop();
    return 0;
}
