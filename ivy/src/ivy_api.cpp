// The C facade of ivy.h over the agent (agent.h). Every function runs on the
// loop's thread. Nothing here lets an exception out into C: a failure that
// throws (memory exhausted) is reported and the call does nothing.
#include <Ivy/ivy.h>
#include <Ivy/ivychannel.h>

#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "agent.h"
#include "bus_address.h"
#include "event_loop.h"
#include "facade_guard.h"

namespace {

// The public default and the parser's are one text.
static_assert(ivy::default_bus == IVY_DEFAULT_BUS);

using ivy::Agent;
using ivy::guarded;
using ivy::the_agent;

// Formats into buffer (kept between calls, so a steady sender does not
// allocate). Returns the text, without the terminating NUL.
std::string_view format_into(std::string& buffer, const char* fmt, va_list args) {
    va_list again;
    va_copy(again, args);
    if (buffer.size() < 256) buffer.resize(256);
    int n = std::vsnprintf(buffer.data(), buffer.size(), fmt, args);
    if (n >= 0 && static_cast<std::size_t>(n) >= buffer.size()) {
        buffer.resize(static_cast<std::size_t>(n) + 1);
        n = std::vsnprintf(buffer.data(), buffer.size(), fmt, again);
    }
    va_end(again);
    if (n < 0) return {};
    return std::string_view(buffer.data(), static_cast<std::size_t>(n));
}

std::string format_string(const char* fmt, va_list args) {
    std::string buffer;
    return std::string(format_into(buffer, fmt, args));
}

Agent::Handle handle_of(IvyClientPtr app) {
    return reinterpret_cast<Agent::Handle>(app);
}

ivy::Peer* peer_of(IvyClientPtr app) {
    return app == nullptr ? nullptr : the_agent().find(handle_of(app));
}

Agent::Handle handle_of(MsgRcvPtr binding) {
    return reinterpret_cast<Agent::Handle>(binding);
}

MsgRcvPtr binding_ptr(Agent::Handle handle) {
    return reinterpret_cast<MsgRcvPtr>(handle);
}

}  // namespace

extern "C" {

void IvyInit(const char* AppName, const char* ready, IvyApplicationCallback callback, void* data,
             IvyDieCallback die_callback, void* die_data) {
    guarded("IvyInit", [&] {
        std::signal(SIGPIPE, SIG_IGN);
        ivy::loop_reset_stop();
        IvyChannelInit();
        ivy::AgentCallbacks cbs;
        cbs.application = callback;
        cbs.application_data = data;
        cbs.die = die_callback;
        cbs.die_data = die_data;
        std::optional<std::string> ready_text;
        if (ready != nullptr) ready_text = ready;
        the_agent().init(AppName != nullptr ? AppName : "", std::move(ready_text), cbs);
    });
}

void IvyStart(const char* bus) {
    guarded("IvyStart", [&] {
        std::string_view text = bus != nullptr ? bus : "";
        if (text.empty()) {
            const char* env = std::getenv("IVYBUS");
            text = env != nullptr && *env != '\0' ? std::string_view(env) : ivy::default_bus;
        }
        the_agent().start(text);
    });
}

int IvyAnnouncedAddressCount(void) {
    return guarded("IvyAnnouncedAddressCount",
                   [] { return static_cast<int>(the_agent().announced_addresses()); });
}

void IvyTerminate(void) {
    guarded("IvyTerminate", [] { the_agent().terminate(); });
}

int IvySendMsg(const char* fmt_message, ...) {
    if (fmt_message == nullptr || *fmt_message == '\0') return 0;
    static std::string buffer;
    va_list args;
    va_start(args, fmt_message);
    const int count = guarded("IvySendMsg", [&] {
        return the_agent().send_text(format_into(buffer, fmt_message, args));
    });
    va_end(args);
    return count;
}

int IvySendMsgWaiting(void) {
    return guarded("IvySendMsgWaiting", [] { return the_agent().last_send_waiting(); });
}

MsgRcvPtr IvyBindMsg(MsgCallback callback, void* user_data, const char* fmt_regexp, ...) {
    if (fmt_regexp == nullptr) return nullptr;
    va_list args;
    va_start(args, fmt_regexp);
    const MsgRcvPtr handle = guarded("IvyBindMsg", [&] {
        return binding_ptr(the_agent().bind(callback, user_data, format_string(fmt_regexp, args)));
    });
    va_end(args);
    return handle;
}

MsgRcvPtr IvyChangeMsg(MsgRcvPtr msg, const char* fmt_regex, ...) {
    if (msg == nullptr || fmt_regex == nullptr) return msg;
    va_list args;
    va_start(args, fmt_regex);
    const MsgRcvPtr handle = guarded("IvyChangeMsg", [&] {
        return binding_ptr(the_agent().change(handle_of(msg), format_string(fmt_regex, args)));
    });
    va_end(args);
    return handle;
}

void IvyUnbindMsg(MsgRcvPtr id) {
    if (id == nullptr) return;
    guarded("IvyUnbindMsg", [&] { the_agent().unbind(handle_of(id)); });
}

const char* IvyGetApplicationName(IvyClientPtr app) {
    const ivy::Peer* peer = guarded("IvyGetApplicationName", [&] { return peer_of(app); });
    return peer != nullptr ? peer->notes.name.c_str() : "Unknown";
}

const char* IvyGetApplicationHost(IvyClientPtr app) {
    const ivy::Peer* peer = guarded("IvyGetApplicationHost", [&] { return peer_of(app); });
    return peer != nullptr ? peer->remote_host.c_str() : nullptr;
}

IvyClientPtr IvyGetApplication(char* name) {
    if (name == nullptr) return nullptr;
    return guarded("IvyGetApplication", [&] {
        const ivy::Peer* peer = the_agent().find_by_name(name);
        return peer != nullptr ? reinterpret_cast<IvyClientPtr>(peer->notes.handle) : nullptr;
    });
}

char* IvyGetApplicationList(const char* sep) {
    static std::string list;
    guarded("IvyGetApplicationList", [&] {
        list.clear();
        for (const ivy::Peer* peer : the_agent().live_peers()) {
            list += peer->notes.name;
            list += sep != nullptr ? sep : " ";
        }
    });
    return list.data();
}

char** IvyGetApplicationMessages(IvyClientPtr app) {
    static std::vector<std::string> texts;
    static std::vector<char*> pointers;
    guarded("IvyGetApplicationMessages", [&] {
        texts.clear();
        pointers.clear();
        if (ivy::Peer* peer = peer_of(app)) {
            for (const auto text : the_agent().regexps_of(*peer)) texts.emplace_back(text);
        }
        for (auto& text : texts) pointers.push_back(text.data());
        pointers.push_back(nullptr);
    });
    return pointers.empty() ? nullptr : pointers.data();
}

void IvySetBindCallback(IvyBindCallback bind_callback, void* bind_data) {
    guarded("IvySetBindCallback", [&] {
        the_agent().callbacks().bind = bind_callback;
        the_agent().callbacks().bind_data = bind_data;
    });
}

void IvySetPongCallback(IvyPongCallback pong_callback) {
    guarded("IvySetPongCallback", [&] { the_agent().callbacks().pong = pong_callback; });
}

void IvySendError(IvyClientPtr app, int id, const char* fmt, ...) {
    ivy::Peer* peer = guarded("IvySendError", [&] { return peer_of(app); });
    if (peer == nullptr || fmt == nullptr) return;
    va_list args;
    va_start(args, fmt);
    guarded("IvySendError", [&] { the_agent().send_error(*peer, id, format_string(fmt, args)); });
    va_end(args);
}

void IvySendDieMsg(IvyClientPtr app) {
    guarded("IvySendDieMsg", [&] {
        if (ivy::Peer* peer = peer_of(app)) the_agent().send_die(*peer);
    });
}

void IvyBindDirectMsg(MsgDirectCallback callback, void* user_data) {
    guarded("IvyBindDirectMsg", [&] {
        the_agent().callbacks().direct = callback;
        the_agent().callbacks().direct_data = user_data;
    });
}

void IvySendDirectMsg(IvyClientPtr app, int id, char* msg) {
    ivy::Peer* peer = guarded("IvySendDirectMsg", [&] { return peer_of(app); });
    if (peer == nullptr || msg == nullptr) return;
    guarded("IvySendDirectMsg", [&] { the_agent().send_direct(*peer, id, msg); });
}

void IvySendPing(IvyClientPtr app) {
    guarded("IvySendPing", [&] {
        if (ivy::Peer* peer = peer_of(app)) the_agent().send_ping(*peer);
    });
}

// Classic agents print connections and bindings on standard output here;
// this library writes nothing there, so these are accepted and do nothing.
void IvyDefaultApplicationCallback(IvyClientPtr, void*, IvyApplicationEvent) {}

void IvyDefaultBindCallback(IvyClientPtr, void*, int, const char*, IvyBindEvent) {}

}  // extern "C"
