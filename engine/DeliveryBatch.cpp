#include "DeliveryBatch.h"

namespace {
TDeliveryBatch* g_current = nullptr;
}

TDeliveryBatch::TDeliveryBatch() { g_current = this; }

TDeliveryBatch::~TDeliveryBatch() { Close(); }

TDeliveryBatch* TDeliveryBatch::Current() { return g_current; }

void TDeliveryBatch::Close() {
    if (FOpen && g_current == this) g_current = nullptr;
    FOpen = false;
}
