#pragma once

#include "shared/Log.h"

namespace brimo::sim {

inline constexpr log::Logger simLog{"brimo-phone-sim", "Sim"};

} // namespace brimo::sim
