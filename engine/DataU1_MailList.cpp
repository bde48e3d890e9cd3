// The mailing-list definition and its file. The file is the only shared
// state between the list processor and the editor; the stamp taken at load
// and save keeps one from overwriting a change the other made meanwhile.
#include <cerrno>
#include <charconv>
#include <cmath>
#include <exception>

#include "DataU1.h"
#include "DataU1_Internal.h"
#include "UtilU1.h"
#include "platform/Clock.h"
#include "platform/Paths.h"
#include "platform/Profile.h"

namespace {

constexpr std::size_t kMaxAddress = 255;
constexpr const char* kBlankMarker = "<This line intentionally left blank.>";

constexpr const char* kMembers = "Members";
constexpr const char* kPending = "Pending Members";
constexpr const char* kWelcome = "Welcome Message";
constexpr const char* kSignature = "Signature Message";
constexpr const char* kFarewell = "Farewell Message";
constexpr const char* kSecurity = "Security";
constexpr const char* kGeneral = "General";
constexpr const char* kAutoFiles = "Auto Files";
constexpr const char* kBehavior = "List Behavior";
constexpr const char* kDigest = "Digest";

constexpr const char* kAllowOpen = "Allow Open (Public) Subscription";
constexpr const char* kForceReplies = "Force Replies to List";
constexpr const char* kHideFromSmtp = "Do not report List Members to SMTP";
constexpr const char* kHideExists = "Do not report List Exists";
constexpr const char* kHideMembers = "Do not report List Members";
constexpr const char* kMemberOnly = "Member-Only Submission";

std::string listFile(const std::string& name) {
    return ServerInformation ? ServerInformation->MailListFileName(name) : std::string();
}

std::string valueOf(const std::string& line) { return line.substr(line.find('=') + 1); }

// Float text as the system writes it ("." as decimal separator); "," is read
// as well, so files written under a comma locale load too.
std::string floatText(double v) {
    char buf[64];
    auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::general, 15);
    return std::string(buf, r.ptr);
}

bool parseFloat(const std::string& text, double& value) {
    std::string t = datau1::trimText(text);
    if (!t.empty() && t.front() == '+') t.erase(0, 1);
    for (char& c : t)
        if (c == ',') c = '.';
    if (t.empty()) return false;
    double v = 0;
    auto r = std::from_chars(t.data(), t.data() + t.size(), v);
    if (r.ec != std::errc() || r.ptr != t.data() + t.size() || !std::isfinite(v)) return false;
    value = v;
    return true;
}

void loadText(const platform::Profile& ini, const char* section, std::vector<std::string>& text) {
    text.clear();
    for (const std::string& line : ini.sectionValues(section)) {
        std::string v = valueOf(line);
        text.push_back(v == kBlankMarker ? std::string() : v);
    }
}

void saveText(platform::Profile& ini, const char* section, const std::vector<std::string>& text) {
    ini.eraseSection(section);
    for (std::size_t i = 0; i < text.size(); ++i)
        ini.writeString(section, std::to_string(i), datau1::trimText(text[i]).empty() ? kBlankMarker : text[i]);
}

}  // namespace

void TMailListInformation::Clear() {
    ClearMembers();
    ClearPendingMembers();
    Password.clear();
    MailErrorsTo.clear();
    WelcomeFile.clear();
    SignatureFile.clear();
    FarewellFile.clear();
    WelcomeMessage.clear();
    SignatureMessage.clear();
    FarewellMessage.clear();
    AllowOpenSubscription = true;
    ForceRepliesToList = true;
    DoNotReportListMembersToSmtp = false;
    DoNotReportListExists = false;
    DoNotReportListMembers = false;
    MemberOnlySubmission = false;
    DigestFile.clear();
}

void TMailListInformation::ClearMembers() {
    while (!Members.empty()) Members.pop_back();
}

void TMailListInformation::ClearPendingMembers() {
    while (!PendingMembers.empty()) PendingMembers.pop_back();
}

TMailListMember* TMailListInformation::GetMember(std::int32_t index) const {
    if (index < 0 || index >= MemberCount()) return nullptr;
    return Members[static_cast<std::size_t>(index)].get();
}

TMailListMember* TMailListInformation::AddMember(bool active, bool manager, const std::string& address) {
    if (address.empty()) return nullptr;
    auto m = std::make_unique<TMailListMember>();
    m->Active = active;
    m->Manager = manager;
    m->Address = address.substr(0, kMaxAddress);
    Members.push_back(std::move(m));
    return Members.back().get();
}

void TMailListInformation::DeleteMember(std::int32_t index) {
    if (index < 0 || index >= MemberCount()) return;
    Members.erase(Members.begin() + index);
}

TMailListPendingMember* TMailListInformation::GetPendingMember(std::int32_t index) const {
    if (index < 0 || index >= PendingMemberCount()) return nullptr;
    return PendingMembers[static_cast<std::size_t>(index)].get();
}

TMailListPendingMember* TMailListInformation::AddPendingMember(std::int32_t code, const std::string& address,
                                                               double expires) {
    if (address.empty()) return nullptr;
    auto p = std::make_unique<TMailListPendingMember>();
    p->Code = code;
    p->Address = address.substr(0, kMaxAddress);
    p->Expires = expires;
    PendingMembers.push_back(std::move(p));
    return PendingMembers.back().get();
}

void TMailListInformation::DeletePendingMember(std::int32_t index) {
    if (index < 0 || index >= PendingMemberCount()) return;
    PendingMembers.erase(PendingMembers.begin() + index);
}

void TMailListInformation::RemovePendingMember(const TMailListPendingMember* member) {
    for (std::size_t i = PendingMembers.size(); i-- > 0;)
        if (PendingMembers[i].get() == member) PendingMembers.erase(PendingMembers.begin() + static_cast<std::ptrdiff_t>(i));
}

TMailListPendingMember* TMailListInformation::FindPendingMember(std::int32_t code) const {
    for (const auto& p : PendingMembers)
        if (p->Code == code) return p.get();
    return nullptr;
}

// Random draws while codes are plentiful, then one scan, so that a list whose
// pending records hold every code still gets an answer.
std::int32_t TMailListInformation::NewConfirmationCode() const {
    constexpr std::int32_t kRange = 10000;
    for (int attempt = 0; attempt < 1000; ++attempt) {
        std::int32_t code = Random(kRange);
        if (!FindPendingMember(code)) return code;
    }
    std::int32_t start = Random(kRange);
    for (std::int32_t i = 0; i < kRange; ++i) {
        std::int32_t code = (start + i) % kRange;
        if (!FindPendingMember(code)) return code;
    }
    return -1;
}

bool TMailListInformation::LoadFromFile(const std::string& name) {
    Clear();
    try {
        std::string path = listFile(name);
        if (path.empty()) return false;
        std::string bytes;
        platform::FileStamp file;
        if (!platform::readWholeFile(path, bytes, &file)) return errno == ENOENT;
        platform::Profile ini;
        ini.parse(bytes);

        for (const std::string& line : ini.sectionValues(kMembers)) {
            std::string v = valueOf(line);
            auto first = v.find(';');
            if (first == std::string::npos) continue;
            auto second = v.find(';', first + 1);
            if (second == std::string::npos) continue;
            std::string state = platform::upperCase(v.substr(0, first));
            std::string manager = platform::upperCase(v.substr(first + 1, second - first - 1));
            std::string address = v.substr(second + 1);
            if (address.empty()) continue;
            AddMember(state != "INACTIVE", manager != "NOMANAGER", address);
        }

        for (const std::string& line : ini.sectionValues(kPending)) {
            std::string v = valueOf(line);
            auto first = v.find(';');
            if (first == std::string::npos) continue;
            auto second = v.find(';', first + 1);
            if (second == std::string::npos) continue;
            double expires = 0;
            if (!parseFloat(v.substr(0, first), expires)) expires = platform::Now();
            std::int32_t code = StrToIntDefault(v.substr(first + 1, second - first - 1), -1);
            // Cut to the field's width before the trim, so what is stored
            // reads back the same.
            std::string address = datau1::trimText(std::string_view(v).substr(second + 1, kMaxAddress));
            if (address.empty()) continue;
            AddPendingMember(code, address, expires);
        }

        loadText(ini, kWelcome, WelcomeMessage);
        loadText(ini, kSignature, SignatureMessage);
        loadText(ini, kFarewell, FarewellMessage);
        Password = ini.readString(kSecurity, "Password", "");
        MailErrorsTo = ini.readString(kGeneral, "Mail Errors To", "");
        WelcomeFile = ini.readString(kAutoFiles, "Welcome", "");
        SignatureFile = ini.readString(kAutoFiles, "Signature", "");
        FarewellFile = ini.readString(kAutoFiles, "Farewell", "");
        AllowOpenSubscription = ini.readBool(kBehavior, kAllowOpen, true);
        ForceRepliesToList = ini.readBool(kBehavior, kForceReplies, true);
        DoNotReportListMembersToSmtp = ini.readBool(kBehavior, kHideFromSmtp, false);
        DoNotReportListExists = ini.readBool(kBehavior, kHideExists, false);
        DoNotReportListMembers = ini.readBool(kBehavior, kHideMembers, false);
        MemberOnlySubmission = ini.readBool(kBehavior, kMemberOnly, false);
        DigestFile = ini.readString(kDigest, "Filename", "");

        Stamp = {file, datau1::digestOf(bytes)};
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

bool TMailListInformation::SaveToFile(const std::string& name, bool force) {
    try {
        std::string path = listFile(name);
        if (path.empty()) return false;
        std::string bytes;
        platform::FileStamp file;
        bool exists = platform::readWholeFile(path, bytes, &file);
        if (!exists && errno != ENOENT) return false;  // cannot tell, and cannot keep its other sections
        if (exists && !force && !(TListFileStamp{file, datau1::digestOf(bytes)} == Stamp)) return false;

        platform::Profile ini;
        if (exists) ini.parse(bytes);

        ini.eraseSection(kMembers);
        for (std::size_t i = 0; i < Members.size(); ++i) {
            const auto& m = *Members[i];
            ini.writeString(kMembers, std::to_string(i),
                            std::string(m.Active ? "ACTIVE;" : "INACTIVE;") +
                                (m.Manager ? "MANAGER;" : "NOMANAGER;") + m.Address);
        }
        ini.eraseSection(kPending);
        for (std::size_t i = 0; i < PendingMembers.size(); ++i) {
            const auto& p = *PendingMembers[i];
            ini.writeString(kPending, std::to_string(i),
                            floatText(p.Expires) + ";" + std::to_string(p.Code) + ";" + p.Address);
        }
        saveText(ini, kWelcome, WelcomeMessage);
        saveText(ini, kSignature, SignatureMessage);
        saveText(ini, kFarewell, FarewellMessage);
        ini.writeString(kSecurity, "Password", Password);
        ini.writeString(kGeneral, "Mail Errors To", MailErrorsTo);
        ini.writeString(kAutoFiles, "Welcome", WelcomeFile);
        ini.writeString(kAutoFiles, "Signature", SignatureFile);
        ini.writeString(kAutoFiles, "Farewell", FarewellFile);
        ini.writeBool(kBehavior, kAllowOpen, AllowOpenSubscription);
        ini.writeBool(kBehavior, kForceReplies, ForceRepliesToList);
        ini.writeBool(kBehavior, kHideFromSmtp, DoNotReportListMembersToSmtp);
        ini.writeBool(kBehavior, kHideExists, DoNotReportListExists);
        ini.writeBool(kBehavior, kHideMembers, DoNotReportListMembers);
        ini.writeBool(kBehavior, kMemberOnly, MemberOnlySubmission);
        ini.writeString(kDigest, "Filename", DigestFile);

        std::string text = ini.text();
        platform::FileStamp written;
        if (!platform::writeFileDurably(path, text, &written)) return false;
        Stamp = {written, datau1::digestOf(text)};
        return true;
    } catch (const std::exception&) {
        return false;
    }
}
