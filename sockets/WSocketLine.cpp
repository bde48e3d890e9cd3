// Line mode and the synchronous wait of the event socket, and TWSocket
// itself. With line mode off every receive passes straight to the SOCKS layer
// and the core; with it on, the bytes read are held here and handed to the
// OnDataAvailable handler one line at a time.

#include <algorithm>
#include <cstring>
#include <string_view>

#include "platform/Clock.h"
#include "sockets/WSocket.h"

namespace net = platform::net;

TCustomLineWSocket::TCustomLineWSocket() {
    FLineEnd = "\r\n";
    FLineMode = false;
    FLineLimit = 65536;
}

TCustomLineWSocket::~TCustomLineWSocket() {
    BeginDestroy();
    FreeLineBuffer();
}

// ---------------------------------------------------------------------------
// Settings and events

void TCustomLineWSocket::SetLineMode(bool Value) {
    if (Value == FLineMode) return;
    FLineMode = Value;
    // What is left of a line being delivered is simply held now; in the new
    // mode the held bytes are looked at again from their start.
    FLineLength = 0;
    FLineRescan = true;
    if (FHeldCount > 0) platform::loop().post(Handle(), WM_WSOCKET_LINE_DATA, 0, 0);
}

void TCustomLineWSocket::DoLineLimitExceeded(int RcvdLength, bool& ClearData) {
    if (OnLineLimitExceeded) OnLineLimitExceeded(this, RcvdLength, ClearData);
}

void TCustomLineWSocket::WndProc(platform::Message& Msg) {
    if (Msg.msg != WM_WSOCKET_LINE_DATA) {
        TCustomSocksWSocket::WndProc(Msg);
        return;
    }
    TAliveToken alive = AliveToken();
    try {
        RedeliverLineData();
    } catch (const std::exception& e) {
        if (*alive) HandleBackgroundException(e);
    } catch (...) {
        if (*alive) HandleBackgroundException(ESocketException("Unknown exception in WSocket"));
    }
}

// ---------------------------------------------------------------------------
// The held bytes

int TCustomLineWSocket::TakeHeld(void* Buffer, int Count) {
    std::memcpy(Buffer, FLineBuffer.data() + FLineHead, static_cast<std::size_t>(Count));
    DropHeld(Count);
    NoteBufferedRead();
    return Count;
}

void TCustomLineWSocket::DropHeld(int Count) {
    FLineHead += static_cast<std::size_t>(Count);
    FHeldCount -= Count;
    FLineTaken += static_cast<std::uint64_t>(Count);
    if (FHeldCount <= 0) {
        FHeldCount = 0;
        FLineHead = 0;
        FLineBuffer.clear();  // keeps its storage for the next receive
    }
}

void TCustomLineWSocket::FreeLineBuffer() {
    std::string().swap(FLineBuffer);
    FLineHead = 0;
    FHeldCount = 0;
    FLineLength = 0;
    FLineRescan = false;
    ++FLineBufferGen;
}

int TCustomLineWSocket::GetRcvdCount() {
    if (Framing()) return FLineLength;
    if (FHeldCount > 0) return FHeldCount;
    return TCustomSocksWSocket::GetRcvdCount();
}

int TCustomLineWSocket::ReceiveRaw(void* Buffer, int BufferSize, int Flags) {
    if (Framing()) {
        if (FLineLength > 0) {
            if (BufferSize <= 0) return 0;
            const int n = TakeHeld(Buffer, std::min(BufferSize, FLineLength));
            FLineLength -= n;
            return n;
        }
        // Between lines nothing is readable: reading the socket here would
        // hand out bytes ahead of those still held for the next line.
        WSocket_WSASetLastError(net::WSAEWOULDBLOCK);
        return -1;
    }
    if (FHeldCount > 0) {
        if (BufferSize <= 0) return 0;
        return TakeHeld(Buffer, std::min(BufferSize, FHeldCount));
    }
    return TCustomSocksWSocket::ReceiveRaw(Buffer, BufferSize, Flags);
}

// ---------------------------------------------------------------------------
// Receiving in line mode

bool TCustomLineWSocket::DoDataAvailable(std::uint16_t Error) {
    if (!Framing() || SocksPhase() != 0) return TCustomSocksWSocket::DoDataAvailable(Error);

    TAliveToken alive = AliveToken();
    const std::uint64_t gen = FLineBufferGen;
    auto gone = [&] { return !*alive || gen != FLineBufferGen; };

    int count = TCustomSocksWSocket::GetRcvdCount();
    if (gone() || count < 0) return true;
    if (count == 0) count = 255;

    if (FLineHead > 0) {
        FLineBuffer.erase(0, FLineHead);
        FLineHead = 0;
    }
    const int held = FHeldCount;
    FLineBuffer.resize(static_cast<std::size_t>(held) + static_cast<std::size_t>(count));
    int n = TCustomSocksWSocket::ReceiveRaw(FLineBuffer.data() + held, count, 0);
    if (n <= 0) {
        FLineBuffer.resize(static_cast<std::size_t>(held));
        // Nothing new; only held bytes not yet searched (after a switch of
        // mode, or a line the handler left) are worth a look.
        if (!FLineRescan || held == 0) return true;
        n = 0;
    } else {
        FLineBuffer.resize(static_cast<std::size_t>(held) + static_cast<std::size_t>(n));
    }

    FLineEchoOut.clear();
    if (n > 0) {
        if (FLineEdit)
            EditLine(n);
        else if (FLineEcho)
            FLineEchoOut.assign(FLineBuffer, static_cast<std::size_t>(held), static_cast<std::size_t>(n));
    }

    // Back far enough to see a line end split across two receives.
    const std::size_t endLen = FLineEnd.size();
    const auto from = static_cast<std::size_t>(FHeldCount);
    const std::size_t start = FLineRescan ? 0 : (from > endLen ? from - endLen : 0);
    FLineRescan = false;
    FHeldCount += n;

    if (!FLineEchoOut.empty()) {
        std::string echo;
        echo.swap(FLineEchoOut);
        Send(echo.data(), static_cast<int>(echo.size()));
        if (gone()) return true;
    }

    DeliverLines(start);
    if (gone()) return true;

    if (Framing() && FLineLimit > 0 && FHeldCount > FLineLimit) {
        FLineClearData = true;
        DoLineLimitExceeded(FHeldCount, FLineClearData);
        if (!*alive) return true;
        if (FLineClearData && gen == FLineBufferGen) {
            DropHeld(FHeldCount);
            FLineLength = 0;
        }
        FLineClearData = false;
    }
    return true;
}

void TCustomLineWSocket::DeliverLines(std::size_t SearchStart) {
    TAliveToken alive = AliveToken();
    const std::uint64_t gen = FLineBufferGen;
    auto gone = [&] { return !*alive || gen != FLineBufferGen; };

    while (Framing()) {
        std::string_view held(FLineBuffer.data() + FLineHead, static_cast<std::size_t>(FHeldCount));
        const std::size_t pos = held.find(FLineEnd, SearchStart);
        if (pos == std::string_view::npos) return;
        FLineLength = static_cast<int>(pos + FLineEnd.size());
        FLineReceived = true;
        while (Framing() && FLineLength > 0) {
            const std::uint64_t taken = FLineTaken;
            bool handled = false;
            ++FLineDelivering;
            try {
                handled = TCustomSocksWSocket::DoDataAvailable(0);
            } catch (...) {
                if (*alive) {
                    --FLineDelivering;
                    // The rest of the line is offered again with the next data.
                    if (gen == FLineBufferGen) {
                        FLineLength = 0;
                        FLineRescan = true;
                    }
                }
                throw;
            }
            if (!*alive) return;
            --FLineDelivering;
            if (gone()) return;
            if (!handled) {
                // Nobody reads lines: this one is dropped.
                DropHeld(std::min(FLineLength, FHeldCount));
                FLineLength = 0;
                break;
            }
            if (FLineTaken == taken) {
                // A handler that took nothing would be called for ever; the
                // line stays held and is offered again with the next data.
                FLineLength = 0;
                FLineRescan = true;
                return;
            }
        }
        SearchStart = 0;
    }
}

void TCustomLineWSocket::RedeliverLineData() {
    TAliveToken alive = AliveToken();
    while (*alive && FHeldCount > 0) {
        const std::uint64_t taken = FLineTaken;
        const std::uint64_t gen = FLineBufferGen;
        TCustomLineWSocket::DoDataAvailable(0);
        // Ends as soon as a round hands nothing out (a handler that reads
        // nothing, or held bytes without a complete line).
        if (!*alive || gen != FLineBufferGen || FLineTaken == taken) return;
    }
}

void TCustomLineWSocket::EditLine(int& Count) {
    const auto held = static_cast<std::size_t>(FHeldCount);
    const std::size_t base = FLineHead;
    std::string out(FLineBuffer, base, held);
    out.reserve(held + static_cast<std::size_t>(Count) + 256);
    std::size_t write = held;
    std::size_t lowest = held;
    bool edited = false;
    auto put = [&](char c) {
        if (write < out.size())
            out[write] = c;
        else
            out.push_back(c);
        ++write;
    };
    for (int i = 0; i < Count; ++i) {
        const char c = FLineBuffer[base + held + static_cast<std::size_t>(i)];
        if (c == '\b') {
            edited = true;
            if (FLineEcho && write > 0) FLineEchoOut += "\b \b";
            if (write > 0) {
                --write;
                lowest = std::min(lowest, write);
            }
        } else if (c == '\t') {
            edited = true;
            do {
                put(' ');
                if (FLineEcho) FLineEchoOut += ' ';
            } while (write % 8 != 0);
        } else {
            if (FLineEcho) FLineEchoOut += c;
            put(c);
        }
    }
    if (!edited) return;
    out.resize(write);
    FLineBuffer = std::move(out);
    FLineHead = 0;
    FHeldCount = static_cast<int>(lowest);
    Count = static_cast<int>(write - lowest);
}

void TCustomLineWSocket::DoSessionClosed(std::uint16_t Error) {
    TAliveToken alive = AliveToken();
    FLineReceived = true;
    // The held bytes go out as a last line, also when the close comes from
    // the handler taking a line: they were received and are the owner's.
    // Not while the limit event runs: its answer decides what they become.
    if (Framing() && FHeldCount > 0 && !FLineClearData) {
        FLineLength = FHeldCount;
        ++FLineDelivering;
        try {
            while (Framing() && FLineLength > 0) {
                const std::uint64_t taken = FLineTaken;
                const bool handled = TCustomSocksWSocket::DoDataAvailable(0);
                if (!*alive) return;
                if (!handled || FLineTaken == taken) break;
            }
        } catch (...) {
            // As in the receive loop: the handler's exception ends the
            // delivery and goes no further; the close itself goes on.
            if (!*alive) return;
        }
        --FLineDelivering;
    }
    FreeLineBuffer();
    TCustomSocksWSocket::DoSessionClosed(Error);
}

// ---------------------------------------------------------------------------
// The synchronous wait

TCustomSyncWSocket::TCustomSyncWSocket() = default;

TCustomSyncWSocket::~TCustomSyncWSocket() { BeginDestroy(); }

int TCustomSyncWSocket::RunAndWait(std::uint8_t& Flag, const TWaitProc& Proc, std::intptr_t Arg) {
    Flag = 0;
    if (Proc) Proc(Arg);
    return WaitUntilReady(Flag);
}

int TCustomSyncWSocket::WaitUntilReady(std::uint8_t& Flag) {
    TAliveToken alive = AliveToken();
    const int timeout = WaitTimeout();
    const std::uint32_t start = platform::GetTickCount();
    FWaitEndTick = start + static_cast<std::uint32_t>(timeout);
    try {
        while (Flag == 0) {
            // Elapsed time as an unsigned difference, so that a wait across
            // the tick counter's wrap still ends.
            std::uint32_t elapsed = platform::GetTickCount() - start;
            if (timeout > 0 && elapsed >= static_cast<std::uint32_t>(timeout)) return WaitTimedOut;
            if (!*alive || Terminated() || platform::loop().quitRequested()) return WaitTimedOut;
            MessagePump();
            if (!*alive) return Flag != 0 ? 0 : WaitTimedOut;
            if (Flag != 0) break;
            // Rather than spinning, block until the loop has something to
            // run, never past the time-out.
            int slice = 50;
            if (timeout > 0) {
                elapsed = platform::GetTickCount() - start;
                if (elapsed >= static_cast<std::uint32_t>(timeout)) continue;
                slice = static_cast<int>(std::min<std::uint32_t>(static_cast<std::uint32_t>(timeout) - elapsed, 50));
            }
            platform::loop().processOne(slice);
        }
    } catch (...) {
        // The wait reports only through its result.
        return WaitTimedOut;
    }
    return 0;
}

// ---------------------------------------------------------------------------

TWSocket::TWSocket() = default;

TWSocket::~TWSocket() { BeginDestroy(); }
