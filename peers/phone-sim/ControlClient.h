#pragma once

#include <string>

namespace brimo::sim {

// Sends one command line to a simulator's control socket and returns its reply line without
// the newline. Throws std::runtime_error when the socket cannot be reached or closes without
// a reply.
std::string sendControlCommand(const std::string& socketPath, const std::string& command);

// `brimo-phone-sim ctl --control PATH WORDS...`: prints the reply; 0 for OK, 1 otherwise.
int runControlClient(int argc, char** argv);

} // namespace brimo::sim
