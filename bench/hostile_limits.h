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
// the text it may bind), as many of them as fit in the matching budget
// (measured here on this machine) matched by every WEATHER without a match.
void per_peer_limits(Scene& scene, int peers, milliseconds hold);
// Each attacker binding the most text it may, in the longest regexps: 64 of
// 4 KiB that never match.
void maximum_text(Scene& scene, int peers, milliseconds hold);
// Each attacker binding the regexps that take the longest to compile (JIT
// included), 64 of them, until its compile budget is spent.
void compile_storm(Scene& scene, int peers, milliseconds hold);

}  // namespace hostile
