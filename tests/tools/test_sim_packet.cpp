// The simulator's packets, unit conversions and recordings, bytes in and out.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <set>
#include <tuple>

#include "packet_source.h"
#include "station_packet.h"
#include "weather_model.h"

namespace {

using sim::Packet;

std::uint16_t word_at(const Packet& p, std::size_t offset) {
    return static_cast<std::uint16_t>(p[offset] | (p[offset + 1] << 8));
}

std::string hex_line(const Packet& p) {
    std::string s;
    char buf[4];
    for (auto b : p) {
        std::snprintf(buf, sizeof buf, "%02X ", b);
        s += buf;
    }
    return s;
}

TEST(SimPacket, PutsTheReadingsWhereTheRelayReadsThem) {
    const Packet p = sim::build_packet({30000, 725, 10, 180});
    EXPECT_EQ(std::string(p.begin(), p.begin() + 3), "LOO");
    EXPECT_EQ(p[7], 0x30);
    EXPECT_EQ(p[8], 0x75);
    EXPECT_EQ(p[12], 0xD5);
    EXPECT_EQ(p[13], 0x02);
    EXPECT_EQ(p[14], 10);
    EXPECT_EQ(p[16], 0xB4);
    EXPECT_EQ(p[17], 0x00);
    EXPECT_EQ(p[95], '\n');
    EXPECT_EQ(p[96], '\r');
    // The station's check: the CRC over the whole packet, its own CRC included, is zero.
    EXPECT_EQ(sim::station_crc(p.data(), p.size()), 0);
    EXPECT_EQ(sim::station_crc(reinterpret_cast<const std::uint8_t*>("123456789"), 9), 0x31C3);
}

TEST(SimPacket, ConvertsPhysicalUnitsToTheNearestRawStep) {
    // The inverse of the relay's conversions gives back the raw words exactly.
    EXPECT_EQ(sim::pressure_from_pascals(101591.656250), 30000);
    EXPECT_EQ(sim::temperature_from_celsius(22.5), 725);
    EXPECT_EQ(sim::wind_from_metres_per_second(4.4704), 10);
    EXPECT_EQ(sim::wind_from_metres_per_second(113.995201), 255);
    EXPECT_EQ(sim::temperature_from_celsius(0.0), 320);
    EXPECT_EQ(sim::temperature_from_celsius(-17.777779), 0);
    // Below 0 °F the station's word holds the two's complement.
    EXPECT_EQ(sim::temperature_from_celsius(-20.0), 0xFFD8);  // -4 °F, -40 tenths
    // Values the words cannot hold are refused rather than wrapped.
    EXPECT_EQ(sim::wind_from_metres_per_second(114.4), std::nullopt);
    EXPECT_EQ(sim::wind_from_metres_per_second(-1.0), std::nullopt);
    EXPECT_EQ(sim::pressure_from_pascals(222000.0), std::nullopt);
    EXPECT_EQ(sim::temperature_from_celsius(2000.0), std::nullopt);
    EXPECT_EQ(sim::pressure_from_pascals(std::nan("")), std::nullopt);
}

TEST(SimRecording, ReadsHexTextWithCommentsAndSpaces) {
    const Packet a = sim::build_packet({30000, 725, 10, 180});
    const Packet b = sim::build_packet({29000, 600, 3, 90});
    std::string text = "# two packets\n" + hex_line(a) + "\n\n   # blank lines too\n";
    std::string compact = hex_line(b);
    std::erase(compact, ' ');
    text += compact + "  # trailing comment\n";
    const auto packets = sim::parse_recording(text);
    ASSERT_TRUE(packets) << packets.error();
    ASSERT_EQ(packets->size(), 2u);
    EXPECT_EQ((*packets)[0], a);
    EXPECT_EQ((*packets)[1], b);
}

TEST(SimRecording, ReadsBinaryPacketsBackToBack) {
    const Packet a = sim::build_packet({30000, 725, 10, 180});
    std::string binary(a.begin(), a.end());
    binary += binary;
    const auto packets = sim::parse_recording(binary);
    ASSERT_TRUE(packets) << packets.error();
    EXPECT_EQ(packets->size(), 2u);
    const auto cut = sim::parse_recording(binary.substr(0, 150));
    ASSERT_FALSE(cut);
    EXPECT_NE(cut.error().find("99-byte"), std::string::npos) << cut.error();
}

TEST(SimRecording, NamesTheLineThatIsWrong) {
    const std::string good = hex_line(sim::build_packet({}));
    const auto why = [](const std::string& text) {
        const auto packets = sim::parse_recording(text);
        return packets ? std::string("accepted") : packets.error();
    };
    EXPECT_EQ(why(good + "\n4c 4f 4f\n"), "line 2: 3 bytes instead of 99");
    EXPECT_EQ(why(good + "\n" + good + "\nzz\n"), "line 3: not hexadecimal byte pairs");
    EXPECT_EQ(why("4c4\n"), "line 1: not hexadecimal byte pairs");
    EXPECT_EQ(why("# nothing\n"), "no packets in the recording");
}

TEST(SimSources, FixedReadingsOverrideTheWeatherFieldByField) {
    sim::FixedReadings fixed;
    fixed.temperature = 0xFFFF;
    auto next = sim::weather_source(7, fixed);
    std::set<std::uint16_t> pressures;
    for (int i = 0; i < 200; ++i) {
        const Packet p = next();
        EXPECT_EQ(word_at(p, 12), 0xFFFF);
        pressures.insert(word_at(p, 7));
    }
    EXPECT_GT(pressures.size(), 1u) << "pressure should still follow the weather";
}

TEST(SimSources, ReplayStartsAgainAfterTheLastPacket) {
    const Packet a = sim::build_packet({1, 2, 3, 4}), b = sim::build_packet({5, 6, 7, 8});
    auto next = sim::replay_source({a, b});
    EXPECT_EQ(next(), a);
    EXPECT_EQ(next(), b);
    EXPECT_EQ(next(), a);
}

TEST(SimWeather, SameSeedSameWeatherAndPlausibleOverADay) {
    sim::WeatherModel one(42), two(42), other(43);
    bool differs = false;
    int min_wind = 255, max_wind = 0;
    std::set<std::uint16_t> directions;
    for (int s = 0; s < 86400; ++s) {
        one.step();
        two.step();
        other.step();
        const auto r = one.readings();
        const auto r2 = two.readings();
        ASSERT_EQ(std::tie(r.pressure, r.temperature, r.wind_speed, r.direction),
                  std::tie(r2.pressure, r2.temperature, r2.wind_speed, r2.direction));
        differs |= other.readings().pressure != r.pressure;
        ASSERT_GE(r.pressure, 28500);
        ASSERT_LE(r.pressure, 31000);
        ASSERT_GT(r.temperature, 0);
        ASSERT_LE(r.temperature, 1200);
        ASSERT_GE(r.direction, 1);
        ASSERT_LE(r.direction, 360);
        min_wind = std::min<int>(min_wind, r.wind_speed);
        max_wind = std::max<int>(max_wind, r.wind_speed);
        directions.insert(r.direction);
    }
    EXPECT_TRUE(differs);
    EXPECT_GT(max_wind - min_wind, 5) << "no gusts";
    EXPECT_GT(directions.size(), 90u) << "the wind should veer around";
}

TEST(SimWeather, ChangesSlowlyFromOneSecondToTheNext) {
    sim::WeatherModel model(1);
    auto prev = model.readings();
    for (int s = 0; s < 3600; ++s) {
        model.step();
        const auto r = model.readings();
        EXPECT_LE(std::abs(r.pressure - prev.pressure), 5) << "at second " << s;
        EXPECT_LE(std::abs(r.temperature - prev.temperature), 3) << "at second " << s;
        prev = r;
    }
}

}  // namespace
