// anemobus-sim as the relay sees it: a serial device on a real pseudo-terminal.
#include <fcntl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <thread>

#include <gtest/gtest.h>

#include "test_support.h"

namespace {

using namespace std::chrono_literals;
using test_support::Child;

// The relay's way of using the port: non-blocking, only the control modes set.
struct RelaySide {
    int fd = -1;
    explicit RelaySide(const std::string& path) {
        fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (fd < 0) return;
        termios t{};
        ::tcgetattr(fd, &t);
        t.c_cflag = B19200 | CS8 | CREAD | CLOCAL;
        ::tcsetattr(fd, TCSANOW, &t);
    }
    ~RelaySide() { close(); }
    void close() {
        if (fd >= 0) ::close(fd);
        fd = -1;
    }
    void send(std::string_view bytes) const {
        ASSERT_EQ(::write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }
    std::string receive(std::size_t count, std::chrono::milliseconds within = 1000ms) const {
        return test_support::read_available(fd, within, count);
    }
};

std::string temp_path(const char* what) {
    return "/tmp/anemobus-test-sim-" + std::string(what) + "-" + std::to_string(::getpid());
}

struct Sim {
    Child child;
    std::string path;
    explicit Sim(std::vector<std::string> args)
        : child(test_support::program_path("anemobus-sim"), with_verbose(std::move(args))) {
        if (child.wait_out("\n", 5000ms)) path = child.out().substr(0, child.out().find('\n'));
    }
    static std::vector<std::string> with_verbose(std::vector<std::string> args) {
        args.push_back("-v");
        return args;
    }
};

bool count_reaches(Child& child, std::string_view text, int count) {
    return test_support::wait_until([&] { return child.count_err(text) >= count; }, 2000ms);
}

TEST(SimOnPty, AnswersTheRelaysExchangesOnARawPortAtTheLink) {
    const std::string link = temp_path("link");
    Sim sim({"--link", link, "--fixed-raw", "30000,725,10,180"});
    ASSERT_FALSE(sim.path.empty()) << sim.child.describe();
    char target[256] = {};
    ASSERT_GT(::readlink(link.c_str(), target, sizeof target - 1), 0);
    EXPECT_EQ(sim.path, target);

    for (int reopen = 0; reopen < 2; ++reopen) {
        RelaySide relay(link);
        ASSERT_GE(relay.fd, 0) << std::strerror(errno);
        termios t{};
        ::tcgetattr(relay.fd, &t);
        EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG), 0u) << "the port must stay raw";
        EXPECT_EQ(t.c_iflag & (ICRNL | IXON), 0u);

        relay.send("\n");
        EXPECT_EQ(relay.receive(2), "\n\r") << sim.child.describe();
        relay.send("LOOP 1\n");
        // The relay reads once, 120 ms after asking: everything must be there.
        std::this_thread::sleep_for(120ms);
        char buf[256];
        ASSERT_EQ(::read(relay.fd, buf, 1), 1) << sim.child.describe();
        EXPECT_EQ(buf[0], 0x06);
        ASSERT_EQ(::read(relay.fd, buf, sizeof buf), 99) << sim.child.describe();
        EXPECT_EQ(std::string(buf, 3), "LOO");
        EXPECT_EQ(std::string(buf + 7, 2), "\x30\x75");
        relay.close();
        ASSERT_TRUE(sim.child.wait_err("port closed", 2000ms)) << sim.child.describe();
    }
    sim.child.signal(SIGTERM);
    EXPECT_EQ(sim.child.wait_exit(5000ms), 0);
    struct stat st {};
    EXPECT_NE(::lstat(link.c_str(), &st), 0) << "the link must go with the simulator";
}

TEST(SimOnPty, AnswersAreLostWhileNobodyHoldsThePort) {
    Sim sim({"--fault", "late=300@1"});
    ASSERT_FALSE(sim.path.empty()) << sim.child.describe();
    {
        // An answer written but not read before the port closes is dropped,
        // as a serial port drops what arrives after it is closed.
        RelaySide relay(sim.path);
        relay.send("\n");
        relay.send("\n");  // two line feeds: a poll of its own, not the reset's goodbye
        ASSERT_TRUE(sim.child.wait_err("<- 0a", 2000ms)) << sim.child.describe();
    }
    ASSERT_TRUE(sim.child.wait_err("port closed", 2000ms)) << sim.child.describe();
    std::this_thread::sleep_for(400ms);  // the late answers fall due while the port is closed
    {
        RelaySide relay(sim.path);
        EXPECT_EQ(relay.receive(16, 200ms), "") << sim.child.describe();
        relay.send("\n");
        EXPECT_EQ(relay.receive(2), "\n\r") << "poll 2 is on time";
        relay.send("\n");
        ASSERT_TRUE(count_reaches(sim.child, "-> 0a 0d", 2)) << sim.child.describe();
    }
    ASSERT_TRUE(count_reaches(sim.child, "port closed", 2)) << sim.child.describe();
    RelaySide relay(sim.path);
    EXPECT_EQ(relay.receive(16, 200ms), "") << "the unread answer must be flushed";
}

TEST(SimOnPty, UnpluggingRemovesTheDevice) {
    const std::string link = temp_path("unplug");
    Sim sim({"--link", link, "--fault", "unplug@2"});
    ASSERT_FALSE(sim.path.empty()) << sim.child.describe();
    RelaySide relay(link);
    relay.send("\nLOOP 1\n");
    EXPECT_EQ(relay.receive(102).size(), 102u);
    relay.send("\n");
    EXPECT_EQ(sim.child.wait_exit(5000ms), 0) << sim.child.describe();
    char buf[8];
    EXPECT_LE(::read(relay.fd, buf, sizeof buf), 0);
    EXPECT_LT(::write(relay.fd, "\n", 1), 0);
    EXPECT_LT(::open(link.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK), 0);
    EXPECT_LT(::open(sim.path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK), 0);
}

TEST(SimOnPty, CommandLineMistakesAndHelp) {
    {
        Child help(test_support::program_path("anemobus-sim"), {"--help"});
        EXPECT_EQ(help.wait_exit(5000ms), 0);
        EXPECT_NE(help.out().find("--fault"), std::string::npos);
        EXPECT_EQ(help.err(), "");
    }
    {
        Child wrong(test_support::program_path("anemobus-sim"), {"--fault", "sleepy@2"});
        EXPECT_EQ(wrong.wait_exit(5000ms), 1);
        EXPECT_NE(wrong.err().find("unknown fault 'sleepy'"), std::string::npos) << wrong.err();
        EXPECT_EQ(wrong.out(), "");
    }
    {
        // A file where the link should go is the user's, not ours to replace.
        const std::string file = temp_path("file");
        std::ofstream(file) << "keep me";
        Child sim(test_support::program_path("anemobus-sim"), {"--link", file});
        EXPECT_EQ(sim.wait_exit(5000ms), 1);
        EXPECT_NE(sim.err().find("not a symbolic link"), std::string::npos) << sim.err();
        std::ifstream in(file);
        std::string kept;
        std::getline(in, kept);
        EXPECT_EQ(kept, "keep me");
        ::unlink(file.c_str());
    }
    {
        Child sim(test_support::program_path("anemobus-sim"), {"--replay", "/nonexistent/rec"});
        EXPECT_EQ(sim.wait_exit(5000ms), 1);
        EXPECT_NE(sim.err().find("cannot read /nonexistent/rec"), std::string::npos);
    }
}

}  // namespace
