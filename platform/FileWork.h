// File system work off the loop's thread: reading, writing, unlinking and
// flushing a message's files, done on a few platform worker threads and
// reported back by a posted message, as a group commit or a host name lookup
// is. The loop's thread never waits on the disk for these.
//
// A job is a function that makes file system calls only: it must not touch
// the loop, sockets or any object of the caller that the loop's thread may
// change meanwhile. What it needs it owns (captured by value or through a
// shared_ptr); what it gives back it leaves in such a shared object, or in its
// result.
//
// Jobs may run in any order and several at once: a caller that needs an order
// waits for one job's end before it starts the next (or uses pwrite/pread with
// offsets).
//
// Calls are for the loop's thread.
#pragma once

#include <cstdint>
#include <functional>

#include "MessageLoop.h"

namespace platform {

using FileWorkTicket = std::uint64_t;

// Runs `job` on a worker thread; when it has returned, posts `msg` to `wnd`
// with wParam = the ticket (never 0) and lParam = the job's result. A window
// destroyed meanwhile gets nothing (the job still runs to its end). When the
// system refuses every worker thread, the job runs on the calling thread
// before the call returns (its message is still posted).
FileWorkTicket startFileWork(std::function<std::intptr_t()> job, HWND wnd, unsigned msg);

// How many jobs have been started and have not yet posted their end.
std::size_t fileWorkInFlight();

// For the program's end: waits at most waitMs until no job is under way, so
// that no worker touches the loop once exit begins. False when one still
// runs then (a disk that holds a call): the caller must then end the process
// without running exit's destructors. Starts nothing; jobs started meanwhile
// are waited for too.
bool finishFileWork(int waitMs);

}  // namespace platform
