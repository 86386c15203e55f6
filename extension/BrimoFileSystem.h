#pragma once

#include "extension/ContentStore.h"
#include "extension/FuseReply.h"
#include "extension/InodeTable.h"
#include "extension/KernelNotifier.h"
#include "extension/PhoneLink.h"
#include "shared/SerialGate.h"

#include <asio/awaitable.hpp>
#include <asio/io_context.hpp>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <sys/stat.h>

namespace brimo::fs {

// The drive: kernel requests turned into the phone's requests. Metadata goes to the phone
// through the service's relay; contents travel whole through the shared container (fetched at
// open, pushed at flush) and are read and written here on this machine in between. Every
// operation answers its request exactly once; all state lives on the loop, except what reads
// and writes of open files need, which the kernel's threads reach under each open file's lock.
class BrimoFileSystem {
public:
    struct Options {
        double cacheTimeout = 1.0; // seconds the kernel may trust names and attributes
        uint64_t contentCacheBytes = 1ULL << 30;
    };

    // An open file of the drive, shared by every handle the kernel holds on its node, so that
    // two programs see and write the same bytes.
    struct OpenFile {
        explicit OpenFile(asio::any_io_executor loop, uint64_t node)
            : node(node)
            , gate(std::move(loop)) {}
        const uint64_t node;
        SerialGate gate; // one fetch or push at a time
        int handles = 0;
        std::optional<std::string> readToken; // the read session to end once closed
        Bytes version;                        // the phone's content that `content` started from
        bool removed = false;                 // removed on the phone: nothing more to push

        std::mutex mutex; // guards the two below against the kernel's threads
        std::shared_ptr<ContentFile> content;
        bool dirty = false;
    };
    struct Handle {
        std::shared_ptr<OpenFile> file;
        bool writable = false;
    };
    struct Directory {
        std::string identifier;
        std::vector<RelayItemSummary> items;
        bool complete = false;
    };

    BrimoFileSystem(asio::io_context& loop, PhoneLink& link, KernelNotifier& notifier,
                    Options options);

    asio::awaitable<void> lookup(FuseReply reply, uint64_t parent, std::string name);
    void forget(uint64_t node, uint64_t count);
    asio::awaitable<void> getattr(FuseReply reply, uint64_t node);
    asio::awaitable<void> setattr(FuseReply reply, uint64_t node, struct stat attributes,
                                  int toSet);
    asio::awaitable<void> opendir(FuseReply reply, uint64_t node, fuse_file_info info);
    asio::awaitable<void> readdirplus(FuseReply reply, uint64_t node, size_t size, off_t offset,
                                      Directory* directory);
    void releasedir(FuseReply reply, Directory* directory);
    // A folder (S_IFDIR in `mode`) or an empty file (S_IFREG); nothing else.
    asio::awaitable<void> make(FuseReply reply, uint64_t parent, std::string name, mode_t mode);
    asio::awaitable<void> create(FuseReply reply, uint64_t parent, std::string name, mode_t mode,
                                 fuse_file_info info);
    asio::awaitable<void> remove(FuseReply reply, uint64_t parent, std::string name,
                                 bool directory);
    asio::awaitable<void> rename(FuseReply reply, uint64_t parent, std::string name,
                                 uint64_t newParent, std::string newName, unsigned flags);
    asio::awaitable<void> open(FuseReply reply, uint64_t node, fuse_file_info info);
    asio::awaitable<void> flush(FuseReply reply, Handle* handle);
    asio::awaitable<void> release(FuseReply reply, Handle* handle);
    asio::awaitable<void> statfs(FuseReply reply);

    // On the kernel's threads.
    static void read(FuseReply reply, Handle* handle, size_t size, off_t offset);
    static void write(FuseReply reply, Handle* handle, const char* data, size_t size, off_t offset);

    // The phone changed an item by itself.
    void itemMutated(const std::string& identifier);

private:
    struct Lookup {
        int error = 0;
        RelayItemSummary summary;
    };

    // Requests are built before they are awaited: GCC 12 destroys some temporaries of a
    // co_await expression twice.
    asio::awaitable<Lookup> lookUp(std::string identifier, std::optional<RelayLookupSource> source);
    asio::awaitable<Lookup> createItem(std::string parent, std::string name, bool directory,
                                       mode_t mode);
    asio::awaitable<Lookup> ask(uint16_t code, Bytes payload, int wrongKind);
    bool replyEntry(FuseReply& reply, const RelayItemSummary& summary);
    struct stat attributesOf(uint64_t node, const RelayItemSummary& summary);
    std::shared_ptr<OpenFile> openFile(uint64_t node);
    // Makes `file` hold content, writable when asked; 0 or an errno.
    asio::awaitable<int> load(std::shared_ptr<OpenFile> file, bool writable, bool truncate);
    asio::awaitable<int> push(std::shared_ptr<OpenFile> file);
    asio::awaitable<void> close(std::shared_ptr<OpenFile> file);
    asio::awaitable<int> truncate(uint64_t node, uint64_t size, bool& pushed);
    asio::awaitable<void> endRead(std::string token);

    asio::io_context& loop_;
    PhoneLink& link_;
    KernelNotifier& notifier_;
    Options options_;
    InodeTable nodes_;
    ContentStore store_;
    std::map<uint64_t, std::shared_ptr<OpenFile>> openFiles_;
    // The content version of each node when the kernel last opened it: unchanged, its pages stay.
    std::map<uint64_t, Bytes> pagesOf_;
};

} // namespace brimo::fs
