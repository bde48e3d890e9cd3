#include "ServiceEvents.h"

#include <unordered_map>

namespace {
std::int32_t g_nextIdentity = 1;
}

std::int32_t NewObjectIdentity() { return g_nextIdentity++; }

namespace {
std::unordered_map<const void*, std::int32_t>& identities() {
    static std::unordered_map<const void*, std::int32_t> map;
    return map;
}
}  // namespace

void RegisterObjectIdentity(const void* Object, std::int32_t Identity) { identities()[Object] = Identity; }

void UnregisterObjectIdentity(const void* Object) { identities().erase(Object); }

std::int32_t ObjectIdentity(const void* Object) {
    auto& map = identities();
    auto it = map.find(Object);
    if (it != map.end()) return it->second;
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(Object)));
}
