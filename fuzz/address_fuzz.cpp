// Envelope path syntax: any text parses without harm, and a path that parses
// with code 0 and reads back the same is written by GetPath() so that it
// parses again to the same route, local part and domain, and is written the
// same again. A path that would not read back is one the SMTP session
// refuses at RCPT; ReadsBackSame() must tell the two apart truly.
#include <string>

#include "FuzzSupport.h"
#include "engine/UtilU1_Address.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    TMessageRouteInformation route(rkForwardPath);
    const int code = route.Parse(text);
    FUZZ_CHECK(code >= rpOK && code <= rpBadQuoting);
    const std::string path = route.GetPath();
    FUZZ_CHECK(path.size() >= 2 && path.front() == '<' && path.back() == '>');

    TMessageRouteInformation again(rkForwardPath);
    const bool same = again.Parse(path) == rpOK && again.RouteHosts == route.RouteHosts &&
                      again.LocalPart == route.LocalPart && again.Domain == route.Domain;
    FUZZ_CHECK(route.ReadsBackSame() == same);
    if (code == rpOK && same) FUZZ_CHECK(again.GetPath() == path);

    // The helpers the session and routing apply to the same texts.
    IsIPAddress(text);
    IsValidEMailAddress(text);
    FormatMailbox(route.LocalPart, text);
    return 0;
}
