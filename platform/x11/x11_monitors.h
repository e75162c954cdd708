#pragma once

#include <vector>

#include "platform/result.h"
#include "platform/x11/x11_connection.h"
#include "platform/x11/x11_monitor_layout.h"

namespace velmora {

// The RandR 1.5 monitors of the connection's default screen, in the server's order (the primary
// one first when there is one); only those that are lit when `activeOnly`. Names are the connected
// output's EDID product name where it has one, else the monitor's own name. Fails where the
// server has no RandR 1.5.
Result<std::vector<X11Monitor>> readX11Monitors(_XDisplay* display, bool activeOnly = true);

// Pixels per point from the Xft.dpi resource as the server holds it now.
double readXftScale(_XDisplay* display);

}  // namespace velmora
