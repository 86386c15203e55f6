#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

namespace brimo::test {

// The real brimo-phone-sim executable as a child of the test, in a temporary directory of its
// own. Tests point libusbmuxd at it with UsbmuxdAddressGuard(sim.usbmuxdAddress()).
class SimProcess {
public:
    struct Options {
        std::vector<std::string> devices; // UDIDs attached at start
        std::string linkRate;             // --link-rate, empty for an unthrottled link
        std::string root;                 // --root, empty for none
    };

    // Starts the simulator and waits up to 10 s for it to be ready; throws std::runtime_error
    // when it does not get there.
    explicit SimProcess(Options options = {});
    ~SimProcess();
    SimProcess(const SimProcess&) = delete;
    SimProcess& operator=(const SimProcess&) = delete;

    // SIGTERM and wait; the temporary directory and the socket path stay for start().
    void stop();
    // Starts again at the same socket path with the same options (devices get new ids).
    void start();
    bool running() const;
    // How the last stop() found the process end: its exit code, 128 + signal, or -1 before
    // the first stop().
    int lastExitCode() const { return lastExitCode_; }

    const std::string& socketPath() const { return socketPath_; }
    std::string controlPath() const { return socketPath_ + ".control"; }
    std::string usbmuxdAddress() const { return "UNIX:" + socketPath_; }
    std::string tempDir() const { return tempDir_; }

    // Sends one control command; returns the reply line without its newline. Throws
    // std::runtime_error when the control socket cannot be reached.
    std::string control(const std::string& command);

private:
    Options options_;
    std::string tempDir_;
    std::string socketPath_;
    pid_t pid_ = -1;
    int lastExitCode_ = -1;
};

// Sets USBMUXD_SOCKET_ADDRESS for its lifetime and restores the previous value (or its
// absence) afterwards.
class UsbmuxdAddressGuard {
public:
    explicit UsbmuxdAddressGuard(const std::string& value);
    ~UsbmuxdAddressGuard();
    UsbmuxdAddressGuard(const UsbmuxdAddressGuard&) = delete;
    UsbmuxdAddressGuard& operator=(const UsbmuxdAddressGuard&) = delete;

private:
    bool hadPrevious_ = false;
    std::string previous_;
};

} // namespace brimo::test
