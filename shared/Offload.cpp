#include "shared/Offload.h"

namespace brimo {

asio::thread_pool& blockingPool() {
    static asio::thread_pool pool(2);
    return pool;
}

} // namespace brimo
