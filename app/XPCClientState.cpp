#include "app/XPCClientState.h"

namespace brimo::app {

XPCClientState& XPCClientState::shared() {
    static auto* state = new XPCClientState;
    return *state;
}

XPCClientState::XPCClientState(QObject* parent)
    : QObject(parent) {}

void XPCClientState::setIsConnected(bool value) {
    if (value == isConnected_) return;
    isConnected_ = value;
    emit isConnectedChanged(value);
    emit changed();
}

void XPCClientState::setHasFileProviderConnection(bool value) {
    if (value == hasFileProviderConnection_) return;
    hasFileProviderConnection_ = value;
    emit hasFileProviderConnectionChanged(value);
    emit changed();
}

void XPCClientState::setHasIOSConnection(bool value) {
    if (value == hasIOSConnection_) return;
    hasIOSConnection_ = value;
    emit hasIOSConnectionChanged(value);
    emit changed();
}

void XPCClientState::setConnected(bool value) {
    setIsConnected(value);
    if (!value) {
        setHasFileProviderConnection(false);
        setHasIOSConnection(false);
    }
}

} // namespace brimo::app
