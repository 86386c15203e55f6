#pragma once

namespace brimo {

// File chunks of a few MiB are allocated and freed all the time. By default the C library
// serves such blocks from fresh pages of the system and hands them back right after, so every
// chunk pays a page fault per 4 KiB; kept in the heap, a chunk costs its copies only. Call once
// at the start of a process that moves chunks.
void keepLargeBuffersInHeap();

} // namespace brimo
