#include "send_queue.h"

#include <utility>

namespace ivy {

PushResult SendQueue::push(MsgType type, int id, std::string_view payload) {
    const auto one_line = OneLine::checked(payload);
    if (!one_line) return PushResult::refused;
    return push(type, id, *one_line);
}

PushResult SendQueue::push(MsgType type, int id, OneLine payload) {
    const std::size_t before = back_.size();
    append_line(back_, type, id, payload);
    if (size() > max_bytes_) {
        back_.resize(before);
        return PushResult::full;
    }
    return PushResult::queued;
}

std::string_view SendQueue::next_chunk() {
    if (sent_ >= out_.size()) {
        out_.clear();
        sent_ = 0;
        if (back_.empty() && memory() > kept_capacity) clear();
        std::swap(out_, back_);
    }
    return std::string_view(out_).substr(sent_);
}

void SendQueue::clear() {
    std::string().swap(out_);
    std::string().swap(back_);
    sent_ = 0;
}

}  // namespace ivy
