// The end of one message: the files of its delivery go to a group commit, and
// the session holds its reply, and reads no further line (its socket reports
// neither input nor the client's end meanwhile), until the commit has ended.
// The commit's completion comes through the server's window and finds the
// session by the commit's ticket, so a session freed meanwhile (the client
// went away) is simply not found; what the commit owes the system (a run of
// the agent's queue) is done by the server all the same.

#include <cstring>

#include "DeliveryBatch.h"
#include "MailRouting.h"
#include "SmtpServer.h"
#include "platform/FileWork.h"

void TSmtpConnection::StartCommit(TDeliveryBatch& batch) {
    FFlow.Hold(TSessionFlow::Commit);
    FCommitTicket = FServer->StartCommit(batch);
}

void TSmtpConnection::CommitDone(int error) {
    FCommitTicket = 0;
    if (error != 0) MessageNamesMayBeTaken();
    EndOfDataReply(error == 0, error == 0 ? std::string() : std::strerror(error));
    FFlow.Release(TSessionFlow::Commit, [this] { ProcessReceived(); });
}

void TSmtpConnection::EndOfDataReply(bool stored, const std::string& why) {
    if (stored) {
        Log("Incoming Mail Processed", 6);
        if (FSocket->State() == wsConnected) Reply("250 Mail Queued for Delivery");
    } else {
        Log("Mail Rejected: Delivery failed (" + why + ")", 1);
        if (FSocket->State() == wsConnected) Reply("451 Error in processing: Mail could not be stored");
    }
    // In a stop this answer is the session's last: the lines that came
    // meanwhile stay unread, and the session ends once the answer has left.
    if (FServer->ShuttingDown()) CloseWhenSent();
}

std::uint64_t TSmtpServer::StartCommit(TDeliveryBatch& batch) {
    const std::uint64_t ticket = platform::startCommit(std::move(batch.Files), Handle, WM_COMMIT_DONE);
    if (batch.QueueRunWanted || !batch.AfterStored.empty())
        FAfterCommit.emplace(ticket, TAfterCommit{batch.QueueRunWanted, std::move(batch.AfterStored)});
    return ticket;
}

void TSmtpServer::CommitDone(std::uint64_t ticket, int error) {
    if (auto it = FAfterCommit.find(ticket); it != FAfterCommit.end()) {
        TAfterCommit after = std::move(it->second);
        FAfterCommit.erase(it);
        // A failed commit placed nothing, so there is nothing to follow up.
        if (error == 0) {
            for (auto& work : after.Stored) work();
            if (after.QueueRun) PostServiceQueueNow();
        } else if (!after.Stored.empty()) {
            // What it held (the message's pieces, perhaps the last hold on
            // a big spool file) is let go on a worker: freeing a file's
            // blocks is disk work.
            platform::startFileWork([stored = std::move(after.Stored)]() -> std::intptr_t { return 0; },
                                    platform::NullWindow, 0);
        }
    }
    for (const auto& session : FConnections) {
        if (session->CommitTicket() == ticket) {
            session->CommitDone(error);
            return;
        }
    }
}
