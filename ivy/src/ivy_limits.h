// Bounds on everything a peer controls. A peer is any process that can reach
// our TCP port or the bus's UDP port, so none of it is trusted: each bound
// keeps one peer from taking memory, time or the loop away from the others.
#pragma once

#include <chrono>
#include <cstddef>

namespace ivy {

// A protocol line, LF included. Bus messages are short texts; the longest we
// have seen from real agents is a 10 000-byte field. 1 MiB leaves room for
// large regexps and messages while capping what one peer can make us hold.
inline constexpr std::size_t max_line_length = std::size_t{1024} * 1024;

// Fields in one received Msg. Classic agents keep 120 in a fixed array and
// crash beyond it; we refuse the Msg instead.
inline constexpr std::size_t max_fields_per_msg = 120;

// Capture groups a peer's regexp may have; more cannot be sent to that peer
// as a Msg anyway (see max_fields_per_msg).
inline constexpr std::size_t max_capture_groups = max_fields_per_msg;

// Regexps one peer may bind at a time. Each is matched against every message
// we send, so this bounds the cost one peer adds to every send.
inline constexpr std::size_t max_bindings_per_peer = 1024;

// Connections at once (both directions). A flood of connections beyond this
// is closed on accept.
inline constexpr std::size_t max_peers = 256;

// Bytes waiting to be sent to one peer. A peer that lets this much pile up
// has stopped reading: it is dropped rather than allowed to grow our memory.
inline constexpr std::size_t max_send_queue_bytes = std::size_t{4} * 1024 * 1024;

// PCRE2 match limits: a catastrophic regexp gives up within about half a
// millisecond instead of stalling the send (and with it the whole loop).
// Measured on a 2-core machine with `^(.+)+1$`-like bombs against a relay
// message: the JIT spends about 2 ns per unit of the match limit, the
// interpreter (patterns the JIT cannot take, or that outgrow its stack) about
// 25 ns. Sane bindings stay far below either: `^(\S+) WEATHER (.*)` needs a
// few units per message. The depth limit only applies to the interpreter and
// bounds the heap its backtracking frames take; 10 000 still lets a repeated
// group walk a 10 000-word message.
inline constexpr unsigned pcre_jit_match_limit = 250000;
inline constexpr unsigned pcre_match_limit = 25000;
inline constexpr unsigned pcre_depth_limit = 10000;

// Matching time one peer's bindings may take for one message we send, all of
// its regexps together, each shared regexp charged in full to every peer that
// binds it. A peer beyond it is disconnected: ten such peers at once then
// delay a send by at most about 10 x (this + one match at the limits above),
// some 35 ms, within the 50 ms a reading may be late. A thousand ordinary
// bindings take about half a millisecond.
inline constexpr std::chrono::microseconds matching_budget{3000};

// How much of a peer-supplied text (an Error line, a bad regexp, a name) is
// quoted in our own diagnostics.
inline constexpr std::size_t max_quoted_text = 200;

// One announcement datagram; longer ones are cut (like classic agents do).
inline constexpr std::size_t max_datagram = 4096;

// The app-id and app-name of an announcement. Classic agents read them into
// 128- and 2048-byte buffers, so no real agent sends longer ones. An
// over-long app-id is refused (cutting it could make two agents look alike);
// an over-long name is cut (it only labels the peer until its handshake).
inline constexpr std::size_t max_app_id_length = 127;
inline constexpr std::size_t max_app_name_length = 2047;

// Shortest timer period served; a period of 0 or less is taken as this.
inline constexpr long min_timer_period_ms = 1;

}  // namespace ivy
