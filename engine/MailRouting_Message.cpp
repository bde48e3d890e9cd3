#include "MailRouting_Message.h"

#include <cerrno>

#include "DataU1.h"
#include "MailRouting_Internal.h"
#include "UtilU1.h"
#include "DeliveryBatch.h"
#include "platform/DurableFile.h"
#include "platform/GroupCommit.h"
#include "platform/Paths.h"

namespace {

bool isLocalDomain(const std::string& domain) {
    return ServerInformation && ServerInformation->IsLocalDomain(domain);
}

// Index of the header line "name:" (name without regard to case), or -1; stop
// receives the index where the walk ended (the first empty line, else the
// number of lines).
std::ptrdiff_t findHeader(const std::vector<std::string>& lines, const std::string& name,
                          std::size_t& stop) {
    const std::string key = name + ":";
    for (stop = 0; stop < lines.size(); ++stop) {
        const std::string& line = lines[stop];
        if (line.empty()) break;
        if (line.size() >= key.size() && platform::equalsNoCase(std::string_view(line).substr(0, key.size()), key))
            return static_cast<std::ptrdiff_t>(stop);
    }
    return -1;
}

// Attempts at a fresh queue name when another writer takes the drawn one
// between the draw and the commit.
constexpr int kQueueNameAttempts = 16;

}  // namespace

TSmtpMessageInformation::TSmtpMessageInformation() { Clear(); }

TSmtpMessageInformation::~TSmtpMessageInformation() { ClearForwardPaths(); }

void TSmtpMessageInformation::Clear() {
    ClearForwardPaths();
    ReversePath.Clear();
    Lines.clear();
    Text.Clear();
    HasLocalRecipient = false;
    RcptCount = 0;
    SenderIsLocalUser = false;
    SenderDomainLocal = false;
    SenderDomainAccepted = false;
    SenderDomainBanned = false;
    SenderMailboxBanned = false;
}

void TSmtpMessageInformation::ClearForwardPaths() {
    while (!ForwardPaths.empty()) ForwardPaths.pop_back();
    RecipientKeys.clear();
}

TMessageRouteInformation* TSmtpMessageInformation::ForwardPath(std::int32_t index) const {
    if (index < 0 || index >= ForwardPathCount()) return nullptr;
    return ForwardPaths[static_cast<std::size_t>(index)].get();
}

void TSmtpMessageInformation::DeleteForwardPath(std::int32_t index) {
    if (index < 0 || index >= ForwardPathCount()) return;
    ForwardPaths.erase(ForwardPaths.begin() + index);
}

bool TSmtpMessageInformation::AddForwardPath(const std::string& text) {
    // A CR or LF would end the RCPT TO line that carries the path onwards.
    if (HoldsControlByte(text)) return false;
    auto path = std::make_unique<TMessageRouteInformation>(rkForwardPath);
    if (path->Parse(text) != rpOK) return false;
    // A source route through this server starts where it leaves us.
    std::size_t local = 0;
    while (local < path->RouteHosts.size() && isLocalDomain(path->RouteHosts[local])) ++local;
    path->RouteHosts.erase(path->RouteHosts.begin(), path->RouteHosts.begin() + static_cast<std::ptrdiff_t>(local));
    ForwardPaths.push_back(std::move(path));
    return true;
}

std::vector<TMessageText::TBlock> TSmtpMessageInformation::TextBlocks(std::string prefix) {
    prefix += mailrouting::joinLines(Lines);
    std::vector<TMessageText::TBlock> blocks{std::make_shared<const std::string>(std::move(prefix))};
    const auto& text = Text.Blocks();
    blocks.insert(blocks.end(), text.begin(), text.end());
    return blocks;
}

void TSmtpMessageInformation::AddReceivedHeader() {
    const std::string& from = ReversePath.RouteHosts.empty() ? ReversePath.Domain : ReversePath.RouteHosts.front();
    std::string by, date;
    if (ServerInformation) {
        by = ServerInformation->ServerName;
        date = ServerInformation->GetDateTimeText();
    } else {
        date = DateTimeText();
    }
    Lines.insert(Lines.begin(), "Received: FROM " + from + " BY " + by + " ; " + date);
}

bool TSmtpMessageInformation::SaveToQueue(std::string* queueName) {
    if (!ServerInformation) return false;
    const std::string folder = ServerInformation->QueuePath;

    std::vector<std::string> head;
    head.push_back("[Reverse Path]");
    head.push_back("From=" + ReversePath.GetPath());
    head.push_back("");
    head.push_back("[Forward Path]");
    for (const auto& path : ForwardPaths) head.push_back("To=" + path->GetPath());
    head.push_back("");
    head.push_back("[Retry]");
    head.push_back("Performed=0");
    head.push_back("Remaining=" + std::to_string(ServerInformation->ForwardRetries));
    head.push_back("");
    head.push_back("[Message]");

    std::string name = UniqueFileName(folder);  // creates the folder too
    if (name.empty()) return false;
    if (TDeliveryBatch* batch = TDeliveryBatch::Current()) {
        // Placed with the rest of the delivery; a name that a commit under
        // way is still to place is as taken as one in the folder.
        for (int attempt = 0; attempt < kQueueNameAttempts; ++attempt) {
            const std::string path = folder + name + ".txt";
            if (!batch->Files.holds(path) && !platform::commitPending(path)) {
                // The file is made and written by the commit's workers, not here.
                batch->Files.addNew(path, TextBlocks(mailrouting::joinLines(head)));
                if (queueName) *queueName = name;
                return true;
            }
            name = UniqueFileName(folder);
            if (name.empty()) return false;
        }
        return false;
    }
    platform::DurableFile file(folder);
    if (!file.write(TextBlocks(mailrouting::joinLines(head)))) return false;
    // Never replace a queue file: when the drawn name was taken meanwhile,
    // draw again.
    for (int attempt = 0; attempt < kQueueNameAttempts; ++attempt) {
        if (file.commitNew(folder + name + ".txt")) {
            if (queueName) *queueName = name;
            return true;
        }
        if (file.error() != EEXIST) return false;
        name = UniqueFileName(folder);
        if (name.empty()) return false;
    }
    return false;
}

bool TSmtpMessageInformation::GetHeader(const std::string& name, std::string& value) const {
    value.clear();
    std::size_t stop;
    const std::ptrdiff_t at = findHeader(Lines, name, stop);
    if (at < 0) return false;
    value = mailrouting::trimText(std::string_view(Lines[static_cast<std::size_t>(at)]).substr(name.size() + 1));
    return true;
}

void TSmtpMessageInformation::SetHeader(const std::string& name, const std::string& value) {
    std::size_t stop;
    const std::ptrdiff_t at = findHeader(Lines, name, stop);
    if (at >= 0) {
        std::string& line = Lines[static_cast<std::size_t>(at)];
        line = line.substr(0, name.size()) + ": " + value;
    } else {
        Lines.insert(Lines.begin() + static_cast<std::ptrdiff_t>(stop), name + ": " + value);
    }
}

void TSmtpMessageInformation::ExtractMailbox(const std::string& text, std::string& result) {
    TMessageRouteInformation path(rkOther);
    if (path.Parse(text) == rpOK)
        result = path.LocalPart + "@" + path.Domain;
    else
        result = text;
}

void TSmtpMessageInformation::ExtractPath(const std::string& text, std::string& result) {
    TMessageRouteInformation path(rkOther);
    if (path.Parse(text) == rpOK)
        result = path.GetPath();
    else
        result = text;
}

void TSmtpMessageInformation::GetFromAddresses(std::string& mailbox, std::string& path) const {
    std::string value;
    GetHeader("From", value);
    if (value.empty()) {
        mailbox.clear();
        path.clear();
        return;
    }
    ExtractMailbox(value, mailbox);
    ExtractPath(value, path);
}

void TSmtpMessageInformation::SetReplyTo(const std::string& address) {
    std::string path;
    ExtractPath(address, path);
    SetHeader("Reply-To", path);
}
