// A test bed for the SMTP agent: a settings object in a temporary base
// folder, an agent with its log and status recorded, and helpers that write
// and read queue files in their stored form.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "engine/DataU1.h"
#include "engine/SmtpAgent.h"
#include "platform/Clock.h"
#include "support/TestSupport.h"

namespace agenttest {

struct LogLine {
    void* Sender;
    std::string Text;
    int Level;
};

struct StatusEvent {
    bool Active;
    int Count;
};

class AgentTest : public ::testing::Test {
protected:
    testsupport::ScopedDataHome Home;
    std::unique_ptr<TSmtpAgent> Agent;
    std::vector<LogLine> Logs;
    std::vector<StatusEvent> Statuses;

    void SetUp() override {
        ServerInformation = std::make_unique<TServerInformation>();
        ServerInformation->ServerName = "agent.local.test";
        ServerInformation->DNSServerAddress.clear();
        ServerInformation->ForwardRetries = 5;
        Agent = std::make_unique<TSmtpAgent>();
        Agent->OnLog = [this](void* S, const std::string& T, int L) { Logs.push_back({S, T, L}); };
        Agent->OnStatus = [this](void*, bool A, int C) { Statuses.push_back({A, C}); };
    }

    void TearDown() override {
        if (std::getenv("TAVRIN_AGENT_LOG")) std::fprintf(stderr, "%s", dump().c_str());
        Agent.reset();
        ServerInformation.reset();
        platform::setNowOverride(std::nullopt);
    }

    // Makes a new agent (after settings that are read at creation changed).
    void recreateAgent() {
        Agent.reset();
        Agent = std::make_unique<TSmtpAgent>();
        Agent->OnLog = [this](void* S, const std::string& T, int L) { Logs.push_back({S, T, L}); };
        Agent->OnStatus = [this](void*, bool A, int C) { Statuses.push_back({A, C}); };
    }

    std::string queuePath() const { return ServerInformation->QueuePath; }
    std::string queueFile(const std::string& Name) const { return queuePath() + Name + ".txt"; }
    bool queued(const std::string& Name) const { return std::filesystem::exists(queueFile(Name)); }

    static std::string queueText(const std::string& From, const std::vector<std::string>& Tos, int Performed,
                                 int Remaining, const std::vector<std::string>& Lines) {
        std::string T = "[Reverse Path]\r\nFrom=" + From + "\r\n\r\n[Forward Path]\r\n";
        for (const auto& To : Tos) T += "To=" + To + "\r\n";
        T += "\r\n[Retry]\r\nPerformed=" + std::to_string(Performed) + "\r\nRemaining=" + std::to_string(Remaining) +
             "\r\n\r\n[Message]\r\n";
        for (const auto& L : Lines) T += L + "\r\n";
        return T;
    }

    void writeQueue(const std::string& Name, const std::string& From, const std::vector<std::string>& Tos,
                    int Performed, int Remaining, const std::vector<std::string>& Lines) {
        std::filesystem::create_directories(queuePath());
        testsupport::writeFile(queueFile(Name), queueText(From, Tos, Performed, Remaining, Lines));
    }

    std::string readQueue(const std::string& Name) const { return testsupport::readFile(queueFile(Name)); }

    // One scan, then the loop until every connection it made is freed.
    bool runPass(int TimeoutMs = 20000) {
        Agent->ServiceQueueNow();
        return testsupport::stepUntil([&] { return Agent->ConnectionCount() == 0; }, TimeoutMs);
    }

    int countLog(const std::string& Text) const {
        int N = 0;
        for (const auto& L : Logs)
            if (L.Text.find(Text) != std::string::npos) ++N;
        return N;
    }
    bool hasLog(const std::string& Text) const { return countLog(Text) > 0; }
    // The whole log, one line each, for failure messages.
    std::string dump() const {
        std::string D;
        for (const auto& L : Logs) D += "[" + std::to_string(L.Level) + "] " + L.Text + "\n";
        return D;
    }
    // Logged lines with the connection prefix taken off.
    std::vector<std::string> connectionLines() const {
        std::vector<std::string> Out;
        for (const auto& L : Logs) {
            const std::size_t P = L.Text.find("> ");
            if (L.Text.rfind("<Smtp Agent ID ", 0) == 0 && P != std::string::npos) Out.push_back(L.Text.substr(P + 2));
        }
        return Out;
    }
};

}  // namespace agenttest
