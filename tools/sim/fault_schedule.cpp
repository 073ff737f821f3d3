#include "fault_schedule.h"

#include <array>
#include <charconv>
#include <climits>

namespace sim {

namespace {

struct KindInfo {
    FaultKind kind;
    std::string_view name;
    bool takes_param;
    int default_param, min_param, max_param;
};

constexpr std::array<KindInfo, 11> kinds{{
    {FaultKind::silent, "silent", false, 0, 0, 0},
    {FaultKind::wrong_wakeup, "wrong-wakeup", false, 0, 0, 0},
    {FaultKind::late, "late", true, 50, 1, 60000},
    {FaultKind::drowsy, "drowsy", true, 3, 1, 1000},
    {FaultKind::no_ack, "no-ack", false, 0, 0, 0},
    {FaultKind::wrong_ack, "wrong-ack", true, 0x15, 0, 255},
    {FaultKind::short_packet, "short", true, 50, 0, 98},
    {FaultKind::no_mark, "no-mark", false, 0, 0, 0},
    {FaultKind::garbage, "garbage", true, 8, 1, 255},
    {FaultKind::stale, "stale", true, 2, 1, 99},
    {FaultKind::unplug, "unplug", false, 0, 0, 0},
}};

const KindInfo* info_named(std::string_view name) {
    for (const auto& k : kinds)
        if (k.name == name) return &k;
    return nullptr;
}

// Decimal, or hexadecimal after 0x.
std::optional<int> parse_int(std::string_view text) {
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        text.remove_prefix(2);
        base = 16;
    }
    int value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    if (ec != std::errc{} || end != text.data() + text.size() || text.empty()) return std::nullopt;
    return value;
}

// "N", "N-M" or "N-", comma-separated.
bool parse_polls(std::string_view text, std::vector<std::pair<int, int>>* polls) {
    while (true) {
        const auto comma = text.find(',');
        std::string_view item = text.substr(0, comma);
        const auto dash = item.find('-');
        const auto first = parse_int(item.substr(0, dash));
        std::optional<int> last = first;
        if (dash != std::string_view::npos)
            last = dash + 1 == item.size() ? INT_MAX : parse_int(item.substr(dash + 1));
        if (!first || !last || *first < 1 || *last < *first) return false;
        polls->emplace_back(*first, *last);
        if (comma == std::string_view::npos) return true;
        text.remove_prefix(comma + 1);
    }
}

bool parse_probability(std::string_view text, double* p) {
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), *p);
    return ec == std::errc{} && end == text.data() + text.size() && *p > 0.0 && *p <= 1.0;
}

tools::Status parse_fault(std::string_view text, Fault* fault) {
    const auto eq = text.find('=');
    const KindInfo* info = info_named(text.substr(0, eq));
    if (!info) return tools::fail("unknown fault '" + std::string(text.substr(0, eq)) + "'");
    fault->kind = info->kind;
    fault->param = info->default_param;
    if (eq == std::string_view::npos) return {};
    const auto value = parse_int(text.substr(eq + 1));
    if (!info->takes_param)
        return tools::fail("fault '" + std::string(info->name) + "' takes no value");
    if (!value || *value < info->min_param || *value > info->max_param)
        return tools::fail("fault '" + std::string(info->name) + "' takes a value from " +
                           std::to_string(info->min_param) + " to " +
                           std::to_string(info->max_param));
    fault->param = *value;
    return {};
}

// splitmix64: a well-mixed 64-bit value from any input, enough to turn
// (seed, poll, rule) into an independent uniform draw.
std::uint64_t mix(std::uint64_t x) {
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

}  // namespace

std::string_view fault_name(FaultKind kind) {
    for (const auto& k : kinds)
        if (k.kind == kind) return k.name;
    return "none";
}

std::optional<FaultKind> fault_kind_named(std::string_view name) {
    const KindInfo* info = info_named(name);
    if (!info) return std::nullopt;
    return info->kind;
}

tools::Result<FaultRule> parse_fault_rule(std::string_view text) {
    FaultRule rule;
    const auto when = text.find_first_of("@:");
    if (const tools::Status fault = parse_fault(text.substr(0, when), &rule.fault); !fault)
        return fault.failure();
    if (when == std::string_view::npos) return rule;
    const std::string_view condition = text.substr(when + 1);
    if (text[when] == '@' && !parse_polls(condition, &rule.polls))
        return tools::fail("'" + std::string(condition) +
                           "' is not a list of polls such as 3, 2-5 or 7-");
    double p = 0;
    if (text[when] == ':') {
        if (!parse_probability(condition, &p))
            return tools::fail("'" + std::string(condition) +
                               "' is not a probability above 0, at most 1");
        rule.probability = p;
    }
    return rule;
}

bool FaultSchedule::strikes(const FaultRule& rule, std::size_t index, int poll) const {
    if (rule.probability) {
        const std::uint64_t draw =
            mix(seed_ ^ mix(static_cast<std::uint64_t>(poll) ^ (std::uint64_t{index} << 40)));
        return static_cast<double>(draw >> 11) * 0x1.0p-53 < *rule.probability;
    }
    if (rule.polls.empty()) return true;
    for (const auto& [first, last] : rule.polls)
        if (poll >= first && poll <= last) return true;
    return false;
}

Fault FaultSchedule::fault_for_poll(int poll) const {
    for (std::size_t i = 0; i < rules_.size(); ++i)
        if (strikes(rules_[i], i, poll)) return rules_[i].fault;
    return {};
}

}  // namespace sim
