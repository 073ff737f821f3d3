// anemobus: relays a weather station's readings from a serial line to an Ivy
// bus, once per poll period, until interrupted.

#include <Ivy/ivyloop.h>

#include "app/command_line.h"
#include "app/run_cycle.h"
#include "relay_state.h"
#include "station/serial_port.h"

int main(int argc, char** argv) {
    // 1. Read the command line; help and malformed options end the run here.
    switch (parse_command_line(argc, argv, run_settings)) {
        case ParseOutcome::help_shown:
            return 0;
        case ParseOutcome::bad_option:
            return 1;
        case ParseOutcome::run:
            break;
    }
    // 2. Catch SIGINT first, so that no interrupt can catch us half built.
    install_interrupt_handler();
    // 3. Start from a blank packet.
    loop_packet.fill(0);
    // 4. Open the station's port; a device that cannot be opened ends the run.
    open_port(run_settings.device_path);
    // 5. Join the bus as "anemobus". Polling with no bus would look alive to
    //    systemd while nobody gets a reading: end the run instead.
    if (!join_bus(run_settings.bus_domain)) return 1;
    // 6. Poll the station every period, from inside the bus loop.
    start_polling(run_settings.poll_period_ms);
    // 7. Run until SIGINT has stopped the loop, removed the timer and closed the port.
    IvyMainLoop();
    return 0;
}
