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
    Text.clear();
    LineCount = 0;
    LineFeedsOnly = false;
    EndsOpen = false;
    EndsInCR = false;
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
    return TakeScan(ScanQueueFile(FileNameOf(queueName)), queueName);
}

TQueueFileScan ScanQueueFile(const std::string& path) {
    TQueueFileScan scan;
    auto file = platform::SourceFile::open(path);
    struct stat st;
    if (!file || ::fstat(file->fd(), &st) != 0) {
        scan.Error = errno ? errno : EIO;
        return scan;
    }
    scan.Size = static_cast<std::uint64_t>(st.st_size);
    const platform::Content whole{platform::ContentPiece(file, 0, scan.Size)};
    constexpr std::size_t kStep = 256 * 1024;
    std::string buf;

    // First the line ends of the whole file: which kind ends lines, and how
    // many there are.
    std::uint64_t crlf = 0, lf = 0;
    char prev = 0, last = 0;
    for (std::uint64_t at = 0; at < scan.Size; at += buf.size()) {
        if (int err = platform::readContent(whole, at, kStep, buf)) {
            scan.Error = err;
            return scan;
        }
        if (buf.empty()) break;  // cut meanwhile
        for (char c : buf) {
            if (c == '\n') {
                ++lf;
                if (last == '\r') ++crlf;
            }
            prev = last;
            last = c;
        }
    }
    scan.LineFeedsOnly = crlf == 0;
    // A last line without its CR LF still counts as a line; one that ends
    // in LF alone needs no line end added to be stored as whole lines.
    const bool partial = scan.Size > 0 && (last != '\n' || (!scan.LineFeedsOnly && prev != '\r'));
    scan.EndsOpen = scan.Size > 0 && last != '\n';
    scan.EndsInCR = scan.Size > 0 && last == '\r';

    // Then the envelope, up to the [Message] line.
    std::uint64_t endsBefore = 0;  // line ends up to the message
    std::string line;
    bool found = false;
    for (std::uint64_t at = 0; at < scan.Size && !found; at += buf.size()) {
        if (int err = platform::readContent(whole, at, kStep, buf)) {
            scan.Error = err;
            return scan;
        }
        if (buf.empty()) break;
        for (std::size_t i = 0; i < buf.size(); ++i) {
            const char c = buf[i];
            line += c;
            const bool end = c == '\n' && (scan.LineFeedsOnly || (line.size() >= 2 && line[line.size() - 2] == '\r'));
            if (!end) continue;
            line.resize(line.size() - (line.size() >= 2 && line[line.size() - 2] == '\r' ? 2 : 1));
            ++endsBefore;
            if (platform::equalsNoCase(mailrouting::trimText(line), "[MESSAGE]")) {
                scan.MessageAt = at + i + 1;
                found = true;
                break;
            }
            scan.Envelope.push_back(std::move(line));
            line.clear();
        }
    }
    if (!found) {
        // No message: the whole file is envelope, a last line without its
        // end included.
        if (!line.empty()) {
            if (platform::equalsNoCase(mailrouting::trimText(line), "[MESSAGE]")) line.clear();
            else scan.Envelope.push_back(std::move(line));
        }
        scan.MessageAt = scan.Size;
    } else {
        const std::uint64_t ends = scan.LineFeedsOnly ? lf : crlf;
        scan.MessageLines = ends - endsBefore + (partial && scan.MessageAt < scan.Size ? 1 : 0);
    }
    scan.File = std::move(file);
    return scan;
}

bool TSmtpAgentMessageInformation::TakeScan(const TQueueFileScan& scan, const std::string& queueName) {
    if (scan.Error != 0) {
        if (scan.Error == ENOENT || scan.Error == ENOTDIR) return false;
        throw EQueueFileError(FileNameOf(queueName), scan.Error);
    }
    if (scan.Size == 0) return false;

    Clear();
    const std::vector<std::string>& lines = scan.Envelope;
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

    if (scan.MessageAt < scan.Size) Text.emplace_back(scan.File, scan.MessageAt, scan.Size - scan.MessageAt);
    LineCount = scan.MessageLines;
    LineFeedsOnly = scan.LineFeedsOnly;
    EndsOpen = scan.EndsOpen && !Text.empty();
    EndsInCR = EndsOpen && scan.EndsInCR;
    Name = queueName;
    return true;
}

platform::Content TSmtpAgentMessageInformation::MessageContent() const {
    platform::Content content = Text;
    // A lone CR already ends its line on the wire; CR LF after it would add
    // an empty line from the second session on.
    if (EndsOpen) content.emplace_back(std::make_shared<const std::string>(EndsInCR ? "\n" : "\r\n"));
    return content;
}

namespace {

std::string envelopeText(const TSmtpAgentMessageInformation& m) {
    std::vector<std::string> head;
    head.push_back("[Reverse Path]");
    head.push_back("From=" + m.ReversePath);
    head.push_back("");
    head.push_back("[Forward Path]");
    for (const auto& group : m.Groups)
        for (const auto& recipient : group->Recipients) head.push_back("To=" + recipient->Address);
    head.push_back("");
    head.push_back("[Retry]");
    head.push_back("Performed=" + std::to_string(m.Performed));
    head.push_back("Remaining=" + std::to_string(m.Remaining));
    head.push_back("");
    head.push_back("[Message]");
    return mailrouting::joinLines(head);
}

}  // namespace

bool TSmtpAgentMessageInformation::SaveToFile(const std::string& queueName) {
    const std::string folder = queueFolder();
    if (folder.empty() || queueName.empty()) return false;
    platform::DurableFile file(folder);
    if (!file.write(envelopeText(*this)) || !file.write(MessageContent())) return false;
    if (!file.commit(FileNameOf(queueName))) return false;
    Name = queueName;
    return true;
}

platform::CommitTicket TSmtpAgentMessageInformation::StartSave(platform::HWND wnd, unsigned msg) const {
    const std::string folder = queueFolder();
    if (folder.empty() || Name.empty()) return 0;
    auto file = std::make_unique<platform::DurableFile>(folder);
    if (!file->ok()) return 0;
    platform::Content content{std::make_shared<const std::string>(envelopeText(*this))};
    for (auto& piece : MessageContent()) content.push_back(std::move(piece));
    platform::CommitSet set;
    set.add(std::move(file), FileNameOf(Name), true, std::move(content));
    return platform::startCommit(std::move(set), wnd, msg);
}

namespace {

bool deleteQueueFile(const std::string& path) {
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0 && errno == ENOENT) return true;
    return FileOperation(path, "", "DELETE");
}

}  // namespace

bool TSmtpAgentMessageInformation::DeleteFile() { return deleteQueueFile(FileNameOf(Name)); }

platform::FileWorkTicket TSmtpAgentMessageInformation::StartDelete(platform::HWND wnd, unsigned msg) const {
    return platform::startFileWork([path = FileNameOf(Name)]() -> std::intptr_t { return deleteQueueFile(path) ? 1 : 0; },
                                   wnd, msg);
}
