// The files of one delivery, made durable together after routing has run.
//
// While a batch is current, the writers of new files on the delivery path
// (message files and backup copies, queue files) add each file's name and
// content to the batch instead of committing each one; the commit's workers
// make, write and close the temporary files, a few at a time. A request to
// run the agent's queue waits in the batch too. The SMTP session then hands the
// files to a group commit (platform/GroupCommit.h) and answers when it ends.
// The batch's files are one commit set, all or nothing: when any of them
// cannot be placed, none of the message's files stays, and the client's
// retry stores the message once.
// Without a current batch every writer commits at once, as before.
//
// Main thread only. One batch is current at a time; a batch that is destroyed
// with its files never committed removes their temporary files.
#pragma once

#include <functional>
#include <vector>

#include "platform/GroupCommit.h"

class TDeliveryBatch {
public:
    TDeliveryBatch();  // becomes the current batch
    ~TDeliveryBatch();
    TDeliveryBatch(const TDeliveryBatch&) = delete;
    TDeliveryBatch& operator=(const TDeliveryBatch&) = delete;

    // The current batch, or nullptr.
    static TDeliveryBatch* Current();
    // Stops being the current batch (before its files are committed).
    void Close();

    platform::CommitSet Files;
    bool QueueRunWanted = false;  // PostServiceQueueNow once the files are placed
    // Work that only a stored message may cause (a list archive entry): done
    // once the files are placed, never for a message answered with an error.
    std::vector<std::function<void()>> AfterStored;

private:
    bool FOpen = true;
};
