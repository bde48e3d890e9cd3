// The queue file: any file loads without harm; what was loaded is saved and
// loads again to the same fields and message bytes (no recipient lost or
// moved); a second save writes the same bytes.
#include <sstream>
#include <string>

#include "FuzzSupport.h"
#include "engine/DataU1.h"
#include "engine/MailRouting_Queue.h"

namespace {

std::string dump(const TSmtpAgentMessageInformation& m) {
    std::ostringstream o;
    o << m.ReversePath.size() << ':' << m.ReversePath << '|' << m.Performed << '|' << m.Remaining << '|';
    for (const auto& g : m.Groups) {
        o << g->Key << '{';
        for (const auto& r : g->Recipients) o << r->Address.size() << ':' << r->Address;
        o << '}';
    }
    std::string text;
    FUZZ_CHECK(platform::readContent(m.MessageContent(), 0, 1 << 26, text) == 0);
    o << text.size() << '[' << text;
    return o.str();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzzsupport::setUpDataHome();
    const std::string folder = ServerInformation->QueuePath;
    fuzzsupport::writeFile(folder + "fuzzqueue.txt", std::string(reinterpret_cast<const char*>(data), size));

    TSmtpAgentMessageInformation first;
    if (!first.LoadFromFile("fuzzqueue")) return 0;  // an empty file holds no message
    FUZZ_CHECK(first.SaveToFile("fuzzcopy"));
    const std::string saved = fuzzsupport::readFile(folder + "fuzzcopy.txt");

    TSmtpAgentMessageInformation again;
    FUZZ_CHECK(again.LoadFromFile("fuzzcopy"));
    FUZZ_CHECK(dump(again) == dump(first));
    FUZZ_CHECK(again.Save());
    FUZZ_CHECK(fuzzsupport::readFile(folder + "fuzzcopy.txt") == saved);
    return 0;
}
