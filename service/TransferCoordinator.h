#pragma once

#include "service/BridgeClientConnection.h"
#include "shared/messages/FileIOMessages.h"
#include "shared/messages/RelayLookupMessages.h"
#include "shared/Clock.h"

#include <asio/any_io_executor.hpp>
#include <asio/awaitable.hpp>
#include <map>
#include <memory>
#include <string>
#include <utility>

namespace brimo {

class BridgeCore;
class TunnelRelayBridge;

// Moves whole files between the phone and the shared container, so that file contents never
// travel over the client connection: beginRead fetches an item into a new shared file,
// beginWrite pushes a file the caller prepared there, endRead and endWrite delete the file of a
// finished transfer. Files of transfers that nobody ends are swept after two minutes.
//
// An actor on the event loop; file I/O runs on the blocking pool.
class TransferCoordinator {
public:
    // (reply document, FileIOBridgeError raw value)
    using FileIOReply = std::pair<Bytes, int64_t>;

    static TransferCoordinator& shared();

    TransferCoordinator(asio::any_io_executor loop, BridgeCore& core, TunnelRelayBridge& relay,
                        Clock& clock);

    // One file-IO call of the client whose exported object is `host`. Never throws: every call
    // ends in exactly one reply.
    asio::awaitable<FileIOReply> requestFileIO(HostID host, int64_t operation, Bytes param);

    // Read and write transfers that are registered and not yet ended or swept.
    size_t openTransferCount() const { return activeReads_.size() + activeWrites_.size(); }

private:
    struct Progress;
    struct ActiveTransfer {
        std::string fileName; // the ".bin" file of a read, the caller's source file of a write
        Clock::time_point createdAt;
    };

    asio::awaitable<FileIOReply> beginRead(FileIOBeginReadRequest request, bool hasDevice);
    asio::awaitable<FileIOReply> beginWrite(FileIOBeginWriteRequest request, bool hasDevice);
    asio::awaitable<FileIOReply> endTransfer(std::map<std::string, ActiveTransfer>& transfers,
                                             const std::string& token);

    asio::awaitable<SharedFileDescriptor> fetchRemoteFile(const FileIOBeginReadRequest& request,
                                                          bool hasDevice);
    asio::awaitable<RelayItemSummary> pushSharedFile(const FileIOBeginWriteRequest& request,
                                                     bool hasDevice);
    // The one path of every request to the phone: the response payload of a status-0 answer.
    asio::awaitable<Bytes> relay(uint16_t code, Bytes payload, bool hasDevice);
    void notifyProgress(const Uuid& sessionID, uint64_t completed, uint64_t total, int percent);
    void reportProgress(Progress& progress, uint64_t completed);

    void ensureCleanupTask();
    asio::awaitable<void> sweepLoop(std::weak_ptr<void> alive);
    asio::awaitable<void> sweepStaleTransfers();

    asio::any_io_executor loop_;
    BridgeCore& core_;
    TunnelRelayBridge& relay_;
    Clock& clock_;

    std::map<std::string, ActiveTransfer> activeReads_;  // by descriptor token
    std::map<std::string, ActiveTransfer> activeWrites_; // by the caller's token
    bool sweepStarted_ = false;
    // The sweep checks it after every pause and ends once the coordinator is gone.
    std::shared_ptr<void> alive_ = std::make_shared<int>(0);
};

} // namespace brimo
