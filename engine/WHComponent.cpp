#include "WHComponent.h"

// The window procedure of every component window. It touches nothing of the
// component after the handler returns, so a handler that (against the rules)
// frees its component does not make it read freed memory here.
platform::HWND AllocateHiddenWindow(TWHComponent* component) {
    return platform::loop().createWindow([component](platform::Message& m) {
        if (!component || m.msg == 0) return;
        TMessage record;
        record.Msg = m.msg;
        record.WParam = m.wParam;
        record.LParam = m.lParam;
        component->DoMessage(record);
        m.result = record.Result;
    });
}

TWHComponent::TWHComponent(void* owner) : FOwner(owner) { Handle = AllocateHiddenWindow(this); }

TWHComponent::~TWHComponent() {
    if (Handle != platform::NullWindow) platform::loop().destroyWindow(Handle);
    Handle = platform::NullWindow;
}

bool TWHComponent::PostToSelf(std::uint32_t msg, std::intptr_t wParam, std::intptr_t lParam) const {
    return Handle != platform::NullWindow && platform::loop().post(Handle, msg, wParam, lParam);
}

void TWHComponent::DoMessage(TMessage& msg) {
    if (OnMessage) OnMessage(this, msg);
}
