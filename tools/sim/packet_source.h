// Where the simulated station's packets come from: the weather model with
// any readings held fixed, or a recording played in a loop. Pure.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "station_packet.h"

namespace sim {

using PacketSource = std::function<Packet()>;

// Each call steps the weather by one second and builds the packet, with the
// fixed readings in place of the weather's.
PacketSource weather_source(std::uint64_t seed, FixedReadings fixed);

// Each call gives the next recorded packet, unchanged, starting again after
// the last. The recording must not be empty.
PacketSource replay_source(std::vector<Packet> packets);

}  // namespace sim
