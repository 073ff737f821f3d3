// anemobus-web's pure parts: what a peer may send, the wind figures, the
// downsampling, the texts the page and the report get, the command line.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "downsample.h"
#include "refusal_log.h"
#include "station_stats.h"
#include "weather_message.h"
#include "web_options.h"
#include "web_text.h"

namespace {

using namespace web;

CheckedMessage check(std::vector<const char*> fields, std::optional<StationId> only = {}) {
    return check_weather_message(static_cast<int>(fields.size()), fields.data(), only);
}

TEST(WebMessages, TheRelaysMessageIsReadExactly) {
    const auto m = check({"1", " 101591.656250 22.500000 4.470400 180.000000"});
    ASSERT_EQ(m.refusal, Refusal::none);
    EXPECT_EQ(m.id.view(), "1");
    EXPECT_EQ(m.reading.pressure, 101591.65625);
    EXPECT_EQ(m.reading.temperature, 22.5);
    EXPECT_EQ(m.reading.wind, 4.4704);
    EXPECT_EQ(m.reading.direction, 180.0);
    EXPECT_EQ(check({"7", " 1.2e5 -40 0 65535"}).refusal, Refusal::none);
}

TEST(WebMessages, HostileMessagesAreRefusedWithTheirReason) {
    const std::string long_id(33, 'a');
    const std::vector<std::pair<std::vector<const char*>, Refusal>> cases = {
        {{}, Refusal::wrong_fields},
        {{"1"}, Refusal::wrong_fields},
        {{"1", " 1 2 3 4", "x"}, Refusal::wrong_fields},
        {{"1", nullptr}, Refusal::wrong_fields},
        {{"", " 1 2 3 4"}, Refusal::bad_id},
        {{long_id.c_str(), " 1 2 3 4"}, Refusal::bad_id},
        {{"a b", " 1 2 3 4"}, Refusal::bad_id},
        {{"a\x1b[2J", " 1 2 3 4"}, Refusal::bad_id},
        {{"\xc3\xa9", " 1 2 3 4"}, Refusal::bad_id},
        {{"1", ""}, Refusal::not_four_values},
        {{"1", " 1 2 3"}, Refusal::not_four_values},
        {{"1", " 1 2 3 4 5"}, Refusal::not_four_values},
        {{"1", "1 2 3 4"}, Refusal::not_four_values},
        {{"1", " 1 2 3 four"}, Refusal::not_a_number},
        {{"1", " 1 2 3 4x"}, Refusal::not_a_number},
        {{"1", " 0x10 2 3 4"}, Refusal::not_a_number},
        {{"1", " +1 2 3 4"}, Refusal::not_a_number},
        {{"1", " nan 2 3 4"}, Refusal::not_finite},
        {{"1", " 1 inf 3 4"}, Refusal::not_finite},
        {{"1", " 1 2 -infinity 4"}, Refusal::not_finite},
        {{"1", " 1 2 3 1e999"}, Refusal::not_finite},
    };
    for (const auto& [fields, why] : cases) {
        const auto m = check(fields);
        EXPECT_EQ(m.refusal, why) << (fields.size() > 1 && fields[1] ? fields[1] : "(fields)");
    }
    EXPECT_EQ(check({"2", " 1 2 3 4"}, StationId::from("1")).refusal, Refusal::other_aircraft);
}

// Four of these once put Inf - Inf into the log's sums and stopped it.
TEST(WebMessages, ValuesNoStationMeasuresAreRefusedDirectionsAreNot) {
    for (const char* fine :
         {" 30000 -100 0 0", " 120000 80 150 360", " 101325 15 0.0 -1", " 101325 15 4 65535"})
        EXPECT_EQ(check({"1", fine}).refusal, Refusal::none) << fine;
    for (const char* beyond :
         {" 1e308 15 4 90", " -1e308 15 4 90", " 29999.9 15 4 90", " 120000.1 15 4 90",
          " 101325 -100.1 4 90", " 101325 80.1 4 90", " 101325 15 -0.1 90", " 101325 15 150.1 90",
          " 101325 15 1e308 90", " 101325 15 -1e308 90"})
        EXPECT_EQ(check({"1", beyond}).refusal, Refusal::out_of_bounds) << beyond;
}

TEST(WebMessages, TheBindingEscapesAnIdAndLetsBrokenMessagesThrough) {
    EXPECT_EQ(binding_regexp(std::nullopt), "^(\\S+) WEATHER( .*|)$");
    EXPECT_EQ(binding_regexp(StationId::from("a.b+1")), "^(a\\.b\\+1) WEATHER( .*|)$");
}

Reading at(std::int64_t t_ms, double wind, double pressure = 100000) {
    Reading r;
    r.received_ms = t_ms;
    r.wind = wind;
    r.pressure = pressure;
    return r;
}

TEST(WebStationStats, MeanOverTwoMinutesAndGustOverTenEndAtTheLatestReading) {
    StationStats stats(*StationId::from("1"));
    // Once a second for 15 minutes: 20 m/s at 11 min ago (out of the gust
    // window), 12 m/s at 9 min ago (in it), 2 m/s in the last two minutes.
    const std::int64_t end = 1'000'000'000;
    for (std::int64_t s = 900; s >= 0; --s) {
        double wind = s < 120 ? 2.0 : 6.0;
        if (s == 660) wind = 20.0;
        if (s == 540) wind = 12.0;
        stats.add(at(end - s * 1000, wind));
    }
    EXPECT_DOUBLE_EQ(stats.wind_mean_2min(), 2.0);
    EXPECT_DOUBLE_EQ(stats.gust_10min(), 12.0);
    EXPECT_EQ(stats.readings_since(end - 119'000), 120u);
    EXPECT_EQ(stats.readings_since(end + 1), 0u);
    stats.add(at(end + 1000, 4.0));  // the new reading joins, the oldest second leaves
    EXPECT_NEAR(stats.wind_mean_2min(), (119 * 2.0 + 4.0) / 120, 1e-9);
    // A clock stepped back starts afresh rather than mixing times.
    stats.add(at(end - 3'600'000, 3.0));
    EXPECT_DOUBLE_EQ(stats.gust_10min(), 3.0);
}

TEST(WebStationStats, PressureTendencyNeedsThreeHoursAndPeriodFollowsTheSpacing) {
    StationStats stats(*StationId::from("1"));
    const std::int64_t start = 5'000'000'000;
    // Every 5 s for 2.5 h: no tendency yet; then on to 3 h, 150 Pa lower.
    std::int64_t t = start;
    for (; t <= start + 9000 * 1000; t += 5000)
        stats.add(at(t, 3, 101000 - static_cast<double>(t - start) / 72000.0));
    EXPECT_FALSE(stats.pressure_tendency_3h().has_value());
    for (; t <= start + 10800 * 1000; t += 5000)
        stats.add(at(t, 3, 101000 - static_cast<double>(t - start) / 72000.0));
    ASSERT_TRUE(stats.pressure_tendency_3h().has_value());
    EXPECT_NEAR(*stats.pressure_tendency_3h(), -150.0, 1.0);
    EXPECT_DOUBLE_EQ(stats.period_s(), 5.0);
    const std::int64_t last = stats.last().received_ms;
    EXPECT_FALSE(stats.view_at(last + 15000).silent);
    EXPECT_TRUE(stats.view_at(last + 15001).silent);
}

// What older versions may have stored: values that overflow a sum, or
// cancel one into NaN. They count in no bucket.
TEST(WebDownsample, SumsStayFiniteWhateverTheLogHolds) {
    Downsampler d(60000);
    for (double wind : {1e308, 1e308, -1e308, -1e308, 4.0}) d.add(at(1000, wind));
    Reading hot = at(2000, 2.0);
    hot.temperature = 1e308;
    d.add(hot);
    const auto buckets = d.take();
    ASSERT_EQ(buckets.size(), 1u);
    EXPECT_EQ(buckets[0].count, 1u);
    EXPECT_DOUBLE_EQ(buckets[0].wind_mean, 4.0);
    EXPECT_DOUBLE_EQ(buckets[0].wind_max, 4.0);
    EXPECT_EQ(Sums::of(at(0, -1e308)).count, 0u);
}

TEST(WebDownsample, WidthsKeepASpanWithinItsPoints) {
    const std::int64_t hour = 3600 * 1000;
    EXPECT_EQ(bucket_width_ms(0, hour, 720), 5000);
    EXPECT_EQ(bucket_width_ms(0, 6 * hour, 720), 30000);
    EXPECT_EQ(bucket_width_ms(0, 24 * hour, 720), 120000);
    EXPECT_EQ(bucket_width_ms(0, 60000, 720), 1000);
    EXPECT_EQ(bucket_width_ms(0, 400 * 24 * hour, 10) % (24 * hour), 0);
    EXPECT_LE(400 * 24 * hour / bucket_width_ms(0, 400 * 24 * hour, 10), 10);
}

TEST(WebDownsample, BucketsGiveMeanAndMaxAndAverageDirectionsAsVectors) {
    Downsampler d(10000);
    const auto add = [&](std::int64_t t, double wind, double dir, double p) {
        Reading r = at(t, wind, p);
        r.direction = dir;
        r.temperature = wind;
        d.add(r);
    };
    add(20000, 2, 350, 100000);  // bucket 20 s
    add(25000, 6, 10, 100100);
    add(29999, 4, 65535, 100200);  // no vane: counts in the wind, not the direction
    add(60000, 5, 90, 99000);      // 30-50 s empty: no bucket
    add(55000, 1, 270, 99000);     // back in time: joins the open bucket
    const auto buckets = d.take();
    ASSERT_EQ(buckets.size(), 2u);
    EXPECT_EQ(buckets[0].start_ms, 20000);
    EXPECT_EQ(buckets[0].count, 3u);
    EXPECT_DOUBLE_EQ(buckets[0].wind_mean, 4.0);
    EXPECT_DOUBLE_EQ(buckets[0].wind_max, 6.0);
    EXPECT_DOUBLE_EQ(buckets[0].pressure_mean, 100100.0);
    ASSERT_TRUE(buckets[0].direction_mean.has_value());
    EXPECT_NEAR(*buckets[0].direction_mean, 0.0, 1e-9);
    EXPECT_EQ(buckets[1].start_ms, 60000);
    EXPECT_EQ(buckets[1].count, 2u);
    EXPECT_FALSE(buckets[1].direction_mean.has_value());  // 90° and 270° cancel
}

TEST(WebText, BusTextIsEscapedInJsonCsvAndLogs) {
    std::string json;
    append_json_string(json, "</script><b \"x\"\\\n\x01&");
    EXPECT_EQ(json, "\"\\u003c/script\\u003e\\u003cb \\\"x\\\"\\\\\\u000a\\u0001\\u0026\"");
    json.clear();
    append_json_number(json, std::nan(""));
    EXPECT_EQ(json, "null");

    StationView view;
    view.id = *StationId::from("<b>");
    view.last.received_ms = 1700000000123;
    const std::string station = status_json(
        {.now_ms = 1, .log_notice = "<deleted>", .default_id = view.id, .stations = {view}});
    EXPECT_NE(station.find("\"id\":\"\\u003cb\\u003e\""), std::string::npos) << station;
    EXPECT_NE(station.find("\"default\":\"\\u003cb\\u003e\""), std::string::npos) << station;
    EXPECT_NE(station.find("\"notice\":\"\\u003cdeleted\\u003e\""), std::string::npos) << station;
    EXPECT_NE(station.find("\"pressure_tendency_3h\":null"), std::string::npos) << station;
    EXPECT_NE(status_json({}).find("\"default\":null"), std::string::npos);

    std::string csv;
    Reading r = at(1700000000123, 4.5);
    append_csv_row(csv, *StationId::from("=HYPERLINK(\"x\")"), r);
    EXPECT_EQ(csv, "2023-11-14T22:13:20.123Z,\"'=HYPERLINK(\"\"x\"\")\",100000,0,4.5,0\r\n");
    EXPECT_EQ(quote_for_log("a\nb\\\x7f", 10), "a\\x0ab\\\\\\x7f");
    EXPECT_EQ(quote_for_log("abcdef", 3), "abc...");
}

TEST(WebText, QueryTimesAndRanges) {
    EXPECT_EQ(parse_time_ms("1700000000123"), 1700000000123);
    EXPECT_EQ(parse_time_ms("2023-11-14T22:13Z"), 1699999980000);
    EXPECT_EQ(parse_time_ms("2023-11-14T22:13:20.5"), 1700000000500);
    EXPECT_EQ(parse_time_ms("2024-02-29T00:00:59.9996Z"), 1709164860000);
    EXPECT_EQ(parse_time_ms("4102444800000"), max_query_time_ms);
    for (const char* bad :
         {"", "-5", "yesterday", "2023-13-01T00:00Z", "2023-11-14T22:13:20Zx", "2026-02-31T00:00Z",
          "2023-02-29T00:00", "2026-04-31T12:00", "2023-11-14T22:13:nan", "2023-11-14T22:13:inf",
          "2023-11-14T22:13:+1", "2023-11-14T22:13:1e1", ":nan", "9223372036854775807",
          "4102444800001", "2100-01-01T00:00:00.001Z", "1969-12-31T23:59Z", " 2023-11-14T22:13"})
        EXPECT_FALSE(parse_time_ms(bad).has_value()) << bad;

    const std::int64_t now = 1700000000000;
    auto q = parse_range_query({}, now);
    ASSERT_TRUE(q);
    EXPECT_EQ(q->to_ms, now);
    EXPECT_EQ(q->from_ms, now - 3600 * 1000);
    EXPECT_FALSE(q->id.has_value());
    EXPECT_FALSE(parse_range_query({.from = "2", .to = "1"}, now));
    EXPECT_FALSE(parse_range_query({.from = "0"}, now));  // over 400 days
    EXPECT_FALSE(parse_range_query({.id = "a b"}, now));
    EXPECT_FALSE(parse_range_query({.points = "5001"}, now));
    const auto beyond = parse_range_query({.to = "9223372036854775807"}, now);
    ASSERT_FALSE(beyond);
    EXPECT_NE(beyond.error().find("from 1970 to 2100"), std::string::npos) << beyond.error();
    EXPECT_EQ(parse_range_query({.to = "1000"}, now)->from_ms, 0);

    QueryParams params;
    ASSERT_TRUE(parse_query_string("from=1&&id=%3Ci%3E+b&id=second&flag", &params));
    EXPECT_EQ(query_param(params, "id"), "<i> b");
    EXPECT_EQ(query_param(params, "flag"), "");
    EXPECT_FALSE(query_param(params, "to").has_value());
    for (const char* bad : {"id=%zz", "id=%4", "a%=1"})
        EXPECT_FALSE(parse_query_string(bad, &params)) << bad;
    std::string many;
    for (std::size_t i = 0; i <= max_query_params; ++i) many += "a=1&";
    EXPECT_FALSE(parse_query_string(many, &params));
}

TEST(WebRefusals, FirstAtOnceThenOneLinePerInterval) {
    RefusalLog log(10000);
    const char* fields[] = {"1", " nan\n2 3 4"};
    const std::string first = log.refuse(1000, "evil\x1b", Refusal::not_finite, 2, fields);
    EXPECT_EQ(first,
              "refused a message from evil\\x1b: a value is not a finite number: "
              "\"1\" \" nan\\x0a2 3 4\"");
    EXPECT_EQ(log.refuse(2000, "evil", Refusal::bad_id, 2, fields), "");
    EXPECT_EQ(log.refuse(3000, "other", Refusal::not_a_number, 2, fields), "");
    EXPECT_EQ(log.flush(9000), "");
    EXPECT_EQ(log.flush(11000),
              "2 more message(s) refused, the latest from other: a value is not a number");
    EXPECT_EQ(log.flush(30000), "");
    EXPECT_NE(log.refuse(30000, "x", Refusal::bad_id, 0, nullptr), "");
    EXPECT_EQ(log.total(), 4u);
}

ParseResult parse(std::vector<std::string> args) {
    args.insert(args.begin(), "anemobus-web");
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    return parse_options(static_cast<int>(argv.size()), argv.data());
}

TEST(WebOptions, DefaultsAndEveryOption) {
    auto r = parse({});
    ASSERT_EQ(r.kind, ParseResult::Kind::run);
    EXPECT_EQ(r.options.listen_host, "127.0.0.1");
    EXPECT_EQ(r.options.listen_port, 8020);
    EXPECT_EQ(r.options.keep_days, 30);
    EXPECT_TRUE(r.options.bus.empty());
    EXPECT_FALSE(r.options.wind_limit.has_value());
    r = parse({"-b", "10.0.0.255:2011", "-n", "w", "-i", "7", "--db", "/x.db", "--keep-days", "90",
               "--listen", "[::1]:0", "--wind-limit", "12.5", "-q"});
    ASSERT_EQ(r.kind, ParseResult::Kind::run) << r.error;
    EXPECT_EQ(r.options.bus, "10.0.0.255:2011");
    EXPECT_EQ(r.options.only_id->view(), "7");
    EXPECT_EQ(r.options.db_path, "/x.db");
    EXPECT_EQ(r.options.keep_days, 90);
    EXPECT_EQ(r.options.listen_host, "::1");
    EXPECT_EQ(r.options.listen_port, 0);
    EXPECT_EQ(r.options.wind_limit, 12.5);
    EXPECT_TRUE(r.options.quiet);
    EXPECT_EQ(parse({"--help"}).kind, ParseResult::Kind::help);
}

TEST(WebOptions, UnusableValuesAreUsageErrors) {
    for (std::vector<std::string> bad : {std::vector<std::string>{"--listen", "8020"},
                                         {"--listen", "::1:8020"},
                                         {"--listen", "0.0.0.0:65536"},
                                         {"--keep-days", "0"},
                                         {"--wind-limit", "-3"},
                                         {"--wind-limit", "1e6"},
                                         {"--wind-limit", "nan"},
                                         {"-i", "a b"},
                                         {"--db", ""},
                                         {"-x"},
                                         {"--db"},
                                         {"extra"}}) {
        const auto r = parse(bad);
        EXPECT_EQ(r.kind, ParseResult::Kind::error) << bad[0];
        EXPECT_FALSE(r.error.empty());
    }
}

TEST(WebOptions, DefaultLogPath) {
    EXPECT_EQ(default_db_path("/var/lib/anemobus:/other", "/x", "/home/u"),
              "/var/lib/anemobus/readings.db");
    EXPECT_EQ(default_db_path("", "/xdg", "/home/u"), "/xdg/anemobus/readings.db");
    EXPECT_EQ(default_db_path(nullptr, nullptr, "/home/u"),
              "/home/u/.local/state/anemobus/readings.db");
    EXPECT_EQ(default_db_path(nullptr, nullptr, nullptr), "");
}

}  // namespace
