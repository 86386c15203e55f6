#pragma once

#include "shared/ipc/Callback.h"

#include <cstdint>
#include <functional>

namespace brimo::ipc {

// Drives a measurement of round trips: runs `step` `count` times strictly one after another
// (a step calls the `next` it is given once its answer came back), then calls `finish` with the
// wall-clock seconds since the start. With a count of 0, `finish` runs at once. A step whose
// answer never comes ends the chain there; whoever sees that failure answers instead.
void runInTurn(uint64_t count, std::function<void(std::function<void()> next)> step,
               Callback<void(double seconds)> finish);

} // namespace brimo::ipc
