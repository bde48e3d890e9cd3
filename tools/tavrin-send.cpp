// tavrin-send: sends one named control message to every Tavrin window of
// this user, as any program may, and waits until each has handled it.
//
//   tavrin-send [-t MS] NAME [WPARAM [LPARAM]]
//
// NAME is a registered message name such as TavrinShutdown or
// TavrinStartSMTPServer. For TavrinSendStatus the tool also listens for the
// TavrinStatus answers that the running servers broadcast, and prints one line
// per answer:
//   TavrinStatus wParam=<server pid> lParam=<bits> SMTPServer=0|1 SMTPAgent=0|1 POP3Server=0|1
// -t bounds the wait for each receiver in milliseconds (default: no bound).
//
// Exit status: 0 when at least one Tavrin window handled the message (for
// TavrinSendStatus: when at least one status answer came), 1 when none did,
// 2 for a usage error.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "platform/Bus.h"
#include "platform/Paths.h"

namespace {

int usage() {
    std::fprintf(stderr, "usage: tavrin-send [-t MS] NAME [WPARAM [LPARAM]]\n");
    return 2;
}

bool parseNumber(const char* text, long long& out) {
    char* end = nullptr;
    errno = 0;
    out = std::strtoll(text, &end, 0);
    return errno == 0 && end != text && *end == '\0';
}

}  // namespace

int main(int argc, char** argv) {
    int timeoutMs = -1;
    int i = 1;
    if (i < argc && std::strcmp(argv[i], "-t") == 0) {
        long long t;
        if (i + 1 >= argc || !parseNumber(argv[i + 1], t) || t < 0 || t > 86400000) return usage();
        timeoutMs = static_cast<int>(t);
        i += 2;
    }
    if (i >= argc || argc - i > 3) return usage();
    std::string name = argv[i++];
    long long w = 0, l = 0;
    if (i < argc && !parseNumber(argv[i++], w)) return usage();
    if (i < argc && !parseNumber(argv[i++], l)) return usage();

    unsigned msg = platform::registerWindowMessage(name);
    if (msg == 0) {
        std::fprintf(stderr, "tavrin-send: not a message name: %s\n", name.c_str());
        return 2;
    }

    bool askStatus = platform::equalsNoCase(name, "TavrinSendStatus");
    int answers = 0;
    std::unique_ptr<platform::BusListener> listener;
    if (askStatus) {
        unsigned status = platform::registerWindowMessage("TavrinStatus");
        listener = std::make_unique<platform::BusListener>(
            [status, &answers](unsigned m, std::intptr_t wp, std::intptr_t lp) -> std::intptr_t {
                if (m != status) return 0;
                ++answers;
                std::printf("TavrinStatus wParam=%lld lParam=%lld SMTPServer=%d SMTPAgent=%d POP3Server=%d\n",
                            static_cast<long long>(wp), static_cast<long long>(lp), (lp & 1) ? 1 : 0,
                            (lp & 2) ? 1 : 0, (lp & 4) ? 1 : 0);
                std::fflush(stdout);
                return 0;
            });
        if (!listener->active()) {
            std::fprintf(stderr, "tavrin-send: cannot listen for the status answer\n");
            return 1;
        }
    }

    platform::BroadcastResult r = platform::broadcastMessage(msg, static_cast<std::intptr_t>(w),
                                                             static_cast<std::intptr_t>(l), timeoutMs);
    int others = r.delivered - (listener ? 1 : 0);
    if (askStatus) {
        if (answers == 0) {
            std::fprintf(stderr, "tavrin-send: no status answer (is Tavrin running?)\n");
            return 1;
        }
        return 0;
    }
    if (others <= 0) {
        std::fprintf(stderr, "tavrin-send: no Tavrin window received %s\n", name.c_str());
        return 1;
    }
    return 0;
}
