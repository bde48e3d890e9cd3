// The hidden-window component on the process's message loop.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "engine/WHComponent.h"
#include "platform/MessageLoop.h"
#include "support/TestSupport.h"

namespace {

constexpr unsigned kStep = platform::WM_USER + 100;  // 1124, as the services use

struct Seen {
    TWHComponent* sender;
    std::uint32_t msg;
    std::intptr_t wParam, lParam;
};

class Recorder : public TWHComponent {
public:
    explicit Recorder(void* owner = nullptr) : TWHComponent(owner) {
        OnMessage = [this](TWHComponent* sender, TMessage& m) {
            seen.push_back({sender, m.Msg, m.WParam, m.LParam});
            m.Result = m.WParam * 2;
        };
    }
    std::vector<Seen> seen;
};

TEST(WHComponent, EachComponentHasItsOwnWindow) {
    auto first = std::make_unique<Recorder>();
    Recorder second;
    ASSERT_NE(first->Handle, platform::NullWindow);
    ASSERT_NE(second.Handle, platform::NullWindow);
    EXPECT_NE(first->Handle, second.Handle);
    EXPECT_TRUE(platform::loop().isWindow(first->Handle));

    platform::HWND gone = first->Handle;
    ASSERT_TRUE(first->PostToSelf(kStep, 1, 1));  // still queued when the component goes
    first.reset();
    EXPECT_FALSE(platform::loop().isWindow(gone));
    EXPECT_FALSE(platform::loop().post(gone, kStep));

    ASSERT_TRUE(platform::loop().post(second.Handle, kStep, 5, 6));
    ASSERT_TRUE(testsupport::stepUntil([&] { return !second.seen.empty(); }, 2000));
    ASSERT_EQ(second.seen.size(), 1u);
    EXPECT_EQ(second.seen[0].wParam, 5);
}

TEST(WHComponent, PostedMessageArrivesLaterWithItsValues) {
    int owner = 0;
    Recorder c(&owner);
    EXPECT_EQ(c.Owner(), &owner);
    std::intptr_t pointer = reinterpret_cast<std::intptr_t>(&owner);
    ASSERT_TRUE(platform::loop().post(c.Handle, kStep, pointer, -7));
    ASSERT_TRUE(c.PostToSelf(kStep + 1, 2, 3));
    EXPECT_TRUE(c.seen.empty());  // never inside the posting call
    ASSERT_TRUE(testsupport::stepUntil([&] { return c.seen.size() == 2; }, 2000));
    EXPECT_EQ(c.seen[0].sender, &c);
    EXPECT_EQ(c.seen[0].msg, kStep);
    EXPECT_EQ(c.seen[0].wParam, pointer);
    EXPECT_EQ(c.seen[0].lParam, -7);
    EXPECT_EQ(c.seen[1].msg, kStep + 1);  // in posting order
}

TEST(WHComponent, SentMessageReturnsTheHandlersResult) {
    Recorder c;
    EXPECT_EQ(platform::loop().send(c.Handle, kStep, 21, 0), 42);
    ASSERT_EQ(c.seen.size(), 1u);
    // Message number 0 never reaches the handler.
    EXPECT_EQ(platform::loop().send(c.Handle, 0, 21, 0), 0);
    EXPECT_EQ(c.seen.size(), 1u);
}

TEST(WHComponent, WithoutAHandlerMessagesAreSwallowed) {
    TWHComponent c;
    ASSERT_NE(c.Handle, platform::NullWindow);
    ASSERT_TRUE(c.PostToSelf(kStep));
    ASSERT_TRUE(testsupport::stepUntil([] { return platform::loop().pendingMessages() == 0; }, 2000));
    EXPECT_EQ(platform::loop().send(c.Handle, kStep, 1, 1), 0);
}

TEST(WHComponent, HandlerMayPostToItselfAgain) {
    int count = 0;
    TWHComponent c;
    c.OnMessage = [&](TWHComponent* sender, TMessage& m) {
        if (++count < 3) sender->PostToSelf(m.Msg, m.WParam + 1);
    };
    c.PostToSelf(kStep, 0);
    EXPECT_TRUE(testsupport::stepUntil([&] { return count == 3; }, 2000));
}

}  // namespace
