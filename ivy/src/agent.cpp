// The agent's connections: joining the bus, accepting and making
// connections, keeping one connection per pair of agents, and letting peers
// go. See agent.h for the principles.
#include "agent.h"

#include <algorithm>
#include <asio/post.hpp>
#include <chrono>
#include <random>
#include <tuple>

#include "diagnostics.h"
#include "discovery.h"
#include "event_loop.h"
#include "ivy_limits.h"
#include "listener.h"
#include "own_addresses.h"

namespace ivy {
namespace {

// Freeing the bindings of peers let go takes at most this at a time.
constexpr std::chrono::milliseconds freeing_slice{1};

std::string make_app_id(std::uint16_t port) {
    std::random_device seed;
    std::uniform_int_distribution<long> pick(0, 2147483647L);
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::system_clock::now().time_since_epoch())
                        .count();
    return std::to_string(pick(seed)) + ":" + std::to_string(ms) + ":" + std::to_string(port);
}

}  // namespace

Agent& the_agent() {
    // Made after the loop (the constructor's members use it), so destroyed
    // before it at exit.
    loop_context();
    static Agent agent;
    return agent;
}

Agent::Agent() : compile_turn_(loop_context()) {}

void Agent::init(std::string name, std::optional<std::string> ready, const AgentCallbacks& cbs) {
    name_ = std::move(name);
    // It goes into a line of its own (StartRegexp), as the announcement's
    // codec also makes sure.
    std::replace(name_.begin(), name_.end(), '\n', ' ');
    ready_ = std::move(ready);
    callbacks_.application = cbs.application;
    callbacks_.application_data = cbs.application_data;
    callbacks_.die = cbs.die;
    callbacks_.die_data = cbs.die_data;
}

void Agent::start(std::string_view bus_text) {
    if (started_) {
        report("IvyStart called again without IvyTerminate: ignored");
        return;
    }
    started_ = true;
    loop_on_return([] { the_agent().flush_all(); });
    const BusAddress bus = parse_bus_address(bus_text);
    for (const auto& problem : bus.problems) {
        report("bus '%s': %s", quote(bus_text).c_str(), problem.c_str());
    }
    listener_ =
        std::make_shared<Listener>([this](asio::ip::tcp::socket s) { accept(std::move(s)); });
    port_ = listener_->open();
    app_id_ = make_app_id(port_);
    discovery_ = std::make_shared<Discovery>(
        [this](std::uint32_t ip, const Announcement& a) { on_announcement(ip, a); });
    const bool discovering = discovery_->open(bus.port);
    // Without a listener nobody could answer our announcement; we still hear
    // theirs and connect to them. Once only: every agent binds its bus socket
    // before announcing, so of two agents at least one hears the other, and
    // the socket's buffer holds a crowd's worth (scripts/crowd). A repeat
    // would make every classic agent connect again, and closing that
    // duplicate shows its application a live peer as disconnected.
    if (discovering && port_ != 0) {
        announced_ = discovery_->announce(plan_announcements(bus), bus.port,
                                          format_announcement(port_, app_id_, name_));
    }
    if (announced_ == 0) {
        report("bus '%s': no usable address, no agent will hear of us", quote(bus_text).c_str());
    }
}

void Agent::terminate() {
    close_all(false);
}

void Agent::close_all(bool say_bye) {
    if (listener_) listener_->close();
    if (discovery_) discovery_->close();
    listener_.reset();
    discovery_.reset();
    const auto peers = peers_;
    for (const auto& peer : peers) {
        if (say_bye && peer->sendable()) peer->send(MsgType::bye, 0, "");
        peer->flush();  // what this handler queued, Bye included
        peer->close();
        table_.remove_owner(peer.get());
    }
    peers_.clear();
    clients_.clear();
    started_ = false;
    port_ = 0;
    announced_ = 0;
}

void Agent::flush_all() {
    for (const auto& peer : peers_) peer->flush();
}

void Agent::accept(asio::ip::tcp::socket socket) {
    if (peers_.size() >= max_peers) {
        report("connection refused: already %zu peers", peers_.size());
        return;  // the socket closes as it goes out of scope
    }
    auto peer = Peer::accepted(std::move(socket), *this);
    if (Peer* ours = own_outgoing(peer->remote_ip, peer->remote_port)) {
        report("connection from our own socket to %s:%u closed", ours->remote_host.c_str(),
               static_cast<unsigned>(ours->remote_port));
        peer->close();
        drop(*ours);
        return;
    }
    peer->notes.name = peer->remote_host + ":" + std::to_string(peer->remote_port);
    add_peer(peer);
    send_handshake(*peer);
    peer->start();
}

void Agent::on_announcement(std::uint32_t source_ip, const Announcement& a) {
    if (!a.app_id.empty() && a.app_id == app_id_) return;  // our own
    const auto port = static_cast<std::uint16_t>(a.port);
    if (port_ != 0 && port == port_ && is_own_address(source_ip)) {
        report("announcement of our own address and port under app-id '%s' ignored",
               quote(a.app_id).c_str());
        return;
    }
    if (already_connected(source_ip, port, a.app_id)) return;
    if (peers_.size() >= max_peers) {
        report("announcement of %s ignored: already %zu peers", quote(a.app_name).c_str(),
               peers_.size());
        return;
    }
    const asio::ip::tcp::endpoint to(asio::ip::address_v4(source_ip), port);
    auto peer = Peer::connect(to, connect_timeout, *this);
    peer->notes.listen_port = port;
    peer->notes.app_id = std::string(a.app_id);
    peer->notes.name = std::string(a.app_name);
    add_peer(peer);
}

bool Agent::already_connected(std::uint32_t ip, std::uint16_t port, std::string_view app_id) const {
    return std::any_of(peers_.begin(), peers_.end(), [&](const auto& p) {
        if (p->closed()) return false;
        if (!app_id.empty() && p->notes.app_id == app_id) return true;
        return p->notes.listen_port == port && p->remote_ip == ip;
    });
}

// The whole pair of ends must match: the kernel gives one local port to
// several outgoing connections as long as they go to different places.
Peer* Agent::own_outgoing(std::uint32_t ip, std::uint16_t port) const {
    for (const auto& p : peers_) {
        if (p->direction == Direction::outgoing && !p->closed() && p->local_port == port &&
            p->local_ip == ip && p->remote_port == port_ && is_own_address(p->remote_ip)) {
            return p.get();
        }
    }
    return nullptr;
}

void Agent::add_peer(const std::shared_ptr<Peer>& peer) {
    peer->notes.handle = next_client_++;
    clients_.emplace(peer->notes.handle, peer.get());
    peers_.push_back(peer);
}

void Agent::on_connected(Peer& peer) {
    // TCP lets a connect to a free local port in the ephemeral range meet
    // itself (simultaneous open): that is no peer.
    if (peer.local_port == peer.remote_port && peer.local_ip == peer.remote_ip) {
        report("connection to %s:%u reached ourselves: closed", peer.remote_host.c_str(),
               static_cast<unsigned>(peer.remote_port));
        drop(peer);
        return;
    }
    send_handshake(peer);
    identify(peer);
    peer.start();
}

void Agent::on_connect_failed(Peer& peer, const asio::error_code& ec) {
    report("cannot connect to %s at %s:%u: %s", quote(peer.notes.name).c_str(),
           peer.remote_host.c_str(), static_cast<unsigned>(peer.remote_port), ec.message().c_str());
    drop(peer);
}

// Called once per connection, when the peer's listening port is known: at
// connect for ours, at its StartRegexp for theirs.
void Agent::identify(Peer& peer) {
    if (peer.notes.identified || peer.notes.listen_port == 0) return;
    peer.notes.identified = true;
    for (const auto& other : peers_) {
        if (other.get() == &peer || other->closed() || other->connecting()) continue;
        if (!other->notes.identified || other->notes.doomed) continue;
        if (other->remote_ip == peer.remote_ip &&
            other->notes.listen_port == peer.notes.listen_port) {
            keep_one(peer, *other);
            return;
        }
    }
}

// Both ends compute the same answer: the connection's opener identity is
// (its address as the connection shows it, its listening port) whichever
// end looks at it.
void Agent::keep_one(Peer& newer, Peer& older) {
    const auto opener = [this](const Peer& p) {
        return p.direction == Direction::outgoing
                   ? std::make_tuple(p.local_ip, port_)
                   : std::make_tuple(p.remote_ip, p.notes.listen_port);
    };
    if (opener(newer) < opener(older)) {
        let_go(older, newer);
    } else {
        let_go(newer, older);
    }
}

void Agent::let_go(Peer& loser, Peer& winner) {
    loser.notes.doomed = true;
    if (!winner.notes.end_seen) stand_in_bindings(loser, winner);
    forget_bindings(loser);
    if (loser.notes.reported && !winner.notes.reported) {
        clients_.erase(winner.notes.handle);
        winner.notes.handle = loser.notes.handle;
        clients_[winner.notes.handle] = &winner;
        winner.notes.reported = true;
    } else {
        if (owns_handle(loser)) clients_.erase(loser.notes.handle);
        loser.notes.handle = winner.notes.handle;
    }
    loser.notes.reported = false;
    // The peer takes in the lines of the losing connection until it ends, so
    // a ready message sent there has arrived: the winner must not repeat it.
    if (loser.notes.ready_sent) winner.notes.ready_sent = true;
    if (loser.direction == Direction::outgoing) {
        loser.finish(true, true, linger);
    } else {
        loser.finish(true, false, duplicate_grace);
    }
}

// The winner's own bindings may still be on their way: until its handshake
// ends, those the losing connection brought stand in for them, or a send
// meanwhile would miss a peer the application was told is connected (and
// whose bindings it heard of). They are the same peer's, so the texts are
// compiled already. The application is not told of them again; those the
// winner's handshake does not hold go at its end.
void Agent::stand_in_bindings(Peer& loser, Peer& winner) {
    std::vector<int> held;
    table_.for_each_binding(&winner, [&](int id, std::string_view) { held.push_back(id); });
    std::vector<std::pair<int, std::string>> theirs;
    table_.for_each_binding(&loser, [&](int id, std::string_view text) {
        if (!std::binary_search(held.begin(), held.end(), id)) theirs.emplace_back(id, text);
    });
    for (const auto& [id, text] : theirs) {
        if (table_.add(&winner, id, text).outcome == AddOutcome::added)
            winner.notes.stand_ins.push_back(id);
    }
}

// Whether id stood in until now.
bool Agent::confirm_stand_in(Peer& peer, int id) {
    auto& ids = peer.notes.stand_ins;
    const auto it = std::find(ids.begin(), ids.end(), id);
    if (it == ids.end()) return false;
    ids.erase(it);
    return true;
}

void Agent::drop_stand_ins(Peer& peer) {
    for (const int id : peer.notes.stand_ins) {
        if (const auto removed = table_.remove(&peer, id))
            tell_bind(peer, id, *removed, IvyRemoveBind);
    }
    peer.notes.stand_ins.clear();
}

bool Agent::owns_handle(const Peer& peer) const {
    const auto it = clients_.find(peer.notes.handle);
    return it != clients_.end() && it->second == &peer;
}

IvyClientPtr Agent::client(const Peer& peer) {
    return reinterpret_cast<IvyClientPtr>(peer.notes.handle);
}

void Agent::notify(Peer& peer, IvyApplicationEvent event) {
    if (callbacks_.application == nullptr || !peer.notes.reported || !owns_handle(peer)) return;
    callbacks_.application(client(peer), callbacks_.application_data, event);
}

// Forgets a peer whose connection is closed or closing; the application
// hears of it if it had heard of the peer.
void Agent::drop(Peer& peer) {
    const auto it =
        std::find_if(peers_.begin(), peers_.end(), [&](const auto& p) { return p.get() == &peer; });
    if (it == peers_.end()) return;
    const std::shared_ptr<Peer> keep = *it;
    peer.close();
    forget_bindings(peer);
    notify(peer, IvyApplicationDisconnected);
    if (owns_handle(peer)) clients_.erase(peer.notes.handle);
    // The application may have closed everything from its callback.
    const auto still = std::find(peers_.begin(), peers_.end(), keep);
    if (still != peers_.end()) peers_.erase(still);
}

void Agent::on_closed(Peer& peer, const asio::error_code&) {
    drop(peer);
}

void Agent::on_congestion(Peer& peer, bool congested) {
    if (peer.notes.doomed) return;
    notify(peer, congested ? IvyApplicationCongestion : IvyApplicationDecongestion);
}

// Called from inside a send: the peer is closed at once (no more lines go to
// it), the application and the bookkeeping hear of it from the loop.
void Agent::overflowed(Peer& peer) {
    report("%s stopped reading (%zu bytes waiting): disconnected", quote(peer.notes.name).c_str(),
           peer.queued_bytes());
    close_now(peer, true);
}

void Agent::close_now(Peer& peer, bool fifo_full) {
    forget_bindings(peer);
    peer.close();
    auto keep =
        std::find_if(peers_.begin(), peers_.end(), [&](const auto& p) { return p.get() == &peer; });
    if (keep == peers_.end()) return;
    asio::post(loop_context(), [this, p = *keep, fifo_full] {
        if (fifo_full) notify(*p, IvyApplicationFifoFull);
        drop(*p);
    });
}

// Leaves the peer's bindings out of every match now, and frees them a few at
// a time in handlers of their own: freeing a thousand compiled regexps takes
// milliseconds, and a crowd let go at once would otherwise hold the loop for
// as long as all of theirs take. The peer is kept until then, so that no
// newcomer at its address could inherit them.
void Agent::forget_bindings(Peer& peer) {
    table_.suspend(&peer);
    if (peer.notes.forgotten || table_.count(&peer) == 0) return;
    peer.notes.forgotten = true;
    graveyard_.push_back(peer.shared_from_this());
    if (graveyard_.size() == 1) asio::post(loop_context(), [this] { free_some_bindings(); });
}

void Agent::free_some_bindings() {
    const auto until = std::chrono::steady_clock::now() + freeing_slice;
    while (!graveyard_.empty() && std::chrono::steady_clock::now() < until) {
        if (table_.remove_owner(graveyard_.front().get(), 32)) graveyard_.pop_front();
    }
    if (!graveyard_.empty()) asio::post(loop_context(), [this] { free_some_bindings(); });
}

void Agent::on_memory_grew(Peer&) {
    check_memory();
}

void Agent::check_memory() {
    if (Peer::memory_total() + table_.memory() + backlog_memory_ > max_peer_memory_total) {
        shed_memory();
    }
}

// The peers that still take part, holding the most first, are let go until
// the rest fit. Those already on their way out are not counted: their
// buffers are gone and their bindings about to be (forget_bindings).
// Allocates, but only on the way past the bound.
void Agent::shed_memory() {
    if (shedding_) return;  // the Error lines below can grow buffers too
    shedding_ = true;
    std::vector<std::pair<std::size_t, Peer*>> held;
    std::size_t rest = 0;
    for (const auto& p : peers_) {
        if (!p->sendable()) continue;
        held.emplace_back(p->memory() + table_.memory_of(p.get()), p.get());
        rest += held.back().first;
    }
    std::sort(held.begin(), held.end(),
              [](const auto& a, const auto& b) { return a.first > b.first; });
    for (const auto& [memory, peer] : held) {
        if (rest <= max_peer_memory_total) break;
        rest -= memory;
        report(
            "%s holds %zu bytes, the most of all peers, who hold more than %zu together: "
            "disconnecting",
            quote(peer->notes.name).c_str(), memory, max_peer_memory_total);
        peer->send(MsgType::error, 0, "You hold the most memory on a crowded bus: disconnected");
        peer->send(MsgType::bye, 0, "");
        peer->flush();
        close_now(*peer, false);
    }
    shedding_ = false;
}

void Agent::die(Peer& from, int id) {
    // Obeyed at once and by every agent alike, so the log must say who asked.
    report("Die from %s at %s: leaving the bus", quote(from.notes.name).c_str(),
           from.remote_host.c_str());
    if (callbacks_.die != nullptr) callbacks_.die(client(from), callbacks_.die_data, id);
    close_all(true);
    loop_request_stop();
}

void Agent::on_overlong(Peer& peer, std::size_t count) {
    report("%zu line(s) longer than %zu bytes from %s skipped", count, max_line_length,
           quote(peer.notes.name).c_str());
}

Peer* Agent::find(Handle handle) {
    const auto it = clients_.find(handle);
    return it == clients_.end() ? nullptr : it->second;
}

Peer* Agent::find_by_name(std::string_view name) {
    for (Peer* peer : live_peers()) {
        if (peer->notes.name == name) return peer;
    }
    return nullptr;
}

std::vector<Peer*> Agent::live_peers() {
    std::vector<Peer*> out;
    for (const auto& p : peers_) {
        if (p->sendable() && !p->notes.doomed) out.push_back(p.get());
    }
    return out;
}

std::vector<std::string_view> Agent::regexps_of(Peer& peer) {
    std::vector<std::string_view> out;
    table_.for_each_binding(&peer, [&](int, std::string_view text) { out.push_back(text); });
    return out;
}

}  // namespace ivy
