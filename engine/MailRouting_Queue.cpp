#include "MailRouting_Queue.h"

#include <cerrno>
#include <cstring>
#include <sys/stat.h>

#include "DataU1.h"
#include "MailRouting_Internal.h"
#include "UtilU1.h"
#include "platform/DurableFile.h"
#include "platform/Paths.h"

namespace {

std::string queueFolder() { return ServerInformation ? ServerInformation->QueuePath : std::string(); }

bool startsWithNoCase(const std::string& line, std::string_view prefix) {
    return line.size() >= prefix.size() && platform::equalsNoCase(std::string_view(line).substr(0, prefix.size()), prefix);
}

// Index of the first line that is the section header (trimmed, any case), or
// lines.size().
std::size_t findSection(const std::vector<std::string>& lines, std::string_view header) {
    for (std::size_t i = 0; i < lines.size(); ++i)
        if (platform::equalsNoCase(mailrouting::trimText(lines[i]), header)) return i;
    return lines.size();
}

// The trimmed key lines of a section: from after its header up to the first
// line beginning with "[", or the end.
std::vector<std::string> sectionLines(const std::vector<std::string>& lines, std::string_view header) {
    std::vector<std::string> out;
    std::size_t i = findSection(lines, header);
    if (i == lines.size()) return out;
    for (++i; i < lines.size() && !(lines[i].size() > 0 && lines[i][0] == '['); ++i)
        out.push_back(mailrouting::trimText(lines[i]));
    return out;
}

}  // namespace

EQueueFileError::EQueueFileError(const std::string& path, int err)
    : std::runtime_error("Cannot read queue file " + path + ": " + std::strerror(err)), Error(err) {}

// --- recipient groups -------------------------------------------------------

void TSmtpAgentForwardInformation::ClearRecipients() {
    while (!Recipients.empty()) Recipients.pop_back();
}

void TSmtpAgentForwardInformation::Clear() {
    Key.clear();
    LastError.clear();
    Status = fsNone;
    ClearRecipients();
}

TSmtpAgentRecipient* TSmtpAgentForwardInformation::GetRecipient(std::int32_t index) const {
    if (index < 0 || index >= RecipientCount()) return nullptr;
    return Recipients[static_cast<std::size_t>(index)].get();
}

TSmtpAgentRecipient* TSmtpAgentForwardInformation::AddRecipient(const std::string& address) {
    auto recipient = std::make_unique<TSmtpAgentRecipient>();
    // Kept whole: a cut path no longer parses, so the next hop would be sent
    // a mangled address and the next rewrite would drop the recipient.
    recipient->Address = address;
    Recipients.push_back(std::move(recipient));
    return Recipients.back().get();
}

void TSmtpAgentForwardInformation::RemoveDelivered() {
    for (std::size_t i = Recipients.size(); i-- > 0;)
        if (Recipients[i]->Delivered) Recipients.erase(Recipients.begin() + static_cast<std::ptrdiff_t>(i));
}

std::int32_t TSmtpAgentForwardInformation::UndeliveredCount() const {
    std::int32_t n = 0;
    for (const auto& r : Recipients)
        if (!r->Delivered) ++n;
    return n;
}

// --- queued message ----------------------------------------------------------

void TSmtpAgentMessageInformation::ClearForwards() {
    while (!Groups.empty()) Groups.pop_back();
}

void TSmtpAgentMessageInformation::Clear() {
    Name.clear();
    ReversePath.clear();
    Performed = 0;
    Remaining = 0;
    ClearForwards();
    Lines.clear();
    Unreadable.clear();
}

TSmtpAgentForwardInformation* TSmtpAgentMessageInformation::GetForward(std::int32_t index) const {
    if (index < 0 || index >= ForwardCount()) return nullptr;
    return Groups[static_cast<std::size_t>(index)].get();
}

void TSmtpAgentMessageInformation::RemoveDelivered() {
    for (std::size_t i = Groups.size(); i-- > 0;) {
        Groups[i]->RemoveDelivered();
        if (Groups[i]->RecipientCount() == 0) Groups.erase(Groups.begin() + static_cast<std::ptrdiff_t>(i));
    }
}

bool TSmtpAgentMessageInformation::AddRecipient(const std::string& text) {
    // A control byte (a lone CR or LF above all) would end the agent's RCPT TO
    // early and hand the rest of the text to the next hop as a command.
    if (HoldsControlByte(text)) return false;
    TMessageRouteInformation path(rkForwardPath);
    if (path.Parse(text) != rpOK) return false;
    const std::string key = platform::upperCase(path.RouteHosts.empty() ? path.Domain : path.RouteHosts.front());
    for (const auto& group : Groups) {
        if (platform::upperCase(group->Key) == key) {
            group->AddRecipient(text);
            return true;
        }
    }
    auto group = std::make_unique<TSmtpAgentForwardInformation>();
    group->Key = key;
    group->AddRecipient(text);
    Groups.push_back(std::move(group));
    return true;
}

std::string TSmtpAgentMessageInformation::FileNameOf(const std::string& queueName) {
    return queueFolder() + queueName + ".txt";
}

bool TSmtpAgentMessageInformation::LoadFromFile(const std::string& queueName) {
    const std::string path = FileNameOf(queueName);
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) {
        if (errno == ENOENT || errno == ENOTDIR) return false;
        throw EQueueFileError(path, errno);
    }
    std::string data;
    if (!platform::readWholeFile(path, data)) {
        if (errno == ENOENT) return false;  // removed by another step meanwhile
        throw EQueueFileError(path, errno ? errno : EIO);
    }

    Clear();
    const std::vector<std::string> lines = mailrouting::splitLines(data);
    if (lines.empty()) return false;

    std::size_t at = findSection(lines, "[REVERSE PATH]");
    if (at + 1 < lines.size()) {
        const std::string line = mailrouting::trimText(lines[at + 1]);
        if (startsWithNoCase(line, "FROM=") && line.size() > 5) ReversePath = line.substr(5);
    }

    for (const std::string& line : sectionLines(lines, "[FORWARD PATH]"))
        if (startsWithNoCase(line, "TO=") && line.size() > 3 && !AddRecipient(line.substr(3)))
            Unreadable.push_back(line.substr(3));

    for (const std::string& line : sectionLines(lines, "[RETRY]")) {
        if (startsWithNoCase(line, "PERFORMED="))
            Performed = StrToIntDefault(line.substr(10), 0);
        else if (startsWithNoCase(line, "REMAINING="))
            Remaining = StrToIntDefault(line.substr(10), ServerInformation ? ServerInformation->ForwardRetries : 5);
    }

    at = findSection(lines, "[MESSAGE]");
    if (at < lines.size()) Lines.assign(lines.begin() + static_cast<std::ptrdiff_t>(at) + 1, lines.end());

    Name = queueName;
    return true;
}

bool TSmtpAgentMessageInformation::SaveToFile(const std::string& queueName) {
    std::vector<std::string> head;
    head.push_back("[Reverse Path]");
    head.push_back("From=" + ReversePath);
    head.push_back("");
    head.push_back("[Forward Path]");
    for (const auto& group : Groups)
        for (const auto& recipient : group->Recipients) head.push_back("To=" + recipient->Address);
    head.push_back("");
    head.push_back("[Retry]");
    head.push_back("Performed=" + std::to_string(Performed));
    head.push_back("Remaining=" + std::to_string(Remaining));
    head.push_back("");
    head.push_back("[Message]");

    const std::string folder = queueFolder();
    if (folder.empty() || queueName.empty()) return false;
    platform::DurableFile file(folder);
    if (!file.write(mailrouting::joinLines(head)) || !file.write(mailrouting::joinLines(Lines))) return false;
    if (!file.commit(FileNameOf(queueName))) return false;
    Name = queueName;
    return true;
}

bool TSmtpAgentMessageInformation::DeleteFile() {
    const std::string path = FileNameOf(Name);
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0 && errno == ENOENT) return true;
    return FileOperation(path, "", "DELETE");
}
