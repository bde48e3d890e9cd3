// Making several written files durable together, off the loop's thread.
//
// A commit takes a set of temporary files (DurableFile, written and not yet
// committed, or with bytes still to write), each with the name it is to take.
// It writes what is left to write and flushes every file, then
// renames each into place, then flushes each folder once, and reports by a
// posted message, as a host name lookup does. Sets started while another
// commit is under way are committed together, so that busy moments share
// their folder flushes; the flushes of one commit run in parallel on a few
// platform worker threads. Those threads make only file system calls; no code
// of the caller runs on them.
//
// One set is one unit, all or nothing (a delivery: one message's mailbox
// files, backup copies and queue file):
//  - Renames happen in the order the sets were started, but for a set with
//    much still to write (a big message): that one is written and flushed
//    apart, and placed after the sets started meanwhile, so that it never
//    keeps them waiting for its flush. Within a set the new files come
//    first, in the order of add(), then the files that replace an old
//    version, in the order of add().
//  - A new file never replaces an entry. A numbered name (addNumbered) found
//    taken at the rename moves on to the next free number of its series; any
//    other name found taken fails the set with EEXIST.
//  - A file is renamed only after its own flush; the completion comes only
//    after its folder's flush.
//  - When anything of a set fails (a file's flush, a rename, a folder's
//    flush), the new files the set had already placed are removed again and
//    their folders flushed before the failure is reported, so that a sender
//    told to try again stores one copy in the end, not two. A file that
//    replaced an old version cannot be taken back: the old version is gone.
//    Replacements are therefore placed last, once every new file of the set
//    is in place, and a failure before them leaves the old versions as they
//    were; only a failing folder flush after them leaves the new version of
//    a replaced file in place (whole) while the set is reported failed.
//  - A crash at any moment leaves each target either absent (or its old
//    version) or complete; temporary files never show in a listing. A crash
//    part-way through a set, or during the removal after a failure, may leave
//    some of its files in place: no reply has been given then, so the sender
//    tries again and those targets may end up with two copies.
//  - A commit may be taken back (cancelCommit) until its outcome is decided,
//    which is when it starts placing its files (from then on they may be
//    seen, fetched or sent on); so a caller that can no longer give the
//    answer (a session going away) leaves nothing behind.
//
// Calls are for the loop's thread.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "DurableFile.h"
#include "FileContent.h"
#include "MessageLoop.h"

namespace platform {

// A numbered series of names in a folder (`folder` ends in "/"): number 0 is
// stem + ".txt", number n stem + "_" + n in six digits + ".txt". Sorted as
// text, the names of a series come in the order of their numbers.
inline constexpr int MaxNameNumber = 999999;
std::string numberedName(const std::string& folder, const std::string& stem, int number);
// The highest number of the series found in the folder (any kind of entry):
// -1 when none.
int highestNumberInUse(const std::string& folder, const std::string& stem);

class CommitSet {
public:
    CommitSet();
    ~CommitSet();
    CommitSet(CommitSet&&) noexcept;
    CommitSet& operator=(CommitSet&&) noexcept;

    // What is still to be written to a file, in order, by the commit's worker
    // threads before the file is flushed: a large text costs the loop's
    // thread nothing, and its pieces may be shared by several files. They are
    // let go once written.
    using Bytes = Content;

    // Takes a temporary file that is to become `target` (a path in the
    // folder the file was made for), with `toWrite` still to be written.
    void add(std::unique_ptr<DurableFile> file, std::string target, bool replace, Bytes toWrite = {});
    // Takes a temporary file that is to become a new file named by number
    // `number` of a numbered series; when that name is found taken at the
    // rename, the next free number after every one in use is taken.
    void addNumbered(std::unique_ptr<DurableFile> file, std::string folder, std::string stem, int number,
                     Bytes toWrite = {});
    // The same for a file the commit's worker makes in `folder` when it
    // writes it, and closes once it is flushed, before the renames: a set
    // of any size holds no descriptor until then, and the commit holds only
    // as many at once as it has workers writing. For new files only.
    void addNew(std::string target, Bytes toWrite);
    void addNumbered(std::string folder, std::string stem, int number, Bytes toWrite);
    bool empty() const { return items_.empty(); }
    // Whether a file of this set is to become `target`.
    bool holds(const std::string& target) const;
    std::size_t size() const { return items_.size(); }

    struct Item {
        std::unique_ptr<DurableFile> file;
        std::string target;
        bool replace = false;
        // A numbered name: its series and number (-1 for any other name).
        std::string folder, stem;
        int number = -1;
        Bytes toWrite;
        // Set when the worker makes the temporary file (file is null until
        // then): the folder it is made for.
        std::string makeIn;
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

// Takes back a commit started by startCommit whose outcome is not decided
// yet: it places nothing and is reported with lParam = ECANCELED. False once
// it has begun to place its files, or for a ticket of no commit under way:
// nothing changes, and a commit's message (success or failure) is posted or
// about to be.
bool cancelCommit(CommitTicket ticket);

// Commits `set` and waits for its end; its files are placed after those of
// every commit started before it. 0 or the errno of the first failure.
int commitNow(CommitSet set);

// Finishes every commit under way (a taken-back one places nothing) and ends
// the commits' thread: for the program's end, before it lets a next run
// start, whose start removes the temporary files of earlier runs. A later
// commit starts the thread anew. Also done at exit (waiting for good).
// Waits at most waitMs (below 0: for good). False when a commit is still
// under way then (a disk that holds a flush): its threads go on, so the
// caller must not let exit destroy what they use; it ends the process at
// once instead, and what was not placed is removed by a next start.
bool finishCommits(int waitMs = -1);

// True while a started commit has still to place a file under `target` (the
// name the file was added with).
bool commitPending(const std::string& target);

// How many times a commit has found a numbered name taken and moved on, so
// far in this process. A caller that hands out numbers from memory looks at
// its folders again when this has changed.
std::uint64_t numberedNamesMoved();

}  // namespace platform
