#include "shared/EventLoop.h"

namespace brimo {

asio::io_context& mainLoop() {
    static asio::io_context loop(1);
    return loop;
}

} // namespace brimo
