// A test fixture for the routing unit: a fresh base folder with the settings
// object, a fixed clock and seeded random numbers, a log recorder, and helpers
// to make users, aliases and lists and to read mailboxes and the queue.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "engine/DataU1.h"
#include "engine/MailRouting.h"
#include "engine/UtilU1.h"
#include "platform/Clock.h"
#include "support/TestSupport.h"

namespace routingtest {

struct LogLine {
    void* sender;
    std::string text;
    int level;
};

class RoutingFixture : public ::testing::Test {
protected:
    // 2024-03-05 10:20:30 local time.
    static constexpr double kNow = 45356.0 + (10 * 3600 + 20 * 60 + 30) / 86400.0;

    void SetUp() override {
        platform::setNowOverride(kNow);
        RandSeed(4711);
        ServerInformation = std::make_unique<TServerInformation>();
        si().ServerName = "mail.example.com";
        si().LocalDomains = {"example.com", "lists.example.com"};
        si().ForwardRetries = 5;
        si().FireQueueImmediately = false;
    }

    void TearDown() override {
        ServerInformation.reset();
        SetServiceQueueWindow(platform::NullWindow);
        platform::setNowOverride(std::nullopt);
    }

    static TServerInformation& si() { return *ServerInformation; }

    TServiceLogEvent logger() {
        return [this](void* sender, const std::string& text, int level) { logs.push_back({sender, text, level}); };
    }
    bool logged(const std::string& text) const {
        return std::any_of(logs.begin(), logs.end(), [&](const LogLine& l) { return l.text == text; });
    }
    int loggedCount(const std::string& text) const {
        return static_cast<int>(std::count_if(logs.begin(), logs.end(), [&](const LogLine& l) { return l.text == text; }));
    }

    static void createUser(const std::string& name, const std::string& forward = "") {
        TPop3UserInformation user;
        user.ForwardToAddress = forward;
        ASSERT_TRUE(user.SaveUser(name));
    }

    // The message files of a user's mailbox, in name order, as their texts.
    static std::vector<std::string> mailbox(const std::string& user) {
        std::vector<std::string> names;
        const std::string folder = si().UserFolder(user);
        std::error_code ec;
        for (const auto& e : std::filesystem::directory_iterator(folder, ec)) {
            const std::string n = e.path().filename().string();
            if (e.is_regular_file() && n.size() > 4 && n.compare(n.size() - 4, 4, ".txt") == 0) names.push_back(n);
        }
        std::sort(names.begin(), names.end());
        std::vector<std::string> texts;
        for (const std::string& n : names) texts.push_back(testsupport::readFile(folder + n));
        return texts;
    }

    // Queue names in the queue folder, sorted.
    static std::vector<std::string> queueNames() {
        std::vector<std::string> names;
        std::error_code ec;
        for (const auto& e : std::filesystem::directory_iterator(si().QueuePath, ec)) {
            const std::string n = e.path().filename().string();
            if (e.is_regular_file() && n.size() > 4 && n.compare(n.size() - 4, 4, ".txt") == 0)
                names.push_back(n.substr(0, n.size() - 4));
        }
        std::sort(names.begin(), names.end());
        return names;
    }
    static std::vector<std::string> queueTexts() {
        std::vector<std::string> texts;
        for (const std::string& n : queueNames()) texts.push_back(testsupport::readFile(si().QueuePath + n + ".txt"));
        return texts;
    }

    // Makes every durable write into folder fail: its temporary area becomes
    // a plain file (a permission bit would not stop a test run as root).
    static void blockWrites(const std::string& folder) {
        std::filesystem::create_directories(folder);
        std::filesystem::remove_all(folder + ".tmp:");
        testsupport::writeFile(folder + ".tmp:", "blocks the temporary folder");
    }

    static std::string crlf(const std::vector<std::string>& lines) {
        std::string s;
        for (const std::string& l : lines) s += l + "\r\n";
        return s;
    }

    testsupport::ScopedDataHome home;
    std::vector<LogLine> logs;
};

}  // namespace routingtest
