// Notices of the platform layer: conditions of the machine that the program's
// log should show (a thread the system refused), since the platform logs
// nothing itself.
//
// Contract: postNotice() may be called from any thread; the handler runs on
// the loop's thread, from a posted message, never inside postNotice().
// Notices posted before a handler is set wait for it (a few at most).
#pragma once

#include <functional>
#include <string>

namespace platform {

// Sets the handler (loop's thread). An empty one drops what comes later.
void setNoticeHandler(std::function<void(const std::string&)> handler);

void postNotice(std::string text);

}  // namespace platform
