// The simulator's command line: the fixed readings it turns into station
// words, the limits of those words, and the option forms a user may type.
#include <gtest/gtest.h>

#include "sim_options.h"

namespace {

sim::ParseOutcome parse(std::vector<std::string_view> args) {
    return sim::parse_command_line(args);
}

std::string error_of(std::vector<std::string_view> args) {
    const auto out = parse(args);
    EXPECT_FALSE(out.options);
    return out.error;
}

TEST(SimOptions, LongShortAndInlineFormsAllReachTheOptions) {
    const auto out = parse({"--link", "/tmp/x", "-F", "silent@3", "--fault=short:0.5", "-s", "9",
                            "-v", "--fixed-raw=30000,725,10,180"});
    ASSERT_TRUE(out.options) << out.error;
    EXPECT_EQ(out.options->link_path, "/tmp/x");
    EXPECT_EQ(out.options->faults.size(), 2u);
    EXPECT_EQ(out.options->seed, 9u);
    EXPECT_TRUE(out.options->verbose);
    EXPECT_EQ(out.options->fixed.direction, 180);
    EXPECT_EQ(parse({"-L", "sim.log"}).options->log_path, "sim.log");
    EXPECT_EQ(out.options->line_mode, sim::LineMode::raw);
    EXPECT_EQ(parse({"--line-mode", "fresh"}).options->line_mode, sim::LineMode::fresh);
    EXPECT_EQ(parse({"-m", "raw"}).options->line_mode, sim::LineMode::raw);
}

TEST(SimOptions, FixedReadingsInPhysicalOrRawUnitsFieldByField) {
    auto o = parse({"--fixed", "101591.65625,22.5,4.4704,180"}).options;
    ASSERT_TRUE(o);
    EXPECT_EQ(o->fixed.pressure, 30000);
    EXPECT_EQ(o->fixed.temperature, 725);
    EXPECT_EQ(o->fixed.wind_speed, 10);
    EXPECT_EQ(o->fixed.direction, 180);
    o = parse({"-r", ",65535,255,65535"}).options;
    ASSERT_TRUE(o);
    EXPECT_FALSE(o->fixed.pressure);
    EXPECT_EQ(o->fixed.temperature, 0xFFFF);
    EXPECT_EQ(o->fixed.wind_speed, 255);
    EXPECT_EQ(o->fixed.direction, 65535);
    EXPECT_EQ(parse({"-r", ",-40,,"}).options->fixed.temperature, 0xFFD8);
    // A later option overrides only the fields it gives.
    o = parse({"-r", "1,2,3,4", "-f", ",0,,"}).options;
    EXPECT_EQ(o->fixed.pressure, 1);
    EXPECT_EQ(o->fixed.temperature, 320);
}

TEST(SimOptions, RefusesWhatItCannotUseWithAReason) {
    EXPECT_EQ(error_of({"--fixed-raw", "1,2,3"}),
              "--fixed-raw 1,2,3: expected four comma-separated readings "
              "(pressure,temperature,wind,direction)");
    // One past each word's range.
    EXPECT_NE(error_of({"-r", ",,256,"}).find("wind speed '256'"), std::string::npos);
    EXPECT_NE(error_of({"-r", "65536,,,"}).find("pressure"), std::string::npos);
    EXPECT_NE(error_of({"-r", ",-32769,,"}).find("temperature"), std::string::npos);
    EXPECT_NE(error_of({"-f", ",,-1,"}).find("wind speed"), std::string::npos);
    EXPECT_NE(error_of({"-f", ",,,abc"}).find("direction"), std::string::npos);
    EXPECT_EQ(error_of({"--seed", "-1"}), "--seed takes a whole number, not '-1'");
    EXPECT_EQ(error_of({"--link"}), "option --link needs a value");
    EXPECT_EQ(error_of({"--link="}), "--link needs a path");
    EXPECT_EQ(error_of({"--log="}), "--log needs a path");
    EXPECT_EQ(error_of({"--verbose=yes"}), "option --verbose takes no value");
    EXPECT_EQ(error_of({"--colour"}), "unknown option --colour");
    EXPECT_EQ(error_of({"--line-mode=cooked"}), "--line-mode takes raw or fresh, not 'cooked'");
    EXPECT_EQ(error_of({"stray"}), "unexpected argument 'stray'");
    EXPECT_NE(error_of({"-p", "r.txt", "-f", ",1,,"}).find("cannot be combined"),
              std::string::npos);
}

TEST(SimOptions, HelpWinsEvenOverMistakes) {
    EXPECT_TRUE(parse({"--fault", "sleepy", "--help"}).options->help);
}

}  // namespace
