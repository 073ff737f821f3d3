// The process's agent on the bus: its name, its bindings, its peers, and the
// protocol spoken with them. The C facade (ivy_api.cpp) is a thin layer over
// this; tests reach the agent through that facade.
//
// Principles:
//  - One agent per process, on the process's loop (event_loop.h); every
//    entry point runs on the loop's thread.
//  - Exactly one connection per pair of agents. We do not connect to an
//    agent we already have a connection with (either way); when two exist
//    anyway (both started at once), both ends keep the one opened by the
//    agent with the smaller (IPv4 address, listening port) and let the other
//    go silently: the opener of the other one finishes it, the accepting end
//    waits for that. The application sees one peer throughout: if it had
//    been told about the connection that goes, the one that stays takes over
//    its handle and its "connected" state.
//  - Never a connection to ourselves: an announcement of our own address
//    and listening port is ours whatever app-id it carries, and a connection
//    that arrives from one of our own outgoing sockets is closed at once.
//  - What the application holds (IvyClientPtr, MsgRcvPtr) are numbers looked
//    up in tables, never pointers to our objects: a stale one is ignored.
//  - The application is only ever called from the loop's own handlers,
//    never from inside a send: a send cannot be re-entered.
//  - Everything a peer controls is bounded (ivy_limits.h) and its faults are
//    reported (diagnostics.h); the connection is kept wherever the stream is
//    still sound. What all peers hold together is bounded too: beyond
//    max_peer_memory_total the peers holding the most go first, and
//    compiling their regexps takes its turn (compile_share of the loop, a
//    peer with more to compile held unread until then), so that a crowd of
//    peers cannot starve the application's timers or its sends.
//  - The application hears Disconnected only for a peer it heard Connected
//    for (classic agents also report peers that never finished their
//    handshake), and nothing at all after its die callback: Die sends Bye to
//    every peer, closes everything and makes IvyMainLoop return.
#pragma once

#include <Ivy/ivy.h>

#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "binding_table.h"
#include "peer.h"
#include "time_bucket.h"

namespace ivy {

class Listener;
class Discovery;

// A connection to an announced agent that is not made by then is given up:
// the agent is gone, or a firewall drops our SYN.
inline constexpr std::chrono::milliseconds connect_timeout{10000};
// How long a connection we are closing may take to flush and to see the
// peer's end of stream, so that our last lines are read rather than reset.
inline constexpr std::chrono::milliseconds linger{2000};
// How long the accepting end of a duplicate connection waits for its opener
// to close it. Our agents do within a round trip; an agent that does not
// resolve duplicates never will, and is then closed by us.
inline constexpr std::chrono::milliseconds duplicate_grace{3000};

struct AgentCallbacks {
    IvyApplicationCallback application = nullptr;
    void* application_data = nullptr;
    IvyDieCallback die = nullptr;
    void* die_data = nullptr;
    IvyBindCallback bind = nullptr;
    void* bind_data = nullptr;
    IvyPongCallback pong = nullptr;
    MsgDirectCallback direct = nullptr;
    void* direct_data = nullptr;
};

class Agent final : public PeerEvents {
public:
    Agent();
    using Handle = std::uintptr_t;  // 0 is never a valid handle

    // Name, ready message (nullopt: none), callbacks. No network activity.
    void init(std::string name, std::optional<std::string> ready, const AgentCallbacks& cbs);
    AgentCallbacks& callbacks() { return callbacks_; }

    // Joins the bus described by text (already resolved: never empty).
    void start(std::string_view bus_text);
    // How many addresses the last start announced us on; 0 (reported) when
    // none could be used: no peer will ever hear of us.
    std::size_t announced_addresses() const { return announced_; }
    // Closes every connection and socket, without a word to the peers.
    void terminate();
    // Writes now what waits for the handler under way to return.
    void flush_all();

    // One Msg per matching (peer, binding); returns how many were queued
    // within the call. The peers that waited their turn for it: last_send_waiting().
    int send_text(std::string_view text);
    int last_send_waiting() const { return last_send_waiting_; }

    Handle bind(MsgCallback callback, void* user_data, std::string regexp);
    // New id for the same handle; 0 when handle is unknown.
    Handle change(Handle handle, std::string regexp);
    void unbind(Handle handle);

    // The live peer behind an application's handle, or nullptr.
    Peer* find(Handle handle);
    Peer* find_by_name(std::string_view name);
    // Peers the application may talk to, in connection order.
    std::vector<Peer*> live_peers();
    std::vector<std::string_view> regexps_of(Peer& peer);

    void send_error(Peer& peer, int id, std::string_view text);
    void send_die(Peer& peer);
    void send_direct(Peer& peer, int id, std::string_view text);
    void send_ping(Peer& peer);

    // PeerEvents
    void on_connected(Peer& peer) override;
    void on_connect_failed(Peer& peer, const asio::error_code& ec) override;
    bool on_line(Peer& peer, std::span<char> line) override;
    void on_overlong(Peer& peer, std::size_t count) override;
    void on_closed(Peer& peer, const asio::error_code& ec) override;
    void on_congestion(Peer& peer, bool congested) override;
    void on_memory_grew(Peer& peer) override;

private:
    struct LocalBinding {
        int id = 0;
        std::string regexp;
        MsgCallback callback = nullptr;
        void* user_data = nullptr;
    };

    // Connections (agent.cpp)
    void accept(asio::ip::tcp::socket socket);
    void on_announcement(std::uint32_t source_ip, const Announcement& announcement);
    bool already_connected(std::uint32_t ip, std::uint16_t port, std::string_view app_id) const;
    // Our own outgoing connection whose local end is ip:port, or nullptr.
    Peer* own_outgoing(std::uint32_t ip, std::uint16_t port) const;
    void add_peer(const std::shared_ptr<Peer>& peer);
    void identify(Peer& peer);
    void keep_one(Peer& a, Peer& b);
    void let_go(Peer& loser, Peer& winner);
    void stand_in_bindings(Peer& loser, Peer& winner);
    bool confirm_stand_in(Peer& peer, int id);
    void drop_stand_ins(Peer& peer);
    void drop(Peer& peer);
    void overflowed(Peer& peer);
    void close_now(Peer& peer, bool fifo_full);
    void forget_bindings(Peer& peer);
    void free_some_bindings();
    void check_memory();
    void shed_memory();
    void die(Peer& from, int id);
    void close_all(bool say_bye);
    void notify(Peer& peer, IvyApplicationEvent event);
    bool owns_handle(const Peer& peer) const;
    static IvyClientPtr client(const Peer& peer);

    // Lines from peers (agent_inbound.cpp)
    void reject_malformed(Peer& peer, std::string_view line);
    void on_start_regexp(Peer& peer, int port, std::string_view name);
    bool on_add_regexp(Peer& peer, int id, std::string_view regexp);
    bool may_compile(Peer& peer);
    void arm_compile_turn();
    void next_compile_turn();
    void refuse_regexp(Peer& peer, int id, std::string_view regexp, const AddResult& result);
    void on_del_regexp(Peer& peer, int id);
    void on_end_regexp(Peer& peer);
    void on_msg(Peer& peer, int id, std::string_view payload, char* writable);
    void on_direct(Peer& peer, int id, std::string_view text, char* writable);
    void on_pong(Peer& peer, int id);
    void on_unknown(Peer& peer, int type, std::string_view line);
    void tell_bind(Peer& peer, int id, std::string_view regexp, IvyBindEvent event);

    // Matching what we send, at once or in turns (agent_matching.cpp)
    struct SendRound;
    int send_matches(std::string_view text, Peer* only);
    int match_at_once(Peer& peer, SendRound& round);
    template <typename GoOn>
    MatchPosition match_for(Peer& peer, std::string_view text, MatchPosition from, int& count,
                            GoOn&& go_on);
    void deliver(Peer& peer, const Holder& holder, MatchResult result, std::string_view payload,
                 int& count);
    void defer(Peer& peer, SendRound& round, MatchPosition from, std::chrono::nanoseconds spent);
    void join_matching_line(Peer& peer);
    void post_matching_slice();
    void serve_matching_line();
    void serve_turn(Peer& peer, std::chrono::steady_clock::time_point until);
    template <typename GoOn>
    bool match_oldest(Peer& peer, GoOn&& go_on);
    void clear_backlog(Peer& peer);
    void note_bomber(Peer& peer);
    void expel_bombers();

    // Lines to peers (agent_outbound.cpp)
    void send_handshake(Peer& peer);
    void send_ready(Peer& peer);
    void report_fault(Peer& peer, const Holder& holder, MatchResult result);
    void expel(Peer& peer, std::string_view error_text);
    void send_line(Peer& peer, MsgType type, int id, std::string_view payload);
    void send_to_all(MsgType type, int id, std::string_view payload);

    std::string name_ = "IVYAPP";
    std::optional<std::string> ready_;
    AgentCallbacks callbacks_;

    bool started_ = false;
    std::uint16_t port_ = 0;  // our TCP port; 0 without a listener
    std::size_t announced_ = 0;
    std::string app_id_;
    std::shared_ptr<Listener> listener_;
    std::shared_ptr<Discovery> discovery_;

    // Before peers_: the messages their backlogs share give their bytes
    // back here as they go (agent_matching.cpp).
    std::size_t backlog_memory_ = 0;
    std::vector<std::shared_ptr<Peer>> peers_;
    std::unordered_map<Handle, Peer*> clients_;  // the application's handles
    Handle next_client_ = 1;
    BindingTable table_;

    // Compiling peers' regexps, all peers together: the time left, the
    // peers held until their turn, in line, and the one whose turn it is.
    TimeBucket compile_time_{compile_slice, compile_share, TimeBucket::Clock::now()};
    std::deque<std::weak_ptr<Peer>> waiting_to_compile_;
    std::weak_ptr<Peer> compile_turn_of_;
    asio::steady_timer compile_turn_;
    bool compile_turn_armed_ = false;
    bool shedding_ = false;  // shed_memory() is under way
    // Peers whose matching waits its turn, in turn; whether a slice of
    // serve_matching_line() is posted; the bytes of the messages waiting
    // (each counted once, however many peers wait for it).
    std::deque<std::weak_ptr<Peer>> matching_line_;
    bool matching_posted_ = false;
    int last_send_waiting_ = 0;
    std::vector<Peer*> bombers_;  // to let go once the send is over
    // Peers let go whose bindings are still being freed, oldest first.
    std::deque<std::shared_ptr<Peer>> graveyard_;

    std::map<int, LocalBinding> bindings_;         // by id; ids never reused
    std::unordered_map<Handle, int> binding_ids_;  // MsgRcvPtr -> id
    int next_binding_id_ = 0;
    Handle next_binding_handle_ = 1;
};

// The process's agent.
Agent& the_agent();

}  // namespace ivy
