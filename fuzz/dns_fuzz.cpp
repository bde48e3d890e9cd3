// The DNS reply parser: any datagram is safe, the done event fires exactly
// when the reply is taken (and then without error), and the tables never
// claim more entries than they hold.
#include <algorithm>
#include <memory>

#include "FuzzSupport.h"
#include "sockets/DnsQuery.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static auto query = std::make_unique<TDnsQuery>();
    int fired = 0;
    std::uint16_t error = 0xFFFF;
    query->OnRequestDone = [&](TDnsQuery*, std::uint16_t e) {
        ++fired;
        error = e;
    };
    const bool taken = query->TakeReply(data, static_cast<int>(std::min<std::size_t>(size, 1 << 16)));
    FUZZ_CHECK(fired == (taken ? 1 : 0));
    if (taken) FUZZ_CHECK(error == 0);

    FUZZ_CHECK(query->MXCount() >= 0 && query->MXCount() <= TDnsQuery::MaxMX);
    FUZZ_CHECK(query->AddressCount() >= 0 && query->AddressCount() <= TDnsQuery::MaxAddresses);
    FUZZ_CHECK(query->HostnameCount() >= 0 && query->HostnameCount() <= TDnsQuery::MaxHostnames);
    std::size_t total = 0;
    for (int i = -1; i <= query->MXCount(); ++i)
        total += query->GetMXExchange(i).size() + static_cast<std::size_t>(query->GetMXPreference(i) & 1);
    for (int i = 0; i < query->HostnameCount(); ++i) total += query->Hostname()[i].size();
    FUZZ_CHECK(total < (1u << 20));
    return 0;
}
