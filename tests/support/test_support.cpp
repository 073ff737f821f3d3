#include "test_support.h"

#include <elf.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <utility>

namespace test_support {

const std::vector<std::string>& emulator() {
    static const std::vector<std::string> words = [] {
        const char* line = std::getenv("ANEMOBUS_EMULATOR");
#ifdef ANEMOBUS_BUILD_EMULATOR
        if (line == nullptr) line = ANEMOBUS_BUILD_EMULATOR;
#endif
        std::vector<std::string> split;
        std::istringstream in(line ? line : "");
        for (std::string word; in >> word;) split.push_back(word);
        // A cross-built suite copied to the board it was built for finds no
        // emulator there, and runs natively.
        if (!split.empty() && ::access(split.front().c_str(), X_OK) != 0) split.clear();
        return split;
    }();
    return words;
}

int timeout_scale() {
    if (const char* s = std::getenv("ANEMOBUS_TIMEOUT_SCALE")) {
        int v = std::atoi(s);
        if (v > 0) return v;
    }
#if defined(__SANITIZE_ADDRESS__)
    return 3;
#else
    // qemu-user translates every program the test starts, each from cold:
    // starting one takes a few hundred milliseconds, and work several
    // times what it takes natively.
    return emulator().empty() ? 1 : 5;
#endif
}

milliseconds scaled(milliseconds ms) {
    return ms * timeout_scale();
}

bool wait_until(const std::function<bool()>& cond, milliseconds timeout) {
    const auto deadline = Clock::now() + scaled(timeout);
    while (!cond()) {
        if (Clock::now() >= deadline) return false;
        std::this_thread::sleep_for(milliseconds(5));
    }
    return true;
}

static bool udp_port_free(int port) {
    int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0) return false;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_ANY);
    bool ok = ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    ::close(fd);
    return ok;
}

int random_bus_port() {
    static std::mt19937 rng{std::random_device{}() ^ static_cast<unsigned>(::getpid())};
    std::uniform_int_distribution<int> pick(20000, 29999);
    for (int i = 0; i < 100; ++i) {
        int port = pick(rng);
        if (udp_port_free(port)) return port;
    }
    throw std::runtime_error("no free UDP port for a test bus");
}

std::string loopback_bus(int port) {
    return "127.255.255.255:" + std::to_string(port);
}

std::string program_path(std::string_view name) {
    std::string base = ANEMOBUS_BIN_DIR;
    for (const char* dir : {"/src/", "/tools/"}) {
        std::string p = base + dir + std::string(name);
        if (::access(p.c_str(), X_OK) == 0) return p;
    }
    return base + "/" + std::string(name);
}

std::string data_path(std::string_view relative) {
    return std::string(ANEMOBUS_TEST_DATA) + "/" + std::string(relative);
}

namespace {

// The ELF machine this test was built for: a program built for it too is
// one that the emulator must run, where there is one.
#if defined(__aarch64__)
constexpr unsigned own_machine = EM_AARCH64;
#elif defined(__arm__)
constexpr unsigned own_machine = EM_ARM;
#elif defined(__x86_64__)
constexpr unsigned own_machine = EM_X86_64;
#elif defined(__i386__)
constexpr unsigned own_machine = EM_386;
#else
constexpr unsigned own_machine = EM_NONE;
#endif

bool built_for_this_machine(const std::string& program) {
    unsigned char header[EI_NIDENT + 4] = {};
    std::ifstream file(program, std::ios::binary);
    if (!file.read(reinterpret_cast<char*>(header), sizeof header)) return false;
    if (header[EI_MAG0] != ELFMAG0 || header[EI_MAG1] != ELFMAG1 || header[EI_MAG2] != ELFMAG2 ||
        header[EI_MAG3] != ELFMAG3)
        return false;
    // e_machine follows e_type, in the file's own byte order.
    const unsigned lo = header[EI_NIDENT + 2], hi = header[EI_NIDENT + 3];
    const unsigned machine = header[EI_DATA] == ELFDATA2MSB ? lo << 8 | hi : hi << 8 | lo;
    return machine == own_machine;
}

}  // namespace

std::vector<std::string> command_for(const std::string& program,
                                     const std::vector<std::string>& args) {
    std::vector<std::string> command;
    if (!emulator().empty() && built_for_this_machine(program)) command = emulator();
    command.push_back(program);
    command.insert(command.end(), args.begin(), args.end());
    return command;
}

static void set_nonblocking(int fd) {
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
}

void answer_promptly() {
    // Per thread on Linux: PRIO_PROCESS with the thread's id.
    [[maybe_unused]] const int ignored =
        ::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), -10);
}

Child::Child(const std::string& program, const std::vector<std::string>& args, bool prompt) {
    int in[2], out[2], err[2];
    if (::pipe2(in, O_CLOEXEC) || ::pipe2(out, O_CLOEXEC) || ::pipe2(err, O_CLOEXEC))
        throw std::runtime_error("pipe failed");
    const std::vector<std::string> command = command_for(program, args);
    command_ = command.front();
    for (std::size_t i = 1; i < command.size(); ++i) command_ += " '" + command[i] + "'";
    pid_ = ::fork();
    if (pid_ == 0) {
        ::setpgid(0, 0);
        ::dup2(in[0], 0);
        ::dup2(out[1], 1);
        ::dup2(err[1], 2);
        std::vector<char*> argv;
        for (const auto& word : command) argv.push_back(const_cast<char*>(word.c_str()));
        argv.push_back(nullptr);
        // The child starts with default signal handling whatever the test runner set.
        ::signal(SIGINT, SIG_DFL);
        ::signal(SIGPIPE, SIG_DFL);
        if (prompt) answer_promptly();  // kept across exec
        ::execv(argv.front(), argv.data());
        ::_exit(127);
    }
    ::close(in[0]);
    ::close(out[1]);
    ::close(err[1]);
    in_ = in[1];
    out_fd_ = out[0];
    err_fd_ = err[0];
    set_nonblocking(out_fd_);
    set_nonblocking(err_fd_);
}

Child::~Child() {
    if (!status_ && pid_ > 0) {
        ::kill(-pid_, SIGKILL);
        ::kill(pid_, SIGKILL);
        int st;
        ::waitpid(pid_, &st, 0);
    }
    for (int fd : {in_, out_fd_, err_fd_})
        if (fd >= 0) ::close(fd);
}

void Child::write_stdin(std::string_view text) {
    while (!text.empty()) {
        ssize_t n = ::write(in_, text.data(), text.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        text.remove_prefix(static_cast<std::size_t>(n));
    }
}

void Child::close_stdin() {
    if (in_ >= 0) ::close(in_);
    in_ = -1;
}

void Child::signal(int signo) {
    ::kill(pid_, signo);
}

void Child::drain() {
    char buf[4096];
    for (auto [fd, dst] : {std::pair{out_fd_, &out_}, std::pair{err_fd_, &err_}}) {
        for (;;) {
            ssize_t n = ::read(fd, buf, sizeof buf);
            if (n <= 0) break;
            dst->append(buf, static_cast<std::size_t>(n));
        }
    }
}

const std::string& Child::out() {
    drain();
    return out_;
}
const std::string& Child::err() {
    drain();
    return err_;
}

bool Child::wait_out(std::string_view text, milliseconds timeout) {
    return wait_until([&] { return out().find(text) != std::string::npos; }, timeout);
}
bool Child::wait_err(std::string_view text, milliseconds timeout) {
    return wait_until([&] { return err().find(text) != std::string::npos; }, timeout);
}

static int count_in(const std::string& hay, std::string_view needle) {
    int n = 0;
    for (auto pos = hay.find(needle); pos != std::string::npos; pos = hay.find(needle, pos + 1))
        ++n;
    return n;
}
int Child::count_out(std::string_view text) {
    return count_in(out(), text);
}
int Child::count_err(std::string_view text) {
    return count_in(err(), text);
}

std::optional<int> Child::wait_exit(milliseconds timeout) {
    if (status_) return status_;
    wait_until(
        [&] {
            int st;
            pid_t r = ::waitpid(pid_, &st, WNOHANG);
            if (r == pid_) status_ = WIFEXITED(st) ? WEXITSTATUS(st) : -WTERMSIG(st);
            return status_.has_value();
        },
        timeout);
    drain();
    return status_;
}

bool Child::running() {
    return !wait_exit(milliseconds(0)).has_value();
}

std::string Child::describe() {
    drain();
    return "command: " + command_ + "\n--- stdout ---\n" + out_ + "\n--- stderr ---\n" + err_;
}

Pty::Pty(Pty&& other) noexcept
    : master(std::exchange(other.master, -1)),
      slave_path(std::move(other.slave_path)),
      slave_keepalive(std::exchange(other.slave_keepalive, -1)) {}

Pty::~Pty() {
    if (master >= 0) ::close(master);
    if (slave_keepalive >= 0) ::close(slave_keepalive);
}

std::optional<Pty> open_pty() {
    int master = -1, slave = -1;
    char name[256];
    if (::openpty(&master, &slave, name, nullptr, nullptr) != 0) return std::nullopt;
    termios t{};
    ::tcgetattr(slave, &t);
    ::cfmakeraw(&t);
    ::tcsetattr(slave, TCSANOW, &t);
    ::fcntl(master, F_SETFD, FD_CLOEXEC);
    ::fcntl(slave, F_SETFD, FD_CLOEXEC);
    Pty p;
    p.master = master;
    p.slave_path = name;
    p.slave_keepalive = slave;
    return p;
}

TempDir::TempDir(std::string_view what) {
    std::string pattern = "/tmp/anemobus-" + std::string(what) + "-XXXXXX";
    // Thrown, not left empty: the test would write at the root instead.
    if (::mkdtemp(pattern.data()) == nullptr)
        throw std::runtime_error("cannot make a folder like " + pattern);
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
}

namespace {

sockaddr_in loopback_address(int port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    return a;
}

}  // namespace

int connect_loopback(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a = loopback_address(port);
    if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) return fd;
    if (fd >= 0) ::close(fd);
    return -1;
}

int listen_loopback(int* port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a = loopback_address(0);
    socklen_t size = sizeof a;
    if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        ::listen(fd, 16) == 0 && ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &size) == 0) {
        *port = ntohs(a.sin_port);
        return fd;
    }
    if (fd >= 0) ::close(fd);
    return -1;
}

std::string read_available(int fd, milliseconds timeout, std::size_t max) {
    std::string got;
    const auto deadline = Clock::now() + scaled(timeout);
    while (got.size() < max) {
        auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) break;
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left)) <= 0) break;
        char buf[4096];
        ssize_t n = ::read(fd, buf, std::min(sizeof buf, max - got.size()));
        if (n <= 0) break;
        got.append(buf, static_cast<std::size_t>(n));
    }
    return got;
}

}  // namespace test_support
