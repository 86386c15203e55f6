#include "peers/phone-sim/SimOptions.h"

#include <cctype>
#include <charconv>
#include <stdexcept>

namespace brimo::sim {

namespace {

// USB 2.0 High Speed signals at 480 Mbit/s; after protocol overhead a bulk pipe moves about
// 40 MB/s of payload, which is what a benchmark against a real cable sees.
constexpr double kUsb2PayloadRate = 40'000'000.0;

} // namespace

double parseLinkRate(const std::string& text) {
    if (text == "usb2") return kUsb2PayloadRate;
    double multiplier = 1;
    std::string digits = text;
    if (!digits.empty()) {
        switch (std::toupper(static_cast<unsigned char>(digits.back()))) {
        case 'K':
            multiplier = 1e3;
            break;
        case 'M':
            multiplier = 1e6;
            break;
        case 'G':
            multiplier = 1e9;
            break;
        default:
            break;
        }
        if (multiplier != 1) digits.pop_back();
    }
    unsigned long long value = 0;
    auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (digits.empty() || ec != std::errc() || end != digits.data() + digits.size() || value == 0)
        throw std::invalid_argument("invalid link rate: " + text);
    return static_cast<double>(value) * multiplier;
}

SimOptions parseSimOptions(const std::vector<std::string>& args) {
    SimOptions options;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& flag = args[i];
        if (i + 1 >= args.size()) throw std::invalid_argument("missing value for " + flag);
        const std::string& value = args[++i];
        if (flag == "--socket") {
            options.socketPath = value;
        } else if (flag == "--control") {
            options.controlPath = value;
        } else if (flag == "--device") {
            options.devices.push_back(value);
        } else if (flag == "--root") {
            options.rootDir = value;
        } else if (flag == "--link-rate") {
            options.linkRate = parseLinkRate(value);
        } else {
            throw std::invalid_argument("unknown option: " + flag);
        }
    }
    if (options.socketPath.empty()) throw std::invalid_argument("--socket is required");
    if (options.controlPath.empty()) options.controlPath = options.socketPath + ".control";
    return options;
}

} // namespace brimo::sim
