#include "pty_port.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace sim {

namespace {

tools::Failure system_error(const std::string& what) {
    return tools::fail(what + ": " + std::strerror(errno));
}

int open_slave(const std::string& path) {
    return ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
}

bool make_raw(int fd) {
    termios t{};
    if (::tcgetattr(fd, &t) != 0) return false;
    ::cfmakeraw(&t);
    ::cfsetspeed(&t, B19200);
    t.c_cflag |= CLOCAL | CREAD;
    return ::tcsetattr(fd, TCSANOW, &t) == 0;
}

// Raw mode, 19200 baud, 8N1: the station's serial line once it has been set
// up (the relay replaces only the control modes, so the rest must be right
// already). A fresh line keeps what the kernel gave the new pseudo-terminal:
// the same input, output and local modes and control characters as a USB
// serial adapter's, the control modes aside, which the relay replaces.
tools::Status prepare_slave(const std::string& slave_path, LineMode mode) {
    const int slave = open_slave(slave_path);
    if (slave < 0) return system_error("cannot open " + slave_path);
    tools::Status prepared;
    if (mode == LineMode::raw && !make_raw(slave))
        prepared = system_error("cannot set raw mode on " + slave_path);
    // Closing it is also what makes the master report POLLHUP from now on:
    // a master whose slave was never opened reports nothing.
    ::close(slave);
    return prepared;
}

// A link made under a temporary name and renamed over the target, so that an
// old link is replaced in one step and a file or directory is never touched.
tools::Status make_link(const std::string& target, const std::string& link_path) {
    struct stat st {};
    if (::lstat(link_path.c_str(), &st) == 0 && !S_ISLNK(st.st_mode))
        return tools::fail(link_path + " exists and is not a symbolic link; not replacing it");
    const std::string temp = link_path + ".anemobus-sim-" + std::to_string(::getpid());
    ::unlink(temp.c_str());
    if (::symlink(target.c_str(), temp.c_str()) != 0)
        return system_error("cannot make the link " + link_path);
    if (::rename(temp.c_str(), link_path.c_str()) != 0) {
        tools::Failure failed = system_error("cannot make the link " + link_path);
        ::unlink(temp.c_str());
        return failed;
    }
    return {};
}

tools::Result<std::string> master_slave_path(int master) {
    char name[PATH_MAX];
    if (::grantpt(master) != 0 || ::unlockpt(master) != 0 ||
        ::ptsname_r(master, name, sizeof name) != 0)
        return system_error("cannot set up the pseudo-terminal");
    return std::string(name);
}

}  // namespace

tools::Result<PtyPort> PtyPort::create(const std::string& link_path, LineMode mode) {
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0) return system_error("cannot create a pseudo-terminal");
    PtyPort port(master, {}, {});
    // Nothing is set through the master: Linux applies terminal attributes
    // set there to the slave, the relay's side.
    const auto slave = master_slave_path(master);
    if (!slave) return slave.failure();
    if (const tools::Status prepared = prepare_slave(*slave, mode); !prepared)
        return prepared.failure();
    port.slave_path_ = *slave;
    ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);
    if (!link_path.empty()) {
        if (const tools::Status linked = make_link(*slave, link_path); !linked)
            return linked.failure();
        port.link_path_ = link_path;
    }
    return port;
}

PtyPort::PtyPort(PtyPort&& other) noexcept
    : master_(other.master_),
      slave_path_(std::move(other.slave_path_)),
      link_path_(std::move(other.link_path_)) {
    other.master_ = -1;
    other.link_path_.clear();
}

PtyPort::~PtyPort() {
    remove_link();
    if (master_ >= 0) ::close(master_);
}

void PtyPort::remove_link() {
    if (link_path_.empty()) return;
    // Someone may have pointed the path elsewhere meanwhile; then it is theirs.
    char target[PATH_MAX];
    const ssize_t n = ::readlink(link_path_.c_str(), target, sizeof target - 1);
    if (n >= 0 && std::string_view(target, static_cast<std::size_t>(n)) == slave_path_)
        ::unlink(link_path_.c_str());
    link_path_.clear();
}

bool PtyPort::held() const {
    if (master_ < 0) return false;
    pollfd p{master_, POLLIN, 0};
    if (::poll(&p, 1, 0) < 0) return true;  // cannot tell: assume nothing changed hands
    return (p.revents & POLLHUP) == 0;
}

void PtyPort::flush_towards_relay() {
    // Flushing through the master does not reach the slave's input queue on
    // Linux; flushing through the slave does. Nobody holds the slave now (the
    // relay just closed it and waits at least a second before reopening), so
    // opening it for a moment does not disturb anyone.
    const int slave = open_slave(slave_path_);
    if (slave < 0) return;
    ::tcflush(slave, TCIFLUSH);
    ::close(slave);
}

std::string PtyPort::read_available() {
    std::string got;
    char buf[4096];
    for (;;) {
        const ssize_t n = ::read(master_, buf, sizeof buf);
        if (n > 0) {
            got.append(buf, static_cast<std::size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        return got;  // EAGAIN (nothing more) or EIO (the relay closed the port)
    }
}

std::size_t PtyPort::write_some(std::string_view bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(master_, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            break;
        }
    }
    return done;
}

void PtyPort::unplug() {
    remove_link();
    if (master_ >= 0) ::close(master_);
    master_ = -1;
}

}  // namespace sim
