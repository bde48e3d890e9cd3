// Line mode of the event socket (lines split across receives, editing and
// echo, the limit event, the last line at close, switching mode with bytes
// held) and the synchronous wait.
#include <gtest/gtest.h>

#include "platform/Clock.h"
#include "support/WSocketTestUtil.h"

using namespace wstest;
using testsupport::stepUntil;

namespace {

using Lines = std::vector<std::string>;

// A TWSocket connected to a raw peer on loopback; the socket under test is
// the connecting side.
class LinePair : public ::testing::Test {
protected:
    void SetUp() override {
        s.OnDataAvailable = [this](TCustomWSocket* x, std::uint16_t) {
            if (onData) {
                onData(x);
                return;
            }
            std::string got = x->ReceiveStr();
            if (!got.empty()) lines.push_back(got);
        };
        s.OnSessionClosed = [this](TCustomWSocket*, std::uint16_t e) { lines.push_back(Ev("Closed", e)); };
        s.SetLineMode(true);
        s.SetAddr("127.0.0.1");
        s.SetPort(std::to_string(lst.port()));
        s.Connect();
        int fd = lst.accept();
        ASSERT_GE(fd, 0);
        peer = std::make_unique<RawPeer>(fd, true);
        ASSERT_TRUE(stepUntil([&] { return s.State() == wsConnected; }));
    }
    // Sends and steps the loop until the socket has taken the bytes in.
    void feed(const std::string& bytes) {
        ASSERT_TRUE(peer->sendAll(bytes));
        drainLoop();
    }

    RawListener lst;
    TWSocket s;
    std::unique_ptr<RawPeer> peer;
    Lines lines;
    std::function<void(TCustomWSocket*)> onData;
};

TEST_F(LinePair, LineEndSplitAcrossReceives) {
    feed("ab\r");
    EXPECT_TRUE(lines.empty());
    EXPECT_EQ(s.HeldCount(), 3);
    feed("\ncd");
    EXPECT_EQ(lines, (Lines{"ab\r\n"}));
    EXPECT_EQ(s.HeldCount(), 2);
    EXPECT_TRUE(s.LineReceived());
    feed("\r\n");
    EXPECT_EQ(lines, (Lines{"ab\r\n", "cd\r\n"}));
    EXPECT_EQ(s.HeldCount(), 0);
}

TEST_F(LinePair, SeveralLinesInOneReceiveAndOtherLineEnds) {
    feed("one\r\ntwo\r\nthr");
    EXPECT_EQ(lines, (Lines{"one\r\n", "two\r\n"}));
    EXPECT_EQ(s.HeldCount(), 3);
    s.SetLineEnd("\n");
    feed("ee\nfour\n");
    EXPECT_EQ(lines, (Lines{"one\r\n", "two\r\n", "three\n", "four\n"}));
}

TEST_F(LinePair, HandlerTakesTheLineInPiecesAndNeverMore) {
    std::vector<int> counts;
    onData = [&](TCustomWSocket* x) {
        // Reads until nothing is left: a second line held behind this one
        // must not come out in the same call.
        std::string line;
        counts.push_back(x->RcvdCount());
        char buf[3];
        int n;
        while ((n = x->Receive(buf, sizeof buf)) > 0) line.append(buf, static_cast<std::size_t>(n));
        EXPECT_EQ(x->LastError(), platform::net::WSAEWOULDBLOCK);
        lines.push_back(line);
    };
    feed("hello\r\nworld\r\npartial");
    EXPECT_EQ(lines, (Lines{"hello\r\n", "world\r\n"}));
    EXPECT_EQ(counts, (std::vector<int>{7, 7}));
    EXPECT_EQ(s.HeldCount(), 7);
}

TEST_F(LinePair, HandlerReadingPartOfALineIsCalledAgainForTheRest) {
    int calls = 0;
    onData = [&](TCustomWSocket* x) {
        ++calls;
        char c;
        if (x->Receive(&c, 1) == 1) lines.push_back(std::string(1, c));
    };
    feed("abc\r\n");
    EXPECT_EQ(lines, (Lines{"a", "b", "c", "\r", "\n"}));
    EXPECT_EQ(calls, 5);
}

TEST_F(LinePair, EditingWithBackspaceAndEcho) {
    s.SetLineEdit(true);
    s.SetLineEcho(true);
    feed("abc\bd\r\n");
    EXPECT_EQ(lines, (Lines{"abd\r\n"}));
    ASSERT_TRUE(peer->readUntilBytes(9));
    EXPECT_EQ(peer->received(), "abc\b \bd\r\n");
}

TEST_F(LinePair, BackspaceAcrossReceivesAndAtTheStart) {
    s.SetLineEdit(true);
    s.SetLineEcho(true);
    feed("ab");
    feed("\b\b\bxy\r\n");
    EXPECT_EQ(lines, (Lines{"xy\r\n"}));
    // Two backspaces erase, the third finds nothing and echoes nothing.
    ASSERT_TRUE(peer->readUntilBytes(2 + 6 + 4));
    EXPECT_EQ(peer->received(), "ab\b \b\b \bxy\r\n");
}

TEST_F(LinePair, TabsExpandToMultiplesOfEight) {
    s.SetLineEdit(true);
    feed("a\tb\r\n");
    feed("12345678\tx\r\n");
    feed("\t\r\n");
    EXPECT_EQ(lines, (Lines{"a       b\r\n", "12345678        x\r\n", "        \r\n"}));
}

TEST_F(LinePair, EchoWithoutEditingSendsTheBytesBack) {
    s.SetLineEcho(true);
    feed("x\by\r\n");
    EXPECT_EQ(lines, (Lines{"x\by\r\n"}));
    ASSERT_TRUE(peer->readUntilBytes(5));
    EXPECT_EQ(peer->received(), "x\by\r\n");
}

TEST_F(LinePair, LimitEventWithClearDataTrue) {
    s.SetLineLimit(100);
    std::vector<int> seen;
    s.OnLineLimitExceeded = [&](TCustomWSocket*, int n, bool& clear) {
        seen.push_back(n);
        EXPECT_TRUE(clear);
    };
    feed(std::string(60, 'a'));
    EXPECT_TRUE(seen.empty());
    feed(std::string(60, 'b'));
    EXPECT_EQ(seen, (std::vector<int>{120}));
    EXPECT_EQ(s.HeldCount(), 0);
    feed("ok\r\n");
    EXPECT_EQ(lines, (Lines{"ok\r\n"}));
}

TEST_F(LinePair, LimitEventWithClearDataFalseKeepsTheBytes) {
    s.SetLineLimit(100);
    std::vector<int> seen;
    s.OnLineLimitExceeded = [&](TCustomWSocket*, int n, bool& clear) {
        seen.push_back(n);
        clear = false;
    };
    feed(std::string(60, 'a'));
    feed(std::string(60, 'b'));
    feed(std::string(10, 'c'));
    EXPECT_EQ(seen, (std::vector<int>{120, 130}));
    feed("\r\n");
    EXPECT_EQ(lines, (Lines{std::string(60, 'a') + std::string(60, 'b') + std::string(10, 'c') + "\r\n"}));
}

TEST_F(LinePair, DefaultLimitFiresOnTheReceiveThatCrossesIt) {
    EXPECT_EQ(s.LineLimit(), 65536);
    std::vector<int> seen;
    int heldAtEvent = -1;
    s.OnLineLimitExceeded = [&](TCustomWSocket* x, int n, bool&) {
        seen.push_back(n);
        heldAtEvent = static_cast<TWSocket*>(x)->HeldCount();
    };
    feed(std::string(65536, 'z'));
    EXPECT_TRUE(seen.empty()) << "exactly the limit is allowed";
    feed(std::string(4000, 'z'));
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0], 69536);
    EXPECT_EQ(heldAtEvent, 69536);
    EXPECT_EQ(s.HeldCount(), 0);
}

TEST_F(LinePair, LastLineDeliveredBeforeTheClose) {
    feed("xyz");
    EXPECT_EQ(s.HeldCount(), 3);
    peer->close();
    ASSERT_TRUE(stepUntil([&] { return s.State() == wsClosed; }));
    EXPECT_EQ(lines, (Lines{"xyz", "Closed(0)"}));
    EXPECT_EQ(s.HeldCount(), 0);
}

TEST_F(LinePair, OwnerClosingInsideTheHandlerGetsTheHeldBytesAsALastLine) {
    onData = [&](TCustomWSocket* x) {
        lines.push_back(x->ReceiveStr());
        x->Close();
    };
    feed("QUIT\r\nNOOP\r\nrest");
    EXPECT_EQ(lines, (Lines{"QUIT\r\n", "NOOP\r\nrest", "Closed(0)"}));
    EXPECT_EQ(s.State(), wsClosed);
}

TEST_F(LinePair, SwitchingOffHandsHeldBytesOutFirst) {
    feed("abc");
    EXPECT_EQ(s.HeldCount(), 3);
    s.SetLineMode(false);
    drainLoop();
    EXPECT_EQ(lines, (Lines{"abc"}));
    feed("def\r\n");
    EXPECT_EQ(lines, (Lines{"abc", "def\r\n"}));
}

TEST_F(LinePair, SwitchingOffInsideTheHandlerKeepsTheOrder) {
    std::string plain;
    onData = [&](TCustomWSocket* x) {
        auto* w = static_cast<TWSocket*>(x);
        if (w->LineMode()) {
            lines.push_back(x->ReceiveStr());
            w->SetLineMode(false);
            return;
        }
        char buf[4];
        int n = x->Receive(buf, sizeof buf);
        if (n > 0) plain.append(buf, static_cast<std::size_t>(n));
    };
    feed("HEAD\r\nbody bytes\r\nmore");
    EXPECT_EQ(lines, (Lines{"HEAD\r\n"}));
    EXPECT_EQ(plain, "body bytes\r\nmore");
    feed("+tail");
    EXPECT_EQ(plain, "body bytes\r\nmore+tail");
}

TEST_F(LinePair, SwitchingBackOnFindsTheHeldLines) {
    std::string plain;
    onData = [&](TCustomWSocket* x) {
        auto* w = static_cast<TWSocket*>(x);
        if (w->LineMode()) {
            lines.push_back(x->ReceiveStr());
            if (lines.size() == 1) w->SetLineMode(false);
            return;
        }
        char c;
        if (x->Receive(&c, 1) == 1) plain += c;
        w->SetLineMode(true);
    };
    feed("a\r\nbc\r\nd\r\n");
    EXPECT_EQ(lines, (Lines{"a\r\n", "c\r\n", "d\r\n"}));
    EXPECT_EQ(plain, "b");
}

TEST_F(LinePair, RedeliveryEndsWhenTheHandlerReadsNothing) {
    int calls = 0;
    onData = [&](TCustomWSocket*) { ++calls; };
    feed("held");
    s.SetLineMode(false);
    drainLoop();
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(s.HeldCount(), 4);
    // A handler that reads gets them next, before the socket's bytes.
    onData = nullptr;
    feed("!");
    EXPECT_EQ(lines, (Lines{"held", "!"}));
}

TEST_F(LinePair, LineLeftUnreadIsOfferedAgainWithTheNextData) {
    int calls = 0;
    onData = [&](TCustomWSocket*) { ++calls; };
    feed("one\r\n");
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(s.HeldCount(), 5);
    onData = nullptr;
    feed("two\r\n");
    EXPECT_EQ(lines, (Lines{"one\r\n", "two\r\n"}));
}

TEST_F(LinePair, WithoutAHandlerLinesAreDropped) {
    s.OnDataAvailable = nullptr;
    feed("lost\r\nkept");
    EXPECT_EQ(s.HeldCount(), 4);
    s.OnDataAvailable = [&](TCustomWSocket* x, std::uint16_t) { lines.push_back(x->ReceiveStr()); };
    feed("\r\n");
    EXPECT_EQ(lines, (Lines{"kept\r\n"}));
}

TEST_F(LinePair, ExceptionDuringRedeliveryAbortsTheSocket) {
    std::string seen;
    s.OnBgException = [&](TCustomWSocket*, const std::exception& e, bool&) { seen = e.what(); };
    feed("abc");
    onData = [&](TCustomWSocket* x) {
        x->ReceiveStr();
        throw std::runtime_error("handler failed");
    };
    s.SetLineMode(false);
    drainLoop();
    EXPECT_EQ(seen, "handler failed");
    EXPECT_EQ(s.State(), wsClosed);
}

TEST_F(LinePair, ExceptionInTheReceiveLoopLosesNoLine) {
    bool thrown = false;
    onData = [&](TCustomWSocket* x) {
        std::string l = x->ReceiveStr();
        lines.push_back(l);
        if (!thrown && l == "one\r\n") {
            thrown = true;
            throw std::runtime_error("once");
        }
    };
    feed("one\r\ntwo\r\n");
    EXPECT_EQ(lines, (Lines{"one\r\n"}));
    feed("three\r\n");
    EXPECT_EQ(lines, (Lines{"one\r\n", "two\r\n", "three\r\n"}));
}

// ---------------------------------------------------------------------------
// The wait

TEST(SyncWait, TimesOut) {
    TWSocket s;
    s.SetWaitTimeout(40);
    std::uint8_t flag = 0;
    const std::uint32_t start = platform::GetTickCount();
    EXPECT_EQ(s.WaitUntilReady(flag), 12001);
    EXPECT_GE(platform::GetTickCount() - start, 40u);
}

TEST(SyncWait, EndsWhenAnEventSetsTheFlag) {
    TWSocket s;
    std::uint8_t flag = 0;
    platform::Timer t;
    t.setInterval(10);
    t.OnTimer = [&] { flag = 1; };
    t.setEnabled(true);
    EXPECT_EQ(s.WaitUntilReady(flag), 0);  // no time-out: waits as long as it takes
}

TEST(SyncWait, EndsWhenTheApplicationQuits) {
    for (bool multiThreaded : {false, true}) {
        TWSocket s;
        s.SetMultiThreaded(multiThreaded);
        std::uint8_t flag = 0;
        platform::Timer t;
        t.setInterval(10);
        t.OnTimer = [&] {
            t.setEnabled(false);
            platform::loop().quit();
        };
        t.setEnabled(true);
        EXPECT_EQ(s.WaitUntilReady(flag), 12001) << multiThreaded;
        // The quit is still the loop's: its run() takes it and returns.
        platform::loop().run();
    }
}

TEST(SyncWait, RunAndWaitClearsTheFlagThenRuns) {
    RawListener lst;
    TWSocket s;
    std::uint8_t connected = 1;
    s.OnSessionConnected = [&](TCustomWSocket*, std::uint16_t) { connected = 1; };
    s.SetWaitTimeout(5000);
    int rc = s.RunAndWait(
        connected,
        [&](std::intptr_t port) {
            EXPECT_EQ(connected, 0);
            s.SetAddr("127.0.0.1");
            s.SetPort(std::to_string(port));
            s.Connect();
        },
        lst.port());
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(s.State(), wsConnected);

    s.SetWaitTimeout(20);
    std::uint8_t never = 1;
    EXPECT_EQ(s.RunAndWait(never, nullptr, 0), 12001);
}

}  // namespace
