// The agent's pure parts: the send queue, the table of peers' regexps, how
// datagrams are cut and announcements planned, and how reports quote.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "binding_table.h"
#include "diagnostics.h"
#include "discovery.h"
#include "send_queue.h"
#include "test_support.h"

namespace {

using ivy::AddOutcome;
using ivy::MatchResult;
using ivy::MsgType;
using ivy::PushResult;

// Writes everything queued, in chunks of at most `step` bytes.
std::string drain(ivy::SendQueue& queue, std::size_t step) {
    std::string out;
    for (auto chunk = queue.next_chunk(); !chunk.empty(); chunk = queue.next_chunk()) {
        const std::size_t n = std::min(step, chunk.size());
        out.append(chunk.substr(0, n));
        queue.consume(n);
    }
    return out;
}

TEST(SendQueue, KeepsWholeLinesAndItsBound) {
    ivy::SendQueue queue(20);
    EXPECT_EQ(queue.push(MsgType::msg, 1, "abc\x03"), PushResult::queued);     // 9 bytes
    EXPECT_EQ(queue.push(MsgType::msg, 2, "defghijk\x03"), PushResult::full);  // would be 23
    EXPECT_EQ(queue.push(MsgType::ping, 3, ""), PushResult::queued);
    EXPECT_EQ(queue.push(MsgType::msg, 4, "a\nb"), PushResult::refused);
    EXPECT_EQ(queue.size(), 14u);
    EXPECT_EQ(drain(queue, 4),
              "2 1\x02"
              "abc\x03\n9 3\x02\n");
    EXPECT_TRUE(queue.empty());
}

// A chunk handed to the socket stays put while more lines are pushed.
TEST(SendQueue, ChunkInFlightIsNotDisturbedByPushes) {
    ivy::SendQueue queue(1000);
    queue.push(MsgType::bye, 0, "");
    const std::string_view chunk = queue.next_chunk();
    const std::string copy(chunk);
    for (int i = 0; i < 50; ++i) queue.push(MsgType::msg, i, "xxxxxxxx");
    EXPECT_EQ(chunk, copy);
    queue.consume(chunk.size());
    EXPECT_EQ(drain(queue, 7).substr(0, 13), "2 0\x02xxxxxxxx\n");
    queue.push(MsgType::bye, 0, "");
    queue.clear();
    EXPECT_TRUE(queue.next_chunk().empty());
}

struct Sent {
    int owner;
    int id;
    MatchResult result;
    std::string payload;
    bool operator==(const Sent&) const = default;
};

// Each owner's matching in turn, as the agent does for prompt peers.
std::vector<Sent> match(ivy::BindingTable& table, std::string_view text,
                        std::initializer_list<int*> owners) {
    std::vector<Sent> out;
    for (int* owner : owners) {
        table.match_owner(
            owner, text, ivy::match_start,
            [&](const ivy::Holder& h, MatchResult r, std::string_view payload) {
                out.push_back({*static_cast<int*>(h.owner), h.id, r, std::string(payload)});
            },
            [] { return true; });
    }
    return out;
}

// The order of classic agents: texts as first received, holders newest
// first; shared texts compiled once; a reused id replaces its text.
TEST(BindingTable, OrderSharingAndReplacement) {
    ivy::BindingTable table;
    int a = 1, b = 2;
    EXPECT_EQ(table.add(&a, 1, "^x(.)").outcome, AddOutcome::added);
    EXPECT_EQ(table.add(&a, 0, "^(x)").outcome, AddOutcome::added);
    EXPECT_EQ(table.add(&b, 5, "^x(.)").outcome, AddOutcome::added);
    const auto m = MatchResult::matched;
    EXPECT_EQ(match(table, "xy", {&b, &a}),
              (std::vector<Sent>{{2, 5, m, "y\x03"}, {1, 1, m, "y\x03"}, {1, 0, m, "x\x03"}}));
    EXPECT_EQ(match(table, "xy", {&a}),
              (std::vector<Sent>{{1, 1, m, "y\x03"}, {1, 0, m, "x\x03"}}));

    EXPECT_EQ(table.add(&a, 1, "^x(.)").outcome, AddOutcome::unchanged);
    EXPECT_EQ(table.add(&a, 1, "^z").outcome, AddOutcome::replaced);
    EXPECT_EQ(match(table, "z", {&a}), (std::vector<Sent>{{1, 1, m, ""}}));
    EXPECT_EQ(table.remove(&a, 1), "^z");
    EXPECT_FALSE(table.remove(&a, 1));
    table.remove_owner(&b);
    EXPECT_EQ(match(table, "xy", {&a, &b}), (std::vector<Sent>{{1, 0, m, "x\x03"}}));
    EXPECT_EQ(table.count(&a), 1u);
    EXPECT_EQ(table.count(&b), 0u);
}

// Every bound refuses the request whole: nothing stored, the id keeps what
// it held, the owner's totals unchanged; a text that does not compile is
// not kept either.
TEST(BindingTable, BoundsRefuseWholeAndBadTextsAreNotKept) {
    ivy::TableLimits limits;
    limits.bindings = 3;
    limits.text_length = 10;
    limits.text_per_owner = 16;
    ivy::BindingTable table(limits);
    int a = 1;
    const auto refused = table.add(&a, 0, "(");
    EXPECT_EQ(refused.outcome, AddOutcome::not_compiled);
    EXPECT_EQ(refused.error.offset, 1);
    EXPECT_GT(refused.compile_time.count(), 0);
    EXPECT_EQ(table.count(&a), 0u);
    EXPECT_EQ(table.memory(), 0u);
    EXPECT_EQ(table.add(&a, 0, "0123456789x").outcome, AddOutcome::too_long);
    EXPECT_EQ(table.add(&a, 0, "(?s)^(.*)").outcome, AddOutcome::added);  // 9 bytes
    EXPECT_FALSE(table.would_compile(&a, 1, "^abcdefgh"));                // 9 more: 18
    EXPECT_EQ(table.add(&a, 1, "^abcdefgh").outcome, AddOutcome::too_much_text);
    EXPECT_EQ(table.add(&a, 0, "[").outcome, AddOutcome::not_compiled);
    EXPECT_EQ(table.add(&a, 1, "x").outcome, AddOutcome::added);
    EXPECT_EQ(table.add(&a, 2, "y").outcome, AddOutcome::added);
    EXPECT_EQ(table.add(&a, 3, "z").outcome, AddOutcome::too_many);
    EXPECT_EQ(table.add(&a, 2, "^abcd").outcome, AddOutcome::replaced);  // 9 + 1 + 5
    EXPECT_EQ(match(table, "a\nb", {&a}),
              (std::vector<Sent>{{1, 0, MatchResult::unsafe_capture, ""}}));
    std::vector<std::pair<int, std::string>> listed;
    table.for_each_binding(
        &a, [&](int id, std::string_view text) { listed.emplace_back(id, std::string(text)); });
    EXPECT_EQ(listed,
              (std::vector<std::pair<int, std::string>>{{0, "(?s)^(.*)"}, {1, "x"}, {2, "^abcd"}}));
    EXPECT_TRUE(table.would_compile(&a, 2, "^ab"));
    EXPECT_FALSE(table.would_compile(&a, 3, "^ab"));  // a fourth binding
}

// What compiled regexps take is charged to each owner holding them, shared
// ones in full; beyond the owner's bound the text is refused, and forgetting
// the bindings gives everything back.
TEST(BindingTable, CompiledMemoryIsBoundedPerOwner) {
    ivy::TableLimits limits;
    limits.memory_per_owner = 8 * 1024;
    ivy::BindingTable table(limits);
    int a = 1, b = 2;
    ASSERT_EQ(table.add(&a, 0, "^(\\S+) WEATHER (.*)").outcome, AddOutcome::added);
    const std::size_t one = table.memory_of(&a);
    EXPECT_GT(one, 256u);
    EXPECT_LT(one, 8u * 1024);
    // Small text, large code: a counted repeat is compiled out in full (16
    // KiB), though not JIT compiled (that would be 250 KiB more).
    const std::string repeat = "(?:\\w+\\s){1,1000}";
    ivy::CompileError error;
    EXPECT_LT(ivy::Pattern::compile(repeat, &error)->memory(), 20u * 1024);
    EXPECT_EQ(table.add(&a, 1, repeat).outcome, AddOutcome::too_much_memory);
    EXPECT_EQ(table.add(&b, 9, "^(\\S+) WEATHER (.*)").outcome, AddOutcome::added);
    EXPECT_EQ(table.memory_of(&b), one);
    EXPECT_LT(table.memory(), 2 * one);  // the text itself is held once
    table.remove_owner(&a);
    EXPECT_EQ(table.remove(&b, 9), "^(\\S+) WEATHER (.*)");
    EXPECT_EQ(table.memory(), 0u);
    EXPECT_EQ(table.memory_of(&b), 0u);
}

// A text two owners bind is one entry: it outlives either owner, and an id
// rebound to another text leaves the other owner's binding as it was.
TEST(BindingTable, SharedTextOutlivesAHolderAndRebindingDoesNotLeak) {
    ivy::BindingTable table;
    int a = 1, b = 2, c = 3;
    const auto m = MatchResult::matched;
    table.add(&a, 1, "^x(.)");
    table.add(&b, 5, "^x(.)");
    table.add(&c, 7, "^x(.)");
    table.remove_owner(&a);
    EXPECT_EQ(match(table, "xy", {&c, &b}),
              (std::vector<Sent>{{3, 7, m, "y\x03"}, {2, 5, m, "y\x03"}}));
    EXPECT_EQ(table.add(&b, 5, "^y(.)").outcome, AddOutcome::replaced);
    EXPECT_EQ(match(table, "xy", {&c, &b}), (std::vector<Sent>{{3, 7, m, "y\x03"}}));
    EXPECT_EQ(match(table, "yz", {&c, &b}), (std::vector<Sent>{{2, 5, m, "z\x03"}}));
    table.remove_owner(&c);
    EXPECT_EQ(match(table, "xy", {&c, &b}), std::vector<Sent>{});
}

// Bombs hit PCRE2's limits, each once: reported, disabled and counted
// against their owner, whatever the machine. A thousand ordinary regexps
// of another owner are all matched.
TEST(BindingTable, BombsAreCountedAndLeftOutAThousandGoodRegexpsAllMatch) {
    ivy::BindingTable table;
    int bad = 1, good = 2;
    for (int i = 0; i < 64; ++i) table.add(&bad, i, "^(.+)+1$(?#" + std::to_string(i) + ")");
    for (int i = 0; i < 1000; ++i) {
        table.add(&good, i, "^(\\S+) WEATHER (.*)(?#" + std::to_string(i) + ")");
    }
    const std::string text = "1 WEATHER 101591.656250 22.500000 4.470400 180.000000";
    const auto first = match(table, text, {&bad, &good});
    const auto limited = std::count_if(first.begin(), first.end(), [](const Sent& s) {
        return s.result == MatchResult::limit_hit;
    });
    EXPECT_EQ(limited, 64);
    EXPECT_EQ(table.limit_hits(&bad), 64u);
    EXPECT_EQ(table.limit_hits(&good), 0u);
    EXPECT_EQ(first.size(), 1064u);
    EXPECT_EQ(match(table, text, {&bad, &good}).size(), 1000u);  // bombs not run again
}

// Matching stopped part way goes on where it stopped: the same Msgs, in the
// same order, as in one go, across a binding removed in between.
TEST(BindingTable, MatchingStoppedPartWayGoesOnWhereItStopped) {
    ivy::BindingTable table;
    int a = 1;
    for (int i = 0; i < 10; ++i) table.add(&a, i, "^(x)(?#" + std::to_string(i) + ")");
    table.add(&a, 10, "^(x)(?#3)");  // one text, two ids: newest first
    std::vector<int> ids;
    const auto collect = [&](const ivy::Holder& h, MatchResult, std::string_view) {
        ids.push_back(h.id);
    };
    int asked = 0;
    ivy::MatchPosition at =
        table.match_owner(&a, "x", ivy::match_start, collect, [&] { return ++asked < 4; });
    EXPECT_NE(at, ivy::match_done);
    EXPECT_EQ(ids, (std::vector<int>{0, 1, 2, 10, 3}));
    table.remove(&a, 5);
    at = table.match_owner(&a, "x", at, collect, [] { return true; });
    EXPECT_EQ(at, ivy::match_done);
    EXPECT_EQ(ids, (std::vector<int>{0, 1, 2, 10, 3, 4, 6, 7, 8, 9}));
}

// One datagram, one or more lines; never glued to the next datagram.
TEST(Discovery, DatagramLinesAndPlan) {
    std::vector<std::string> lines;
    const auto collect = [&](std::string_view l) { lines.emplace_back(l); };
    ivy::for_each_datagram_line("3 1 a A\n\n3 2 b B\n", collect);
    ivy::for_each_datagram_line("3 3 c NO-LF", collect);
    EXPECT_EQ(lines, (std::vector<std::string>{"3 1 a A", "3 2 b B", "3 3 c NO-LF"}));

    ivy::BusAddress bus;
    bus.addresses = {0xE0010203u, 0x7FFFFFFFu, 0xE0010203u, 0xEF000001u};
    const auto plan = ivy::plan_announcements(bus);
    EXPECT_EQ(plan.groups, (std::vector<std::uint32_t>{0xE0010203u, 0xEF000001u}));
    EXPECT_EQ(plan.destinations, bus.addresses);
}

TEST(Diagnostics, QuoteEscapesAndBounds) {
    EXPECT_EQ(ivy::quote("a\x02"
                         "b\\c\n"),
              "a\\x02b\\\\c\\x0a");
    const std::string quoted = ivy::quote(std::string(1000, 'x'));
    EXPECT_EQ(quoted, std::string(200, 'x') + "...");
}

}  // namespace
