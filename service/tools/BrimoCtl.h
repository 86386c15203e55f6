#pragma once

#include "shared/ipc/RemoteProxies.h"
#include "shared/json/Uuid.h"

#include <functional>
#include <string>

// What a brimoctl command works with: the service proxy, the role it registers under, a way to
// end the run with an exit code, and a hook for the transfer progress the service reports.
struct CtlSession {
    brimo::ipc::RemoteBridgeHost& host;
    int64_t role;
    std::function<void(int)> finish;
    // Called with (session, percent) for every fileIOProgress notification.
    std::function<void(const brimo::Uuid&, int)>& onProgress;
};

// brimoctl read IDENTIFIER [--out FILE]: beginRead, copy the shared file out, endRead.
void readFromPhone(CtlSession& session, std::string identifier, std::string out);
// brimoctl write IDENTIFIER FILE: place FILE in the container, beginWrite, endWrite.
void writeToPhone(CtlSession& session, std::string identifier, std::string file);
