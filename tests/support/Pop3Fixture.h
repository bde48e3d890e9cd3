// A fixture for the POP3 suites: a fresh base folder and settings object, a
// TPop3Server listening on 127.0.0.1 at a free port with its events recorded,
// helpers to make users and fill mailboxes through the data layer, and a
// line-oriented POP3 peer that steps the loop while it waits.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "engine/DataU1.h"
#include "engine/Pop3Server.h"
#include "platform/Clock.h"
#include "support/DataFixture.h"
#include "support/TestSupport.h"
#include "support/WSocketTestUtil.h"

namespace pop3test {

struct LogLine {
    std::string text;
    int level;
};

struct StatusEvent {
    bool active;
    int count;
};

// A POP3 client by hand: each reply line is read with the loop stepped.
class Peer {
public:
    explicit Peer(int port) : raw_(port) {}

    // The next line without its CR LF; "<timeout>" or "<closed>" when none came.
    std::string line(int timeoutMs = 10000) {
        std::size_t pos = std::string::npos;
        testsupport::stepUntil(
            [&] {
                raw_.readNow();
                pos = raw_.received().find("\r\n", consumed_);
                return pos != std::string::npos || raw_.closed();
            },
            timeoutMs);
        if (pos == std::string::npos) return raw_.closed() ? "<closed>" : "<timeout>";
        std::string l = raw_.received().substr(consumed_, pos - consumed_);
        consumed_ = pos + 2;
        return l;
    }
    // The body of a multi-line answer (after its status line), up to and
    // without the terminating ".", as it came on the wire (still stuffed).
    std::string body(int timeoutMs = 10000) {
        std::size_t end = std::string::npos;
        testsupport::stepUntil(
            [&] {
                raw_.readNow();
                const std::string& r = raw_.received();
                if (r.compare(consumed_, 3, ".\r\n") == 0) {
                    end = consumed_;
                } else {
                    std::size_t p = r.find("\r\n.\r\n", consumed_);
                    if (p != std::string::npos) end = p + 2;
                }
                return end != std::string::npos || raw_.closed();
            },
            timeoutMs);
        if (end == std::string::npos) return "<incomplete>";
        std::string b = raw_.received().substr(consumed_, end - consumed_);
        consumed_ = end + 3;
        return b;
    }
    void send(const std::string& bytes) { EXPECT_TRUE(raw_.sendAll(bytes)); }
    // Sends a command and returns the first reply line.
    std::string cmd(const std::string& command) {
        send(command + "\r\n");
        return line();
    }
    bool waitClosed(int timeoutMs = 10000) { return raw_.waitClosed(timeoutMs); }
    // True when nothing more arrives while the loop runs for a short while.
    bool quiet(int ms = 200) {
        testsupport::stepUntil([] { return false; }, ms);
        raw_.readNow();
        return raw_.received().size() == consumed_;
    }
    wstest::RawPeer& raw() { return raw_; }

private:
    wstest::RawPeer raw_;
    std::size_t consumed_ = 0;
};

class Pop3Fixture : public testsupport::DataFixture {
protected:
    void SetUp() override {
        DataFixture::SetUp();
        port = testsupport::freePort();
        si().Pop3BindAddress = "127.0.0.1";
        si().Pop3ListenPort = port;
        si().ServerName = "pop.example.test";
        server = std::make_unique<TPop3Server>();
        server->OnLog = [this](void* sender, const std::string& text, int level) {
            EXPECT_EQ(sender, server.get());
            logs.push_back({text, level});
        };
        server->OnStatus = [this](void* sender, bool active, int count) {
            EXPECT_EQ(sender, server.get());
            statuses.push_back({active, count});
        };
        server->OnError = [this](void* sender, std::uint8_t kind) {
            EXPECT_EQ(sender, server.get());
            errors.push_back(kind);
        };
        if (startServer) {
            server->Start();
            ASSERT_TRUE(server->IsListening());
        }
    }
    void TearDown() override {
        if (server) server->Shutdown();
        server.reset();
        DataFixture::TearDown();
    }

    void addUser(const std::string& name, const std::string& password) {
        ASSERT_TRUE(si().CreateUser(name));
        TPop3UserInformation u;
        u.LoadUser(name);
        u.Password = password;
        ASSERT_TRUE(u.SaveUser(name));
    }
    // Delivers through the store; returns the new message file's path.
    std::string deliver(const std::string& user, const std::vector<std::string>& lines) {
        auto before = messageFiles(user);
        TPop3UserInformation u;
        u.LoadUser(user);
        u.StoreMessage("sender", lines);
        auto after = messageFiles(user);
        for (const auto& f : after)
            if (std::find(before.begin(), before.end(), f) == before.end()) return f;
        ADD_FAILURE() << "no new message file";
        return {};
    }
    // Message files of a user, sorted (the listing's order).
    std::vector<std::string> messageFiles(const std::string& user) {
        std::vector<std::string> files;
        std::error_code ec;
        for (const auto& e : std::filesystem::directory_iterator(si().MailBoxPath + user, ec)) {
            const std::string name = e.path().filename().string();
            if (e.is_regular_file() && name.size() > 4 && name.substr(name.size() - 4) != ".ini")
                files.push_back(e.path().string());
        }
        std::sort(files.begin(), files.end());
        return files;
    }
    // Logs in with USER/PASS and checks the replies.
    std::unique_ptr<Peer> login(const std::string& user, const std::string& password) {
        auto p = std::make_unique<Peer>(port);
        EXPECT_EQ(p->line().substr(0, 3), "+OK");
        EXPECT_EQ(p->cmd("USER " + user), "+OK Send Password");
        EXPECT_EQ(p->cmd("PASS " + password).substr(0, 4), "+OK ");
        return p;
    }
    bool hasLog(const std::string& text, int level) const {
        for (const auto& l : logs)
            if (l.text == text && l.level == level) return true;
        return false;
    }
    bool hasLogEnding(const std::string& tail) const {
        for (const auto& l : logs)
            if (l.text.size() >= tail.size() && l.text.compare(l.text.size() - tail.size(), tail.size(), tail) == 0)
                return true;
        return false;
    }
    bool waitSessions(std::size_t n, int timeoutMs = 5000) {
        return testsupport::stepUntil([&] { return server->ConnectionCount() == n; }, timeoutMs);
    }

    bool startServer = true;
    int port = 0;
    std::unique_ptr<TPop3Server> server;
    std::vector<LogLine> logs;
    std::vector<StatusEvent> statuses;
    std::vector<std::uint8_t> errors;
};

}  // namespace pop3test
