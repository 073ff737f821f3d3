// The attacks at the bounds of ivy_limits.h: many attackers at once, each
// sending its whole handshake without waiting for the relay to take it (the
// relay holds a peer whose regexps wait for their turn to be compiled).
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "hostile_limits.h"
#include "ivy_limits.h"
#include "pattern.h"

namespace hostile {
namespace {

// What became of the attackers of one attack.
struct Fates {
    int attackers = 0;
    int let_go = 0;
    int fewest_msgs = 0;  // of the binding counted, among all of them
};

using harness::RawPeer;

const std::string weather_text = "1 WEATHER 101591.656250 22.500000 4.470400 180.000000";

// An attacker: its connection, what it still has to send, whether it is set
// up (the Ping that ends its handshake answered) or let go.
struct Attacker {
    std::unique_ptr<RawPeer> peer;
    std::string out;
    std::size_t sent = 0;
    std::string in;
    bool done = false;
};

// `text` made exactly `size` bytes long by a comment, which also makes it a
// text of its own (the relay matches a text bound twice only once).
std::string padded(const std::string& text, const std::string& tag, std::size_t size) {
    std::string out = text + "(?#" + tag;
    out.resize(std::max(out.size(), size - 1), 'p');
    return out + ")";
}

// What one match of `regexp` against a WEATHER costs here, as the relay
// matches it: one of many patterns of the same kind, each run once a
// message (so with cold caches, unlike a pattern run in a loop). The best of
// a few tries: a loaded machine only ever makes it look dearer.
std::chrono::nanoseconds match_cost(const std::string& regexp) {
    std::vector<std::unique_ptr<ivy::Pattern>> patterns;
    for (int i = 0; i < 200; ++i) {
        ivy::CompileError error;
        auto pattern = ivy::Pattern::compile(padded(regexp, "c" + std::to_string(i), 256), &error);
        if (pattern) patterns.push_back(std::move(pattern));
    }
    if (patterns.empty()) return std::chrono::microseconds(1);
    auto best = std::chrono::nanoseconds::max();
    std::string out;
    for (int round = 0; round < 5; ++round) {
        const auto start = Clock::now();
        for (const auto& pattern : patterns) pattern->append_msg_payload(weather_text, out);
        best = std::min(best, (Clock::now() - start) / static_cast<long>(patterns.size()));
    }
    return best;
}

// Writes what each attacker's socket takes and reads what comes, until
// every one is set up or gone, or `within` has passed. Meanwhile the good
// listener moves behind the bindings made so far twice a second.
void set_up(Scene& scene, std::vector<Attacker>& attackers, milliseconds within) {
    const auto until = Clock::now() + within;
    auto next_move = Clock::now();
    std::vector<pollfd> fds(attackers.size());
    while (Clock::now() < until) {
        if (Clock::now() >= next_move) {
            scene.listen_last();
            next_move += milliseconds(500);
        }
        std::size_t waiting = 0;
        for (std::size_t i = 0; i < attackers.size(); ++i) {
            const Attacker& a = attackers[i];
            fds[i] = {a.done ? -1 : a.peer->fd(),
                      static_cast<short>(POLLIN | (a.sent < a.out.size() ? POLLOUT : 0)), 0};
            waiting += a.done ? 0 : 1;
        }
        if (waiting == 0) return;
        if (::poll(fds.data(), fds.size(), 100) <= 0) continue;
        for (std::size_t i = 0; i < attackers.size(); ++i) {
            Attacker& a = attackers[i];
            if ((fds[i].revents & POLLOUT) != 0) {
                const ssize_t n = ::send(a.peer->fd(), a.out.data() + a.sent, a.out.size() - a.sent,
                                         MSG_NOSIGNAL | MSG_DONTWAIT);
                if (n > 0) a.sent += static_cast<std::size_t>(n);
            }
            if ((fds[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
            char chunk[65536];
            const ssize_t n = ::recv(a.peer->fd(), chunk, sizeof chunk, MSG_DONTWAIT);
            if (n > 0) a.in.append(chunk, static_cast<std::size_t>(n));
            if (n == 0 || a.in.find("10 1\x02\n") != std::string::npos) a.done = true;
            if (a.in.size() > 65536) a.in.erase(0, a.in.size() - 16);
        }
    }
}

// Connects the attackers, sets them up, matches the good listener last,
// then holds them, reading what comes, for `hold`. Returns how many were
// let go, and the fewest Msgs of binding `counted` one of the others got.
Fates attack(Scene& scene, int peers, milliseconds hold,
             const std::function<std::vector<std::string>(int peer)>& regexps_of,
             int counted = -1) {
    std::vector<Attacker> attackers;
    for (int i = 0; i < peers; ++i) {
        auto peer = RawPeer::connect_to(scene.relay_port());
        if (!peer) continue;
        Attacker& a = attackers.emplace_back();
        // Ends with a Ping: its Pong says every line before it was taken.
        a.out = handshake(peer->local_port(), "LIMITS" + std::to_string(i), regexps_of(i)) +
                "9 1\x02\n";
        a.peer = std::move(peer);
    }
    set_up(scene, attackers, milliseconds(180000));
    scene.listen_last();
    for (Attacker& a : attackers) a.done = a.done || a.sent == a.out.size();
    const std::string msg = "\n2 " + std::to_string(counted) + "\x02";
    std::vector<int> msgs(attackers.size());
    std::vector<bool> gone(attackers.size());
    const auto until = Clock::now() + hold;
    while (Clock::now() < until) {
        for (std::size_t i = 0; i < attackers.size(); ++i) {
            Attacker& a = attackers[i];
            a.in.erase(0, a.in.size() > msg.size() ? a.in.size() - msg.size() : 0);
            char chunk[65536];
            ssize_t n = 0;
            while ((n = ::recv(a.peer->fd(), chunk, sizeof chunk, MSG_DONTWAIT)) > 0) {
                a.in.append(chunk, static_cast<std::size_t>(n));
                for (std::size_t at = 0; (at = a.in.find(msg, at)) != std::string::npos; ++at) {
                    ++msgs[i];
                }
                a.in.erase(0, a.in.size() > msg.size() ? a.in.size() - msg.size() : 0);
            }
            gone[i] = gone[i] || n == 0;
        }
        std::this_thread::sleep_for(milliseconds(20));
    }
    Fates fates;
    fates.fewest_msgs = msgs.empty() ? 0 : *std::min_element(msgs.begin(), msgs.end());
    fates.let_go = static_cast<int>(std::count(gone.begin(), gone.end(), true));
    fates.attackers = static_cast<int>(attackers.size());
    return fates;
}

}  // namespace

void per_peer_limits(Scene& scene, int peers, milliseconds hold) {
    // Backtracks through the WEATHER without PCRE2's start-up shortcuts,
    // far within PCRE2's limits: every binding of every attacker costs that
    // much for each WEATHER, and none is ever cut for it.
    const std::string heavy = "(*NO_START_OPT)^(?:.*\\d){3}x";
    const auto cost = match_cost(heavy);
    std::printf("    each attacker: 1024 bindings, each %.1f us a WEATHER: %.1f ms\n",
                static_cast<double>(cost.count()) / 1000,
                static_cast<double>(cost.count() * 1024) / 1e6);
    const Fates fates = attack(scene, peers, hold, [&](int peer) {
        std::vector<std::string> regexps;
        for (int i = 0; i < 1024; ++i) {
            regexps.push_back(padded(heavy, std::to_string(peer) + "-" + std::to_string(i), 256));
        }
        return regexps;
    });
    std::printf("    %d of %d attackers let go\n", fates.let_go, fates.attackers);
}

void ordinary_peers(Scene& scene, int peers, milliseconds hold) {
    // The shapes ground software binds, numbered as its messages are; the
    // last binding takes the WEATHER, so that each peer's Msgs are counted.
    const std::vector<std::string> shapes = {
        "^(\\S*) (\\S*) MSG_NAME%d (\\S*) (\\S*) (\\S*) ([0-9.,-]*)$",
        "^ground NAV_STATUS%d (\\S*) (\\S*) (\\S*) (\\S*)$",
        "^(\\S*) ENGINE_STATUS%d ([0-9]+) ([0-9.-]+),([0-9.-]+)$",
        "^(\\S+) DL_VALUE%d ([^ ]*) (.*)$",
    };
    const Fates fates = attack(
        scene, peers, hold,
        [&](int peer) {
            std::vector<std::string> regexps;
            for (int i = 0; i < 1023; ++i) {
                char text[128];
                std::snprintf(text, sizeof text, shapes[static_cast<std::size_t>(i) % 4].c_str(),
                              peer * 1024 + i);
                regexps.emplace_back(text);
            }
            regexps.emplace_back("^(\\S+) WEATHER (\\S+) (\\S+) (\\S+) (\\S+)$");
            return regexps;
        },
        1023);
    std::printf("    %d of %d ordinary peers let go; each got at least %d WEATHER\n", fates.let_go,
                fates.attackers, fates.fewest_msgs);
}

void maximum_text(Scene& scene, int peers, milliseconds hold) {
    attack(scene, peers, hold, [](int peer) {
        std::vector<std::string> regexps;
        for (int i = 0; i < 64; ++i) {
            const std::string tag = std::to_string(peer) + "-" + std::to_string(i);
            regexps.push_back(padded("^NOMATCH" + std::string(3000, 'q'), tag, 4096));
        }
        return regexps;
    });
}

void compile_storm(Scene& scene, int peers, milliseconds hold) {
    // Compiling is never cut short: each attacker's texts are refused
    // past its memory bound, after waiting for their turns.
    std::string slow;
    for (int i = 0; i < 1333; ++i) slow += ".*a";
    attack(scene, peers, hold, [&](int peer) {
        std::vector<std::string> regexps;
        for (int i = 0; i < 64; ++i) {
            regexps.push_back(slow + "(?#" + std::to_string(peer) + "-" + std::to_string(i) + ")");
        }
        return regexps;
    });
}

}  // namespace hostile
