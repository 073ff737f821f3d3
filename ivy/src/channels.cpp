// The channels of ivychannel.h: descriptors the loop watches for the caller.
//
// Each channel is an Asio stream_descriptor that only waits for readiness; the
// caller does its own reading and writing. The descriptor is released, never
// closed, when the channel goes: it belongs to the caller.
//
// A hang-up or error is shown to handle_read once, as select() would show it,
// so that a reader that waits for read() to return 0 sees its end of file.
// After that call the channel is removed (handle_delete) if the descriptor
// had nothing left to read: epoll keeps reporting a hung-up descriptor, and
// a caller that ignored the end of file would otherwise be woken forever.
// Readiness alone cannot tell data from hang-up, so each wake-up asks poll().
//
// Removal releases the descriptor at once, so no callback follows it, but
// handle_delete runs later from the loop: a read handler that removes its own
// channel would otherwise see its user data freed under it.
#include <Ivy/ivychannel.h>
#include <poll.h>

#include <asio/posix/stream_descriptor.hpp>
#include <asio/post.hpp>
#include <memory>

#include "event_loop.h"
#include "facade_guard.h"
#include "handle_table.h"

namespace ivy {
namespace {

using Handle = std::uintptr_t;
using Descriptor = asio::posix::stream_descriptor;

struct ChannelState {
    explicit ChannelState(int descriptor) : fd(descriptor) {}
    Descriptor sd{loop_context()};
    int fd;
    void* data = nullptr;
    ChannelHandleDelete on_delete = nullptr;
    ChannelHandleRead on_read = nullptr;
    ChannelHandleWrite on_write = nullptr;
    bool want_write = false;
    bool write_pending = false;
};

// unique_ptr: the state stays put while the table grows under a callback.
HandleTable<std::unique_ptr<ChannelState>>& channels() {
    static auto& table = *new HandleTable<std::unique_ptr<ChannelState>>;
    return table;
}

ChannelState* find(Handle h) {
    auto* slot = channels().find(h);
    return slot != nullptr ? slot->get() : nullptr;
}

Channel channel_of(Handle h) {
    return reinterpret_cast<Channel>(h);
}
Handle handle_of(Channel c) {
    return reinterpret_cast<Handle>(c);
}

void remove_channel(Handle h) {
    auto taken = channels().take(h);
    if (!taken) return;
    std::unique_ptr<ChannelState> state = std::move(*taken);
    // Ends the pending waits (their handlers find no channel) without closing.
    state->sd.release();
    if (state->on_delete != nullptr) {
        asio::post(loop_context(), [cb = state->on_delete, data = state->data] { cb(data); });
    }
}

enum class Readiness { data, hung_up, closed, nothing };

Readiness probe(int fd) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 0) < 0) return Readiness::nothing;  // EINTR: ask again later
    if ((p.revents & POLLNVAL) != 0) return Readiness::closed;
    if ((p.revents & POLLIN) != 0) return Readiness::data;  // even if hung up: data first
    if ((p.revents & (POLLHUP | POLLERR)) != 0) return Readiness::hung_up;
    return Readiness::nothing;
}

void arm_read(Handle h);

// Descriptors epoll cannot watch (regular files, /dev/null) complete every
// wait at once with operation_not_supported: they are always ready, like
// select() would report them, so they go through the same probe.
// What follows a read callback, also when it threw (the loop goes on after a
// throwing handler): watch again, or let a hung-up channel go.
struct AfterRead {
    Handle h;
    bool hung_up;
    ~AfterRead() {
        if (find(h) == nullptr) return;
        if (hung_up) {
            remove_channel(h);
        } else {
            arm_read(h);
        }
    }
};

void on_readable(Handle h, const asio::error_code& ec) {
    if (ec == asio::error::operation_aborted) return;
    ChannelState* ch = find(h);
    if (ch == nullptr) return;
    Readiness r = probe(ch->fd);
    if (r == Readiness::closed) {  // closed under us: nothing left to show
        remove_channel(h);
        return;
    }
    AfterRead after{h, r == Readiness::hung_up};
    if (r != Readiness::nothing) ch->on_read(channel_of(h), ch->fd, ch->data);
}

void arm_read(Handle h) {
    find(h)->sd.async_wait(Descriptor::wait_read,
                           [h](const asio::error_code& ec) { on_readable(h, ec); });
}

void arm_write(Handle h);

struct AfterWrite {
    Handle h;
    ~AfterWrite() {
        ChannelState* ch = find(h);
        if (ch != nullptr && ch->want_write) arm_write(h);
    }
};

void on_writable(Handle h, const asio::error_code& ec) {
    ChannelState* ch = find(h);
    if (ch == nullptr) return;
    ch->write_pending = false;
    if (ec == asio::error::operation_aborted || !ch->want_write) return;
    AfterWrite after{h};
    if (ch->on_write != nullptr) ch->on_write(channel_of(h), ch->fd, ch->data);
}

void arm_write(Handle h) {
    ChannelState* ch = find(h);
    if (ch->write_pending) return;
    ch->write_pending = true;
    ch->sd.async_wait(Descriptor::wait_write,
                      [h](const asio::error_code& ec) { on_writable(h, ec); });
}

}  // namespace
}  // namespace ivy

// Each entry point is guarded: the first one made builds the loop, which
// throws when no descriptor is left for it, and memory can run out.
extern "C" {

void IvyChannelInit(void) {
    ivy::guarded("IvyChannelInit", [] { ivy::loop_context(); });
}

Channel IvyChannelAdd(IVY_HANDLE fd, void* data, ChannelHandleDelete handle_delete,
                      ChannelHandleRead handle_read, ChannelHandleWrite handle_write) {
    if (handle_read == nullptr || fd < 0) return nullptr;
    return ivy::guarded("IvyChannelAdd", [&]() -> Channel {
        auto state = std::make_unique<ivy::ChannelState>(fd);
        asio::error_code ec;
        state->sd.assign(fd, ec);
        if (ec) {
            ivy::report("cannot watch descriptor %d: %s", fd, ec.message().c_str());
            return nullptr;
        }
        state->data = data;
        state->on_delete = handle_delete;
        state->on_read = handle_read;
        state->on_write = handle_write;
        ivy::Handle h = ivy::channels().insert(std::move(state));
        ivy::arm_read(h);
        return ivy::channel_of(h);
    });
}

void IvyChannelRemove(Channel channel) {
    ivy::guarded("IvyChannelRemove", [&] { ivy::remove_channel(ivy::handle_of(channel)); });
}

void IvyChannelAddWritableEvent(Channel channel) {
    ivy::guarded("IvyChannelAddWritableEvent", [&] {
        ivy::Handle h = ivy::handle_of(channel);
        ivy::ChannelState* ch = ivy::find(h);
        if (ch == nullptr) return;
        ch->want_write = true;
        ivy::arm_write(h);
    });
}

void IvyChannelClearWritableEvent(Channel channel) {
    // The wait under way, if any, ends unnoticed; cancelling it would cancel
    // the read wait on the same descriptor too.
    ivy::guarded("IvyChannelClearWritableEvent", [&] {
        if (ivy::ChannelState* ch = ivy::find(ivy::handle_of(channel))) ch->want_write = false;
    });
}

}  // extern "C"
