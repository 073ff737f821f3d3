#include "packet_source.h"

#include <memory>

#include "weather_model.h"

namespace sim {

PacketSource weather_source(std::uint64_t seed, FixedReadings fixed) {
    auto model = std::make_shared<WeatherModel>(seed);
    return [model, fixed] {
        model->step();
        return build_packet(fixed.applied_to(model->readings()));
    };
}

PacketSource replay_source(std::vector<Packet> packets) {
    auto recording = std::make_shared<std::vector<Packet>>(std::move(packets));
    auto next = std::make_shared<std::size_t>(0);
    return [recording, next] {
        const Packet p = (*recording)[*next];
        *next = (*next + 1) % recording->size();
        return p;
    };
}

}  // namespace sim
