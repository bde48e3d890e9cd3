// The mailing-list file: any file loads without harm; what was loaded is
// saved and loads again to the same fields (a line of blanks stands as the
// blank-line marker and reads back empty; date-times keep the 15 digits of
// the system's float text); saving it again is stable.
#include <sstream>
#include <string>

#include "FuzzSupport.h"
#include "engine/DataU1.h"

namespace {

std::string dump(const TMailListInformation& l) {
    std::ostringstream o;
    // Date-times are stored as the system's float text, 15 digits.
    o.precision(15);
    auto text = [&](const std::vector<std::string>& t) {
        o << t.size() << '[';
        // A line of blanks is stored as the blank-line marker and reads back empty.
        for (const auto& e : t) {
            bool blank = true;
            for (char c : e) blank = blank && static_cast<unsigned char>(c) <= 32;
            o << (blank ? std::string("0:") : std::to_string(e.size()) + ':' + e);
        }
        o << ']';
    };
    for (const auto& m : l.Members) o << m->Active << m->Manager << m->Address.size() << ':' << m->Address;
    o << '|';
    for (const auto& p : l.PendingMembers) o << p->Expires << ';' << p->Code << ';' << p->Address.size() << ':' << p->Address;
    o << '|' << l.Password << '|' << l.MailErrorsTo << '|' << l.WelcomeFile << '|' << l.SignatureFile << '|'
      << l.FarewellFile << '|' << l.AllowOpenSubscription << l.ForceRepliesToList << l.DoNotReportListMembersToSmtp
      << l.DoNotReportListExists << l.DoNotReportListMembers << l.MemberOnlySubmission << '|' << l.DigestFile;
    text(l.WelcomeMessage);
    text(l.SignatureMessage);
    text(l.FarewellMessage);
    return o.str();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzzsupport::setUpDataHome();
    const std::string folder = ServerInformation->MailingListPath;
    fuzzsupport::writeFile(folder + "fuzzlist.ini", std::string(reinterpret_cast<const char*>(data), size));

    TMailListInformation first;
    FUZZ_CHECK(first.LoadFromFile("fuzzlist"));
    FUZZ_CHECK(first.SaveToFile("fuzzcopy", true));

    TMailListInformation again;
    FUZZ_CHECK(again.LoadFromFile("fuzzcopy"));
    FUZZ_CHECK(dump(again) == dump(first));
    // A save rewrites the member and text sections at the file's end, so the
    // first save of a foreign file may order sections anew; from then on a
    // save of what was loaded writes the same bytes.
    FUZZ_CHECK(again.SaveToFile("fuzzcopy", false));
    const std::string saved = fuzzsupport::readFile(folder + "fuzzcopy.ini");
    TMailListInformation third;
    FUZZ_CHECK(third.LoadFromFile("fuzzcopy"));
    FUZZ_CHECK(dump(third) == dump(first));
    FUZZ_CHECK(third.SaveToFile("fuzzcopy", false));
    FUZZ_CHECK(fuzzsupport::readFile(folder + "fuzzcopy.ini") == saved);
    return 0;
}
