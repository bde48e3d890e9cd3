// End to end: a real SMTP client (Python's smtplib) hands a message for a
// remote address to the SMTP server; with "Fire Queue Immediately" on, routing
// asks the main window to run the agent at once, and the agent relays it to a
// real SMTP server (python3-aiosmtpd). The client speaks AUTH LOGIN step by
// step, as the server wants it (no initial response).
#include "engine/MailRouting.h"
#include "engine/SmtpServer.h"
#include "support/AgentHarness.h"
#include "support/Peers.h"

using namespace agenttest;
using namespace testpeers;
using testsupport::stepUntil;

TEST_F(AgentTest, MessageFromSmtplibReachesTheRemoteServer) {
    const std::string SinkAddr = uniqueLoopback(71);
    SmtpSinkPeer Sink(SinkAddr, 25);
    ASSERT_TRUE(Sink.ready());

    ServerInformation->FireQueueImmediately = true;
    ServerInformation->SmtpBindAddress = "127.0.0.1";
    ServerInformation->SmtpListenPort = testsupport::freePort();
    ASSERT_TRUE(ServerInformation->CreateUser("sender"));
    TPop3UserInformation User;
    ASSERT_TRUE(User.LoadUser("sender"));
    User.Password = "secret";
    ASSERT_TRUE(User.SaveUser("sender"));

    // The main window's part: WM_SERVICE_QUEUE runs the agent's queue now.
    int Requests = 0;
    const platform::HWND Main = platform::loop().createWindow([&](platform::Message& M) {
        if (M.msg == WM_SERVICE_QUEUE) {
            ++Requests;
            Agent->ServiceQueueNow();
        }
    });
    SetServiceQueueWindow(Main);

    TSmtpServer Server;
    std::string ServerLog;
    Server.OnLog = [&](void*, const std::string& T, int L) { ServerLog += std::to_string(L) + " " + T + "\n"; };
    Server.Start();
    ASSERT_TRUE(Server.IsListening()) << ServerLog;

    const std::string Script =
        "import base64, smtplib, sys\n"
        "s = smtplib.SMTP('127.0.0.1', int(sys.argv[1]), timeout=20)\n"
        "s.ehlo('client.test')\n"
        "def step(cmd, want):\n"
        "    code, text = s.docmd(cmd)\n"
        "    if code != want: sys.exit('%s: %d %s' % (cmd, code, text))\n"
        "step('AUTH LOGIN', 334)\n"
        "step(base64.b64encode(b'sender').decode(), 334)\n"
        "step(base64.b64encode(b'secret').decode(), 235)\n"
        "msg = 'From: sender@agent.local.test\\r\\nSubject: end to end\\r\\n\\r\\nfirst\\r\\n.dotted\\r\\nlast\\r\\n'\n"
        "s.sendmail('sender@agent.local.test', [sys.argv[2]], msg)\n"
        "s.quit()\n";
    testsupport::Child Client({testsupport::python(), "-c", Script, std::to_string(ServerInformation->SmtpListenPort),
                               "friend@[" + SinkAddr + "]"});
    ASSERT_TRUE(Client.wait(30000));
    ASSERT_EQ(Client.exitCode(), 0) << Client.output() << ServerLog;

    ASSERT_TRUE(stepUntil([&] { return Sink.count() == 1 && Agent->ConnectionCount() == 0; }, 20000))
        << dump() << ServerLog;
    EXPECT_GE(Requests, 1);
    const auto M = Sink.messages();
    EXPECT_EQ(M[0].MailFrom, "sender@agent.local.test");
    EXPECT_EQ(M[0].RcptTos, std::vector<std::string>{"friend@[" + SinkAddr + "]"});
    // The server's Received line on top, then the client's text as sent.
    EXPECT_EQ(M[0].Data.rfind("Received: FROM agent.local.test BY agent.local.test ; ", 0), 0u) << M[0].Data;
    EXPECT_NE(M[0].Data.find("\r\nFrom: sender@agent.local.test\r\nSubject: end to end\r\n\r\nfirst\r\n.dotted\r\nlast\r\n"),
              std::string::npos)
        << M[0].Data;
    EXPECT_TRUE(hasLog("Processing Successful.  Deleting files..."));

    Server.Shutdown();
    SetServiceQueueWindow(platform::NullWindow);
    platform::loop().destroyWindow(Main);
}
