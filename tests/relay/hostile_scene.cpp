#include "hostile_scene.h"

#include <dirent.h>
#include <sys/socket.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace hostile {
namespace {

using harness::RawPeer;

// Backtracks through every way of cutting the message into words before it
// fails: each match runs into the library's match limit (about 6 ms here).
// The comment makes each one a regexp of its own: the library matches a
// text bound by several peers only once per message.
std::string bomb(int peer, int i) {
    return "^(\\S+ ?)+(?:;|#)(?#" + std::to_string(peer) + "-" + std::to_string(i) + ")";
}
constexpr int bombs_per_peer = 1024;

std::string make_dir() {
    std::string path = "/tmp/anemobus-hostile-XXXXXX";
    if (::mkdtemp(path.data()) == nullptr) return {};
    return path;
}

// Reads what the relay sends to each peer, so that only the attack itself
// weighs on it, until `hold` has passed.
void hold_reading(std::vector<std::unique_ptr<RawPeer>>& peers, milliseconds hold) {
    const auto until = Clock::now() + test_support::scaled(hold);
    while (Clock::now() < until) {
        for (auto& p : peers) {
            if (p) p->read_line(milliseconds(1));
        }
    }
}

}  // namespace

std::string handshake(int port, const std::string& name, const std::vector<std::string>& regexps) {
    std::string lines = "6 " + std::to_string(port) + "\x02" + name + "\n";
    for (std::size_t i = 0; i < regexps.size(); ++i) {
        lines += "1 " + std::to_string(i) + "\x02" + regexps[i] + "\n";
    }
    return lines + "5 0\x02\n";
}

Scene::Scene() : bus_port_(test_support::random_bus_port()), dir_(make_dir()) {
    bus_ = std::make_unique<harness::BusSocket>(bus_port_);
    const std::string link = dir_ + "/station";
    sim_ = std::make_unique<test_support::Child>(
        test_support::program_path("anemobus-sim"),
        std::vector<std::string>{"--link", link, "--log", dir_ + "/sim.log", "--seed", "9"}, true);
    if (!sim_->wait_out("\n", milliseconds(5000))) {
        why_ = "no simulator";
        return;
    }
    relay_ = std::make_unique<test_support::Child>(
        test_support::program_path("anemobus"),
        std::vector<std::string>{"-d", link, "-b", test_support::loopback_bus(bus_port_), "-s",
                                 "1"});
    const auto announcement = bus_->wait_announcement(" anemobus\n", milliseconds(5000));
    if (!announcement) {
        why_ = "the relay did not announce itself";
        return;
    }
    relay_port_ = harness::announced_port(*announcement);
    listener_ = RawPeer::connect_to(relay_port_);
    if (!listener_) {
        why_ = "cannot connect to the relay";
        return;
    }
    listener_->send(handshake(listener_->local_port(), "GOOD", {"^(\\S+) WEATHER (.*)"}));
    thread_ = std::thread([this] { listen_for_weather(); });
    ready_ = test_support::wait_until([this] { return !arrivals().empty(); }, milliseconds(5000));
    if (!ready_) why_ = "no first WEATHER";
}

Scene::~Scene() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    relay_.reset();
    sim_.reset();
    std::error_code ignored;
    if (!dir_.empty()) std::filesystem::remove_all(dir_, ignored);
}

// A WEATHER counts once, on the binding listened to. The first Msg of a
// newer binding is the same WEATHER as the one just counted on the older
// (which comes first): the listener moves to it, and drops the older ones.
void Scene::listen_for_weather() {
    while (!stop_) {
        const auto line = listener_->read_line(milliseconds(100));
        int id = -1;
        if (!line || std::sscanf(line->c_str(), "2 %d\x02", &id) != 1) continue;
        if (id > listening_id_) {
            for (int old = listening_id_; old < id; ++old) {
                listener_->send("4 " + std::to_string(old) + "\x02\n");
            }
            listening_id_ = id;
            continue;
        }
        if (id != listening_id_) continue;
        const std::lock_guard<std::mutex> lock(mutex_);
        arrivals_.push_back(Clock::now());
    }
}

void Scene::listen_last() {
    const int id = ++last_binding_;
    listener_->send("1 " + std::to_string(id) + "\x02^(\\S+) WEATHER (.*)(?#matched last " +
                    std::to_string(id) + ")\n");
}

Scene::Memory Scene::relay_memory() const {
    std::ifstream status("/proc/" + std::to_string(relay_->pid()) + "/status");
    Memory memory;
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmRSS:", 0) == 0) memory.rss_kib = std::atol(line.c_str() + 6);
        if (line.rfind("VmHWM:", 0) == 0) memory.peak_kib = std::atol(line.c_str() + 6);
    }
    return memory;
}

int Scene::relay_fds() const {
    DIR* dir = ::opendir(("/proc/" + std::to_string(relay_->pid()) + "/fd").c_str());
    if (dir == nullptr) return -1;
    int count = 0;
    while (const dirent* entry = ::readdir(dir)) count += entry->d_name[0] != '.';
    ::closedir(dir);
    return count;
}

int Scene::served() const {
    std::ifstream record(dir_ + "/sim.log");
    int count = 0;
    for (std::string line; std::getline(record, line);) count += line.rfind("served ", 0) == 0;
    return count;
}

std::vector<Clock::time_point> Scene::arrivals() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    return arrivals_;
}

std::string Scene::describe() {
    std::string text = why_.empty() ? "" : why_ + "\n";
    if (relay_) text += relay_->describe();
    if (sim_) text += sim_->describe();
    return text;
}

void regexp_bombs(Scene& scene, int peers, milliseconds hold) {
    std::vector<std::unique_ptr<RawPeer>> attackers;
    for (int peer = 0; peer < peers; ++peer) {
        std::vector<std::string> bombs;
        for (int i = 0; i < bombs_per_peer; ++i) bombs.push_back(bomb(peer, i));
        auto& p = attackers.emplace_back(RawPeer::connect_to(scene.relay_port()));
        if (p) p->send(handshake(p->local_port(), "BOMB" + std::to_string(peer), bombs));
    }
    hold_reading(attackers, hold);
}

void self_announcement(Scene& scene) {
    const std::string port = std::to_string(scene.relay_port());
    for (int i = 0; i < 20; ++i) {
        scene.bus().broadcast("3 " + port + " FORGED-" + std::to_string(i) + " anemobus\n");
    }
    scene.bus().broadcast("3 " + port + "\n");
    // Time for the relay to act on them, were it to.
    std::this_thread::sleep_for(test_support::scaled(milliseconds(500)));
}

void connection_storm(Scene& scene, milliseconds hold) {
    std::vector<std::unique_ptr<RawPeer>> storm;
    for (int i = 0; i < 300; ++i) storm.push_back(RawPeer::connect_to(scene.relay_port()));
    hold_reading(storm, hold);
}

void slow_reader(Scene& scene, milliseconds hold) {
    std::vector<std::string> variants;
    for (int i = 0; i < 1000; ++i) {
        variants.push_back("^(\\S+) WEATHER (.*)(?#" + std::to_string(i) + ")");
    }
    auto peer = RawPeer::connect_to(scene.relay_port());
    if (!peer) return;
    const int tiny = 4096;
    ::setsockopt(peer->fd(), SOL_SOCKET, SO_RCVBUF, &tiny, sizeof tiny);
    peer->send(handshake(peer->local_port(), "SLOW", variants));
    std::this_thread::sleep_for(test_support::scaled(hold));
}

}  // namespace hostile
