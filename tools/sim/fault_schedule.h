// Which fault, if any, the simulated station shows in a given poll. Pure.
//
// A poll is one exchange cycle of the relay: it starts with the first line
// feed (or request) after the previous request was answered or the port was
// opened, and polls are numbered from 1. A rule names a fault and when it
// strikes, written KIND[=N][@POLLS | :PROBABILITY]:
//   silent@3        poll 3 only          short=40@2-4     polls 2 to 4
//   late:0.2        each poll with probability 0.2, decided from the seed
//   stale@5-        poll 5 and every later one;  no-ack   every poll
//   garbage@1,4,7-9 a list of polls and ranges
// The first rule (in command-line order) that strikes a poll decides its
// fault; a poll has at most one. Probabilities are a pure function of the
// seed, the poll number and the rule's place, so a seed replays exactly.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "result.h"

namespace sim {

enum class FaultKind {
    none,
    silent,        // answers nothing at all
    wrong_wakeup,  // answers each line feed with two line feeds
    late,          // answers each line feed N ms late (default 50)
    drowsy,        // ignores the first N line feeds of the poll (default 3)
    no_ack,        // answers the wake-up, ignores the request
    wrong_ack,     // byte N (default 0x15) instead of the acknowledgement, then the packet
    short_packet,  // acknowledgement and only N packet bytes (default 50)
    no_mark,       // a whole packet whose first three bytes are not "LOO"
    garbage,       // N random bytes (default 8) in place of every answer
    stale,         // N bytes left over from the last packet (default 2) ahead of the wake-up answer
    unplug,        // the device disappears at the poll's first byte
};

struct Fault {
    FaultKind kind = FaultKind::none;
    int param = 0;  // the N of the kinds that take one
    bool operator==(const Fault&) const = default;
};

struct FaultRule {
    Fault fault;
    std::vector<std::pair<int, int>> polls;  // inclusive ranges; empty with no probability: always
    std::optional<double> probability;
};

// The rule written in text, or why it is none.
tools::Result<FaultRule> parse_fault_rule(std::string_view text);

// The name used on the command line ("no-ack"), and the kind it names.
std::string_view fault_name(FaultKind kind);
std::optional<FaultKind> fault_kind_named(std::string_view name);

class FaultSchedule {
public:
    FaultSchedule() = default;
    FaultSchedule(std::vector<FaultRule> rules, std::uint64_t seed)
        : rules_(std::move(rules)), seed_(seed) {}

    // The fault of poll number `poll` (from 1); kind none when no rule strikes.
    Fault fault_for_poll(int poll) const;

private:
    bool strikes(const FaultRule& rule, std::size_t index, int poll) const;
    std::vector<FaultRule> rules_;
    std::uint64_t seed_ = 0;
};

}  // namespace sim
