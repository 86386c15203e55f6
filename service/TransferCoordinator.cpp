#include "service/TransferCoordinator.h"

#include "service/BridgeCore.h"
#include "service/TunnelRelayBridge.h"
#include "service/tunnel/TunnelFrame.h"
#include "shared/BridgeContract.h"
#include "shared/EventLoop.h"
#include "shared/Log.h"
#include "shared/Offload.h"
#include "shared/Throughput.h"
#include "shared/messages/ChunkMessages.h"
#include "shared/messages/SharedFileStorage.h"

#include <algorithm>
#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/experimental/awaitable_operators.hpp>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <deque>
#include <fcntl.h>
#include <optional>
#include <stdexcept>
#include <unistd.h>
#include <vector>

namespace brimo {

using log::xpcLog;
using namespace std::chrono_literals;
using namespace asio::experimental::awaitable_operators;

// Progress of one transfer: a notification at each 10 % threshold, and at most ten of them.
struct TransferCoordinator::Progress {
    Uuid sessionID;
    uint64_t total = 0;
    int nextThreshold = 10;
    int lastReported = 0;
};

namespace {

// Tunnel request codes of the file transfers.
constexpr uint16_t kLookup = 2;
constexpr uint16_t kReadChunk = 9;
constexpr uint16_t kTruncateWrite = 15;
constexpr uint16_t kWriteChunk = 11;
constexpr uint16_t kCommitWrite = 6;

constexpr auto kSweepInterval = 30s;
constexpr auto kStaleAfter = 120s;

enum class TransferError {
    deviceRejected,
    transport,
    noDevice,
    encodeFailed,
    decodeFailed,
    ioFailed,
    invalidRequest, // the caller named something that is not a regular file of the container
};

class TransferFailure : public std::runtime_error {
public:
    explicit TransferFailure(TransferError error)
        : std::runtime_error("transfer failed")
        , error(error) {}
    static TransferFailure rejected(RelayDeviceStatus status, Bytes detail = {}) {
        TransferFailure failure(TransferError::deviceRejected);
        failure.status = status;
        failure.detail = std::move(detail);
        return failure;
    }
    static TransferFailure transportFailed(TunnelRelayTransportError transport) {
        TransferFailure failure(TransferError::transport);
        failure.transport = transport;
        return failure;
    }

    TransferError error;
    RelayDeviceStatus status = RelayDeviceStatus::code5;
    Bytes detail; // what the phone said along with the status
    TunnelRelayTransportError transport = TunnelRelayTransportError::tunnelIOFailed;
};

constexpr int64_t code(FileIOBridgeError error) {
    return static_cast<int64_t>(error);
}

TransferCoordinator::FileIOReply replyFor(FileIOBridgeError error) {
    return {Bytes{}, code(error)};
}

TransferCoordinator::FileIOReply replyFor(const TransferFailure& failure) {
    switch (failure.error) {
    case TransferError::deviceRejected:
        return {encodeJson(FileIODeviceRejection{
                    static_cast<int64_t>(failure.status),
                    failure.detail.empty() ? std::nullopt : std::optional(failure.detail)}),
                code(FileIOBridgeError::deviceRejected)};
    case TransferError::noDevice:
        return replyFor(FileIOBridgeError::noDevice);
    case TransferError::encodeFailed:
    case TransferError::decodeFailed:
        return replyFor(FileIOBridgeError::codingFailed);
    case TransferError::ioFailed:
        return replyFor(FileIOBridgeError::ioFailed);
    case TransferError::invalidRequest:
        return replyFor(FileIOBridgeError::invalidRequest);
    case TransferError::transport:
        switch (failure.transport) {
        case TunnelRelayTransportError::noDevices:
        case TunnelRelayTransportError::notConnected:
            return replyFor(FileIOBridgeError::noDevice);
        case TunnelRelayTransportError::payloadTooLarge:
            return replyFor(FileIOBridgeError::invalidRequest);
        case TunnelRelayTransportError::tunnelIOFailed:
            return replyFor(FileIOBridgeError::ioFailed);
        }
    }
    return replyFor(FileIOBridgeError::ioFailed);
}

// The failure a transfer ends with: a shared name that is no regular file is the caller's
// mistake; anything else that is not a TransferFailure (storage, file system) counts as an I/O
// failure.
TransferFailure failureOf(std::exception_ptr error) {
    try {
        std::rethrow_exception(error);
    } catch (const TransferFailure& failure) {
        return failure;
    } catch (const SharedFileStorageException& storage) {
        return TransferFailure(storage.error() == SharedFileStorageError::notAFile
                                   ? TransferError::invalidRequest
                                   : TransferError::ioFailed);
    } catch (...) {
        return TransferFailure(TransferError::ioFailed);
    }
}

class FileDescriptor {
public:
    explicit FileDescriptor(int fd = -1)
        : fd_(fd) {}
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    ~FileDescriptor() { close(); }
    int get() const { return fd_; }
    void reset(int fd) {
        close();
        fd_ = fd;
    }
    void close() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

private:
    int fd_;
};

// The bytes of one read chunk in the shared file.
struct FileRange {
    uint64_t at = 0;
    size_t length = 0;
};

// A fetch starts the writeback of each chunk once it is written, without waiting; first it waits
// for the chunk kWritebackLag before it, which has had that many chunks' link time to land, so
// the wait is normally over at once, dirty data stays bounded and the final fsync has little left.
// Measured cold and warm on the 400 MB/s model: 1-1.5 ms of disk work per 4 MiB chunk against
// 3-4 ms for an fdatasync per chunk (a journal commit and a cache flush each), which a cold page
// cache's slow first writes can no longer hide behind the link's 10 ms. A lag of 1 stalls when
// the disk needs longer than one chunk's link time; 3 measured no better.
constexpr size_t kWritebackLag = 2;

// Starts writing the range back to the disk and returns without waiting for it.
bool startWriteback(int fd, FileRange range) {
    return ::sync_file_range(fd, static_cast<off_t>(range.at), static_cast<off_t>(range.length),
                             SYNC_FILE_RANGE_WRITE) == 0;
}

// Waits until the range is on the disk, writing back first what was dirtied since its
// writeback started. A failure is final: the kernel reports a writeback error once to each
// open file, so the fsync at the end would not see it again.
bool awaitWriteback(int fd, FileRange range) {
    return ::sync_file_range(fd, static_cast<off_t>(range.at), static_cast<off_t>(range.length),
                             SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE |
                                 SYNC_FILE_RANGE_WAIT_AFTER) == 0;
}

using Stopwatch = std::chrono::steady_clock;

double secondsSince(Stopwatch::time_point start) {
    return std::chrono::duration<double>(Stopwatch::now() - start).count();
}

std::string milliseconds(double seconds) {
    char text[64];
    std::snprintf(text, sizeof text, "%.2f", seconds * 1000);
    return text;
}

// The figures of one transfer for its benchmark log line.
struct Benchmark {
    Stopwatch::time_point start = Stopwatch::now();
    uint64_t transferred = 0;
    uint64_t chunks = 0;
    double transportSeconds = 0;
    double fileSeconds = 0; // writes of a fetch, reads of a push
    double tailSeconds = 0;

    void log(const char* operation, const char* fileColumn, const std::string& identifier, bool ok,
             uint64_t size) const {
        const double total = secondsSince(start);
        xpcLog.info(
            "%s benchmark id=%s outcome=%s size=%llu transferred=%llu chunks=%llu "
            "totalMs=%s transportMs=%s %s=%s tailMs=%s effective=%s transportOnly=%s",
            operation, identifier.c_str(), ok ? "ok" : "error",
            static_cast<unsigned long long>(size), static_cast<unsigned long long>(transferred),
            static_cast<unsigned long long>(chunks), milliseconds(total).c_str(),
            milliseconds(transportSeconds).c_str(), fileColumn, milliseconds(fileSeconds).c_str(),
            milliseconds(tailSeconds).c_str(), mibPerSecondText(transferred, total).c_str(),
            mibPerSecondText(transferred, transportSeconds).c_str());
    }
};

} // namespace

TransferCoordinator& TransferCoordinator::shared() {
    static TransferCoordinator coordinator(mainLoop().get_executor(), BridgeCore::shared(),
                                           TunnelRelayBridge::shared(), Clock::current());
    return coordinator;
}

TransferCoordinator::TransferCoordinator(asio::any_io_executor loop, BridgeCore& core,
                                         TunnelRelayBridge& relay, Clock& clock)
    : loop_(std::move(loop))
    , core_(core)
    , relay_(relay)
    , clock_(clock) {}

asio::awaitable<TransferCoordinator::FileIOReply>
TransferCoordinator::requestFileIO(HostID host, int64_t operation, Bytes param) {
    if (!core_.mayMoveData(host)) co_return replyFor(FileIOBridgeError::notRegistered);
    // Clients only send the four known operations; anything else is a request we cannot read.
    const auto known = fileIOOperationFromRaw(operation);
    if (!known) co_return replyFor(FileIOBridgeError::invalidRequest);

    switch (*known) {
    case FileIOOperation::beginRead: {
        auto request = decodeFileIOBeginReadRequest(param);
        if (!request) co_return replyFor(FileIOBridgeError::invalidRequest);
        const bool hasDevice = core_.usbMuxConnection().has_value();
        if (!hasDevice) co_return replyFor(FileIOBridgeError::noDevice);
        co_return co_await beginRead(std::move(*request), hasDevice);
    }
    case FileIOOperation::endRead: {
        const auto request = decodeFileIOEndReadRequest(param);
        if (!request) co_return replyFor(FileIOBridgeError::invalidRequest);
        co_return co_await endTransfer(activeReads_, request->token);
    }
    case FileIOOperation::beginWrite: {
        auto request = decodeFileIOBeginWriteRequest(param);
        // The source must be a file of the container itself, never a path out of it.
        if (!request || !SharedFileStorage::isPlainName(request->sourceFileName))
            co_return replyFor(FileIOBridgeError::invalidRequest);
        const bool hasDevice = core_.usbMuxConnection().has_value();
        if (!hasDevice) co_return replyFor(FileIOBridgeError::noDevice);
        co_return co_await beginWrite(std::move(*request), hasDevice);
    }
    case FileIOOperation::endWrite: {
        const auto request = decodeFileIOEndWriteRequest(param);
        if (!request) co_return replyFor(FileIOBridgeError::invalidRequest);
        co_return co_await endTransfer(activeWrites_, request->token);
    }
    }
    co_return replyFor(FileIOBridgeError::invalidRequest);
}

asio::awaitable<TransferCoordinator::FileIOReply>
TransferCoordinator::beginRead(FileIOBeginReadRequest request, bool hasDevice) {
    std::exception_ptr error;
    try {
        const auto descriptor = co_await fetchRemoteFile(request, hasDevice);
        co_return FileIOReply{encodeJson(descriptor), code(FileIOBridgeError::success)};
    } catch (...) {
        error = std::current_exception();
    }
    co_return replyFor(failureOf(error));
}

asio::awaitable<TransferCoordinator::FileIOReply>
TransferCoordinator::beginWrite(FileIOBeginWriteRequest request, bool hasDevice) {
    ensureCleanupTask();
    activeWrites_.insert_or_assign(request.token,
                                   ActiveTransfer{request.sourceFileName, clock_.now()});
    std::exception_ptr error;
    try {
        const auto summary = co_await pushSharedFile(request, hasDevice);
        co_return FileIOReply{encodeJson(summary), code(FileIOBridgeError::success)};
    } catch (...) {
        error = std::current_exception();
    }
    co_return replyFor(failureOf(error));
}

asio::awaitable<TransferCoordinator::FileIOReply>
TransferCoordinator::endTransfer(std::map<std::string, ActiveTransfer>& transfers,
                                 const std::string& token) {
    const auto entry = transfers.find(token);
    if (entry != transfers.end()) {
        const std::string fileName = std::move(entry->second.fileName);
        transfers.erase(entry);
        auto remove = [fileName] { SharedFileStorage::removeSharedFile(fileName); };
        co_await offload(std::move(remove));
    }
    co_return replyFor(FileIOBridgeError::success);
}

asio::awaitable<Bytes> TransferCoordinator::relay(uint16_t requestCode, Bytes payload,
                                                  bool hasDevice) {
    if (payload.size() > kTunnelMaxPayload)
        throw TransferFailure::transportFailed(TunnelRelayTransportError::payloadTooLarge);
    if (!hasDevice) throw TransferFailure::transportFailed(TunnelRelayTransportError::noDevices);
    std::optional<TunnelRelayTransportError> failure;
    TunnelMessage response;
    try {
        // Records the contact, and after a broken tunnel resets it and tries once more.
        response = co_await relay_.requestRetryingOnce(requestCode, std::move(payload));
    } catch (const TunnelRelayFailure& error) {
        failure = error.error();
    }
    if (failure) throw TransferFailure::transportFailed(*failure);
    const auto status = relayDeviceStatusFromResponse(response.code);
    if (status != RelayDeviceStatus::success)
        throw TransferFailure::rejected(status, std::move(response.payload));
    co_return std::move(response.payload);
}

void TransferCoordinator::notifyProgress(const Uuid& sessionID, uint64_t completed, uint64_t total,
                                         int percent) {
    auto extension = core_.proxy(static_cast<int64_t>(TarvelBridgeClientRole::fileProvider));
    if (!extension) return;
    extension->notifyClient(
        static_cast<int64_t>(BridgeNotifyMessage::fileIOProgress),
        encodeJson(FileIOProgressPayload{sessionID, completed, total, uint8_t(percent)}));
}

void TransferCoordinator::reportProgress(Progress& progress, uint64_t completed) {
    if (progress.total == 0) {
        if (progress.nextThreshold > 100) return;
        notifyProgress(progress.sessionID, 0, 0, 100);
        progress.lastReported = 100;
        progress.nextThreshold = 110;
        return;
    }
    const auto percent =
        static_cast<int>(std::min<uint64_t>(completed * 100 / progress.total, 100));
    while (progress.nextThreshold <= 100 && progress.nextThreshold <= percent) {
        notifyProgress(progress.sessionID, completed, progress.total, progress.nextThreshold);
        progress.lastReported = progress.nextThreshold;
        progress.nextThreshold += 10;
    }
}

asio::awaitable<SharedFileDescriptor>
TransferCoordinator::fetchRemoteFile(const FileIOBeginReadRequest& request, bool hasDevice) {
    ensureCleanupTask();
    if (!hasDevice) throw TransferFailure(TransferError::noDevice);
    Bytes lookupRequest = encodeJson(RelayLookupRequest{request.identifier, std::nullopt});
    const Bytes lookup = co_await relay(kLookup, std::move(lookupRequest), hasDevice);
    const auto summary = decodeRelayItemSummary(lookup);
    if (!summary) throw TransferFailure(TransferError::decodeFailed);
    if (summary->isDirectory) throw TransferFailure::rejected(RelayDeviceStatus::code6);
    const uint64_t size = summary->size;

    const std::string token = Uuid::random().toString();
    const std::string partName = "transfer_" + token + ".part";
    const std::string finalName = "transfer_" + token + ".bin";

    Benchmark bench;
    FileDescriptor file;
    std::exception_ptr error;
    try {
        auto create = [partName, size] {
            return SharedFileStorage::createSharedFile(partName, static_cast<int64_t>(size));
        };
        file.reset(co_await offload(std::move(create)));

        Progress progress{request.sessionID, size};
        auto askFor = [&](uint64_t offset) -> asio::awaitable<Bytes> {
            auto chunkRequest = encodeReadChunkRequest(request.identifier, offset);
            if (!chunkRequest) throw TransferFailure(TransferError::encodeFailed);
            const auto sent = Stopwatch::now();
            Bytes payload = co_await relay(kReadChunk, std::move(*chunkRequest), hasDevice);
            bench.transportSeconds += secondsSince(sent);
            co_return payload;
        };
        uint64_t offset = 0; // where the chunk in `payload` was asked for
        // Chunks on their way to the disk and not yet waited for, oldest first.
        std::deque<FileRange> writingBack;
        Bytes payload = co_await askFor(offset);
        for (;;) {
            const auto chunk = decodeReadChunkView(payload);
            if (!chunk) throw TransferFailure(TransferError::decodeFailed);
            ++bench.chunks;
            // More than the lookup announced: the item changed under us, or the phone never stops.
            if (chunk->data.size() > size - bench.transferred)
                throw TransferFailure(TransferError::ioFailed);
            // The next chunk is already on its way while this one is written: the link is the
            // slow part, so it should never wait for the disk.
            const int fd = file.get();
            const uint8_t* bytes = chunk->data.data();
            const size_t length = chunk->data.size();
            const uint64_t at = offset;
            const bool more = !chunk->eof;
            // On its way to the disk while the next chunk is on the link (see kWritebackLag);
            // the last chunk is left to the fsync that follows it. An empty range would mean
            // "to the end of the file".
            const bool writeBack = more && length > 0;
            std::optional<FileRange> settle;
            if (writeBack && writingBack.size() >= kWritebackLag) {
                settle = writingBack.front();
                writingBack.pop_front();
            }
            if (writeBack) writingBack.push_back({at, length});
            double& fileSeconds = bench.fileSeconds;
            auto write = [fd, bytes, length, at, writeBack, settle, &fileSeconds] {
                const auto started = Stopwatch::now();
                size_t done = 0;
                while (done < length) {
                    const ssize_t n =
                        ::pwrite(fd, bytes + done, length - done, static_cast<off_t>(at + done));
                    if (n <= 0) return false;
                    done += static_cast<size_t>(n);
                }
                if (settle && !awaitWriteback(fd, *settle)) return false;
                if (writeBack && !startWriteback(fd, {at, length})) return false;
                fileSeconds += secondsSince(started);
                return true;
            };
            bool written = true;
            Bytes next;
            if (!chunk->eof) {
                std::tie(written, next) = co_await (offload(write) && askFor(chunk->nextOffset));
            } else if (length > 0) {
                written = co_await offload(write);
            }
            if (!written) throw TransferFailure(TransferError::ioFailed);
            bench.transferred += length;
            reportProgress(progress, bench.transferred);
            if (chunk->eof) break;
            offset = chunk->nextOffset;
            payload = std::move(next);
        }
        // A phone that ends early has not given us the item it announced.
        if (bench.transferred != size) throw TransferFailure(TransferError::ioFailed);
        if (progress.lastReported < 100) notifyProgress(request.sessionID, size, size, 100);

        const auto tail = Stopwatch::now();
        const int fd = file.get();
        // The one flush of the file: it waits for the chunks still on their way to the disk.
        const bool synced = co_await offload([fd] { return ::fsync(fd) == 0; });
        if (!synced) throw TransferFailure(TransferError::ioFailed);
        file.close();
        auto move = [partName, finalName] {
            SharedFileStorage::moveSharedFile(partName, finalName);
        };
        co_await offload(std::move(move));
        ensureCleanupTask();
        activeReads_.insert_or_assign(token, ActiveTransfer{finalName, clock_.now()});
        bench.tailSeconds = secondsSince(tail);
    } catch (...) {
        error = std::current_exception();
    }
    if (error) {
        file.close();
        auto remove = [partName, finalName] {
            SharedFileStorage::removeSharedFile(partName);
            SharedFileStorage::removeSharedFile(finalName);
        };
        co_await offload(std::move(remove));
        bench.tailSeconds = 0;
        bench.log("fetchRemoteFile", "writeMs", request.identifier, false, size);
        std::rethrow_exception(error);
    }
    bench.log("fetchRemoteFile", "writeMs", request.identifier, true, size);
    co_return SharedFileDescriptor{token, finalName, size, summary->contentVersion,
                                   summary->contentVersion};
}

asio::awaitable<RelayItemSummary>
TransferCoordinator::pushSharedFile(const FileIOBeginWriteRequest& request, bool hasDevice) {
    if (!hasDevice) throw TransferFailure(TransferError::noDevice);
    const uint64_t byteCount = request.byteCount;

    Benchmark bench;
    FileDescriptor source;
    std::optional<RelayItemSummary> committed;
    std::exception_ptr error;
    try {
        // Refused before the truncate, so that nothing on the phone changes for a bad source.
        auto openSource = [name = request.sourceFileName] {
            return SharedFileStorage::openSharedFile(name);
        };
        source.reset(co_await offload(std::move(openSource)));

        Bytes truncate = encodeJson(RelayTruncateWriteRequest{request.identifier, byteCount,
                                                              request.expectedContentVersion});
        co_await relay(kTruncateWrite, std::move(truncate), hasDevice);

        Progress progress{request.sessionID, byteCount};
        const int fd = source.get();
        // The write-chunk request for the bytes at `at`, read from the source straight into
        // the message; none when the source ends early. Not thrown, so that a send running
        // beside it is not cancelled halfway.
        auto readAt = [&](uint64_t at) -> asio::awaitable<std::optional<WriteChunkDraft>> {
            const auto wanted =
                static_cast<uint32_t>(std::min<uint64_t>(byteCount - at, chunkSize));
            auto chunk = draftWriteChunkRequest(request.identifier, at, wanted);
            if (!chunk) throw TransferFailure(TransferError::encodeFailed);
            uint8_t* into = chunk->payload.data() + chunk->dataAt;
            double& fileSeconds = bench.fileSeconds;
            auto read = [fd, into, wanted, at, &fileSeconds] {
                const auto started = Stopwatch::now();
                const ssize_t got = ::pread(fd, into, wanted, static_cast<off_t>(at));
                fileSeconds += secondsSince(started);
                return got;
            };
            const ssize_t got = co_await offload(read);
            // The source must hold all the bytes the caller announced; 0 is its end.
            if (got <= 0) co_return std::nullopt;
            shortenWriteChunkRequest(*chunk, static_cast<uint32_t>(got));
            co_return chunk;
        };
        auto send = [&](Bytes payload) -> asio::awaitable<Bytes> {
            const auto sent = Stopwatch::now();
            Bytes response = co_await relay(kWriteChunk, std::move(payload), hasDevice);
            bench.transportSeconds += secondsSince(sent);
            co_return response;
        };
        uint64_t offset = 0;
        std::optional<WriteChunkDraft> read;
        if (byteCount > 0) read = co_await readAt(0);
        while (offset < byteCount) {
            if (!read) throw TransferFailure(TransferError::ioFailed);
            const size_t length = read->payload.size() - read->dataAt;
            Bytes payload = std::move(read->payload);
            const uint64_t nextOffset = offset + length;
            // The next chunk is read from disk while this one crosses the link.
            Bytes response;
            if (nextOffset < byteCount)
                std::tie(response, read) =
                    co_await (send(std::move(payload)) && readAt(nextOffset));
            else
                response = co_await send(std::move(payload));
            if (!decodeWriteChunkResponse(response))
                throw TransferFailure(TransferError::decodeFailed);

            ++bench.chunks;
            bench.transferred += length;
            offset = nextOffset;
            reportProgress(progress, bench.transferred);
        }
        if (progress.lastReported < 100)
            notifyProgress(request.sessionID, byteCount, byteCount, 100);

        const auto tail = Stopwatch::now();
        Bytes commit = encodeJson(RelayCommitWriteRequest{request.identifier});
        const Bytes summary = co_await relay(kCommitWrite, std::move(commit), hasDevice);
        committed = decodeRelayItemSummary(summary);
        if (!committed) throw TransferFailure(TransferError::decodeFailed);
        bench.tailSeconds = secondsSince(tail);
    } catch (...) {
        error = std::current_exception();
    }
    source.close();
    bench.log("pushSharedFile", "readMs", request.identifier, !error, byteCount);
    if (error) std::rethrow_exception(error);
    co_return std::move(*committed);
}

void TransferCoordinator::ensureCleanupTask() {
    if (sweepStarted_) return;
    sweepStarted_ = true;
    asio::co_spawn(loop_, sweepLoop(alive_), asio::detached);
}

asio::awaitable<void> TransferCoordinator::sweepLoop(std::weak_ptr<void> alive) {
    for (;;) {
        try {
            co_await clock_.sleep(kSweepInterval);
        } catch (const std::exception&) {
            // An interrupted pause counts as a full one.
        }
        if (alive.expired()) co_return;
        co_await sweepStaleTransfers();
    }
}

asio::awaitable<void> TransferCoordinator::sweepStaleTransfers() {
    const auto cutoff = clock_.now() - kStaleAfter;
    std::vector<std::string> stale;
    for (auto* transfers : {&activeReads_, &activeWrites_}) {
        std::erase_if(*transfers, [&](const auto& entry) {
            if (entry.second.createdAt >= cutoff) return false;
            stale.push_back(entry.second.fileName);
            return true;
        });
    }
    if (stale.empty()) co_return;
    auto remove = [stale = std::move(stale)] {
        for (const auto& name : stale)
            SharedFileStorage::removeSharedFile(name);
    };
    co_await offload(std::move(remove));
}

} // namespace brimo
