#pragma once

#include <QColor>
#include <QString>

// What the tray menu and the status page show, derived from the link's state each time it
// changes. Both places use these, so they never disagree.
namespace brimo::app {

class XPCClientState;

struct TarvelStatus {
    bool isDeviceConnected = false;
    bool isMounted = false;
    QString deviceName;
    QString mountDescription;

    // A lost link has already cleared both peer flags, so it reads as "no phone".
    static TarvelStatus derive(const XPCClientState& state);
    bool operator==(const TarvelStatus&) const = default;
};

// The three states and their texts and symbols.
struct TarvelStatusLook {
    enum class State { ready, waitingToMount, waitingForPhone };

    State state;
    QString menuBarSymbol;
    // In the ready state the menu's first line is the "Open in Finder" button, else plain text.
    QString menuFirstLine;
    bool menuFirstLineIsButton;
    QString headerTitle;
    QString headerSymbol;
    QColor headerColour;

    static TarvelStatusLook of(const TarvelStatus& status);
};

// The few colours the status names; the rest follow the desktop's palette.
namespace colours {
inline const QColor green{52, 199, 89};
inline const QColor orange{255, 149, 0};
} // namespace colours

} // namespace brimo::app
