#include "app/TarvelStatus.h"

#include "app/XPCClientState.h"

#include <QCoreApplication>

namespace brimo::app {
TarvelStatus TarvelStatus::derive(const XPCClientState& state) {
    TarvelStatus status;
    status.isDeviceConnected = state.hasIOSConnection();
    status.isMounted = state.hasFileProviderConnection() && state.hasIOSConnection();
    status.deviceName = status.isDeviceConnected
                            ? QCoreApplication::translate("TarvelStatusView", "iPhone Connected")
                            : QCoreApplication::translate("TarvelStatusView", "Not Connected");
    status.mountDescription =
        status.isMounted ? QCoreApplication::translate("TarvelStatusView", "Available in Finder")
        : status.isDeviceConnected
            ? QCoreApplication::translate("TarvelStatusView", "Waiting to Mount from iPhone")
            : QCoreApplication::translate("TarvelStatusView", "Waiting for device");
    return status;
}

TarvelStatusLook TarvelStatusLook::of(const TarvelStatus& status) {
    if (status.isMounted)
        return {State::ready,
                "externaldrive.fill.badge.checkmark",
                QCoreApplication::translate("TarvelMenuBarContent", "Open in Finder"),
                true,
                QCoreApplication::translate("TarvelStatusView", "Brimo is Ready"),
                "checkmark.circle.fill",
                colours::green};
    if (status.isDeviceConnected)
        return {State::waitingToMount,
                "externaldrive.fill",
                QCoreApplication::translate("TarvelMenuBarContent", "Waiting to Mount from iPhone"),
                false,
                QCoreApplication::translate("TarvelStatusView", "Waiting to Mount"),
                "exclamationmark.circle.fill",
                colours::orange};
    return {State::waitingForPhone,
            "externaldrive.badge.exclamationmark",
            QCoreApplication::translate("TarvelMenuBarContent", "iPhone Not Connected"),
            false,
            QCoreApplication::translate("TarvelStatusView", "Waiting to Connect"),
            "exclamationmark.circle.fill",
            colours::orange};
}

} // namespace brimo::app
