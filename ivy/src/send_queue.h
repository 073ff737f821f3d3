// The lines waiting to be written to one peer. Pure: no sockets.
//
// Principles: the queue holds whole lines only. A line that would take the
// queue past its bound is refused whole, so what reaches the peer is always a
// sequence of complete lines, never a torn one glued to the next. Two
// buffers take turns: the one handed to the socket is left untouched until
// it is fully written, new lines go to the other. Both keep their capacity,
// so once they have grown to fit the traffic no allocation happens per line;
// buffers a burst to a slow reader grew past kept_capacity are freed once
// drained, so a peer that was slow once does not hold megabytes for good.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "wire_codec.h"

namespace ivy {

enum class PushResult {
    queued,
    full,     // the line would take the queue past its bound: nothing queued
    refused,  // the payload holds a line feed (it would make two lines): nothing queued
};

class SendQueue {
public:
    // What the two buffers may keep once drained: far above what a steady
    // peer needs (lines are coalesced up to 64 KiB), far below the bound.
    static constexpr std::size_t kept_capacity = std::size_t{256} * 1024;

    explicit SendQueue(std::size_t max_bytes) : max_bytes_(max_bytes) {}

    // Appends "<type> <id>\x02<payload>\n".
    PushResult push(MsgType type, int id, std::string_view payload);
    // The same, for a payload already checked (never refused).
    PushResult push(MsgType type, int id, OneLine payload);

    // Bytes queued and not yet consumed.
    std::size_t size() const { return out_.size() - sent_ + back_.size(); }
    bool empty() const { return size() == 0; }
    // Bytes the buffers hold, used or not.
    std::size_t memory() const { return out_.capacity() + back_.capacity(); }

    // The bytes to write next; empty when nothing is queued. The view stays
    // valid (and its bytes unchanged) until consume() has consumed all of it,
    // whatever is pushed meanwhile.
    std::string_view next_chunk();

    // n bytes of the last chunk were written; n is at most its length.
    void consume(std::size_t n) { sent_ += n; }

    // Forgets everything queued and frees the buffers (the peer is gone).
    void clear();

private:
    std::size_t max_bytes_;
    std::string out_;  // the chunk handed out, written from sent_ on
    std::size_t sent_ = 0;
    std::string back_;  // lines pushed since that chunk was handed out
};

}  // namespace ivy
