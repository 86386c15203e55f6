#include "peers/phone-sim/ControlClient.h"
#include "peers/phone-sim/SimOptions.h"
#include "peers/phone-sim/Simulator.h"
#include "shared/LargeBuffers.h"

#include <iostream>
#include <stdexcept>
#include <string>
#include <vector>

int main(int argc, char** argv) {
    using namespace brimo::sim;
    if (argc > 1 && std::string(argv[1]) == "ctl") return runControlClient(argc, argv);
    SimOptions options;
    try {
        options = parseSimOptions(std::vector<std::string>(argv + 1, argv + argc));
    } catch (const std::invalid_argument& e) {
        std::cerr << "brimo-phone-sim: " << e.what() << "\n" << kUsage;
        return 2;
    }
    brimo::keepLargeBuffersInHeap();
    return runSimulator(options);
}
