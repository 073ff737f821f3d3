// Bounds on everything a peer controls. A peer is any process that can reach
// our TCP port or the bus's UDP port, so none of it is trusted: each bound
// keeps one peer, or a crowd of them, from taking memory, time or the loop
// away from the others. docs/ivy-library.md lists them with what happens
// beyond each; bench_hostile measures them against the relay.
#pragma once

#include <chrono>
#include <cstddef>

namespace ivy {

// A protocol line, LF included. Bus messages are short texts; the longest we
// have seen from real agents is a 10 000-byte field. 1 MiB leaves room for
// large messages while capping what one peer can make us hold (and the
// buffer is freed once such a line has been handed out).
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

// One regexp's text. Real bindings are a few dozen bytes; 4 KiB is a hundred
// times that, and keeps a failing compile (which PCRE2 may only detect at
// the end of the text) below a tenth of a millisecond.
inline constexpr std::size_t max_regexp_length = 4096;

// A peer's regexp texts together: a thousand bindings of 256 bytes.
inline constexpr std::size_t max_regexp_text_per_peer = std::size_t{256} * 1024;

// A peer's bindings once compiled: texts, PCRE2 code, JIT machine code and
// our bookkeeping (about 1 KiB a binding, allocators' rounding included).
// An ordinary binding such as `^(\S+) WEATHER (.*)` takes about 2 KiB, so
// 1024 of them fit in half of this; a 17-byte text such as
// `(?:\w+\s){1,1000}` compiles to 16 KiB (the JIT spared, see
// pcre_max_jit_code), so without this bound a thousand of them would take
// 17 MiB.
inline constexpr std::size_t max_regexp_memory_per_peer = std::size_t{4} * 1024 * 1024;

// Connections at once (both directions). A flood of connections beyond this
// is closed on accept.
inline constexpr std::size_t max_peers = 256;

// Bytes waiting to be sent to one peer. A peer that lets this much pile up
// has stopped reading: it is dropped rather than allowed to grow our memory.
inline constexpr std::size_t max_send_queue_bytes = std::size_t{4} * 1024 * 1024;

// What all peers together may make us hold: their read and send buffers and
// their compiled bindings. Each peer alone is bounded above (about 13 MiB at
// every bound at once: two 4 MiB send buffers, a 1 MiB line, 4 MiB of
// bindings), so 256 peers could otherwise hold 3.3 GiB. Beyond this, the
// peers holding the most are disconnected until the rest fit. Ordinary use
// holds well under 1 MiB. What the process takes is more than this (the
// allocators keep what peers let go for the next ones): bench_hostile
// measures it, and the units' MemoryMax= leaves room above that.
inline constexpr std::size_t max_peer_memory_total = std::size_t{64} * 1024 * 1024;

// PCRE2 match limits: a catastrophic regexp gives up within about half a
// millisecond instead of stalling the send (and with it the whole loop).
// Measured on a 2-core machine with `^(.+)+1$`-like bombs against a relay
// message: the JIT spends about 2 ns per unit of the match limit, the
// interpreter (patterns the JIT cannot take, or that outgrow its stack) about
// 25 ns. Sane bindings stay far below either: `^(\S+) WEATHER (.*)` needs a
// few units per message. The depth limit only applies to the interpreter and
// bounds its backtracking frames; 10 000 still lets a repeated group walk a
// 10 000-word message. The heap limit (KiB) caps the frames the one shared
// match data block keeps after a deep match.
inline constexpr unsigned pcre_jit_match_limit = 250000;
inline constexpr unsigned pcre_match_limit = 25000;
inline constexpr unsigned pcre_depth_limit = 10000;
inline constexpr unsigned pcre_heap_limit_kib = 4096;

// Compiled code (PCRE2's, before the JIT) beyond which a regexp is not JIT
// compiled but interpreted. The JIT takes about 0.25 ms and 15 KiB of
// machine code per KiB of code: a 17-byte `(?:\w+\s){1,1000}` compiles to
// 16 KiB, whose JIT would take 3.7 ms of the loop and 250 KiB. Ordinary
// bindings compile to a few hundred bytes.
inline constexpr std::size_t pcre_max_jit_code = std::size_t{8} * 1024;

// Bindings of one peer that may hit PCRE2's limits (each then left out, and
// the peer told) before the peer is taken for a bomber and disconnected. The
// regexps of real agents never hit them on the messages they see; a peer
// binding a thousand bombs would otherwise cost a thousand times the limit,
// once. Counted in bindings, not time: the verdict is the same on every
// machine, however fast or busy.
inline constexpr std::size_t max_limit_hits_per_peer = 16;

// Scheduling a message's matching (CPU time; it decides only when a peer is
// served, never whether). A send matches at once, for each peer in turn, the
// peers whose matching was prompt before first, then new ones. A peer whose
// matching of one message takes more than prompt_matching, or that comes
// after prompt_matching_total has gone on the message, waits its turn: its
// matching goes on later, in slices of matching_slice (wall time) between
// the loop's other work, peer after peer, each peer's messages in order. It
// is served at once again when a message of its own took less than
// prompt_matching. A thousand ordinary bindings take about half a
// millisecond here; a peer at every bound about 500 ms. The loop is then
// held at most prompt_matching_total by a send, matching_slice by a slice
// (plus one match, at most about 6 ms at PCRE2's limits).
inline constexpr std::chrono::microseconds prompt_matching{5000};
inline constexpr std::chrono::microseconds prompt_matching_total{10000};
inline constexpr std::chrono::microseconds matching_slice{2000};

// Messages waiting their turn to be matched for one peer. Past it, a send
// first matches the peer's oldest waiting message whole: the sender is held
// up (a burst sent in one handler, or a machine too slow for the peers'
// regexps), and nobody is let go for the machine's pace. Each peer's waiting
// messages are the latest ones sent, shared, so all of them together hold
// about this much.
inline constexpr std::size_t max_backlog_bytes = std::size_t{1024} * 1024;

// Compiling for all peers together may take compile_share of the loop's
// time, in slices of at most compile_slice (plus the one compile under way,
// at most about 2.5 ms: see pcre_max_jit_code): a peer with regexps to
// compile beyond that waits in line, its lines held unread, for its turn,
// and goes to the back of the line after it. Nobody is disconnected for
// compiling: what a peer may make us compile is bounded by the counts and
// sizes above, and a peer that keeps binding only slows itself down. 256
// peers each binding a thousand ordinary regexps at once (about 4 s of
// compiling) then delay nothing else by more than a slice; a peer that binds
// one regexp meanwhile waits one round, at most 256 x 8 ms = 2 s.
inline constexpr std::chrono::milliseconds compile_slice{2};
inline constexpr double compile_share = 0.25;

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
