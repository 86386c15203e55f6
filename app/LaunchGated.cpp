#include "app/LaunchGated.h"

#include "app/TarvelAppDelegate.h"

namespace brimo::app {

LaunchGated::LaunchGated(TarvelAppDelegate& delegate, std::function<void()> present,
                         QObject* parent)
    : QObject(parent)
    , present_(std::move(present)) {
    if (delegate.canPresent()) {
        presentOnce();
        return;
    }
    connect(&delegate, &TarvelAppDelegate::canPresentChanged, this, [this](bool value) {
        if (value) presentOnce();
    });
}

void LaunchGated::presentOnce() {
    if (!present_) return;
    auto present = std::move(present_);
    present_ = nullptr;
    present();
}

} // namespace brimo::app
