// Making several written files durable together, off the loop's thread.
//
// A commit takes a set of temporary files (DurableFile, written and not yet
// committed), each with the name it is to take. It flushes every file, then
// renames each into place in the order the set lists them, then flushes each
// folder once, and reports by a posted message, as a host name lookup does.
// Sets started while another commit is under way are committed together, so
// that busy moments share their folder flushes; the flushes of one commit run
// in parallel on a few platform worker threads. Those threads make only file
// system calls; no code of the caller runs on them.
//
// Guarantees:
//  - Renames happen in the order the sets were started, and within a set in
//    the order of add(). A file added without `replace` never replaces an
//    entry: when its name is taken, that file fails with EEXIST.
//  - A file is renamed only after its own flush; the completion comes only
//    after its folder's flush. A crash at any moment leaves each target
//    either absent (or its old version) or complete.
//  - The files of a set are placed in order until one fails; the rest of that
//    set are not placed (their temporary files are removed).
//
// Calls are for the loop's thread.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "DurableFile.h"
#include "MessageLoop.h"

namespace platform {

class CommitSet {
public:
    CommitSet();
    ~CommitSet();
    CommitSet(CommitSet&&) noexcept;
    CommitSet& operator=(CommitSet&&) noexcept;

    // Takes a written temporary file that is to become `target` (a path in
    // the folder the file was made for).
    void add(std::unique_ptr<DurableFile> file, std::string target, bool replace);
    bool empty() const { return items_.empty(); }
    // Whether a file of this set is to become `target`.
    bool holds(const std::string& target) const;
    std::size_t size() const { return items_.size(); }

    struct Item {
        std::unique_ptr<DurableFile> file;
        std::string target;
        bool replace = false;
    };

private:
    friend struct CommitAccess;
    std::vector<Item> items_;
};

using CommitTicket = std::uint64_t;

// Starts the commit of `set`. When it has ended, `msg` is posted to `wnd`
// with wParam = the ticket (never 0) and lParam = 0 for success or the errno
// of the first failure. An empty set completes at once (still by a message).
CommitTicket startCommit(CommitSet set, HWND wnd, unsigned msg);

// Commits `set` and waits for its end; its files are placed after those of
// every commit started before it. 0 or the errno of the first failure.
int commitNow(CommitSet set);

// True while a started commit has still to place a file under `target`.
bool commitPending(const std::string& target);

}  // namespace platform
