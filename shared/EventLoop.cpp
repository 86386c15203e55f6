#include "shared/EventLoop.h"

namespace brimo {

asio::io_context& mainLoop() {
    // Never destroyed: a worker still waiting on a hanging tool at exit would hold up the
    // loop's destruction, which waits for every job headed for it.
    static auto* loop = new asio::io_context(1);
    return *loop;
}

} // namespace brimo
