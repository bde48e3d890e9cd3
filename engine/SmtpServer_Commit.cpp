// The end of one message: the files of its delivery go to a group commit, and
// the session holds its reply, and reads no further line, until the commit
// has ended. The commit's completion comes through the server's window and
// finds the session by the commit's ticket, so a session freed meanwhile (the
// client went away) is simply not found.

#include <cstring>

#include "DeliveryBatch.h"
#include "MailRouting.h"
#include "SmtpServer.h"

void TSmtpConnection::StartCommit(TDeliveryBatch& batch) {
    FQueueRunAfterCommit = batch.QueueRunWanted;
    FCommitTicket = platform::startCommit(std::move(batch.Files), FServer->Handle, TSmtpServer::WM_COMMIT_DONE);
}

void TSmtpConnection::CommitDone(int error) {
    FCommitTicket = 0;
    // Whatever became of the message, a queue file may have been placed.
    if (FQueueRunAfterCommit) PostServiceQueueNow();
    FQueueRunAfterCommit = false;
    if (error != 0) MessageNamesMayBeTaken();
    EndOfDataReply(error == 0, error == 0 ? std::string() : std::strerror(error));
    if (FSocket->State() == wsConnected) SocketDataAvailable(FSocket.get(), 0);
}

void TSmtpConnection::EndOfDataReply(bool stored, const std::string& why) {
    if (stored) {
        Log("Incoming Mail Processed", 6);
        if (FSocket->State() == wsConnected) Reply("250 Mail Queued for Delivery");
        return;
    }
    Log("Mail Rejected: Delivery failed (" + why + ")", 1);
    if (FSocket->State() == wsConnected) Reply("451 Error in processing: Mail could not be stored");
}
