#include "sockets/WSockBuf.h"

#include <algorithm>
#include <cstring>

TMemBuffer::TMemBuffer(int Size) { SetSize(Size); }

TMemBuffer::~TMemBuffer() = default;

void TMemBuffer::SetSize(int NewSize) {
    if (NewSize <= 0) NewSize = DefaultSize;
    NewSize = std::max(NewSize, FWrCount);
    if (NewSize == FSize) return;
    auto fresh = std::make_unique<char[]>(static_cast<std::size_t>(NewSize));
    if (FRdCount < FWrCount && FBuf) std::memcpy(fresh.get(), FBuf.get(), static_cast<std::size_t>(FWrCount));
    FBuf = std::move(fresh);
    FSize = NewSize;
}

int TMemBuffer::Write(const void* Data, int Len) {
    int take = std::min(Len, FSize - FWrCount);
    if (take <= 0 || Data == nullptr) return 0;
    std::memcpy(FBuf.get() + FWrCount, Data, static_cast<std::size_t>(take));
    FWrCount += take;
    return take;
}

const char* TMemBuffer::Peek(int& Len) const {
    Len = FWrCount - FRdCount;
    if (Len <= 0) {
        Len = 0;
        return nullptr;
    }
    return FBuf.get() + FRdCount;
}

int TMemBuffer::Remove(int Len) {
    int drop = std::min(Len, FWrCount - FRdCount);
    if (drop <= 0) return 0;
    FRdCount += drop;
    if (FRdCount >= FWrCount) FRdCount = FWrCount = 0;
    return drop;
}
