// Stress: many cycles of plug, enumeration, streaming, sleep and resume, and unplug, some of
// them cut short by a surprise removal at a seeded random moment.
#pragma once

#include "options.h"

namespace veltsim {

// Runs the cycles as the options say; returns the exit status (0 all well, 1 the driver
// misbehaved or hung).
int RunStress(const Options& options);

} // namespace veltsim
