#include "Notice.h"

#include <atomic>
#include <deque>
#include <mutex>

#include "MessageLoop.h"

namespace platform {

namespace {

constexpr std::size_t MaxWaiting = 32;
constexpr unsigned WM_NOTICE = WM_USER + 1;

std::mutex g_mu;
std::deque<std::string> g_waiting;
std::function<void(const std::string&)> g_handler;  // loop's thread only
std::atomic<HWND> g_wnd{NullWindow};

void deliver() {
    for (;;) {
        std::string text;
        {
            std::lock_guard<std::mutex> lk(g_mu);
            if (g_waiting.empty()) return;
            text = std::move(g_waiting.front());
            g_waiting.pop_front();
        }
        if (g_handler) g_handler(text);
    }
}

}  // namespace

void setNoticeHandler(std::function<void(const std::string&)> handler) {
    g_handler = std::move(handler);
    if (g_wnd.load() == NullWindow) g_wnd = loop().createWindow([](Message& m) {
        if (m.msg == WM_NOTICE) deliver();
    });
    loop().post(g_wnd.load(), WM_NOTICE);
}

void postNotice(std::string text) {
    {
        std::lock_guard<std::mutex> lk(g_mu);
        if (g_waiting.size() >= MaxWaiting) return;
        g_waiting.push_back(std::move(text));
    }
    if (const HWND w = g_wnd.load(); w != NullWindow) loop().post(w, WM_NOTICE);
}

}  // namespace platform
