// The POP3 session: a real server of this process on 127.0.0.1 takes one
// input per client connection, against a mailbox of two messages. Whatever
// the client sends, the session is freed once the client has gone, and the
// server still greets and answers the next client.
#include <memory>
#include <string>

#include "FuzzSupport.h"
#include "engine/DataU1.h"
#include "engine/Pop3Server.h"

namespace {

struct Server {
    Server() {
        fuzzsupport::setUpDataHome();
        TServerInformation& si = *ServerInformation;
        si.ServerName = "pop.test";
        si.Pop3BindAddress = "127.0.0.1";
        si.Pop3ListenPort = fuzzsupport::freePort();
        TPop3UserInformation u;
        u.Password = "secret";
        FUZZ_CHECK(u.SaveUser("alice"));
        pop3 = std::make_unique<TPop3Server>();
        pop3->Start();
        FUZZ_CHECK(pop3->IsListening());
    }
    // A DELE and QUIT of the last input may have emptied the mailbox.
    void refill() {
        TPop3MailInformation box;
        box.LoadMailbox("alice");
        if (box.Count() >= 2) return;
        TPop3UserInformation u;
        FUZZ_CHECK(u.LoadUser("alice"));
        u.StoreMessage("bob", {"Subject: one", "", "First.", ".dot"});
        u.StoreMessage("bob", {"Subject: two", "", "Second."});
    }
    std::unique_ptr<TPop3Server> pop3;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static Server server;
    server.refill();
    const int port = ServerInformation->Pop3ListenPort;
    {
        fuzzsupport::LoopbackClient client(port);
        client.sendAll(std::string(reinterpret_cast<const char*>(data), size));
        client.finish(10000);
    }
    FUZZ_CHECK(fuzzsupport::stepUntil([&] { return server.pop3->ConnectionCount() == 0; }, 10000));

    fuzzsupport::LoopbackClient next(port);
    FUZZ_CHECK(next.line(10000).rfind("+OK", 0) == 0);
    FUZZ_CHECK(next.sendAll("QUIT\r\n"));
    FUZZ_CHECK(next.line(10000).rfind("+OK", 0) == 0);
    FUZZ_CHECK(next.finish(10000));
    FUZZ_CHECK(fuzzsupport::stepUntil([&] { return server.pop3->ConnectionCount() == 0; }, 10000));
    return 0;
}
