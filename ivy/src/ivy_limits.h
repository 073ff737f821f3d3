// Bounds on everything a peer controls. A peer is any process that can reach
// our TCP port or the bus's UDP port, so none of it is trusted: each bound
// keeps one peer from taking memory, time or the loop away from the others.
#pragma once

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

// PCRE2 match limits: a catastrophic regexp gives up instead of stalling the
// send (and with it the whole loop). Generous for every sane pattern.
inline constexpr unsigned pcre_match_limit = 1000000;
inline constexpr unsigned pcre_depth_limit = 10000;

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
