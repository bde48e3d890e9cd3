// The process's descriptors as a resource: its limit, how many are open, and
// how many the listeners leave free for everything else.
//
// Contract: plain system calls, no state of the loop; any thread may call
// them, though only the program's start and the socket layer do.
#pragma once

#include <cstddef>

namespace platform {

// Raises the soft limit on open descriptors to the hard limit, so the limit
// the system allows is the one the program works with; returns the soft limit
// now in force (unchanged when raising is refused).
std::size_t raiseDescriptorLimit();

// The soft limit on open descriptors; SIZE_MAX when there is none.
std::size_t descriptorLimit();

// Descriptors open in the process now: the size the kernel reports for
// /proc/self/fd (one call, no listing), or where it reports none, a listing
// of that folder, whose cost grows with their number. SIZE_MAX when they
// cannot be counted.
std::size_t openDescriptorCount();

// How many descriptors the listeners leave free under a given limit.
std::size_t descriptorReserve(std::size_t limit);

// Whether fewer than the reserve are free under the current limit: what every
// listener asks before it accepts. One system call where the kernel gives the
// count. Where it does not, a probe for the lowest free descriptor answers
// when none is free below limit - reserve; otherwise a listing does, whose
// margin then answers the next questions without one.
bool descriptorsShort();

}  // namespace platform
