#pragma once

#include <string>

namespace brimo::ipc {

// Starts the service when a client finds nobody listening.
class ServiceLauncher {
public:
    virtual ~ServiceLauncher() = default;
    // Returns false when the service could not be started at all.
    virtual bool launch() = 0;
};

// Starts an executable (the bundle's BrimoService) in a session of its own, so that it
// outlives the client and does not get the client's terminal signals.
class ExecutableLauncher : public ServiceLauncher {
public:
    explicit ExecutableLauncher(std::string executable);
    bool launch() override;

private:
    std::string executable_;
};

} // namespace brimo::ipc
