// The agent's handling of the lines its peers send. See agent.h.
#include <chrono>
#include <cstring>

#include "agent.h"
#include "diagnostics.h"
#include "ivy_limits.h"

namespace ivy {
namespace {

// Answer to an AddRegexp beyond max_bindings_per_peer; the id field is the
// refused binding's, so the peer can tell which one was not taken.
constexpr const char* too_many_bindings_text = "Too many regexps: this one is ignored";

}  // namespace

void Agent::on_line(Peer& peer, std::span<char> bytes) {
    const std::string_view line(bytes.data(), bytes.size() - 1);
    // A bare LF carries nothing; classic agents hang up on it, but it does
    // no harm to the stream and some peers send it to keep a link alive.
    if (line.empty()) return;
    const auto frame = parse_line(line);
    if (!frame) {
        reject_malformed(peer, line);
        return;
    }
    // The payload's bytes, writable, up to and including the byte after it
    // (its LF, or the NUL that ended the line early).
    char* const payload_bytes = bytes.data() + (frame->payload.data() - line.data());
    switch (frame->type) {
        case static_cast<int>(MsgType::bye):
            drop(peer);
            break;
        case static_cast<int>(MsgType::add_regexp):
            on_add_regexp(peer, frame->id, frame->payload);
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
}

// Answered as classic agents answer it, since peers expect that: Error,
// Bye, and the connection closes once they are written.
void Agent::reject_malformed(Peer& peer, std::string_view line) {
    report("malformed line from %s: '%s': disconnecting", quote(peer.notes.name).c_str(),
           quote(line).c_str());
    send_line(peer, MsgType::error, bad_format_error_id, bad_format_text);
    send_line(peer, MsgType::bye, 0, "");
    table_.remove_owner(&peer);
    peer.finish(false, true, linger);
}

void Agent::on_start_regexp(Peer& peer, int port, std::string_view name) {
    peer.notes.name = std::string(name.substr(0, max_app_name_length));
    if (peer.notes.identified || port <= 0 || port > 65535) return;
    peer.notes.listen_port = static_cast<std::uint16_t>(port);
    identify(peer);
}

void Agent::on_add_regexp(Peer& peer, int id, std::string_view regexp) {
    if (peer.notes.doomed) return;
    const AddResult result = table_.add(&peer, id, regexp, max_bindings_per_peer);
    switch (result.outcome) {
        case AddOutcome::too_many:
            report("%s binds more than %zu regexps: '%s' ignored", quote(peer.notes.name).c_str(),
                   max_bindings_per_peer, quote(regexp).c_str());
            send_line(peer, MsgType::error, id, too_many_bindings_text);
            return;
        case AddOutcome::unchanged:
            tell_bind(peer, id, regexp, IvyChangeBind);
            return;
        case AddOutcome::replaced:
        case AddOutcome::added:
            break;
    }
    if (result.error != nullptr) {
        report("regexp '%s' from %s does not compile: %s", quote(regexp).c_str(),
               quote(peer.notes.name).c_str(), result.error->message.c_str());
        send_line(peer, MsgType::error, result.error->offset,
                  compile_error_text(regexp, *result.error));
    }
    tell_bind(peer, id, regexp, result.outcome == AddOutcome::added ? IvyAddBind : IvyChangeBind);
}

void Agent::on_del_regexp(Peer& peer, int id) {
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
