#include "shared/LargeBuffers.h"

#include <malloc.h>

namespace brimo {

void keepLargeBuffersInHeap() {
    // Above the largest frame (5 MiB payload) with room; the trim threshold keeps a few freed
    // chunks for reuse, so the heap stays small while transfers run.
    mallopt(M_MMAP_THRESHOLD, 16 * 1024 * 1024);
    mallopt(M_TRIM_THRESHOLD, 32 * 1024 * 1024);
}

} // namespace brimo
