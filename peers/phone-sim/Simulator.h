#pragma once

#include "peers/phone-sim/SimOptions.h"

namespace brimo::sim {

// Runs the simulator in the foreground until SIGINT, SIGTERM or the "quit" command; removes
// both socket files on the way out. Returns the process exit code.
int runSimulator(const SimOptions& options);

} // namespace brimo::sim
