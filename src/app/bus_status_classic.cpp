// Built against the classic Ivy library: IvyStart cannot report failure, so
// the relay runs on, as it always has with that library.
#include "app/bus_status.h"

bool bus_joined() {
    return true;
}
