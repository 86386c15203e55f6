#pragma once

#include "peers/phone-sim/PhoneStorage.h"
#include "service/tunnel/TunnelEngine.h"

#include <cstdint>
#include <memory>

namespace brimo::sim {

struct SimStats;

// Request codes of the framed protocol that the phone app serves besides the file-system
// requests (FileSystemRequest).
enum class FramedRequest : uint16_t {
    ping = 0,
    lookup = 2,
    commitWrite = 6,
    readChunk = 9,
    writeChunk = 11,
    truncateWrite = 15,
    unmountNoted = 20,
};

// What the phone app answers to one framed request: decodes the payload, works on the
// storage and encodes the result. Shared by every connection of every simulated phone.
class FramedPhoneApp {
public:
    // Without storage (no --root) only ping and the unmount notice succeed.
    FramedPhoneApp(std::unique_ptr<PhoneStorage> storage, SimStats& stats);

    // `writes` are those of the connection the request came on. Counts the answer in the stats.
    TunnelMessage answer(uint16_t code, const Bytes& payload, StagedWrites& writes);

private:
    TunnelMessage respond(uint16_t code, const Bytes& payload, StagedWrites& writes);
    // Whether the storage serves `code`.
    static bool isStorageRequest(uint16_t code);
    TunnelMessage answerFromStorage(uint16_t code, const Bytes& payload, StagedWrites& writes);

    std::unique_ptr<PhoneStorage> storage_;
    SimStats& stats_;
};

} // namespace brimo::sim
