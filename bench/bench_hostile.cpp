// How late the relay's WEATHER reaches a good listener while hostile peers
// attack it (the attacks of tests/relay/hostile_scene.h and hostile_limits.h),
// and how much memory the relay takes meanwhile. The relay polls a clean
// simulator every second; each attack runs for a while, then the relay is
// given time to recover. One line per attack: how late the latest WEATHER
// came against the relay's own schedule, from the attack's start to the end
// of the recovery, and the longest gap between two; the relay's resident
// memory at the end and at its peak (each attack has a relay of its own);
// how many WEATHER were lost. The attacks at the bounds match the good
// listener after every attacker's bindings, its worst place.
//
//   bench_hostile [words]   only the attacks whose name holds one of the words
//
// The numbers belong to the relay binary named in the first line, built from
// the source tree whose commit is shown there: rebuild before comparing. The
// machine's load is shown there too: the WEATHER's lateness is wall time.
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "hostile_limits.h"

namespace {

using std::chrono::milliseconds;
using Attack = std::function<void(hostile::Scene&)>;

constexpr milliseconds attack_time{5000};
// Held once every attacker is set up, its bindings matched before the good
// listener's: ten WEATHER.
constexpr milliseconds at_limits_time{10000};
constexpr milliseconds give_up{180000};
using Clock = std::chrono::steady_clock;
constexpr double period_ms = 1000;

std::string source_commit() {
    const std::string command =
        "git -C '" ANEMOBUS_SOURCE_DIR "' describe --always --dirty 2>/dev/null";
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(::popen(command.c_str(), "r"), ::pclose);
    char buffer[128] = "";
    if (!pipe || std::fgets(buffer, sizeof buffer, pipe.get()) == nullptr) return "unknown";
    std::string text(buffer);
    if (!text.empty() && text.back() == '\n') text.pop_back();
    return text;
}

std::string built_at(const std::string& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) return "missing";
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", std::localtime(&info.st_mtime));
    return text;
}

// How late each WEATHER since the attack began came, against the relay's
// own schedule: it polls on a grid (no drift), so the k-th WEATHER after
// the last one before the attack is due k periods after it. A lost WEATHER
// shifts the count, and is shown apart.
double worst_lateness(const std::vector<Clock::time_point>& arrivals, std::size_t before) {
    if (before == 0) return 0;
    const auto reference = arrivals[before - 1];
    double worst = 0;
    for (std::size_t i = before; i < arrivals.size(); ++i) {
        const std::chrono::duration<double, std::milli> since = arrivals[i] - reference;
        worst = std::max(worst, since.count() - period_ms * static_cast<double>(i - before + 1));
    }
    return worst;
}

void measure(const char* name, const Attack& attack) {
    hostile::Scene scene;
    if (!scene.ready()) {
        std::printf("%-34s no scene: %s\n", name, scene.describe().c_str());
        return;
    }
    const auto before = scene.arrivals();
    attack(scene);
    // Recovered: every packet served during the attack published, and two
    // more after it on time. A relay still stuck at the deadline shows the
    // wait so far as its gap.
    const int served = scene.served();
    const bool recovered = test_support::wait_until(
        [&] { return static_cast<int>(scene.arrivals().size()) >= served + 2; }, give_up);
    const auto arrivals = scene.arrivals();
    double longest = 0;
    for (std::size_t i = before.size(); i < arrivals.size(); ++i) {
        const std::chrono::duration<double, std::milli> gap = arrivals[i] - arrivals[i - 1];
        longest = std::max(longest, gap.count());
    }
    if (!recovered) {
        const std::chrono::duration<double, std::milli> open = Clock::now() - arrivals.back();
        longest = std::max(longest, open.count());
    }
    const int lost = std::max(0, served - static_cast<int>(arrivals.size()));
    const auto memory = scene.relay_memory();
    std::printf(
        "%-34s WEATHER late by %5.0f ms at worst (longest gap %5.0f ms) | relay RSS %6.1f MiB, "
        "peak %6.1f MiB | %3zu WEATHER, %d lost%s\n",
        name, worst_lateness(arrivals, before.size()), longest,
        static_cast<double>(memory.rss_kib) / 1024, static_cast<double>(memory.peak_kib) / 1024,
        arrivals.size() - before.size(), lost,
        recovered ? "" : " (not recovered: gave up waiting)");
    // A failed poll (a station answer missed on a loaded machine) costs a
    // period or more by itself: shown so that it is not taken for the attack's.
    const std::string err = scene.relay_err();
    for (std::size_t at = 0, lf; (lf = err.find('\n', at)) != std::string::npos; at = lf + 1) {
        const std::string line = err.substr(at, lf - at);
        if (line.rfind("ivy: ", 0) != 0) std::printf("    relay: %s\n", line.c_str());
    }
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    const std::string relay = test_support::program_path("anemobus");
    double load[3] = {0, 0, 0};
    ::getloadavg(load, 3);
    std::printf(
        "bench_hostile: relay %s built %s, source tree at %s; WEATHER every %.0f ms; load "
        "average %.1f\n",
        relay.c_str(), built_at(relay).c_str(), source_commit().c_str(), period_ms, load[0]);
    const std::vector<std::pair<const char*, Attack>> attacks = {
        {"no attack", [](hostile::Scene&) { std::this_thread::sleep_for(attack_time); }},
        {"regexp bombs, 1 peer",
         [](hostile::Scene& s) { hostile::regexp_bombs(s, 1, attack_time); }},
        {"regexp bombs, 10 peers",
         [](hostile::Scene& s) { hostile::regexp_bombs(s, 10, attack_time); }},
        {"at the per-peer limits, 1 peer",
         [](hostile::Scene& s) { hostile::per_peer_limits(s, 1, at_limits_time); }},
        {"at the per-peer limits, 256 peers",
         [](hostile::Scene& s) { hostile::per_peer_limits(s, 256, at_limits_time); }},
        {"16 ordinary peers x 1024 regexps",
         [](hostile::Scene& s) { hostile::ordinary_peers(s, 16, at_limits_time); }},
        {"256 peers x the maximum text",
         [](hostile::Scene& s) { hostile::maximum_text(s, 256, at_limits_time); }},
        {"compile storm, 256 peers",
         [](hostile::Scene& s) { hostile::compile_storm(s, 256, at_limits_time); }},
        {"self-announcement",
         [](hostile::Scene& s) {
             hostile::self_announcement(s);
             std::this_thread::sleep_for(attack_time);
         }},
        {"connection storm", [](hostile::Scene& s) { hostile::connection_storm(s, attack_time); }},
        {"slow reader", [](hostile::Scene& s) { hostile::slow_reader(s, attack_time); }},
    };
    for (const auto& [name, attack] : attacks) {
        const std::string text = name;
        const bool wanted = argc < 2 || std::any_of(argv + 1, argv + argc, [&](const char* word) {
                                return text.find(word) != std::string::npos;
                            });
        if (wanted) measure(name, attack);
    }
    return 0;
}
