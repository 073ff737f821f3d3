// The station's side of the serial protocol, as a pure state machine: bytes
// from the relay go in, the answers (each with a delay) come out. The loop
// around it owns the port, the clock and the writing.
//
// Principles: the station answers a line feed with "\n\r" and "LOOP n\n"
// with the acknowledgement 0x06 and one packet, written as one piece; other
// lines are ignored, as the station ignores what it does not understand.
// Lines are taken byte for byte: a carriage return is part of the line, so
// the "\r\n" that a line left in its default output mode makes of the
// relay's line feed is not a wake-up, and the station stays silent.
// Each poll (see fault_schedule.h) has one fault, decided at its first byte.
// When the relay resets the link it writes a line feed just before closing
// the port; that lone line feed is not a poll, so closing the port right
// after it takes the poll number back.
#pragma once

#include <cstdint>
#include <functional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "fault_schedule.h"
#include "station_packet.h"

namespace sim {

struct Answer {
    int delay_ms = 0;  // after the byte that caused it
    std::string bytes;
};

struct SessionOutput {
    std::vector<Answer> answers;
    bool unplug = false;  // the device must disappear now
};

class StationSession {
public:
    using PacketSource = std::function<Packet()>;
    using Logger = std::function<void(const std::string&)>;

    // next_packet is called once for every packet actually sent; log gets a
    // line for every poll started, fault shown and command ignored.
    StationSession(FaultSchedule schedule, PacketSource next_packet, std::uint64_t seed,
                   Logger log);

    // Bytes received from the relay, in order; any split is fine.
    SessionOutput on_bytes(std::string_view bytes);
    // The relay has closed the port: a half-received line is forgotten and the
    // poll ends.
    void on_port_closed();

    int polls_started() const { return poll_; }

    // record gets one line per poll ("poll N FAULT", FAULT "none" without
    // one), per poll taken back ("taken-back N"), per request ("request N
    // after K line feeds"), per packet served ("served N COUNT HEX": the
    // COUNT packet bytes written after the acknowledgement byte) and per
    // closing of the port ("closed N", N the last poll before it), for
    // checking afterwards what the relay published.
    void set_record(Logger record) { record_ = std::move(record); }

private:
    void on_line(std::string_view line, SessionOutput* out);
    void on_wakeup(SessionOutput* out);
    void on_request(SessionOutput* out);
    void begin_poll_if_idle();
    std::string packet_bytes(std::size_t size);
    std::string stale_bytes() const;  // the last packet's tail
    std::string random_bytes(int count);
    void answer_with_packet(char first, std::string packet, SessionOutput* out);

    FaultSchedule schedule_;
    PacketSource next_packet_;
    Logger log_;
    Logger record_;
    std::mt19937_64 rng_;
    std::string line_;
    bool line_overflow_ = false;
    bool in_poll_ = false;
    int poll_ = 0;
    int line_feeds_ = 0;  // in the current poll
    Fault fault_;
    Packet last_packet_{};
};

}  // namespace sim
