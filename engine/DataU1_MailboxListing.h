// The files of a user folder as the mailbox listing shows them, read in one
// pass and remembered per folder so that a login on an unchanged mailbox
// costs one stat of the folder, and one after a change reads the names again
// but looks only at the files it did not know.
//
// Contract:
//  - Main thread only (the remembered listings are not locked).
//  - A remembered listing is used only while the folder is the same folder
//    (device, inode and birth time) with the same nanosecond modification and change
//    times. Messages enter a folder only by a rename into it and leave it by
//    an unlink, and both move those times, so a listing never shows a message
//    that is gone or hides one that arrived. A listing whose folder changed
//    within a clock tick of the read is not used as a whole: a second change
//    in that tick might leave the times as they were.
//  - A name still on the inode it had keeps the size remembered for it: a
//    placed message never changes. So a file rewritten or given other rights
//    in place (by hand) keeps its remembered size; one replaced by a rename
//    is a new inode and is looked at again.
//  - At most 256 folders and 256 Ki names are remembered (some 20 MB).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace datau1 {

struct MailboxFile {
    std::string name;
    std::int64_t size = -1;  // bytes; -1 when it cannot be read
};

// The message files of folder (ending in "/"): every entry that is not a
// folder and whose extension is not ".ini" in any case, sorted as the
// folder enumeration of the original platform gives them. False when folder
// is not a readable folder; files is then left empty.
bool listMailboxFolder(const std::string& folder, std::vector<MailboxFile>& files);

// What became of the marked files of a mailbox when they were deleted.
struct MailboxDeletion {
    std::int32_t deleted = 0;  // unlinked
    std::int32_t kept = 0;     // still there: the unlink failed, or no regular file has the name
};

// Deletes folder + name for each of names that is a regular file, then
// flushes the folder once when any went. A name already gone counts as
// neither deleted nor kept. Makes file system calls only and touches no
// remembered listing, so it may run on the platform's workers.
MailboxDeletion deleteMailboxFiles(const std::string& folder, const std::vector<std::string>& names);

// Forgets every remembered listing (tests; a settings change of the mailbox
// folder needs nothing, as listings are keyed by the folder's identity).
void forgetMailboxListings();

}  // namespace datau1
