// Built when Ivy/ivy.h declares IvyAnnouncedAddressCount.
#include <Ivy/ivy.h>

#include "app/bus_status.h"

bool bus_joined() {
    return IvyAnnouncedAddressCount() > 0;
}
