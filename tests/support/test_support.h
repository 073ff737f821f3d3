// Helpers shared by the tests: child processes with captured output, random
// bus ports, pseudo-terminals, and waiting for a condition with a deadline.
#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace test_support {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Deadlines are multiplied by this: larger under sanitizers, which slow
// everything down several times, and under an emulator.
int timeout_scale();
milliseconds scaled(milliseconds ms);

// Polls cond every few milliseconds until it holds or the (scaled) timeout
// passes. Returns whether it held.
bool wait_until(const std::function<bool()>& cond, milliseconds timeout);

// A bus port no other test is likely to use (random, and free for UDP now).
int random_bus_port();
// "127.255.255.255:<port>"
std::string loopback_bus(int port);

// Path of a program built by this project (e.g. "anemobus-monitor").
std::string program_path(std::string_view name);
// Path under tests/data.
std::string data_path(std::string_view relative);

// The emulator (its program and options) that runs what a cross-build
// built, as this test runs: from ANEMOBUS_EMULATOR in the environment when
// set (empty: none), else the build's. Empty when there is none, or it is
// not on this machine.
const std::vector<std::string>& emulator();
// The command that runs program with args here: through emulator() when the
// program is an ELF executable of the machine this test was built for (the
// build's own programs), as it is otherwise (this machine's, and scripts).
std::vector<std::string> command_for(const std::string& program,
                                     const std::vector<std::string>& args);

// Raises the calling thread's scheduling priority where the test may (as
// root, or with CAP_SYS_NICE), and does nothing otherwise. For what plays
// the station: it must answer the relay within 30 ms, which a machine
// loaded with the rest of the suite (and with other work) would otherwise
// make it miss now and then, failing a test for the machine's sake.
void answer_promptly();

// A program run as a user would: its own process group, standard input a
// pipe, standard output and standard error captured. Killed on destruction.
// `prompt`: run at the priority of answer_promptly() (a station simulator).
class Child {
public:
    Child(const std::string& program, const std::vector<std::string>& args, bool prompt = false);
    ~Child();
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    int pid() const { return pid_; }
    void write_stdin(std::string_view text);
    void close_stdin();
    void signal(int signo);

    // Everything read so far (reading whatever is available first).
    const std::string& out();
    const std::string& err();
    // Waits until out() (or err()) contains text; returns whether it does.
    bool wait_out(std::string_view text, milliseconds timeout);
    bool wait_err(std::string_view text, milliseconds timeout);
    // Counts occurrences of text in out() / err().
    int count_out(std::string_view text);
    int count_err(std::string_view text);

    // Exit status if the child exited, -signal if it was killed by one,
    // nullopt if still running at the deadline.
    std::optional<int> wait_exit(milliseconds timeout);
    bool running();

    // For failure messages: the command, stdout and stderr.
    std::string describe();

private:
    void drain();
    int pid_ = -1;
    int in_ = -1, out_fd_ = -1, err_fd_ = -1;
    std::string out_, err_, command_;
    std::optional<int> status_;
};

// A pseudo-terminal pair: the test holds the master, the program under test
// opens slave_path. Returns nullopt where none can be had (tests then skip).
struct Pty {
    int master = -1;
    std::string slave_path;
    int slave_keepalive = -1;  // keeps the slave side alive between opens
    Pty() = default;
    Pty(Pty&& other) noexcept;
    Pty& operator=(Pty&&) = delete;
    ~Pty();
};
std::optional<Pty> open_pty();

// A folder of the test's own under /tmp ("anemobus-<what>-XXXXXX"), removed
// with everything in it when the object goes; throws when none can be made.
class TempDir {
public:
    explicit TempDir(std::string_view what = "test");
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

// TCP on 127.0.0.1: a connected socket, or a listening one on a port the
// kernel chose (stored in *port); -1 when it fails. The caller closes it.
int connect_loopback(int port);
int listen_loopback(int* port);

// Reads what is available on fd within timeout (scaled), at most max bytes.
std::string read_available(int fd, milliseconds timeout, std::size_t max = 65536);

}  // namespace test_support

// Skips the current test when no pseudo-terminal can be had.
#define ANEMOBUS_REQUIRE_PTY(var)          \
    auto var = ::test_support::open_pty(); \
    if (!var) GTEST_SKIP() << "no pseudo-terminal on this machine"
