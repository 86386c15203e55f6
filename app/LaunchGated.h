#pragma once

#include <QObject>
#include <functional>

// Holds back what the app shows until start-up has decided that this copy stays: `present`
// runs once, at once when the app may already present itself, else when it first may. A copy
// that relocates itself never shows a window's content or a menu item.
namespace brimo::app {

class TarvelAppDelegate;

class LaunchGated : public QObject {
    Q_OBJECT

public:
    // `parent` is what `present` fills (the window, the menu): the gate dies with it.
    LaunchGated(TarvelAppDelegate& delegate, std::function<void()> present, QObject* parent);

private:
    void presentOnce();

    std::function<void()> present_;
};

} // namespace brimo::app
