// anemobus-mqtt as a program, against Debian's mosquitto started by the test:
// the simulator and the relay feed a bus of the test's own, the bus monitor
// records what the relay published, mosquitto_sub (a persistent session)
// records what reached the broker. Then the broker goes away twice, the
// second time with the bridge killed -9 meanwhile, and every reading must
// still arrive once duplicates are removed, in order. Credentials and
// certificates that are wrong must say so, and nothing go out in clear text.
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <sys/stat.h>

#include <array>
#include <charconv>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "broker_rig.h"
#include "field_rig.h"
#include "payload.h"

namespace {

using namespace std::chrono_literals;
using mqtt_test::Field;
using mqtt_test::TestBroker;
using mqtt_test::Values;
using test_support::Child;

// A reading as the subscriber saw it: its time and values.
struct Seen {
    std::int64_t ms;
    Values values;
};

// mosquitto_sub with a persistent session, printing "retained topic payload".
std::unique_ptr<Child> subscribe(const TestBroker& broker, const std::string& topic,
                                 std::vector<std::string> extra = {}) {
    std::vector<std::string> args = {"-h", "127.0.0.1",
                                     "-p", std::to_string(broker.port()),
                                     "-u", mqtt_test::reader_user.name,
                                     "-P", mqtt_test::reader_user.password,
                                     "-q", "1",
                                     "-t", topic,
                                     "-F", "%r %t %p"};
    args.insert(args.end(), extra.begin(), extra.end());
    return std::make_unique<Child>("/usr/bin/mosquitto_sub", args);
}

// The weather readings a subscriber printed, without duplicates (the same
// time: the bridge stamps each reading once), in the order first seen.
std::vector<Seen> weather_seen(Child& sub, int* duplicates = nullptr) {
    std::vector<Seen> seen;
    std::istringstream lines(sub.out());
    std::string line;
    while (std::getline(lines, line)) {
        const auto space = line.find(' ', 2);
        if (line.size() < 3 || space == std::string::npos ||
            !line.substr(2, space - 2).ends_with("/weather"))
            continue;
        const auto r = mqtt::parse_weather_payload(line.substr(space + 1));
        if (!r) {
            ADD_FAILURE() << r.error() << ": " << line;
            continue;
        }
        const bool again = std::any_of(seen.begin(), seen.end(),
                                       [&](const Seen& s) { return s.ms == r->received_ms; });
        if (again && duplicates != nullptr) ++*duplicates;
        if (!again)
            seen.push_back({r->received_ms, {r->pressure, r->temperature, r->wind, r->direction}});
    }
    return seen;
}

// Waits until the subscriber has seen `count` readings.
bool wait_for_readings(Child& sub, std::size_t count, std::chrono::milliseconds within) {
    return test_support::wait_until([&] { return weather_seen(sub).size() >= count; }, within);
}

TEST(MqttBridge, EveryReadingArrivesOnceInOrderThroughOutagesAndAKill) {
    TestBroker broker;
    ASSERT_TRUE(broker.start()) << broker.describe();
    const std::string password =
        broker.write_file("bridge-password", std::string(mqtt_test::bridge_user.password) + "\n");
    auto sub = subscribe(broker, "anemobus/#", {"-c", "-i", "test-reader"});
    Field field(broker, "test-site",
                {"--broker", broker.tls_url(), "--cafile", mqtt_test::certificates().ca, "--user",
                 mqtt_test::bridge_user.name, "--password-file", password});
    ASSERT_TRUE(field.start_relay()) << field.describe();
    ASSERT_TRUE(wait_for_readings(*sub, 3, 15000ms)) << field.describe() << sub->describe();

    // The payload, as the issue writes it, with the relay's own values.
    const std::regex json(
        R"(\{"time":"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z","pressure_pa":[-0-9.]+,)"
        R"("temperature_c":[-0-9.]+,"wind_m_s":[-0-9.]+,"direction_deg":[-0-9.]+\})");
    std::smatch m;
    const std::string out = sub->out();
    ASSERT_TRUE(std::regex_search(out, m, std::regex("0 anemobus/test-site/1/weather (.*)\n")));
    EXPECT_TRUE(std::regex_match(m[1].str(), json)) << m[1];
    EXPECT_NE(out.find("anemobus/test-site/status online"), std::string::npos) << out;
    const auto now = std::chrono::system_clock::now().time_since_epoch();
    const std::int64_t now_ms = std::chrono::duration_cast<std::chrono::milliseconds>(now).count();
    EXPECT_LT(std::abs(weather_seen(*sub).front().ms - now_ms), 60000) << "the receive time";
    auto latest = subscribe(broker, "anemobus/test-site/1/latest", {"-C", "1"});
    ASSERT_TRUE(latest->wait_exit(10000ms)) << latest->describe();
    EXPECT_TRUE(latest->out().starts_with("1 anemobus/test-site/1/latest {\"time\":"))
        << latest->out();

    // Ten seconds without a broker.
    broker.stop();
    std::this_thread::sleep_for(10s);
    ASSERT_TRUE(broker.start()) << broker.describe();
    ASSERT_TRUE(test_support::wait_until(
        [&] { return field.bridge().count_err("connected to mqtts://") >= 2; }, 40000ms))
        << field.describe();

    // Again, the bridge killed -9 meanwhile and started on its outbox. What
    // the relay publishes while no bridge is on the bus is nobody's to keep:
    // those readings, between the kill and the new bridge's joining, may lack.
    broker.stop();
    ASSERT_TRUE(test_support::wait_until(
        [&] { return field.bridge().count_err("lost the connection") >= 2; }, 10000ms))
        << field.describe();
    std::this_thread::sleep_for(2s);
    field.kill_bridge();
    const std::size_t killed_at = field.relay_readings().size();
    field.start_bridge();
    ASSERT_TRUE(field.bridge().wait_err("anemobus connected", 10000ms)) << field.describe();
    const std::size_t back_at = field.relay_readings().size();
    std::this_thread::sleep_for(2s);
    ASSERT_TRUE(broker.start()) << broker.describe();
    ASSERT_TRUE(field.bridge().wait_err("connected to mqtts://", 30000ms)) << field.describe();

    // Once the relay stops, the subscriber has all it published. It polls
    // once a second, but a loaded machine makes it miss polls now and then:
    // it is stopped once it has published enough, not after a set time.
    std::this_thread::sleep_for(1s);
    test_support::wait_until([&] { return field.relay_readings().size() >= 20; }, 30000ms);
    field.stop_relay();
    const std::vector<Values> published = field.relay_readings();
    ASSERT_GE(published.size(), 20u) << field.describe();
    ASSERT_TRUE(test_support::wait_until(
        [&] {
            const auto seen = weather_seen(*sub);
            return !seen.empty() && seen.back().values == published.back();
        },
        30000ms))
        << field.describe() << sub->describe();
    int duplicates = 0;
    const std::vector<Seen> seen = weather_seen(*sub, &duplicates);
    // Walks the relay's readings: each must be the next one seen, unless it
    // came while the bridge was joining the bus, or while it was dead.
    std::size_t next = 0;
    for (std::size_t i = 0; i < published.size(); ++i) {
        if (next < seen.size() && seen[next].values == published[i]) {
            EXPECT_TRUE(next == 0 || seen[next].ms > seen[next - 1].ms) << "reading " << i;
            ++next;
            continue;
        }
        const bool joining = i < 2, dead = i + 1 >= killed_at && i <= back_at + 1;
        EXPECT_TRUE(joining || dead)
            << "reading " << i << " of " << published.size() << " never arrived (bridge killed at "
            << killed_at << ", back at " << back_at << ")";
    }
    EXPECT_EQ(next, seen.size()) << "readings arrived out of order";
    RecordProperty("duplicates", duplicates);

    // `latest` holds the newest; killed while connected, the bridge's will
    // says it is offline.
    latest = subscribe(broker, "anemobus/test-site/1/latest", {"-C", "1"});
    ASSERT_TRUE(latest->wait_exit(10000ms)) << latest->describe();
    const auto newest = mqtt::parse_weather_payload(latest->out().substr(latest->out().find('{')));
    ASSERT_TRUE(newest) << latest->out();
    EXPECT_EQ(newest->received_ms, seen.back().ms);
    field.kill_bridge();
    EXPECT_TRUE(sub->wait_out("anemobus/test-site/status offline", 10000ms)) << sub->describe();
}

}  // namespace

namespace {

// A TCP listener of the test's own on loopback: what a client sends first.
class Listener {
public:
    Listener() : fd_(test_support::listen_loopback(&port_)) {}
    ~Listener() { ::close(fd_); }
    int port() const { return port_; }
    // The first bytes of the next connection, within the (scaled) timeout.
    std::string first_bytes(std::chrono::milliseconds timeout) {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(test_support::scaled(timeout).count())) != 1) return "";
        const int client = ::accept(fd_, nullptr, nullptr);
        std::string bytes = test_support::read_available(client, 2000ms, 4096);
        ::close(client);
        return bytes;
    }

private:
    int port_ = 0, fd_;  // port_ first: the listener sets it
};

// Runs a bridge on a bus of its own and returns it once its standard error
// has `text`.
std::unique_ptr<Child> bridge_saying(const TestBroker& broker, std::vector<std::string> args,
                                     const std::string& text) {
    static int serial = 0;
    args.insert(args.end(),
                {"-b", test_support::loopback_bus(test_support::random_bus_port()), "--outbox",
                 broker.dir() + "/outbox-" + std::to_string(++serial) + ".db", "--site", "s"});
    auto bridge = std::make_unique<Child>(test_support::program_path("anemobus-mqtt"), args);
    EXPECT_TRUE(bridge->wait_err(text, 10000ms)) << bridge->describe();
    return bridge;
}

TEST(MqttBridge, WrongSetupsAreNamedNothingGoesInClearTextAndACleanStopIsZero) {
    TestBroker broker;
    const std::pair<std::vector<std::string>, const char*> cases[] = {
        {{"--broker", "mqtt://127.0.0.1", "--password", "x"}, "never taken on the command line"},
        {{"--broker", "mqtt://127.0.0.1", "--user", "u", "--password-file", broker.dir() + "/none"},
         "cannot read --password-file"},
        // Each with an outbox of its own: the default is in $HOME, shared.
        {{"--broker", "mqtts://127.0.0.1", "--cafile", broker.dir() + "/none", "--outbox",
          broker.dir() + "/c.db"},
         "cannot load --cafile"},
        {{"--broker", "mqtt://127.0.0.1", "--outbox", "/proc/no/outbox.db"}, "outbox"},
        // Refused by libmosquitto on every attempt: said once, at start.
        {{"--broker", "mqtt://127.0.0.1", "--user", "\xff", "--outbox", broker.dir() + "/u.db"},
         "libmosquitto refuses --user and --password-file: Malformed UTF-8"},
    };
    for (const auto& [args, text] : cases) {
        Child bridge(test_support::program_path("anemobus-mqtt"), args);
        EXPECT_EQ(bridge.wait_exit(10000ms), 1) << bridge.describe();
        EXPECT_NE(bridge.err().find(text), std::string::npos) << bridge.describe();
    }
    ASSERT_TRUE(broker.start()) << broker.describe();
    const auto& certs = mqtt_test::certificates();
    const std::string right = broker.write_file("right", mqtt_test::bridge_user.password);
    const std::string wrong = broker.write_file("wrong", "guess\n");
    auto refused = bridge_saying(
        broker, {"--broker", broker.url(), "--user", "bridge", "--password-file", wrong},
        "the broker refused the connection: ");
    EXPECT_NE(refused->err().find("Not authorized"), std::string::npos) << refused->err();
    EXPECT_NE(refused->err().find("check --user and --password-file"), std::string::npos);

    auto rejected = bridge_saying(broker,
                                  {"--broker", broker.tls_url(), "--cafile", certs.wrong_ca,
                                   "--user", "bridge", "--password-file", right},
                                  "certificate rejected: ");
    EXPECT_NE(rejected->err().find("self-signed certificate in certificate chain"),
              std::string::npos)
        << rejected->err();
    // Reported once, however often the bridge tries again.
    std::this_thread::sleep_for(2s);
    EXPECT_EQ(rejected->count_err("certificate rejected"), 1) << rejected->err();

    // The system's CAs (here the test CA, as OpenSSL's SSL_CERT_FILE says),
    // and the host name checked against the certificate's.
    ::setenv("SSL_CERT_FILE", certs.ca.c_str(), 1);
    auto trusted = bridge_saying(
        broker,
        {"--broker", broker.tls_url("localhost"), "--user", "bridge", "--password-file", right},
        "connected to mqtts://localhost:");
    ::unsetenv("SSL_CERT_FILE");

    // Asked for TLS, the bridge's first bytes are a TLS handshake, with no
    // trace of MQTT or of the password; the same listener sees them in clear
    // from an mqtt:// bridge, which shows the capture would see a leak.
    for (const bool tls : {true, false}) {
        Listener listener;
        const std::string url =
            std::string(tls ? "mqtts" : "mqtt") + "://127.0.0.1:" + std::to_string(listener.port());
        auto bridge = bridge_saying(
            broker, {"--broker", url, "--user", "bridge", "--password-file", right}, "site s");
        const std::string bytes = listener.first_bytes(10000ms);
        ASSERT_FALSE(bytes.empty());
        EXPECT_EQ(bytes[0] == 0x16, tls) << "a TLS handshake record";
        EXPECT_EQ(bytes.find("MQTT") == std::string::npos, tls);
        EXPECT_EQ(bytes.find(mqtt_test::bridge_user.password) == std::string::npos, tls);
    }

    // One outbox, one bridge; hostile messages are refused and said so; a
    // clean stop says "offline" and ends with 0. (A site of its own: the
    // bridges above are still connected as "s".)
    const std::string bus = test_support::loopback_bus(test_support::random_bus_port());
    const std::vector<std::string> args = {
        "--broker", broker.url(), "--outbox", broker.dir() + "/outbox.db", "--site", "t", "-b",
        bus,        "--user",     "bridge",   "--password-file",           right};
    Child first(test_support::program_path("anemobus-mqtt"), args);
    ASSERT_TRUE(first.wait_err("connected to mqtt://", 10000ms)) << first.describe();
    Child sender(test_support::program_path("anemobus-monitor"), {"-b", bus, "^nothing$"});
    ASSERT_TRUE(sender.wait_err("anemobus-mqtt connected", 10000ms)) << sender.describe();
    sender.write_stdin("a/b WEATHER 101325 15 3 270\n1 WEATHER nan 15 3 270\n");
    EXPECT_TRUE(
        first.wait_err("has a '/', '+' or '#', which cannot go in a topic: \"a/b\"", 10000ms))
        << first.describe();
    // The second refusal comes within the first's report interval: held, then
    // told with the count.
    EXPECT_TRUE(
        first.wait_err("1 more message(s) refused, the latest from anemobus-monitor: a "
                       "value is not a finite number",
                       25000ms))
        << first.describe();
    Child second(test_support::program_path("anemobus-mqtt"), args);
    EXPECT_EQ(second.wait_exit(10000ms), 1);
    EXPECT_NE(second.err().find("in use by another anemobus-mqtt"), std::string::npos)
        << second.describe();
    first.signal(SIGTERM);
    EXPECT_EQ(first.wait_exit(10000ms), 0) << first.describe();
    Child status("/usr/bin/mosquitto_sub", {"-h", "127.0.0.1", "-p", std::to_string(broker.port()),
                                            "-u", "reader", "-P", mqtt_test::reader_user.password,
                                            "-t", "anemobus/t/status", "-C", "1", "-F", "%r %p"});
    ASSERT_TRUE(status.wait_exit(10000ms)) << status.describe();
    EXPECT_EQ(status.out(), "1 offline\n");
}

}  // namespace

namespace {

// A bridge on a bus of its own, with a monitor to type readings on it.
struct TypedBridge {
    TypedBridge(const TestBroker& broker, const std::string& outbox, std::vector<std::string> own)
        : bus(test_support::loopback_bus(test_support::random_bus_port())), args(std::move(own)) {
        args.insert(args.end(), {"--broker", broker.url(), "-b", bus, "--outbox", outbox});
        start();
    }
    void start() {
        bridge.emplace(test_support::program_path("anemobus-mqtt"), args);
        sender.emplace(test_support::program_path("anemobus-monitor"),
                       std::vector<std::string>{"-b", bus, "^nothing$"});
        EXPECT_TRUE(sender->wait_err("anemobus-mqtt connected", 10000ms)) << describe();
    }
    // Readings of aircraft 1, pressure from `first` up, then a message the
    // bridge refuses at once: once that is said, the readings were taken.
    void type(int first, int count) {
        std::string lines;
        for (int i = first; i < first + count; ++i)
            lines += "1 WEATHER " + std::to_string(100000 + i) + " 15 3 270\n";
        sender->write_stdin(lines + "1 WEATHER nan 15 3 270\n");
        ++typed_batches;
        EXPECT_TRUE(test_support::wait_until(
            [&] { return bridge->count_err("not a finite number") >= typed_batches; }, 10000ms))
            << describe();
    }
    std::string describe() { return bridge->describe() + (sender ? sender->describe() : ""); }
    std::string bus;
    std::vector<std::string> args;
    std::optional<Child> bridge, sender;
    // The refusals of one bridge are said once per ten seconds: a new
    // bridge for each batch, or one batch per bridge.
    int typed_batches = 0;
};

// The pressures a subscriber saw, each once (readings typed in a burst
// share their millisecond: weather_seen would keep one).
std::set<int> pressures_seen(Child& sub) {
    std::set<int> seen;
    const std::regex pressure(R"("pressure_pa":(\d+))");
    const std::string out = sub.out();
    for (auto it = std::sregex_iterator(out.begin(), out.end(), pressure);
         it != std::sregex_iterator(); ++it)
        seen.insert(std::stoi((*it)[1]) - 100000);
    return seen;
}

// Under the shipped ACL a site's user writes its own site only: a bridge
// posing as another site is refused reading by reading (MQTT 5's PUBACK
// reason), says so, and keeps them; once the ACL allows it, they arrive.
// 0x10 (no subscriber) is a delivery; 3.1.1 is there for old brokers.
TEST(MqttBridge, RefusedPublishesAreNamedKeptAndArriveOnceAllowed) {
    TestBroker broker;
    ASSERT_TRUE(broker.start()) << broker.describe();
    const std::string north = broker.write_file("north", mqtt_test::site_user.password);
    const std::string bridge_pw = broker.write_file("bridge", mqtt_test::bridge_user.password);
    auto sub = subscribe(broker, "anemobus/south/+/weather", {"-c", "-i", "ops-south"});
    const std::string outbox = broker.dir() + "/south.db";
    const std::vector<std::string> as_north = {"--user", "north",  "--password-file",
                                               north,    "--site", "south"};
    {
        TypedBridge refused(broker, outbox, as_north);
        refused.type(0, 5);
        EXPECT_TRUE(refused.bridge->wait_err("0x87 (Not authorized)", 10000ms))
            << refused.describe();
        EXPECT_NE(refused.bridge->err().find("may --user write to anemobus/south/#?"),
                  std::string::npos);
        refused.bridge->signal(SIGTERM);
        EXPECT_EQ(refused.bridge->wait_exit(10000ms), 0) << refused.describe();
    }
    EXPECT_TRUE(pressures_seen(*sub).empty()) << sub->describe();

    std::ofstream(broker.dir() + "/acl", std::ios::app)
        << "user north\ntopic write anemobus/south/#\n";
    broker.reload();
    TypedBridge allowed(broker, outbox, as_north);
    EXPECT_TRUE(allowed.bridge->wait_err("(5 reading(s) waiting)", 10000ms)) << allowed.describe();
    ASSERT_TRUE(test_support::wait_until([&] { return pressures_seen(*sub).size() == 5; }, 20000ms))
        << allowed.describe() << sub->describe();
    EXPECT_EQ(pressures_seen(*sub), (std::set<int>{0, 1, 2, 3, 4}));

    // Nobody reads "quiet": each publish is answered 0x10, and none stays.
    const std::string quiet_outbox = broker.dir() + "/quiet.db";
    const std::vector<std::string> quiet = {"--user",  "bridge", "--password-file",
                                            bridge_pw, "--site", "quiet"};
    {
        TypedBridge unheard(broker, quiet_outbox, quiet);
        unheard.type(0, 3);
        unheard.bridge->signal(SIGTERM);
        EXPECT_EQ(unheard.bridge->wait_exit(10000ms), 0) << unheard.describe();
        EXPECT_EQ(unheard.bridge->err().find("the broker refused"), std::string::npos)
            << unheard.describe();
    }
    TypedBridge again(broker, quiet_outbox, quiet);
    EXPECT_TRUE(again.bridge->wait_err("(0 reading(s) waiting)", 10000ms)) << again.describe();

    // Both protocols as the broker logged them (it says p2 for 3.1.1).
    std::vector<std::string> old = quiet;
    old.insert(old.end(), {"--mqtt-version", "3.1.1"});
    TypedBridge v311(broker, broker.dir() + "/old.db", old);
    EXPECT_TRUE(v311.bridge->wait_err("(MQTT 3.1.1)", 10000ms)) << v311.describe();
    const std::string log = broker.describe();
    EXPECT_TRUE(std::regex_search(log, std::regex(R"(\(p5, c1, k30, u'north'\))"))) << log;
    EXPECT_TRUE(std::regex_search(log, std::regex(R"(\(p2, c1, k30, u'bridge'\))"))) << log;
}

// The outbox's folder on a full 1 MiB tmpfs of its own (a mount namespace):
// with the broker up every reading is forwarded from memory, the failure
// said once; with the broker down, a stop names what it cannot keep and
// ends with status 1.
TEST(MqttBridge, AFullDiskLosesNothingWhileTheBrokerIsUpAndAStopNamesWhatItCannotKeep) {
    if (std::system("unshare --mount --map-root-user true >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "no mount namespace here";
    TestBroker broker;
    ASSERT_TRUE(broker.start()) << broker.describe();
    const std::string password = broker.write_file("bridge", mqtt_test::bridge_user.password);
    auto sub = subscribe(broker, "anemobus/full/+/weather", {"-c", "-i", "ops-full"});
    const std::string disk = broker.dir() + "/disk";
    ::mkdir(disk.c_str(), 0700);
    const std::string bus = test_support::loopback_bus(test_support::random_bus_port());
    // The bridge opens its outbox, then the disk is filled; the shell passes
    // SIGTERM on and ends with the bridge's status.
    const std::string script =
        "mount -t tmpfs -o size=1m none " + disk + " || exit 9\n\"$0\" \"$@\" & pid=$!\n" +
        "trap 'kill -TERM $pid' TERM\nwhile [ ! -e " + disk +
        "/outbox.db-wal ]; do sleep 0.05; done\ndd if=/dev/zero of=" + disk +
        "/fill bs=4096 2>/dev/null\necho the disk is full >&2\nwait $pid\nwait $pid\n";
    Child bridge("/usr/bin/unshare",
                 {"--mount", "--map-root-user", "sh", "-c", script,
                  test_support::program_path("anemobus-mqtt"), "--broker", broker.url(), "--user",
                  "bridge", "--password-file", password, "--site", "full", "-b", bus, "--outbox",
                  disk + "/outbox.db"});
    ASSERT_TRUE(bridge.wait_err("the disk is full", 10000ms)) << bridge.describe();
    ASSERT_TRUE(bridge.wait_err("connected to mqtt://", 10000ms)) << bridge.describe();
    Child sender(test_support::program_path("anemobus-monitor"), {"-b", bus, "^nothing$"});
    ASSERT_TRUE(sender.wait_err("anemobus-mqtt connected", 10000ms)) << sender.describe();
    std::string lines;
    for (int i = 0; i < 200; ++i)
        lines += "1 WEATHER " + std::to_string(100000 + i) + " 15 3 270\n";
    sender.write_stdin(lines);
    ASSERT_TRUE(
        test_support::wait_until([&] { return pressures_seen(*sub).size() == 200; }, 20000ms))
        << bridge.describe() << sub->describe();
    EXPECT_TRUE(bridge.wait_err("forwarded from memory", 10000ms)) << bridge.describe();
    EXPECT_EQ(bridge.count_err("forwarded from memory"), 1) << bridge.describe();

    broker.stop();
    ASSERT_TRUE(bridge.wait_err("lost the connection", 10000ms)) << bridge.describe();
    // The refused message after them says they were taken.
    sender.write_stdin(
        "1 WEATHER 100300 15 3 270\n1 WEATHER 100301 15 3 270\n1 WEATHER nan 1 2 3\n");
    ASSERT_TRUE(bridge.wait_err("not a finite number", 10000ms)) << bridge.describe();
    bridge.signal(SIGTERM);
    EXPECT_EQ(bridge.wait_exit(10000ms), 1) << bridge.describe();
    std::smatch m;
    const std::string err = bridge.err();
    ASSERT_TRUE(
        std::regex_search(err, m, std::regex(R"(stopped with (\d+) reading\(s\) neither written)")))
        << bridge.describe();
    // Two typed while the broker was away, and perhaps one whose PUBACK the
    // broker's stop cut off.
    EXPECT_GE(std::stoi(m[1]), 2);
    EXPECT_LE(std::stoi(m[1]), 3);
}

}  // namespace
