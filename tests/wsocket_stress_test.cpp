// Hostile peers against a TWSocket echo server: floods of connects that close
// or reset at once, a peer that never speaks, a peer that resets while the
// server is sending. Every other client keeps being served and nothing is
// left behind.
#include <gtest/gtest.h>

#include "support/WSocketTestUtil.h"

using namespace wstest;
using testsupport::stepUntil;
namespace net = platform::net;

namespace {

// An echo server whose sessions are released through a posted message, as
// the services do, and counted.
class EchoServer {
public:
    static constexpr unsigned WM_RELEASE = platform::WM_USER + 100;

    EchoServer() {
        wnd_ = platform::loop().createWindow([this](platform::Message& m) {
            if (m.msg != WM_RELEASE) return;
            auto* s = reinterpret_cast<TWSocket*>(m.wParam);
            for (auto it = sessions_.begin(); it != sessions_.end(); ++it)
                if (it->get() == s) {
                    sessions_.erase(it);
                    ++released_;
                    break;
                }
        });
        acc_.setup = [this](TWSocket& s) {
            s.OnDataAvailable = [](TCustomWSocket* x, std::uint16_t) {
                char buf[1024];
                int n = x->Receive(buf, sizeof buf);
                if (n > 0) x->Send(buf, n);
            };
            s.OnSessionClosed = [this](TCustomWSocket* x, std::uint16_t) {
                ++closed_;
                platform::loop().post(wnd_, WM_RELEASE, reinterpret_cast<std::intptr_t>(x));
            };
            s.OnError = [](TCustomWSocket*) {};
        };
        acc_.listener->OnError = [](TCustomWSocket*) {};
    }
    ~EchoServer() { platform::loop().destroyWindow(wnd_); }

    bool start() {
        if (!acc_.start()) return false;
        // Sessions move from the acceptor's list to ours at once.
        auto inner = acc_.listener->OnSessionAvailable;
        acc_.listener->OnSessionAvailable = [this, inner](TCustomWSocket* x, std::uint16_t e) {
            inner(x, e);
            for (auto& s : acc_.sessions) sessions_.push_back(std::move(s));
            acc_.sessions.clear();
        };
        return true;
    }
    int port() const { return acc_.port; }
    std::size_t live() const { return sessions_.size(); }
    int closed() const { return closed_; }
    int released() const { return released_; }

private:
    Acceptor acc_;
    platform::HWND wnd_ = platform::NullWindow;
    std::vector<std::unique_ptr<TWSocket>> sessions_;
    int closed_ = 0;
    int released_ = 0;
};

TEST(WSocketStress, FloodOfConnectsAndClosesWhileOthersAreServed) {
    const std::size_t sockets0 = net::openSocketCount();
    const std::size_t windows0 = platform::loop().windowCount();
    {
        EchoServer srv;
        ASSERT_TRUE(srv.start());
        RawPeer silent(srv.port());
        RawPeer talker(srv.port());
        ASSERT_TRUE(stepUntil([&] { return srv.live() == 2; }));

        std::string expect;
        const int rounds = 400;
        for (int i = 0; i < rounds; ++i) {
            {
                RawPeer flood(srv.port());
                if (i % 3 == 0) {
                    ASSERT_TRUE(flood.sendAll("half a line"));
                }
                if (i % 2 == 0) flood.reset();
            }
            if (i % 20 == 0) {
                std::string line = "line " + std::to_string(i) + "\r\n";
                expect += line;
                ASSERT_TRUE(talker.sendAll(line));
                ASSERT_TRUE(talker.readUntilBytes(expect.size()));
            }
            platform::loop().processMessages();
        }
        ASSERT_TRUE(stepUntil([&] { return srv.closed() == rounds && srv.live() == 2; }, 20000))
            << "closed " << srv.closed() << " live " << srv.live();
        EXPECT_EQ(srv.released(), rounds);
        EXPECT_EQ(talker.received(), expect);

        // The silent peer is still connected and still gets answers.
        ASSERT_TRUE(silent.sendAll("late"));
        ASSERT_TRUE(silent.readUntilBytes(4));
        EXPECT_EQ(silent.received(), "late");
        EXPECT_EQ(net::openSocketCount(), sockets0 + 3);  // listener and two sessions
    }
    drainLoop();
    EXPECT_EQ(net::openSocketCount(), sockets0);
    EXPECT_EQ(platform::loop().windowCount(), windows0);
}

TEST(WSocketStress, ResetDuringLargeRepliesLeavesOthersIntact) {
    EchoServer srv;
    ASSERT_TRUE(srv.start());
    RawPeer good(srv.port());
    ASSERT_TRUE(stepUntil([&] { return srv.live() == 1; }));
    // Each bad peer sends a lot and reads almost nothing, then resets while
    // the server still has echo bytes queued for it.
    for (int i = 0; i < 10; ++i) {
        RawPeer bad(srv.port());
        std::string chunk(256 * 1024, 'x');
        for (int k = 0; k < 8; ++k) {
            ssize_t n = ::send(bad.fd(), chunk.data(), chunk.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
            (void)n;
            platform::loop().processMessages();
        }
        bad.readUntilBytes(1000);
        bad.reset();
        ASSERT_TRUE(good.sendAll("ok\r\n"));
        ASSERT_TRUE(good.readUntilBytes(4 * static_cast<std::size_t>(i + 1)));
    }
    ASSERT_TRUE(stepUntil([&] { return srv.closed() == 10 && srv.live() == 1; }, 20000));
    EXPECT_EQ(good.received().size(), 40u);
}

}  // namespace
