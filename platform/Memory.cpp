#include "Memory.h"

#include <malloc.h>

#include "MessageLoop.h"

namespace platform {

namespace {

constexpr unsigned WatchMs = 1000;
std::size_t heapHigh = 0;  // the most the heap had in use since its last trim

// A look costs some 0.2-0.4 ms with a few hundred MB free in the heap. The
// trim runs here, not on a worker: it holds the heap's lock while it hands
// pages back (some 0.1 ms per MB), so the loop would wait for it on its next
// allocation all the same. It comes only after a large release.
void watchHeap() {
    const struct mallinfo2 info = ::mallinfo2();
    if (info.uordblks > heapHigh) heapHigh = info.uordblks;
    if (heapHigh - info.uordblks < TrimAfterRelease) return;
    heapHigh = info.uordblks;
    ::malloc_trim(0);
}

}  // namespace

void setUpMemory() {
    // Setting them at all stops glibc from moving them.
    ::mallopt(M_MMAP_THRESHOLD, static_cast<int>(MapThreshold));
    ::mallopt(M_TRIM_THRESHOLD, static_cast<int>(MapThreshold));
    // The workers allocate little; an arena each would keep what they freed.
    ::mallopt(M_ARENA_MAX, 2);
    const HWND watch = loop().createWindow([](Message& m) {
        if (m.msg == WM_TIMER) watchHeap();
    });
    loop().setTimer(watch, 1, WatchMs);
}

}  // namespace platform
