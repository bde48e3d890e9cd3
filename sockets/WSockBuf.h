// One block of a socket's send queue: a fixed-size byte area with a write
// position (bytes stored) and a read position (bytes already taken out).
//
// Invariant: 0 <= read position <= write position <= size. When the two
// positions meet both go back to 0, so an emptied block fills from its start.
// Single-threaded; no call raises.
#pragma once

#include <memory>

class TMemBuffer {
public:
    static constexpr int DefaultSize = 1514;

    // A block of Size bytes; Size <= 0 gives DefaultSize.
    explicit TMemBuffer(int Size);
    ~TMemBuffer();
    TMemBuffer(const TMemBuffer&) = delete;
    TMemBuffer& operator=(const TMemBuffer&) = delete;

    // Changes the capacity, keeping the stored bytes. A size below the write
    // position is raised to it, so no stored byte is ever cut off.
    void SetSize(int NewSize);
    int Size() const { return FSize; }

    // Appends as much of Data as fits; returns how many bytes it took.
    int Write(const void* Data, int Len);
    // First unread byte and, in Len, how many are unread; nullptr and 0 when
    // none are.
    const char* Peek(int& Len) const;
    // Drops up to Len unread bytes; returns how many it dropped.
    int Remove(int Len);

    int WrCount() const { return FWrCount; }
    int RdCount() const { return FRdCount; }

private:
    std::unique_ptr<char[]> FBuf;
    int FSize = 0;
    int FWrCount = 0;
    int FRdCount = 0;
};
