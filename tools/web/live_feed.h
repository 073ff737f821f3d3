// Carries new readings from LiveState to the live streams: a thread of its
// own waits for them, so that a stream is written as soon as one comes, and
// makes each into its event's text once for every stream. Any source that
// adds to LiveState (the bus, or another) is carried alike.
//
// Principles: at most one batch every `spacing`; within a batch each
// station gives its latest reading only, so a flood of messages costs the
// pages a few events a second per station rather than every message.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "live_state.h"

namespace web {

class LiveFeed {
public:
    using Send = std::function<void(std::shared_ptr<const std::string>)>;
    // send is called on the feed's thread, while wanted() is true.
    LiveFeed(LiveState& live, std::chrono::milliseconds spacing, std::function<bool()> wanted,
             Send send);
    ~LiveFeed();  // after live.shut_down()
    LiveFeed(const LiveFeed&) = delete;
    LiveFeed& operator=(const LiveFeed&) = delete;

    // Each station's latest view, in the order of their latest readings.
    static std::vector<StationView> latest_of_each(const std::vector<StationView>& views);

private:
    void run();
    LiveState& live_;
    std::chrono::milliseconds spacing_;
    std::function<bool()> wanted_;
    Send send_;
    std::thread thread_;
};

}  // namespace web
