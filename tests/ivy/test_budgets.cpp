// The time budgets a peer is held to, with the clocks handed in: one
// message's matching (each owner's, all of them together, and the crowded
// rest of the message), and the buckets of compiling time.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "message_budget.h"
#include "time_bucket.h"

namespace {

using ivy::OverReason;
using ivy::Spend;
using std::chrono::microseconds;
using std::chrono::milliseconds;
using std::chrono::nanoseconds;

// The CPU clock the budget sees: advanced by the test, as the matches'
// real cost would advance it.
nanoseconds g_cpu{};
nanoseconds fake_cpu() {
    return g_cpu;
}

struct Owners {
    explicit Owners(int n) : spends(static_cast<std::size_t>(n)) {
        for (std::size_t i = 0; i < spends.size(); ++i) spends[i].owner = &spends[i];
    }
    std::vector<Spend> spends;
    std::uintptr_t entry = 0;  // each match an entry of its own
    // One match of `cost` held by owner i alone, as the table charges it.
    void match(ivy::MessageBudget& budget, std::size_t i, nanoseconds cost) {
        g_cpu += cost;
        budget.charge(spends[i], reinterpret_cast<const void*>(++entry), cost);
        budget.add_to_total(cost);
    }
    std::vector<std::pair<std::size_t, OverReason>> over(const ivy::MessageBudget& budget) {
        std::vector<std::pair<std::size_t, OverReason>> out;
        for (const auto& o : budget.over()) {
            out.emplace_back(static_cast<Spend*>(o.owner) - spends.data(), o.reason);
        }
        return out;
    }
};

using Outs = std::vector<std::pair<std::size_t, OverReason>>;

// An owner is over its own budget only when the CPU time agrees: time the
// kernel gave other processes while we matched blames nobody.
TEST(MessageBudget, OwnBudgetIsJudgedByTheCpuTimeReallySpent) {
    ivy::MessageBudget budget({}, fake_cpu);
    Owners owners(2);
    budget.begin();
    owners.match(budget, 0, microseconds(1600));                   // marked: past half the budget
    budget.charge(owners.spends[0], &owners, microseconds(2000));  // preempted: no CPU spent
    budget.add_to_total(microseconds(2000));
    EXPECT_TRUE(budget.over().empty());
    owners.match(budget, 0, microseconds(1500));  // now really past 3 ms
    EXPECT_EQ(owners.over(budget), (Outs{{0, OverReason::own_budget}}));
    EXPECT_FALSE(budget.takes_part(owners.spends[0]));
    EXPECT_TRUE(budget.takes_part(owners.spends[1]));
    budget.begin();  // the next message starts afresh
    EXPECT_TRUE(budget.takes_part(owners.spends[0]));
}

// Ten owners each just under their own 3 ms: past the 20 ms total the
// costliest go until the rest fit, and from then on every owner, kept or
// new, may add only its small allowance.
TEST(MessageBudget, ACrowdJustUnderItsOwnBudgetsIsCutToTheTotal) {
    ivy::MessageBudget budget({}, fake_cpu);
    Owners owners(12);
    budget.begin();
    for (std::size_t i = 0; i < 7; ++i) owners.match(budget, i, microseconds(2850 - 10 * i));
    EXPECT_FALSE(budget.crowded());  // 19.74 ms
    owners.match(budget, 7, microseconds(300));
    ASSERT_TRUE(budget.crowded());
    // Owner 0 (2.85 ms) goes: the other 17.19 ms fit.
    EXPECT_EQ(owners.over(budget), (Outs{{0, OverReason::costliest}}));
    owners.match(budget, 7, microseconds(30));  // within its allowance
    owners.match(budget, 8, microseconds(40));  // a newcomer, within it
    owners.match(budget, 2, microseconds(60));  // past it
    owners.match(budget, 8, microseconds(20));  // past it in two steps
    EXPECT_EQ(
        owners.over(budget),
        (Outs{{0, OverReason::costliest}, {2, OverReason::crowded}, {8, OverReason::crowded}}));
    budget.put_over(owners.spends[9], OverReason::crowded);
    EXPECT_EQ(owners.over(budget).back(),
              (std::pair<std::size_t, OverReason>{9, OverReason::crowded}));
}

// The total, too, is judged by the CPU time spent: a message that only
// looked long on a loaded machine crowds nobody.
TEST(MessageBudget, ALoadedMachineAloneDoesNotCrowdAMessage) {
    ivy::MessageBudget budget({}, fake_cpu);
    Owners owners(30);
    budget.begin();
    for (std::size_t i = 0; i < 30; ++i) {
        budget.charge(owners.spends[i], &owners.spends[i], microseconds(1000));
        budget.add_to_total(microseconds(1000));  // wall time only: the CPU clock stands still
    }
    EXPECT_FALSE(budget.crowded());
    EXPECT_TRUE(budget.over().empty());
}

TEST(TimeBucket, SpendsRefillsAndTellsWhenItWillHaveEnough) {
    const auto t0 = ivy::TimeBucket::Clock::now();
    ivy::TimeBucket bucket(milliseconds(2), 0.1, t0);
    EXPECT_EQ(bucket.level(t0), milliseconds(2));
    bucket.take(milliseconds(5), t0);
    EXPECT_EQ(bucket.level(t0), milliseconds(-3));
    EXPECT_EQ(bucket.time_to(milliseconds(2), t0), t0 + milliseconds(50));
    EXPECT_EQ(bucket.level(t0 + milliseconds(30)), milliseconds(0));
    EXPECT_EQ(bucket.level(t0 + milliseconds(1000)), milliseconds(2));  // never above capacity
    EXPECT_EQ(bucket.time_to(milliseconds(1), t0 + milliseconds(1000)), t0 + milliseconds(1000));
}

}  // namespace
