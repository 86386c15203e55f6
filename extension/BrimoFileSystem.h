#pragma once

#include "extension/ContentFetcher.h"
#include "extension/ContentStore.h"
#include "extension/FuseReply.h"
#include "extension/InodeTable.h"
#include "extension/KernelNotifier.h"
#include "extension/PhoneLink.h"
#include "extension/PhonePush.h"
#include "extension/SaveKeeper.h"
#include "extension/WriteBehind.h"
#include "shared/SerialGate.h"
#include "shared/messages/KeptSaves.h"

#include <asio/awaitable.hpp>
#include <asio/io_context.hpp>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <sys/stat.h>

namespace brimo::fs {

// The drive: kernel requests turned into the phone's requests. Metadata goes to the phone
// through the service's relay. An open returns after the lookup; the phone's bytes of the file
// come range by range as reads ask for them (ContentFetcher), into a file in the shared
// container that is read and written here. What is written goes back whole at flush: through
// the service, or, for a file written a chunk at a time, by the drive itself while it is written
// (WriteBehind). Bytes written
// and not yet on the phone are kept in the container (SaveKeeper) from the first write until the
// phone has them. Every operation answers its request exactly once; all state lives on the loop,
// except what reads and writes of open files need, which the kernel's threads reach under each
// open file's lock. extension/SEMANTICS.md says what programs see.
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
        int writers = 0; // handles open for writing
        Bytes version;   // the phone's content that `content` started from
        // Brings the phone's bytes while `content` lacks some.
        std::shared_ptr<ContentFetcher> fetcher;
        // Sends what programs write while they write.
        std::shared_ptr<WriteBehind> writeBehind;
        bool removed = false;         // removed through the drive: nothing to push
        std::optional<KeptSave> kept; // while bytes written here are not on the phone

        std::mutex mutex; // guards what follows against the kernel's threads
        std::shared_ptr<ContentFile> content;
        bool dirty = false;
        // Times a program set while its bytes were not on the phone yet: they follow them.
        ItemTimes times;
    };
    struct Handle {
        std::shared_ptr<OpenFile> file;
        bool writable = false;
        bool append = false; // O_APPEND: every write goes to the end, wherever the kernel thinks
    };
    struct Directory {
        std::string identifier;
        std::vector<RelayItemSummary> items;   // those shown
        std::optional<std::string> lastListed; // where the next page starts
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
    // Whatever the descriptor's mode: the file's bytes go to the phone.
    asio::awaitable<void> fsync(FuseReply reply, Handle* handle);
    asio::awaitable<void> release(FuseReply reply, Handle* handle);
    asio::awaitable<void> statfs(FuseReply reply);

    // On the kernel's threads.
    void read(FuseReply reply, Handle* handle, size_t size, off_t offset);
    void write(FuseReply reply, Handle* handle, const char* data, size_t size, off_t offset);

    // The phone changed an item by itself.
    void itemMutated(const std::string& identifier);
    // The phone may answer again: what waits in the container goes to it.
    void phoneMayAnswer() { keeper_.retrySoon(); }

private:
    using Lookup = PhoneItem;

    // A lookup that finds only what the drive shows: files and folders.
    asio::awaitable<Lookup> lookUp(std::string identifier, std::optional<RelayLookupSource> source);
    bool replyEntry(FuseReply& reply, const RelayItemSummary& summary);
    struct stat attributesOf(uint64_t node, const RelayItemSummary& summary);
    std::shared_ptr<OpenFile> openFile(uint64_t node);
    // Makes `file` hold content, writable when asked; 0 or an errno.
    asio::awaitable<int> load(std::shared_ptr<OpenFile> file, bool writable, bool truncate);
    asio::awaitable<int> push(std::shared_ptr<OpenFile> file);
    // Bytes written to `file` are kept until they reach the phone; `reason` once a save failed.
    void keep(const std::shared_ptr<OpenFile>& file, const char* reason, bool writeNow = true);
    asio::awaitable<void> keepDurably(std::shared_ptr<OpenFile> file, int error);
    void markDirty(const std::shared_ptr<OpenFile>& file);
    asio::awaitable<void> close(std::shared_ptr<OpenFile> file);
    asio::awaitable<int> truncate(uint64_t node, uint64_t size, bool& pushed);
    // A read of bytes that are not here yet: answered once they are.
    void readWhenHere(std::shared_ptr<OpenFile> file, std::shared_ptr<ContentFile> content,
                      FuseReply reply, ByteRange range);
    asio::awaitable<void> fetchBeforeItGoes(std::string identifier);
    void gone(uint64_t node);
    // Fetches what `file` lacks from the phone, behind what programs wait for.
    void fetchRest(const std::shared_ptr<OpenFile>& file);

    asio::io_context& loop_;
    PhoneLink& link_;
    KernelNotifier& notifier_;
    Options options_;
    InodeTable nodes_;
    ContentStore store_;
    SaveKeeper keeper_;
    std::map<uint64_t, std::shared_ptr<OpenFile>> openFiles_;
    // Open files whose save failed: still open, no longer what a new open of the item finds.
    std::set<std::shared_ptr<OpenFile>> unsaved_;
    // The content version of each node when the kernel last opened it: unchanged, its pages stay.
    std::map<uint64_t, Bytes> pagesOf_;
    // Changes of times on their way to the phone, by node: they give the same bytes a new
    // content version.
    std::map<uint64_t, int> changingTimes_;
};

} // namespace brimo::fs
