// How the process's allocator (glibc malloc) is set up, so that memory the
// program lets go of goes back to the system and the resident size returns
// near its idle size after a load.
//
// Left to itself, glibc raises its mapping threshold each time a big block
// is freed, so that later message blocks come from the heap, and the heap
// keeps what it freed in its middle: the server would stay at its high-water
// mark. So the thresholds are fixed, the arenas few, and a watch on the loop
// hands the heap's free pages back once much of it has been freed.
#pragma once

#include <cstddef>

namespace platform {

// Blocks of at least this many bytes are mapped on their own and unmapped
// when freed. The message text's blocks are smaller: the heap hands them
// out again at no cost while mail streams in (a fresh mapping for each one
// costs its page faults, and took a stream of 2 GB some 60% longer), and the
// watch gives its free pages back once the load is over.
constexpr std::size_t MapThreshold = 1024 * 1024;
// Once the heap's memory in use has fallen this far below its high point,
// its free pages go back to the system.
constexpr std::size_t TrimAfterRelease = 16 * 1024 * 1024;

// Once, at the start of main, before any thread. Main thread only.
void setUpMemory();

}  // namespace platform
