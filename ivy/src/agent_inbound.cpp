// The agent's handling of the lines its peers send. See agent.h.
#include <chrono>
#include <cstring>
#include <string>

#include "agent.h"
#include "diagnostics.h"
#include "event_loop.h"
#include "ivy_limits.h"

namespace ivy {
namespace {

using Clock = TimeBucket::Clock;

// Answers to an AddRegexp that is refused; the id field is the refused
// binding's, so the peer can tell which one was not taken (a text that does
// not compile gets the classic answer instead, its error offset as the id).
std::string refusal_text(AddOutcome outcome) {
    switch (outcome) {
        case AddOutcome::too_many:
            return "Too many regexps: this one is ignored";
        case AddOutcome::too_long:
            return "Regexp longer than " + std::to_string(max_regexp_length) + " bytes: ignored";
        case AddOutcome::too_much_text:
            return "Your regexps are longer than " + std::to_string(max_regexp_text_per_peer) +
                   " bytes together: this one is ignored";
        default:
            return "Your regexps take more than " + std::to_string(max_regexp_memory_per_peer) +
                   " bytes together once compiled: this one is ignored";
    }
}

// What the refusal is reported as on our side.
const char* refusal_reason(AddOutcome outcome) {
    switch (outcome) {
        case AddOutcome::too_many:
            return "more regexps than a peer may bind";
        case AddOutcome::too_long:
            return "longer than a regexp may be";
        case AddOutcome::too_much_text:
            return "more regexp text than a peer may bind";
        default:
            return "more compiled regexps than a peer may hold";
    }
}

}  // namespace

// Every line is taken at once but an AddRegexp whose compiling must wait for
// its turn (see may_compile).
bool Agent::on_line(Peer& peer, std::span<char> bytes) {
    const std::string_view line(bytes.data(), bytes.size() - 1);
    // A bare LF carries nothing; classic agents hang up on it, but it does
    // no harm to the stream and some peers send it to keep a link alive.
    if (line.empty()) return true;
    const auto frame = parse_line(line);
    if (!frame) {
        reject_malformed(peer, line);
        return true;
    }
    if (frame->type == static_cast<int>(MsgType::add_regexp)) {
        return on_add_regexp(peer, frame->id, frame->payload);
    }
    // The payload's bytes, writable, up to and including the byte after it
    // (its LF, or the NUL that ended the line early).
    char* const payload_bytes = bytes.data() + (frame->payload.data() - line.data());
    switch (frame->type) {
        case static_cast<int>(MsgType::bye):
            drop(peer);
            break;
        case static_cast<int>(MsgType::msg):
            on_msg(peer, frame->id, frame->payload, payload_bytes);
            break;
        case static_cast<int>(MsgType::error):
            report("%s reports error %d: '%s'", quote(peer.notes.name).c_str(), frame->id,
                   quote(frame->payload).c_str());
            break;
        case static_cast<int>(MsgType::del_regexp):
            on_del_regexp(peer, frame->id);
            break;
        case static_cast<int>(MsgType::end_regexp):
            on_end_regexp(peer);
            break;
        case static_cast<int>(MsgType::start_regexp):
            on_start_regexp(peer, frame->id, frame->payload);
            break;
        case static_cast<int>(MsgType::direct_msg):
            on_direct(peer, frame->id, frame->payload, payload_bytes);
            break;
        case static_cast<int>(MsgType::die):
            die(peer, frame->id);
            break;
        case static_cast<int>(MsgType::ping):
            send_line(peer, MsgType::pong, frame->id, "");
            break;
        case static_cast<int>(MsgType::pong):
            on_pong(peer, frame->id);
            break;
        default:
            on_unknown(peer, frame->type, line);
            break;
    }
    return true;
}

// Answered as classic agents answer it, since peers expect that: Error,
// Bye, and the connection closes once they are written.
void Agent::reject_malformed(Peer& peer, std::string_view line) {
    report("malformed line from %s: '%s': disconnecting", quote(peer.notes.name).c_str(),
           quote(line).c_str());
    send_line(peer, MsgType::error, bad_format_error_id, bad_format_text);
    send_line(peer, MsgType::bye, 0, "");
    forget_bindings(peer);
    peer.finish(false, true, linger);
}

void Agent::on_start_regexp(Peer& peer, int port, std::string_view name) {
    peer.notes.name = std::string(name.substr(0, max_app_name_length));
    if (peer.notes.identified || port <= 0 || port > 65535) return;
    peer.notes.listen_port = static_cast<std::uint16_t>(port);
    identify(peer);
}

// False when the text must wait for its turn to be compiled: the peer is
// then held, and the line handed out again later.
bool Agent::on_add_regexp(Peer& peer, int id, std::string_view regexp) {
    if (peer.notes.doomed || !peer.sendable()) return true;
    if (table_.would_compile(&peer, id, regexp) && !may_compile(peer)) return false;
    const AddResult result = table_.add(&peer, id, regexp);
    compile_time_.take(result.compile_time, Clock::now());
    const bool stood_in = (stored(result.outcome) || result.outcome == AddOutcome::unchanged) &&
                          confirm_stand_in(peer, id);
    switch (result.outcome) {
        case AddOutcome::unchanged:
            if (!stood_in) tell_bind(peer, id, regexp, IvyChangeBind);
            break;
        case AddOutcome::added:
        case AddOutcome::replaced:
            tell_bind(peer, id, regexp,
                      result.outcome == AddOutcome::added ? IvyAddBind : IvyChangeBind);
            check_memory();
            break;
        default:
            refuse_regexp(peer, id, regexp, result);
            break;
    }
    return true;
}

void Agent::refuse_regexp(Peer& peer, int id, std::string_view regexp, const AddResult& result) {
    if (result.outcome == AddOutcome::not_compiled) {
        report("regexp '%s' from %s does not compile: %s", quote(regexp).c_str(),
               quote(peer.notes.name).c_str(), result.error.message.c_str());
        send_line(peer, MsgType::error, result.error.offset,
                  compile_error_text(regexp, result.error));
        return;
    }
    report("%s binds %s: regexp %d '%s' ignored", quote(peer.notes.name).c_str(),
           refusal_reason(result.outcome), id, quote(regexp).c_str());
    send_line(peer, MsgType::error, id, refusal_text(result.outcome));
}

// Compiling takes turns: at most compile_slice at a time, compile_share of
// the loop in all. A peer that finds no time left, or others already
// waiting, waits too, held; each time a slice is there again the peer first
// in line gets it, and goes to the back of the line if that was not enough.
bool Agent::may_compile(Peer& peer) {
    const bool my_turn = waiting_to_compile_.empty() || compile_turn_of_.lock().get() == &peer;
    if (my_turn && compile_time_.level(Clock::now()) > std::chrono::nanoseconds{}) return true;
    waiting_to_compile_.push_back(peer.shared_from_this());
    arm_compile_turn();
    return false;
}

void Agent::arm_compile_turn() {
    if (compile_turn_armed_ || waiting_to_compile_.empty()) return;
    compile_turn_armed_ = true;
    const auto now = Clock::now();
    compile_turn_.expires_at(compile_time_.time_to(compile_slice, now));
    compile_turn_.async_wait([this](const asio::error_code& ec) {
        compile_turn_armed_ = false;
        if (!ec) next_compile_turn();
    });
}

void Agent::next_compile_turn() {
    while (!waiting_to_compile_.empty()) {
        const auto peer = waiting_to_compile_.front().lock();
        waiting_to_compile_.pop_front();
        if (!peer || peer->closed()) continue;
        compile_turn_of_ = peer;
        peer->resume();
        break;
    }
    arm_compile_turn();  // for the next in line
}

void Agent::on_del_regexp(Peer& peer, int id) {
    confirm_stand_in(peer, id);
    const auto removed = table_.remove(&peer, id);
    if (removed) tell_bind(peer, id, *removed, IvyRemoveBind);
}

void Agent::tell_bind(Peer& peer, int id, std::string_view regexp, IvyBindEvent event) {
    if (callbacks_.bind == nullptr) return;
    const std::string text(regexp);
    callbacks_.bind(client(peer), callbacks_.bind_data, id, text.c_str(), event);
}

void Agent::on_end_regexp(Peer& peer) {
    if (peer.notes.doomed || peer.notes.end_seen) return;
    peer.notes.end_seen = true;
    drop_stand_ins(peer);
    if (!peer.notes.reported) {
        peer.notes.reported = true;
        notify(peer, IvyApplicationConnected);
    }
    if (peer.sendable()) send_ready(peer);
}

// Each field is ended by a NUL where its ETX was (the last one where the LF
// was), in the read buffer itself: the application gets writable C strings,
// with no copy and no allocation.
void Agent::on_msg(Peer& peer, int id, std::string_view payload, char* writable) {
    const auto binding = bindings_.find(id);
    if (binding == bindings_.end()) return;  // unbound a moment ago, most likely
    peer.argv.clear();
    const auto count = for_each_field(payload, max_fields_per_msg, [&](std::string_view field) {
        const auto offset = static_cast<std::size_t>(field.data() - payload.data());
        writable[offset + field.size()] = '\0';
        peer.argv.push_back(writable + offset);
    });
    if (!count) {
        report("Msg with more than %zu fields from %s dropped", max_fields_per_msg,
               quote(peer.notes.name).c_str());
        return;
    }
    peer.argv.push_back(nullptr);
    const MsgCallback callback = binding->second.callback;
    void* const user_data = binding->second.user_data;
    if (callback != nullptr) {
        callback(client(peer), user_data, static_cast<int>(*count), peer.argv.data());
    }
}

void Agent::on_direct(Peer& peer, int id, std::string_view text, char* writable) {
    if (callbacks_.direct == nullptr) return;
    writable[text.size()] = '\0';
    callbacks_.direct(client(peer), callbacks_.direct_data, id, writable);
}

// Round trip in microseconds, negative when the Pong is not for our latest
// Ping (classic agents' convention).
void Agent::on_pong(Peer& peer, int id) {
    if (callbacks_.pong == nullptr) return;
    const auto elapsed = std::chrono::steady_clock::now() - peer.notes.ping_sent;
    auto us = std::chrono::duration_cast<std::chrono::microseconds>(elapsed).count();
    if (us > 2147483647) us = 2147483647;
    const int delay = static_cast<int>(us);
    callbacks_.pong(client(peer), id == peer.notes.last_ping_id ? delay : -delay);
}

void Agent::on_unknown(Peer& peer, int type, std::string_view line) {
    if (peer.notes.unknown_type_reported) return;
    peer.notes.unknown_type_reported = true;
    report("line of unknown type %d from %s ignored (reported once): '%s'", type,
           quote(peer.notes.name).c_str(), quote(line).c_str());
}

}  // namespace ivy
