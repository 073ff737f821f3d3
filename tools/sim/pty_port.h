// The simulated serial port: a pseudo-terminal whose slave side the relay
// opens as if it were the station's serial device.
//
// Principles: the simulator holds only the master side. Linux raises POLLHUP
// on the master while no program holds the slave open, which is how the
// simulator sees the relay open and close the port (holding the slave open
// ourselves would keep the pseudo-terminal alive but hide those events).
// The slave's terminal settings live as long as the master does, across the
// relay's closes and reopens, as an adapter's do while it is plugged in: raw
// by default, or the kernel's own default line discipline for a fresh
// adapter (LineMode::fresh), which a set-up command is then expected to
// change. The master is raw in both modes, as the station's end of the wire
// must be: Linux gives it a raw line discipline of its own, which no call
// changes (terminal attributes set on the master go to the slave), so the
// simulator reads exactly what the relay's side put on the line, and echoes
// nothing. What a pseudo-terminal does that a serial port does not is undone
// here: bytes queued towards the relay when it closes the port are dropped
// (flush_towards_relay), as a serial port loses what arrives while nobody
// holds it open.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "result.h"

namespace sim {

// How the relay's side of the line is left: raw (19200 8N1, no editing, no
// echo), or as a USB serial adapter comes from the kernel (canonical input,
// echo, carriage return read as line feed, line feed written as CR LF).
enum class LineMode { raw, fresh };

class PtyPort {
public:
    // Creates the pseudo-terminal with its relay's side in the given mode
    // and, when link_path is not empty, a symbolic link to it there
    // (replacing a symbolic link, never anything else).
    static tools::Result<PtyPort> create(const std::string& link_path, LineMode mode);

    PtyPort(PtyPort&& other) noexcept;
    PtyPort& operator=(PtyPort&&) = delete;
    // Closes the master and removes the link if it still points at us.
    ~PtyPort();

    // The slave's path, /dev/pts/N.
    const std::string& path() const { return slave_path_; }
    int master_fd() const { return master_; }

    // Whether some program holds the slave side open now. Never blocks.
    bool held() const;
    // Drops every byte written towards the relay that it has not read.
    void flush_towards_relay();
    // Reads whatever the relay has sent; empty when nothing is there.
    std::string read_available();
    // Writes towards the relay without blocking; returns how many bytes went
    // (fewer than given when the relay stopped reading and the queue is full).
    std::size_t write_some(std::string_view bytes);
    // The device disappears: the link is removed and the master closed, which
    // removes the slave's path too; a program holding the slave gets end of
    // file and I/O errors, and opening the path fails.
    void unplug();

private:
    PtyPort(int master, std::string slave_path, std::string link_path)
        : master_(master), slave_path_(std::move(slave_path)), link_path_(std::move(link_path)) {}
    void remove_link();

    int master_ = -1;
    std::string slave_path_;
    std::string link_path_;
};

}  // namespace sim
