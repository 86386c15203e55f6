#pragma once

#include <QObject>

// The app's view of its link to the bridge service, read by the status UI. Written on the main
// thread only; each change signal fires only when the value really changes.
namespace brimo::app {

class XPCClientState : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool isConnected READ isConnected WRITE setIsConnected NOTIFY isConnectedChanged)
    Q_PROPERTY(bool hasFileProviderConnection READ hasFileProviderConnection WRITE
                   setHasFileProviderConnection NOTIFY hasFileProviderConnectionChanged)
    Q_PROPERTY(bool hasIOSConnection READ hasIOSConnection WRITE setHasIOSConnection NOTIFY
                   hasIOSConnectionChanged)

public:
    // The one instance the app's windows and menu read; never destroyed.
    static XPCClientState& shared();

    explicit XPCClientState(QObject* parent = nullptr);

    // The service accepted the registration and the connection has not been lost since.
    bool isConnected() const { return isConnected_; }
    // The service reports the drive's file system as connected.
    bool hasFileProviderConnection() const { return hasFileProviderConnection_; }
    // The service reports the phone as connected.
    bool hasIOSConnection() const { return hasIOSConnection_; }

    void setIsConnected(bool value);
    void setHasFileProviderConnection(bool value);
    void setHasIOSConnection(bool value);
    // isConnected; false also clears both peer flags, which a lost link cannot vouch for.
    void setConnected(bool value);

signals:
    void isConnectedChanged(bool value);
    void hasFileProviderConnectionChanged(bool value);
    void hasIOSConnectionChanged(bool value);
    // After each of the three above: what reads the whole state listens here once.
    void changed();

private:
    bool isConnected_ = false;
    bool hasFileProviderConnection_ = false;
    bool hasIOSConnection_ = false;
};

} // namespace brimo::app
