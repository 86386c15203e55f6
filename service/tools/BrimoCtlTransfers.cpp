// brimoctl's file transfers, driven the way the file-system extension drives them.

#include "service/tools/BrimoCtl.h"
#include "shared/messages/FileIOMessages.h"
#include "shared/messages/RelayLookupMessages.h"
#include "shared/messages/SharedFileStorage.h"

#include <filesystem>
#include <iostream>
#include <unistd.h>

namespace {

using namespace brimo;
namespace fs = std::filesystem;

constexpr int64_t kBeginRead = 0, kEndRead = 1, kBeginWrite = 2, kEndWrite = 3;
constexpr int64_t kLookup = 2;

// A bar on a terminal, a line per step otherwise.
void showProgress(int percent) {
    if (::isatty(STDERR_FILENO)) {
        const int filled = percent / 5;
        std::cerr << "\r[" << std::string(filled, '#') << std::string(20 - filled, ' ') << "] "
                  << percent << "%" << (percent == 100 ? "\n" : "") << std::flush;
    } else {
        std::cerr << "progress " << percent << "%" << std::endl;
    }
}

void trackProgress(CtlSession& session, const Uuid& transfer) {
    session.onProgress = [transfer](const Uuid& id, int percent) {
        if (id == transfer) showProgress(percent);
    };
}

// A second name for `from` where the file system allows one and `to` is free (no bytes
// copied), else a copy over `to`.
void linkOrCopy(const fs::path& from, const fs::path& to, std::error_code& error) {
    fs::create_hard_link(from, to, error);
    if (!error) return;
    error.clear();
    fs::copy_file(from, to, fs::copy_options::overwrite_existing, error);
}

bool failed(CtlSession& session, const char* step, int64_t code, const Bytes& data) {
    if (code == 0) return false;
    std::cerr << "brimoctl: " << step << " failed with code " << code;
    if (auto rejection = decodeFileIODeviceRejection(data))
        std::cerr << " (phone status " << rejection->status << ")";
    std::cerr << std::endl;
    session.finish(1);
    return true;
}

} // namespace

void readFromPhone(CtlSession& session, std::string identifier, std::string out) {
    const Uuid transfer = Uuid::random();
    trackProgress(session, transfer);
    const Bytes request = encodeJson(FileIOBeginReadRequest{identifier, transfer});
    session.host.requestFileIO(
        kBeginRead, request, [&session, identifier, out](Bytes reply, int64_t code) {
            if (failed(session, "beginRead", code, reply)) return;
            const auto descriptor = decodeSharedFileDescriptor(reply);
            if (!descriptor) {
                std::cerr << "brimoctl: unreadable reply to beginRead" << std::endl;
                return session.finish(1);
            }
            const fs::path target = out.empty() ? fs::path(identifier).filename() : fs::path(out);
            std::error_code error;
            linkOrCopy(SharedFileStorage::containerURL() / descriptor->fileName, target, error);
            if (error)
                std::cerr << "brimoctl: cannot copy to " << target << ": " << error.message()
                          << std::endl;
            else
                std::cout << "read " << descriptor->byteCount << " bytes into " << target.string()
                          << std::endl;
            session.host.requestFileIO(kEndRead,
                                       encodeJson(FileIOEndReadRequest{descriptor->token}),
                                       [&session, ok = !error](Bytes data, int64_t endCode) {
                                           if (!failed(session, "endRead", endCode, data))
                                               session.finish(ok ? 0 : 1);
                                       });
        });
}

void writeToPhone(CtlSession& session, std::string identifier, std::string file) {
    const Uuid transfer = Uuid::random();
    trackProgress(session, transfer);
    const std::string token = transfer.toString();
    const std::string source = "brimoctl_" + token + ".src";
    std::error_code error;
    const uint64_t size = fs::file_size(file, error);
    if (!error) linkOrCopy(file, SharedFileStorage::containerURL() / source, error);
    if (error) {
        std::cerr << "brimoctl: cannot stage " << file << ": " << error.message() << std::endl;
        return session.finish(1);
    }
    // The phone only accepts a write that names the content it is replacing.
    const Bytes lookup = encodeJson(RelayLookupRequest{identifier, std::nullopt});
    session.host.relayToUsbMux(
        kLookup, lookup,
        [&session, identifier, transfer, token, source, size](Bytes reply, int64_t relayError,
                                                              int64_t) {
            Bytes expected;
            if (relayError == 0)
                if (auto summary = decodeRelayItemSummary(reply))
                    expected = summary->contentVersion;
            const FileIOBeginWriteRequest request{identifier, transfer, expected,
                                                  token,      source,   size};
            session.host.requestFileIO(
                kBeginWrite, encodeJson(request),
                [&session, token, source](Bytes written, int64_t code) {
                    if (failed(session, "beginWrite", code, written)) {
                        SharedFileStorage::removeSharedFile(source);
                        return;
                    }
                    if (auto summary = decodeRelayItemSummary(written))
                        std::cout << "wrote " << summary->size << " bytes to "
                                  << summary->identifier << std::endl;
                    session.host.requestFileIO(kEndWrite, encodeJson(FileIOEndWriteRequest{token}),
                                               [&session](Bytes data, int64_t endCode) {
                                                   if (!failed(session, "endWrite", endCode, data))
                                                       session.finish(0);
                                               });
                });
        });
}
