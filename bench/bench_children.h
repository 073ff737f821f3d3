// What the bus benchmarks share: their child processes (fanout_peer), a
// free loopback bus, and the raw TCP baselines the library is held against.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace bench {

// A fanout_peer process (or another program): its standard input is `to` (closing it ends the
// child), its standard output `from`, where it prints running counts.
struct Child {
    pid_t pid = -1;
    int to = -1;
    int from = -1;  // non-blocking
    long count = 0;
    std::string partial;

    void spawn(const std::vector<std::string>& args);
    // Any program, its output read by read_lines() into `partial`.
    void spawn_program(const std::string& program, const std::vector<std::string>& args);
    void read_lines();
    // Takes in what the child printed; count is its latest figure.
    void read_counts();
    void close_input();
    void reap();
};

// "127.255.255.255:<a port free for UDP>".
std::string loopback_bus();

// One writer to n raw fanout_peer processes, each sent `messages` copies of
// frame, batch frames per write. Deliveries per second; negative when a
// receiver did not count exactly `messages` lines.
double raw_fanout(std::size_t n, long messages, const std::string& frame, int batch);

// Round trips of line through a raw echo process, in microseconds.
std::vector<double> raw_round_trips(int count, const std::string& line);

struct Percentiles {
    double p50 = 0;
    double p99 = 0;
};
Percentiles percentiles(std::vector<double> samples);

}  // namespace bench
