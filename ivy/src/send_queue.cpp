#include "send_queue.h"

#include <utility>

namespace ivy {

PushResult SendQueue::push(MsgType type, int id, std::string_view payload) {
    const std::size_t before = back_.size();
    if (!append_line(back_, type, id, payload)) return PushResult::refused;
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
        std::swap(out_, back_);
    }
    return std::string_view(out_).substr(sent_);
}

void SendQueue::clear() {
    out_.clear();
    back_.clear();
    sent_ = 0;
}

}  // namespace ivy
