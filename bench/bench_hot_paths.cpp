// The per-message work of the relay and of the bus library, without I/O:
// what one reading costs to decode and format, and what one bus line costs
// to cut, parse and match. One line per scenario.
#include <benchmark/benchmark.h>

#include <cstring>
#include <string>

#include "pattern.h"
#include "publish/weather_messages.h"
#include "station/station_protocol.h"
#include "station_packet.h"
#include "wire_codec.h"

namespace {

const std::string weather_text = "1 WEATHER 101591.656250 22.500000 4.470400 180.000000\n";

// The packet the simulated station sends for 30000, 725, 10 and 180.
LoopPacket sample_packet() {
    const sim::Packet built = sim::build_packet({30000, 725, 10, 180});
    LoopPacket packet{};
    std::memcpy(packet.data(), built.data(), packet.size());
    return packet;
}

// Packet check, unit conversion and the message text of one reading.
void relay_reading_to_text(benchmark::State& state) {
    const LoopPacket packet = sample_packet();
    char text[message_capacity];
    for (auto _ : state) {
        benchmark::DoNotOptimize(has_loop_mark(packet));
        const std::size_t n =
            format_weather_message(text, 1, convert_weather(read_raw_weather(packet)));
        benchmark::DoNotOptimize(n);
    }
}
BENCHMARK(relay_reading_to_text);

// What a sender does per peer and per message: match a subscriber's regexp
// and build the Msg line.
void bus_match_and_frame(benchmark::State& state) {
    ivy::CompileError error;
    const auto pattern = ivy::Pattern::compile("^(\\S+) WEATHER (.*)", &error);
    const std::string_view text = ivy::without_final_lf(weather_text);
    std::string payload, line;
    for (auto _ : state) {
        payload.clear();
        line.clear();
        pattern->append_msg_payload(text, payload);
        ivy::append_line(line, ivy::MsgType::msg, 1, payload);
        benchmark::DoNotOptimize(line.data());
    }
}
BENCHMARK(bus_match_and_frame);

// What a receiver does per line: cut the stream and parse the line.
void bus_cut_and_parse(benchmark::State& state) {
    std::string stream;
    for (int i = 0; i < 64; ++i)
        stream +=
            "2 1\x02"
            "1\x03"
            "101591.656250 22.500000 4.470400 180.000000\x03\n";
    ivy::LineAssembler lines(1 << 20);
    for (auto _ : state) {
        char* space = lines.prepare(stream.size());
        std::memcpy(space, stream.data(), stream.size());
        lines.commit(stream.size());
        while (auto line = lines.next_line()) benchmark::DoNotOptimize(ivy::parse_line(*line));
    }
    state.SetItemsProcessed(state.iterations() * 64);
}
BENCHMARK(bus_cut_and_parse);

}  // namespace

BENCHMARK_MAIN();
