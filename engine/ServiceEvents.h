// The events by which the three services (SMTP server, POP3 server, SMTP
// agent) report to the main window. Sender is always the service itself.
//  - status: Active is "listening" for the servers and "poll timer enabled"
//    for the agent; Count is the number of sessions (connections) listed now.
//  - log: Level 0 (most important) to 8 (every step); session lines carry the
//    session's identity as a prefix ("<SMTP ID n> ", "<POP3 ID n> ",
//    "<Smtp Agent ID n> ").
//  - error: Kind 0 the SMTP listener cannot bind, 1 the POP3 listener cannot
//    bind, 2 any other error of a listening socket; it follows the log line
//    that names the cause.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

using TServiceStatusEvent = std::function<void(void* Sender, bool Active, int Count)>;
using TServiceLogEvent = std::function<void(void* Sender, const std::string& Text, int Level)>;
using TServiceErrorEvent = std::function<void(void* Sender, std::uint8_t Kind)>;

// Identity of a logging object in its log lines: unique among the objects of
// the process (a counter; each object draws one at construction and keeps it).
std::int32_t NewObjectIdentity();

// A log relay gets its Sender as void*. An object that logs through a relay
// registers its identity for its lifetime (TObjectIdentityRegistration, a
// member), so that the relay can name it in the line's prefix.
void RegisterObjectIdentity(const void* Object, std::int32_t Identity);
void UnregisterObjectIdentity(const void* Object);
// The registered identity of Object; for an object never registered, its
// address read as a signed 32-bit number.
std::int32_t ObjectIdentity(const void* Object);

class TObjectIdentityRegistration {
public:
    TObjectIdentityRegistration(const void* Object, std::int32_t Identity) : FObject(Object) {
        RegisterObjectIdentity(Object, Identity);
    }
    ~TObjectIdentityRegistration() { UnregisterObjectIdentity(FObject); }
    TObjectIdentityRegistration(const TObjectIdentityRegistration&) = delete;
    TObjectIdentityRegistration& operator=(const TObjectIdentityRegistration&) = delete;

private:
    const void* FObject;
};
