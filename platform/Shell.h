// Shell file operations and the desktop's "open" action.
//
// fileOperation() works on one path, silently and without confirmation:
//  - Delete removes a file, or a folder with everything in it (permanent).
//  - Rename gives the source the destination path; it refuses when the
//    destination already exists (a different file), as the shell does.
//  - Copy and Move copy or move a file or a folder; when the destination is an
//    existing folder the source goes into it under its own name; existing
//    files are replaced (no confirmation).
// A source path that does not exist is read as a pattern when its last name
// holds "*" or "?": the operation then applies to the matching files (never
// folders) in that folder, and fails when nothing matches. Trailing "/" on the
// paths is ignored. Nothing here throws; every failure is a false result.
//
// shellOpen() starts `xdg-open target` detached (the opener is never waited
// for and leaves no zombie) and reports whether it could be started.
#pragma once

#include <string>

namespace platform {

enum class FileOp { Copy, Delete, Move, Rename };

// True when the whole operation succeeded; the destination is unused by Delete.
bool fileOperation(FileOp op, const std::string& source, const std::string& destination);

// True when `xdg-open` (found on PATH) was started with target as its one
// argument; false when it is not installed or could not be started.
bool shellOpen(const std::string& target);

}  // namespace platform
