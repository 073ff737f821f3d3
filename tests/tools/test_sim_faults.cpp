// Fault rules as written on the command line, and which poll gets which fault.
#include <gtest/gtest.h>

#include <climits>

#include "fault_schedule.h"

namespace {

using sim::Fault;
using sim::FaultKind;

sim::FaultRule rule(std::string_view text) {
    auto r = sim::parse_fault_rule(text);
    EXPECT_TRUE(r) << text << ": " << (r ? "" : r.error());
    return r ? *r : sim::FaultRule{};
}

std::string rejection(std::string_view text) {
    const auto r = sim::parse_fault_rule(text);
    EXPECT_FALSE(r) << text;
    return r ? "" : r.error();
}

TEST(SimFaultRules, EveryKindByItsNameWithItsDefault) {
    const std::vector<std::pair<std::string_view, Fault>> cases{
        {"silent", {FaultKind::silent, 0}},       {"wrong-wakeup", {FaultKind::wrong_wakeup, 0}},
        {"late", {FaultKind::late, 50}},          {"drowsy", {FaultKind::drowsy, 3}},
        {"no-ack", {FaultKind::no_ack, 0}},       {"wrong-ack", {FaultKind::wrong_ack, 0x15}},
        {"short", {FaultKind::short_packet, 50}}, {"no-mark", {FaultKind::no_mark, 0}},
        {"garbage", {FaultKind::garbage, 8}},     {"stale", {FaultKind::stale, 2}},
        {"unplug", {FaultKind::unplug, 0}},
    };
    for (const auto& [text, fault] : cases) {
        EXPECT_EQ(rule(text).fault, fault) << text;
        EXPECT_EQ(sim::fault_name(fault.kind), text);
    }
}

TEST(SimFaultRules, ValuesPollsAndProbabilities) {
    EXPECT_EQ(rule("short=40@2").fault, (Fault{FaultKind::short_packet, 40}));
    EXPECT_EQ(rule("wrong-ack=0x21").fault.param, 0x21);
    EXPECT_EQ(rule("short=0").fault.param, 0);
    const auto r = rule("silent@3,5-7,10-");
    EXPECT_EQ(r.polls, (std::vector<std::pair<int, int>>{{3, 3}, {5, 7}, {10, INT_MAX}}));
    EXPECT_EQ(rule("late=80:0.25").probability, 0.25);
    EXPECT_EQ(rule("no-ack:1").probability, 1.0);
}

TEST(SimFaultRules, RefusesWhatItCannotMean) {
    EXPECT_EQ(rejection("sleepy"), "unknown fault 'sleepy'");
    EXPECT_EQ(rejection("silent=3"), "fault 'silent' takes no value");
    EXPECT_EQ(rejection("short=99"), "fault 'short' takes a value from 0 to 98");
    EXPECT_EQ(rejection("stale=0"), "fault 'stale' takes a value from 1 to 99");
    rejection("short=");
    rejection("short=4x");
    for (auto text : {"silent@", "silent@0", "silent@5-3", "silent@x", "silent@1,,2", "silent@-3"})
        EXPECT_NE(rejection(text).find("list of polls"), std::string::npos) << text;
    for (auto text : {"silent:", "silent:0", "silent:1.5", "silent:-0.1", "silent:0.5x"})
        EXPECT_NE(rejection(text).find("probability"), std::string::npos) << text;
}

TEST(SimFaultSchedule, FirstRuleThatStrikesDecides) {
    const sim::FaultSchedule schedule({rule("silent@3"), rule("short@2-4"), rule("no-mark@6-")}, 1);
    EXPECT_EQ(schedule.fault_for_poll(1).kind, FaultKind::none);
    EXPECT_EQ(schedule.fault_for_poll(2).kind, FaultKind::short_packet);
    EXPECT_EQ(schedule.fault_for_poll(3).kind, FaultKind::silent);
    EXPECT_EQ(schedule.fault_for_poll(4).kind, FaultKind::short_packet);
    EXPECT_EQ(schedule.fault_for_poll(5).kind, FaultKind::none);
    EXPECT_EQ(schedule.fault_for_poll(6).kind, FaultKind::no_mark);
    EXPECT_EQ(schedule.fault_for_poll(1000000).kind, FaultKind::no_mark);
    EXPECT_EQ(sim::FaultSchedule({rule("no-ack")}, 1).fault_for_poll(77).kind, FaultKind::no_ack);
}

TEST(SimFaultSchedule, ProbabilitiesFollowTheSeedAndTheRate) {
    const sim::FaultSchedule a({rule("garbage:0.2")}, 11), b({rule("garbage:0.2")}, 11),
        c({rule("garbage:0.2")}, 12);
    int struck = 0, differ = 0;
    for (int poll = 1; poll <= 10000; ++poll) {
        const bool hit = a.fault_for_poll(poll).kind == FaultKind::garbage;
        ASSERT_EQ(hit, b.fault_for_poll(poll).kind == FaultKind::garbage);
        struck += hit;
        differ += hit != (c.fault_for_poll(poll).kind == FaultKind::garbage);
    }
    EXPECT_NEAR(struck, 2000, 200);
    EXPECT_GT(differ, 1000);
    // Two rules with the same probability are drawn independently.
    const sim::FaultSchedule two({rule("silent:0.5"), rule("no-ack:0.5")}, 3);
    int none = 0;
    for (int poll = 1; poll <= 4000; ++poll)
        none += two.fault_for_poll(poll).kind == FaultKind::none;
    EXPECT_NEAR(none, 1000, 150);
}

}  // namespace
