// Shared ground of the SMTP server suites: a settings object in a temporary
// base folder with one local domain, two users and a mailing list, a
// TSmtpServer listening on 127.0.0.1 with every event recorded, and a raw
// loopback client that steps the loop while it waits for replies.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Base64.h"
#include "DataU1.h"
#include "SmtpServer.h"
#include "platform/Clock.h"
#include "support/TestSupport.h"

namespace smtptest {

struct LogLine {
    void* sender;
    std::string text;
    int level;
};

struct StatusEvent {
    bool active;
    int count;
};

// A blocking-connect, non-blocking-read TCP client of this process. Reads step
// the message loop so that the in-process server keeps serving.
class RawClient {
public:
    explicit RawClient(int port) {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<std::uint16_t>(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
        ::fcntl(fd_, F_SETFL, O_NONBLOCK);
    }
    ~RawClient() {
        if (fd_ >= 0) ::close(fd_);
    }
    RawClient(const RawClient&) = delete;
    RawClient& operator=(const RawClient&) = delete;

    bool connected() const { return connected_; }
    int fd() const { return fd_; }

    // Sends all of data (stepping the loop while the socket is full).
    bool send(const std::string& data) {
        std::size_t done = 0;
        return testsupport::stepUntil(
            [&] {
                while (done < data.size()) {
                    ssize_t n = ::send(fd_, data.data() + done, data.size() - done, MSG_NOSIGNAL);
                    if (n > 0) {
                        done += static_cast<std::size_t>(n);
                        continue;
                    }
                    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return false;
                    return true;  // the peer is gone; nothing more can be sent
                }
                return true;
            },
            10000) &&
               done == data.size();
    }

    // One whole reply (a multi-line one included), its lines joined by "\n";
    // "" when the connection ends or nothing complete comes in time.
    std::string reply(int timeoutMs = 5000) {
        std::string out;
        testsupport::stepUntil(
            [&] {
                drain();
                return takeReply(out) || eof_;
            },
            timeoutMs);
        return out;
    }

    // Steps until the server has closed the connection.
    bool waitClosed(int timeoutMs = 5000) {
        return testsupport::stepUntil(
            [&] {
                drain();
                return eof_;
            },
            timeoutMs);
    }

    // Everything received and not yet taken as a reply.
    const std::string& pending() {
        drain();
        return in_;
    }

private:
    void drain() {
        char buf[65536];
        for (;;) {
            ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
            if (n > 0) {
                in_.append(buf, static_cast<std::size_t>(n));
                continue;
            }
            if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) eof_ = true;
            return;
        }
    }

    bool takeReply(std::string& out) {
        std::size_t pos = 0;
        std::string lines;
        for (;;) {
            std::size_t eol = in_.find("\r\n", pos);
            if (eol == std::string::npos) return false;
            std::string line = in_.substr(pos, eol - pos);
            if (!lines.empty()) lines += "\n";
            lines += line;
            pos = eol + 2;
            if (line.size() < 4 || line[3] != '-') break;
        }
        in_.erase(0, pos);
        out = lines;
        return true;
    }

    int fd_ = -1;
    bool connected_ = false;
    bool eof_ = false;
    std::string in_;
};

class SmtpFixture : public ::testing::Test {
protected:
    void SetUp() override {
        ServerInformation = std::make_unique<TServerInformation>();
        si().ServerName = "mail.test";
        si().LocalDomains = {"local.test"};
        si().SmtpBindAddress = "127.0.0.1";
        si().SmtpListenPort = testsupport::freePort();
        si().QueuePath = si().BasePath + "MQueue/";
        addUser("alice", "secret", "Alice Example");
        addUser("bob", "hunter2", "Bob");

        server = std::make_unique<TSmtpServer>();
        server->OnStatus = [this](void*, bool active, int count) { statuses.push_back({active, count}); };
        server->OnLog = [this](void* sender, const std::string& text, int level) {
            logs.push_back({sender, text, level});
        };
        server->OnError = [this](void*, std::uint8_t kind) { errors.push_back(kind); };
    }

    void TearDown() override {
        if (server) {
            server->Shutdown();
            server.reset();
        }
        platform::loop().processMessages();
        ServerInformation.reset();
        platform::setNowOverride(std::nullopt);
    }

    static TServerInformation& si() { return *ServerInformation; }

    void addUser(const std::string& name, const std::string& password, const std::string& realName) {
        TPop3UserInformation u;
        u.Password = password;
        u.RealName = realName;
        ASSERT_TRUE(u.SaveUser(name));
    }

    void startServer() {
        server->Start();
        ASSERT_TRUE(server->IsListening()) << "server did not listen on port " << si().SmtpListenPort;
    }

    int port() const { return si().SmtpListenPort; }

    // Greeting, EHLO and AUTH LOGIN as alice; the client is ready for MAIL.
    std::unique_ptr<RawClient> loggedIn(const std::string& user = "alice", const std::string& password = "secret") {
        auto c = std::make_unique<RawClient>(port());
        EXPECT_EQ(c->reply().substr(0, 4), "220 ");
        c->send("EHLO client.test\r\n");
        EXPECT_EQ(c->reply(), "250-AUTH=LOGIN\n250-AUTH LOGIN\n250 OK");
        c->send("AUTH LOGIN\r\n");
        EXPECT_EQ(c->reply(), "334 VXNlcm5hbWU6");
        c->send(Base64Encode(user) + "\r\n");
        EXPECT_EQ(c->reply(), "334 UGFzc3dvcmQ6");
        c->send(Base64Encode(password) + "\r\n");
        EXPECT_EQ(c->reply(), "235 SMTP Authentication successful");
        return c;
    }

    // Sends one command line and returns its reply.
    static std::string cmd(RawClient& c, const std::string& line) {
        c.send(line + "\r\n");
        return c.reply();
    }

    bool hasLog(const std::string& text, int level = -1) const {
        for (const auto& l : logs)
            if (l.text.find(text) != std::string::npos && (level < 0 || l.level == level)) return true;
        return false;
    }

    int countLogs(const std::string& text) const {
        int n = 0;
        for (const auto& l : logs)
            if (l.text.find(text) != std::string::npos) ++n;
        return n;
    }

    // The message files of a user's folder (not the information file, not
    // folders), sorted by name.
    std::vector<std::string> messageFiles(const std::string& user) const {
        std::vector<std::string> out;
        std::error_code ec;
        for (auto& e : std::filesystem::directory_iterator(si().MailBoxPath + user, ec)) {
            if (!e.is_regular_file()) continue;
            std::string name = e.path().filename().string();
            if (name.size() > 4 && name.substr(name.size() - 4) == ".ini") continue;
            out.push_back(e.path().string());
        }
        std::sort(out.begin(), out.end());
        return out;
    }

    std::vector<std::string> queueFiles() const {
        std::vector<std::string> out;
        std::error_code ec;
        for (auto& e : std::filesystem::directory_iterator(si().QueuePath, ec))
            if (e.is_regular_file()) out.push_back(e.path().string());
        std::sort(out.begin(), out.end());
        return out;
    }

    bool waitSessions(int count, int timeoutMs = 5000) {
        return testsupport::stepUntil([&] { return server->ConnectionCount() == count; }, timeoutMs);
    }

    testsupport::ScopedDataHome home;
    std::unique_ptr<TSmtpServer> server;
    std::vector<LogLine> logs;
    std::vector<StatusEvent> statuses;
    std::vector<int> errors;
};

}  // namespace smtptest
