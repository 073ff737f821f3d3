// anemobus-monitor: its command line and texts, then the program itself on a
// loopback bus (two monitors talking, the -c and -t limits, signals, usage).
#include <gtest/gtest.h>
#include <signal.h>

#include <string>
#include <vector>

#include "monitor_options.h"
#include "monitor_text.h"
#include "test_support.h"

namespace {

using std::chrono::milliseconds;
using test_support::Child;

monitor::ParseResult parse(std::vector<std::string> args, const char* ivybus = nullptr) {
    args.insert(args.begin(), "anemobus-monitor");
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    return monitor::parse_options(static_cast<int>(args.size()), argv.data(), ivybus);
}

TEST(MonitorOptions, DefaultsAndEveryOption) {
    auto d = parse({});
    ASSERT_EQ(d.kind, monitor::ParseResult::Kind::run);
    EXPECT_EQ(d.options.bus, "127.255.255.255:2010");
    EXPECT_EQ(d.options.name, "anemobus-monitor");
    EXPECT_EQ(d.options.regexps, std::vector<std::string>{"(.*)"});
    EXPECT_EQ(d.options.max_messages, 0);
    EXPECT_EQ(d.options.duration_ms, 0);

    auto r = parse({"^a (.*)", "-b", "127.0.0.1:3000", "-n", "me", "-c", "7", "-t", "0.25", "-q",
                    "--", "-starts-with-dash"});
    ASSERT_EQ(r.kind, monitor::ParseResult::Kind::run) << r.error;
    EXPECT_EQ(r.options.bus, "127.0.0.1:3000");
    EXPECT_EQ(r.options.name, "me");
    EXPECT_EQ(r.options.max_messages, 7);
    EXPECT_EQ(r.options.duration_ms, 250);
    EXPECT_TRUE(r.options.quiet);
    EXPECT_EQ(r.options.regexps, (std::vector<std::string>{"^a (.*)", "-starts-with-dash"}));

    EXPECT_EQ(parse({"-h"}).kind, monitor::ParseResult::Kind::help);

    // IVYBUS stands in for a missing -b only.
    EXPECT_EQ(parse({}, "10.1.2:2345").options.bus, "10.1.2:2345");
    EXPECT_EQ(parse({}, "").options.bus, "127.255.255.255:2010");
    EXPECT_EQ(parse({"-b", "127.0.0.1:3000"}, "10.1.2:2345").options.bus, "127.0.0.1:3000");
    EXPECT_EQ(parse({"--help"}).kind, monitor::ParseResult::Kind::help);
}

TEST(MonitorOptions, UnusableValuesAreUsageErrors) {
    for (auto args : std::vector<std::vector<std::string>>{{"-c", "0"},
                                                           {"-c", "-3"},
                                                           {"-c", "5x"},
                                                           {"-c", "99999999999999999999"},
                                                           {"-t", "0"},
                                                           {"-t", "-1"},
                                                           {"-t", "nan"},
                                                           {"-t", "inf"},
                                                           {"-t", "1e30"},
                                                           {"-t", ""},
                                                           {"-n", ""},
                                                           {"-x"},
                                                           {"--bogus"},
                                                           {"-b"}}) {
        auto r = parse(args);
        EXPECT_EQ(r.kind, monitor::ParseResult::Kind::error) << args[0];
        EXPECT_FALSE(r.error.empty());
    }
}

TEST(MonitorText, ReceivedLineKeepsOneColumnPerField) {
    const char* fields[] = {"1", "a\tb", "back\\slash", "line\nfeed\r", "\x01\x7f", "", "é"};
    EXPECT_EQ(monitor::received_line("relay", 7, fields),
              "relay\t1\ta\\tb\tback\\\\slash\tline\\nfeed\\r\t\\x01\\x7f\t\té\n");
    EXPECT_EQ(monitor::received_line(nullptr, 0, nullptr), "\n");
}

TEST(MonitorText, SplitterCutsLinesAndDropsOverlongOnes) {
    monitor::LineSplitter split(8);
    std::vector<std::string> lines;
    auto keep = [&](std::string_view l) { lines.emplace_back(l); };
    split.feed("one\r\ntw", keep);
    split.feed("o\n\nthis-is-too-long\nok\n", keep);
    split.feed("12345678", keep);  // exactly the limit, no line feed yet
    split.end(keep);
    split.end(keep);  // nothing pending: no empty line
    EXPECT_EQ(lines, (std::vector<std::string>{"one", "two", "", "ok", "12345678"}));
    EXPECT_EQ(split.dropped(), 1u);
}

// The program, on a bus of its own.

std::vector<std::string> with_bus(const std::string& bus, std::vector<std::string> args) {
    args.insert(args.begin(), {"-b", bus});
    return args;
}

TEST(MonitorProgram, TwoMonitorsTalkBothWaysAndStopOnSignals) {
    std::string bus = test_support::loopback_bus(test_support::random_bus_port());
    std::string path = test_support::program_path("anemobus-monitor");
    Child a(path, with_bus(bus, {"-n", "monA"}));
    Child b(path, with_bus(bus, {"-n", "monB"}));
    ASSERT_TRUE(a.wait_err("monB connected from 127.", milliseconds(5000))) << a.describe();
    ASSERT_TRUE(b.wait_err("monA connected from 127.", milliseconds(5000))) << b.describe();

    a.write_stdin("hello from A\n");
    EXPECT_TRUE(b.wait_out("monA\thello from A\n", milliseconds(5000))) << b.describe();
    EXPECT_TRUE(a.wait_err("sent to 1 peer(s)", milliseconds(5000))) << a.describe();
    b.write_stdin("tab\there\r\n");
    EXPECT_TRUE(a.wait_out("monB\ttab\\there\n", milliseconds(5000))) << a.describe();

    a.signal(SIGINT);
    EXPECT_EQ(a.wait_exit(milliseconds(5000)), 0) << a.describe();
    EXPECT_TRUE(b.wait_err("monA disconnected", milliseconds(5000))) << b.describe();
    b.signal(SIGTERM);
    EXPECT_EQ(b.wait_exit(milliseconds(5000)), 0) << b.describe();
    EXPECT_EQ(b.count_out("\n"), 1) << b.describe();
}

TEST(MonitorProgram, CountLimitPrintsExactlyThatManyAndEnds) {
    std::string bus = test_support::loopback_bus(test_support::random_bus_port());
    std::string path = test_support::program_path("anemobus-monitor");
    Child counted(path, with_bus(bus, {"-n", "counted", "-c", "2", "-q", "^n (.*)"}));
    Child sender(path, with_bus(bus, {"-n", "sender"}));
    ASSERT_TRUE(sender.wait_err("counted connected", milliseconds(5000))) << sender.describe();
    sender.write_stdin("n 1\nignored\nn 2\nn 3\n");
    EXPECT_EQ(counted.wait_exit(milliseconds(5000)), 0) << counted.describe();
    EXPECT_EQ(counted.out(), "sender\t1\nsender\t2\n");
    EXPECT_EQ(counted.err(), "") << "-q must keep standard error quiet";
}

// Alone on its bus, a quiet monitor still says that a typed line went
// nowhere.
TEST(MonitorProgram, ALineToNoPeerIsSaidEvenWhenQuiet) {
    std::string bus = test_support::loopback_bus(test_support::random_bus_port());
    Child alone(test_support::program_path("anemobus-monitor"), with_bus(bus, {"-q"}));
    alone.write_stdin("first\n");
    EXPECT_TRUE(alone.wait_err("1 line(s) went to no peer", milliseconds(5000)))
        << alone.describe();
    alone.signal(SIGTERM);
    EXPECT_EQ(alone.wait_exit(milliseconds(5000)), 0) << alone.describe();
}

TEST(MonitorProgram, TimeLimitEndsItAndEndOfInputDoesNot) {
    std::string bus = test_support::loopback_bus(test_support::random_bus_port());
    // Longer than the scaled wait below, however slow the build.
    auto limit = test_support::scaled(milliseconds(1000));
    std::string seconds = std::to_string(static_cast<double>(limit.count()) / 1000.0);
    Child m(test_support::program_path("anemobus-monitor"), with_bus(bus, {"-t", seconds}));
    m.close_stdin();
    // The wait is the behaviour under test: end of input must not end it.
    EXPECT_FALSE(m.wait_exit(milliseconds(300)).has_value()) << m.describe();
    EXPECT_EQ(m.wait_exit(milliseconds(5000)), 0) << m.describe();
}

TEST(MonitorProgram, BadUsageExitsWithOneAndAUsageLine) {
    for (auto args : std::vector<std::vector<std::string>>{{"-c", "0"}, {"-z"}, {"-t"}}) {
        Child m(test_support::program_path("anemobus-monitor"), args);
        EXPECT_EQ(m.wait_exit(milliseconds(5000)), 1) << m.describe();
        EXPECT_NE(m.err().find("usage: anemobus-monitor"), std::string::npos) << m.describe();
    }
    Child help(test_support::program_path("anemobus-monitor"), {"-h"});
    EXPECT_EQ(help.wait_exit(milliseconds(5000)), 0) << help.describe();
    EXPECT_NE(help.out().find("-c count"), std::string::npos) << help.describe();
}

}  // namespace
