#include "relay_state.h"

RunSettings run_settings;
LinkState link_state;
LoopPacket loop_packet{};
