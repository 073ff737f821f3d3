// The agent's lines to its peers: handshake, ready message, Msgs, bindings
// and the application's direct requests. See agent.h.
#include <asio/post.hpp>
#include <chrono>

#include "agent.h"
#include "diagnostics.h"
#include "event_loop.h"
#include "ivy_limits.h"

namespace ivy {
namespace {

// Bit of Holder::reported for each fault, so each is reported once per
// (peer, binding).
std::uint32_t fault_bit(MatchResult result) {
    return 1u << static_cast<unsigned>(result);
}

const char* fault_text(MatchResult result) {
    switch (result) {
        case MatchResult::unsafe_capture:
            return "a capture holds a line feed or carriage return";
        case MatchResult::too_many_groups:
            return "the regexp has more groups than a Msg may carry";
        default:
            return "";
    }
}

constexpr const char* limit_hit_text = "Regexp hit the matching limits: no longer matched";

}  // namespace

void Agent::send_line(Peer& peer, MsgType type, int id, std::string_view payload) {
    if (!peer.sendable()) return;
    switch (peer.send(type, id, payload)) {
        case PushResult::queued:
            break;
        case PushResult::full:
            overflowed(peer);
            break;
        case PushResult::refused:
            report("a line for %s holds a line feed: not sent", quote(peer.notes.name).c_str());
            break;
    }
}

// The payload is checked once, not once per peer.
void Agent::send_to_all(MsgType type, int id, std::string_view payload) {
    const auto one_line = OneLine::checked(payload);
    if (!one_line) {
        report("a line for every peer holds a line feed: not sent");
        return;
    }
    for (Peer* peer : live_peers()) {
        if (peer->send(type, id, *one_line) == PushResult::full) overflowed(*peer);
    }
}

// Bindings newest first, as classic agents list them.
void Agent::send_handshake(Peer& peer) {
    send_line(peer, MsgType::start_regexp, port_, name_);
    for (auto it = bindings_.rbegin(); it != bindings_.rend(); ++it) {
        if (it->second.regexp.find('\n') != std::string::npos) continue;
        send_line(peer, MsgType::add_regexp, it->first, it->second.regexp);
    }
    send_line(peer, MsgType::end_regexp, 0, "");
}

void Agent::send_ready(Peer& peer) {
    if (!ready_ || peer.notes.ready_sent) return;
    peer.notes.ready_sent = true;
    send_matches(without_final_lf(*ready_), &peer);
}

int Agent::send_text(std::string_view text) {
    return send_matches(without_final_lf(text), nullptr);
}

// A regexp that hit the limits once will hit them again on messages like
// this one: the table no longer runs it for this peer, who is told why.
void Agent::report_fault(Peer& peer, const Holder& holder, MatchResult result) {
    if ((holder.reported & fault_bit(result)) != 0) return;
    holder.reported |= fault_bit(result);
    if (result == MatchResult::limit_hit) {
        report("regexp %d of %s hit the matching limits: no longer matched", holder.id,
               quote(peer.notes.name).c_str());
        send_line(peer, MsgType::error, holder.id, limit_hit_text);
        return;
    }
    report("Msg for regexp %d of %s not sent: %s (reported once)", holder.id,
           quote(peer.notes.name).c_str(), fault_text(result));
}

// Error and Bye, then the connection winds down; its bindings are left out
// of every match now, and freed soon after (forget_bindings).
void Agent::expel(Peer& peer, std::string_view error_text) {
    send_line(peer, MsgType::error, 0, error_text);
    send_line(peer, MsgType::bye, 0, "");
    forget_bindings(peer);
    peer.finish(false, true, linger);
}

Agent::Handle Agent::bind(MsgCallback callback, void* user_data, std::string regexp) {
    if (regexp.find('\n') != std::string::npos) {
        report("regexp '%s' holds a line feed: it cannot be sent to peers", quote(regexp).c_str());
    } else if (CompileError error; !Pattern::compile(regexp, &error)) {
        // Peers compile it too and will say so; telling the application's own
        // stderr is what makes the mistake findable.
        report("regexp '%s' does not compile: %s", quote(regexp).c_str(), error.message.c_str());
    }
    const int id = next_binding_id_++;
    bindings_[id] = LocalBinding{id, std::move(regexp), callback, user_data};
    const Handle handle = next_binding_handle_++;
    binding_ids_.emplace(handle, id);
    send_to_all(MsgType::add_regexp, id, bindings_[id].regexp);
    return handle;
}

// A new id rather than the same id with another text: classic agents keep
// both texts under one id and crash when that peer goes.
Agent::Handle Agent::change(Handle handle, std::string regexp) {
    const auto it = binding_ids_.find(handle);
    if (it == binding_ids_.end()) return 0;
    LocalBinding binding = bindings_[it->second];
    unbind(handle);
    const Handle fresh = bind(binding.callback, binding.user_data, std::move(regexp));
    const int id = binding_ids_[fresh];
    binding_ids_.erase(fresh);
    binding_ids_.emplace(handle, id);
    return handle;
}

void Agent::unbind(Handle handle) {
    const auto it = binding_ids_.find(handle);
    if (it == binding_ids_.end()) return;
    const int id = it->second;
    binding_ids_.erase(it);
    bindings_.erase(id);
    send_to_all(MsgType::del_regexp, id, "");
}

void Agent::send_error(Peer& peer, int id, std::string_view text) {
    send_line(peer, MsgType::error, id, without_final_lf(text));
}

void Agent::send_die(Peer& peer) {
    send_line(peer, MsgType::die, 0, "");
}

void Agent::send_direct(Peer& peer, int id, std::string_view text) {
    send_line(peer, MsgType::direct_msg, id, without_final_lf(text));
}

void Agent::send_ping(Peer& peer) {
    if (callbacks_.pong == nullptr) return;  // nobody to hear the answer
    peer.notes.last_ping_id += 1;
    peer.notes.ping_sent = std::chrono::steady_clock::now();
    send_line(peer, MsgType::ping, peer.notes.last_ping_id, "");
}

}  // namespace ivy
