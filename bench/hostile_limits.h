// The attacks at the bounds of the bus library (ivy_limits.h) that
// bench_hostile runs against the relay, in the scene of
// tests/relay/hostile_scene.h. `peers` attackers connect at once (the relay
// takes 255 besides the good listener) and send their whole handshake
// without waiting; once each is set up (its Ping answered) or let go, the
// good listener is matched last, and the attack is held `hold` more. The
// attackers' time to set up is part of the attack.
#pragma once

#include "hostile_scene.h"

namespace hostile {

// Each attacker at every bound of its own: 1024 bindings of 256 bytes (all
// the text it may bind), each a costly match of every WEATHER, within
// PCRE2's limits. Prints how many were let go.
void per_peer_limits(Scene& scene, int peers, milliseconds hold);
// Ordinary agents of ground software: 1024 regexps each, of the shapes such
// agents bind, one of them taking the WEATHER. Prints how many were let go
// (none should be) and the fewest WEATHER one of them got.
void ordinary_peers(Scene& scene, int peers, milliseconds hold);
// Each attacker binding the most text it may, in the longest regexps: 64 of
// 4 KiB that never match.
void maximum_text(Scene& scene, int peers, milliseconds hold);
// Each attacker binding the regexps that take the longest to compile (JIT
// included), 64 of them, past its memory bound.
void compile_storm(Scene& scene, int peers, milliseconds hold);

}  // namespace hostile
