// Matching what we send against each peer's regexps, and when. See agent.h
// and ivy_limits.h (prompt_matching).
//
// Principles: time only schedules. A peer whose matching is prompt is
// matched within the send, so that a send's count is exact and its Msgs
// leave at once; any other peer waits its turn, and its matching goes on in
// slices between the loop's other work, so that the application's timers
// and the prompt peers are never held up by a costly one. Each peer gets
// every message that matches, in order: once one of its messages waits,
// the later ones wait behind it. What ends a peer is deterministic: its
// regexps hitting PCRE2's limits too often (max_limit_hits_per_peer), or
// the peer not reading what it is sent. A sender whose messages come
// faster than the machine matches them for a peer is held up instead
// (max_backlog_bytes).
#include <algorithm>
#include <asio/post.hpp>
#include <memory>
#include <string>

#include "agent.h"
#include "diagnostics.h"
#include "event_loop.h"
#include "match_clock.h"

namespace ivy {
namespace {

using Ns = std::chrono::nanoseconds;
using WallClock = std::chrono::steady_clock;

// The thread's CPU clock is a system call: read every this many regexps.
constexpr int clock_every = 16;

constexpr const char* bomber_text = "Your regexps hit the matching limits too often: disconnected";

}  // namespace

// One send's text, and the copy the peers that wait their turn share, made
// only when one does (so that a send where every peer is prompt allocates
// nothing). The copy counts in backlog_memory_ until the last peer is done
// with it.
struct Agent::SendRound {
    std::string_view text;
    std::shared_ptr<const std::string> copy;

    std::shared_ptr<const std::string> shared(std::size_t& memory) {
        if (copy) return copy;
        memory += text.size();
        copy = std::shared_ptr<const std::string>(
            new std::string(text), [&memory](const std::string* done) {
                memory -= done->size();
                delete done;  // NOLINT(cppcoreguidelines-owning-memory): the deleter's own
            });
        return copy;
    }
};

// The peers whose matching was prompt before are matched first, then the
// new ones; peers_ does not change during a send (peers go from handlers of
// their own, see close_now).
int Agent::send_matches(std::string_view text, Peer* only) {
    SendRound round{text, nullptr};
    const Ns started = MatchClock::thread_cpu_time();
    int count = 0;
    last_send_waiting_ = 0;
    for (const bool measured : {true, false}) {
        for (const auto& held : peers_) {
            Peer& peer = *held;
            const auto& backlog = peer.notes.backlog;
            if ((only != nullptr && &peer != only) || backlog.measured != measured) continue;
            if (!peer.sendable() || table_.count(&peer) == 0) continue;
            const bool waits = !backlog.messages.empty() || backlog.slow;
            if (waits || MatchClock::thread_cpu_time() - started > prompt_matching_total) {
                defer(peer, round, match_start, Ns{});
            } else {
                count += match_at_once(peer, round);
            }
        }
    }
    expel_bombers();
    return count;
}

// Up to prompt_matching of CPU time; the rest of the message waits its turn.
int Agent::match_at_once(Peer& peer, SendRound& round) {
    const Ns started = MatchClock::thread_cpu_time();
    Ns spent{};
    int count = 0;
    int since_clock = 0;
    const MatchPosition left = match_for(peer, round.text, match_start, count, [&] {
        if (++since_clock < clock_every) return true;
        since_clock = 0;
        spent = MatchClock::thread_cpu_time() - started;
        return spent <= prompt_matching;
    });
    auto& backlog = peer.notes.backlog;
    if (left == match_done) {
        backlog.measured = true;
    } else if (peer.sendable()) {
        backlog.slow = true;
        defer(peer, round, left, spent);
    }
    return count;
}

template <typename GoOn>
MatchPosition Agent::match_for(Peer& peer, std::string_view text, MatchPosition from, int& count,
                               GoOn&& go_on) {
    // A bomber stops at the very binding that makes it one: the count of
    // limits hit before it goes is the same on every machine.
    if (table_.limit_hits(&peer) > max_limit_hits_per_peer) {
        note_bomber(peer);
        return from;
    }
    bool hit = false;
    const auto bomber = [&] { return hit && table_.limit_hits(&peer) > max_limit_hits_per_peer; };
    const MatchPosition left = table_.match_owner(
        &peer, text, from,
        [&](const Holder& holder, MatchResult result, std::string_view payload) {
            hit = hit || result == MatchResult::limit_hit;
            deliver(peer, holder, result, payload, count);
        },
        [&] { return peer.sendable() && !bomber() && go_on(); });
    if (bomber()) note_bomber(peer);
    return left;
}

void Agent::deliver(Peer& peer, const Holder& holder, MatchResult result, std::string_view payload,
                    int& count) {
    if (!peer.sendable()) return;
    if (result != MatchResult::matched) {
        report_fault(peer, holder, result);
        return;
    }
    // Captures holding a line feed never get here: the payload is checked
    // once, by the pattern.
    if (peer.send(MsgType::msg, holder.id, OneLine::trusted(payload)) == PushResult::full) {
        overflowed(peer);
    } else {
        ++count;
    }
}

// `from` and `spent` are where the message stands for a peer that waited
// for nothing before it.
void Agent::defer(Peer& peer, SendRound& round, MatchPosition from, Ns spent) {
    auto& backlog = peer.notes.backlog;
    ++last_send_waiting_;
    if (backlog.messages.empty()) {
        backlog.resume_at = from;
        backlog.spent = spent;
    }
    backlog.messages.push_back(round.shared(backlog_memory_));
    backlog.bytes += round.text.size();
    // Past the bound the oldest is matched whole, now: a sender that outruns
    // the matching is held up rather than anyone being let go for the
    // machine's pace (the Msgs still come in order). A bomber stops it; it
    // goes once the send is over.
    while (backlog.bytes > max_backlog_bytes && backlog.messages.size() > 1 && peer.sendable()) {
        if (!match_oldest(peer, [] { return true; })) break;
    }
    join_matching_line(peer);
}

// Goes on with the peer's oldest waiting message while go_on() says so;
// true once that message is done.
template <typename GoOn>
bool Agent::match_oldest(Peer& peer, GoOn&& go_on) {
    auto& backlog = peer.notes.backlog;
    const Ns started = MatchClock::thread_cpu_time();
    int count = 0;
    const MatchPosition left =
        match_for(peer, *backlog.messages.front(), backlog.resume_at, count, go_on);
    backlog.spent += MatchClock::thread_cpu_time() - started;
    if (left != match_done) {
        backlog.resume_at = left;
        return false;
    }
    backlog.bytes -= backlog.messages.front()->size();
    backlog.messages.pop_front();
    backlog.resume_at = match_start;
    backlog.slow = backlog.spent > prompt_matching;
    backlog.measured = true;
    backlog.spent = Ns{};
    return true;
}

void Agent::join_matching_line(Peer& peer) {
    auto& backlog = peer.notes.backlog;
    if (!backlog.in_line) {
        backlog.in_line = true;
        matching_line_.push_back(peer.weak_from_this());
    }
    post_matching_slice();
}

void Agent::post_matching_slice() {
    if (matching_posted_) return;
    matching_posted_ = true;
    asio::post(loop_context(), [this] { serve_matching_line(); });
}

// One slice: peer after peer, each until its oldest message is done or the
// slice is over, then to the back of the line if it still waits.
void Agent::serve_matching_line() {
    matching_posted_ = false;
    const auto until = WallClock::now() + matching_slice;
    while (!matching_line_.empty() && WallClock::now() < until) {
        const auto peer = matching_line_.front().lock();
        matching_line_.pop_front();
        if (!peer) continue;
        peer->notes.backlog.in_line = false;
        serve_turn(*peer, until);
        expel_bombers();
        if (!peer->notes.backlog.messages.empty()) join_matching_line(*peer);
    }
    expel_bombers();
    if (!matching_line_.empty()) post_matching_slice();
}

void Agent::serve_turn(Peer& peer, WallClock::time_point until) {
    auto& backlog = peer.notes.backlog;
    while (!backlog.messages.empty()) {
        if (!peer.sendable()) {
            clear_backlog(peer);
            return;
        }
        if (!match_oldest(peer, [&] { return WallClock::now() < until; })) return;
        if (WallClock::now() >= until) return;
    }
}

void Agent::clear_backlog(Peer& peer) {
    auto& backlog = peer.notes.backlog;
    backlog.messages.clear();
    backlog.bytes = 0;
    backlog.resume_at = match_start;
}

// Let go after the send or the slice, not from within it: expel() winds the
// connection down, which must not happen while the peers are walked.
void Agent::note_bomber(Peer& peer) {
    if (std::find(bombers_.begin(), bombers_.end(), &peer) == bombers_.end()) {
        bombers_.push_back(&peer);
    }
}

void Agent::expel_bombers() {
    for (Peer* peer : bombers_) {
        if (!peer->sendable()) continue;
        report("%zu regexps of %s hit the matching limits: disconnecting", table_.limit_hits(peer),
               quote(peer->notes.name).c_str());
        clear_backlog(*peer);
        expel(*peer, bomber_text);
    }
    bombers_.clear();
}

}  // namespace ivy
