// The demo: one plug, enumeration, streaming and unplug of a controller, with a summary.
#pragma once

#include "options.h"

namespace veltsim {

// Runs the demo as the options say; returns the exit status (0 all well, 1 the driver
// misbehaved, 2 a usage error such as an unknown controller).
int RunDemo(const Options& options);

} // namespace veltsim
