// The SMTP session: a real server of this process on 127.0.0.1 takes one
// input per client connection. Whatever the client sends, the session is
// freed once the client has gone, and the server still greets and answers
// the next client.
#include <filesystem>
#include <memory>
#include <string>

#include "FuzzSupport.h"
#include "engine/DataU1.h"
#include "engine/SmtpServer.h"

namespace {

struct Server {
    Server() {
        fuzzsupport::setUpDataHome();
        TServerInformation& si = *ServerInformation;
        si.ServerName = "mail.test";
        si.LocalDomains = {"local.test"};
        si.SmtpBindAddress = "127.0.0.1";
        si.SmtpListenPort = fuzzsupport::freePort();
        for (const char* user : {"alice", "bob"}) {
            TPop3UserInformation u;
            u.Password = "secret";
            u.BackUpMailData = user[0] == 'b';
            FUZZ_CHECK(u.SaveUser(user));
        }
        FUZZ_CHECK(si.CreateMailList("team"));
        FUZZ_CHECK(si.AddAlias("sales", "alice"));
        smtp = std::make_unique<TSmtpServer>();
        smtp->Start();
        FUZZ_CHECK(smtp->IsListening());
    }
    // Keeps the folders small over a long run: delivered and queued mail goes.
    void sweep() {
        std::error_code ec;
        for (const std::string& folder : {ServerInformation->QueuePath, ServerInformation->MailBoxPath + "alice/",
                                         ServerInformation->MailBoxPath + "bob/BAK/"})
            for (const auto& e : std::filesystem::directory_iterator(folder, ec))
                if (e.is_regular_file() && e.path().extension() == ".txt") std::filesystem::remove(e.path(), ec);
    }
    std::unique_ptr<TSmtpServer> smtp;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static Server server;
    const int port = ServerInformation->SmtpListenPort;
    {
        fuzzsupport::LoopbackClient client(port);
        client.sendAll(std::string(reinterpret_cast<const char*>(data), size));
        client.finish(10000);
    }
    FUZZ_CHECK(fuzzsupport::stepUntil([&] { return server.smtp->ConnectionCount() == 0; }, 10000));

    fuzzsupport::LoopbackClient next(port);
    FUZZ_CHECK(next.line(10000).rfind("220 ", 0) == 0);
    FUZZ_CHECK(next.sendAll("EHLO client.test\r\n"));  // all else waits for AUTH
    FUZZ_CHECK(next.line(10000).rfind("250", 0) == 0);
    FUZZ_CHECK(next.finish(10000));
    FUZZ_CHECK(fuzzsupport::stepUntil([&] { return server.smtp->ConnectionCount() == 0; }, 10000));
    server.sweep();
    return 0;
}
