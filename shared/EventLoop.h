#pragma once

#include <asio/io_context.hpp>

namespace brimo {

// The process's one event-loop thread runs this context; every actor lives on it.
asio::io_context& mainLoop();

} // namespace brimo
