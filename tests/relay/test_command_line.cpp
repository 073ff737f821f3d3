// The command line: the parser in-process for what ends up in the settings,
// the built program for what the user sees on standard error and the exit
// status.
#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <string>
#include <vector>

#include "app/command_line.h"
#include "relay_helpers.h"
#include "test_support.h"

namespace {

using namespace std::chrono_literals;

struct Parsed {
    ParseOutcome outcome;
    std::string device_path, bus_domain;
    std::int32_t poll_period_ms, aircraft_id;
    bool send_alive;
};

Parsed parse(std::vector<std::string> args) {
    args.insert(args.begin(), "anemobus");
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    optind = 0;  // a fresh scan each time (glibc)
    RunSettings s;
    relay_test::StderrCapture quiet;
    const auto outcome = parse_command_line(static_cast<int>(args.size()), argv.data(), s);
    return {outcome, s.device_path, s.bus_domain, s.poll_period_ms, s.aircraft_id, s.send_alive};
}

TEST(CommandLine, DefaultsWithoutArguments) {
    const Parsed p = parse({});
    EXPECT_EQ(p.outcome, ParseOutcome::run);
    EXPECT_EQ(p.device_path, "/dev/ttyUSB1");
    EXPECT_EQ(p.bus_domain, "127.255.255.255:2010");
    EXPECT_EQ(p.poll_period_ms, 1000);
    EXPECT_EQ(p.aircraft_id, 1);
    EXPECT_FALSE(p.send_alive);
}

TEST(CommandLine, TextOptionsAreTakenAsTypedAndTheLastWins) {
    Parsed p = parse({"-d", "/dev/first", "-b", " 10.0.0.255:3000 ", "-d", "/dev/second", "-a"});
    EXPECT_EQ(p.outcome, ParseOutcome::run);
    EXPECT_EQ(p.device_path, "/dev/second");
    EXPECT_EQ(p.bus_domain, " 10.0.0.255:3000 ");
    EXPECT_TRUE(p.send_alive);

    p = parse({"operand", "-d", "", "another"});
    EXPECT_EQ(p.outcome, ParseOutcome::run);
    EXPECT_EQ(p.device_path, "");
}

TEST(CommandLine, NumbersConvertLikeStrtolClampedToInt32) {
    struct Case {
        const char* text;
        std::int32_t id;
    };
    const Case cases[] = {
        {"7", 7},
        {"12x", 12},
        {"  -42", -42},
        {"+5", 5},
        {"abc", 0},
        {"", 0},
        {"2147483647", INT32_MAX},
        {"99999999999999999999", INT32_MAX},
        {"-2147483648", INT32_MIN},
        {"-99999999999999999999", INT32_MIN},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(parse({"-i", c.text}).aircraft_id, c.id) << "-i '" << c.text << "'";
    }
}

// Only whole seconds are understood; a product beyond 32 bits saturates
// instead of wrapping into a wrong (possibly negative) period.
TEST(CommandLine, DelayBecomesMillisecondsSaturated) {
    struct Case {
        const char* text;
        std::int32_t period;
    };
    const Case cases[] = {
        {"2", 2000},
        {"0.5", 0},
        {"abc", 0},
        {"0", 0},
        {"-3", -3000},
        {"2147483", 2147483000},
        {"2147484", INT32_MAX},
        {"-2147483", -2147483000},
        {"-2147484", INT32_MIN},
        {"99999999999999999999", INT32_MAX},
        {"-99999999999999999999", INT32_MIN},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(parse({"-s", c.text}).poll_period_ms, c.period) << "-s '" << c.text << "'";
    }
}

// The built program, as a user runs it.
struct Outcome {
    std::optional<int> status;
    std::string out, err, program;
};

Outcome run_program(const std::vector<std::string>& args) {
    const std::string program = test_support::program_path("anemobus");
    test_support::Child child(program, args);
    Outcome r;
    r.status = child.wait_exit(5000ms);
    r.out = child.out();
    r.err = child.err();
    r.program = program;
    return r;
}

std::string usage(const std::string& program) {
    return "Usage: " + program +
           " [-a] [-b <bus>] [-d <device>] [-i <aircraft_id>] [-s <delay time in seconds>]\n";
}

TEST(ProgramCommandLine, WithoutArgumentsTheDefaultDeviceIsOpened) {
    if (access("/dev/ttyUSB1", F_OK) == 0) GTEST_SKIP() << "/dev/ttyUSB1 exists here";
    const Outcome r = run_program({});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "open_port: unable to open device /dev/ttyUSB1 - No such file or directory\n");
    EXPECT_EQ(r.out, "");
}

TEST(ProgramCommandLine, HelpPrintsTheUsageLineOnly) {
    for (const auto& args : std::vector<std::vector<std::string>>{{"-h"}, {"-a", "-h", "-z"}}) {
        const Outcome r = run_program(args);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, usage(r.program));
        EXPECT_EQ(r.out, "");
    }
}

// The scanner's own line comes first (its wording is the C library's); ours
// follow it exactly.
TEST(ProgramCommandLine, BadOptionsAreExplainedAfterTheScannersMessage) {
    struct Case {
        std::vector<std::string> args;
        std::string ours;
    };
    const Case cases[] = {
        {{"-b"}, "Option -b requires an argument.\n"},
        {{"-d"}, "Option -d requires an argument.\n"},
        {{"-a", "-i"}, "Option -i requires an argument.\n"},
        {{"-s"}, "Option -s requires an argument.\n"},
        {{"-x"}, "Unknown option `-x'.\n"},
        {{"-:"}, "Unknown option `-:'.\n"},
        {{"-\x01"}, "Unknown option character `\\x1'.\n"},
        {{"-\x7f"}, "Unknown option character `\\x7f'.\n"},
        {{"-\xe9"}, "Unknown option character `\\xe9'.\n"},
        {{"-\xff", "-h"}, "Unknown option character `\\xff'.\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args.back());
        const Outcome r = run_program(c.args);
        EXPECT_EQ(r.status, 1);
        const auto first_end = r.err.find('\n');
        ASSERT_NE(first_end, std::string::npos) << r.err;
        EXPECT_EQ(r.err.rfind(r.program + ": ", 0), 0u) << "scanner's message first: " << r.err;
        EXPECT_EQ(r.err.substr(first_end + 1), c.ours + usage(r.program));
        EXPECT_EQ(r.out, "");
    }
}

}  // namespace
