#include "extension/BrimoFileSystem.h"

#include "extension/FileSystemErrors.h"
#include "extension/Identifiers.h"
#include "shared/Log.h"
#include "shared/Offload.h"
#include "shared/messages/FileIOMessages.h"
#include "shared/messages/FileSystemMessages.h"
#include "shared/messages/SharedFileStorage.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <sys/statvfs.h>
#include <unistd.h>

namespace brimo::fs {

namespace {

constexpr log::Logger fsLog{log::kSubsystem, "Extension"};
constexpr uint16_t kLookup = 2;
constexpr uint32_t kPageLimit = 1000;
constexpr blksize_t kBlockSize = 128 * 1024;

template <class Request> Bytes encoded(const Request& request) {
    return encodeJson(request);
}

RelayTimespec relayTime(const timespec& time) {
    return {int64_t(time.tv_sec), int32_t(time.tv_nsec)};
}

timespec timeOf(const RelayTimespec& time) {
    return {time_t(time.tvSec), long(time.tvNsec)};
}

RelayTimespec now() {
    timespec time{};
    ::clock_gettime(CLOCK_REALTIME, &time);
    return relayTime(time);
}

std::optional<std::string> childOf(const std::optional<std::string>& parent,
                                   const std::string& name) {
    if (!parent) return std::nullopt;
    return childIdentifier(*parent, name);
}

// A name the phone would refuse gets its answer here.
int nameError(const std::string& name) {
    if (name.size() > 255) return ENAMETOOLONG;
    return isValidItemName(name) ? 0 : EINVAL;
}

} // namespace

BrimoFileSystem::BrimoFileSystem(asio::io_context& loop, PhoneLink& link, KernelNotifier& notifier,
                                 Options options)
    : loop_(loop)
    , link_(link)
    , notifier_(notifier)
    , options_(options)
    , store_(options.contentCacheBytes) {}

// --- attributes -------------------------------------------------------------------------------

struct stat BrimoFileSystem::attributesOf(uint64_t node, const RelayItemSummary& summary) {
    struct stat st {};
    st.st_ino = summary.inode != 0 ? summary.inode : node;
    st.st_mode = (summary.isDirectory ? S_IFDIR : S_IFREG) | (summary.mode & 07777);
    st.st_nlink = summary.linkCount != 0 ? summary.linkCount : (summary.isDirectory ? 2 : 1);
    // The drive belongs to whoever mounted it; the phone's owners mean nothing here.
    st.st_uid = ::getuid();
    st.st_gid = ::getgid();
    st.st_size = off_t(summary.size);
    st.st_blksize = kBlockSize;
    st.st_blocks = blkcnt_t((summary.allocSize + 511) / 512);
    st.st_atim = timeOf(summary.accessTime);
    st.st_mtim = timeOf(summary.modifyTime);
    st.st_ctim = timeOf(summary.changeTime);
    // Bytes written here and not yet on the phone are what programs must see.
    if (auto open = openFiles_.find(node); open != openFiles_.end()) {
        std::lock_guard guard(open->second->mutex);
        const auto& content = open->second->content;
        struct stat local {};
        if (content && content->writable() && ::fstat(content->fd(), &local) == 0) {
            st.st_size = local.st_size;
            st.st_blocks = local.st_blocks;
            if (open->second->dirty) st.st_mtim = local.st_mtim;
        }
    }
    return st;
}

bool BrimoFileSystem::replyEntry(FuseReply& reply, const RelayItemSummary& summary) {
    fuse_entry_param entry{};
    entry.ino = nodes_.remember(summary);
    entry.attr = attributesOf(entry.ino, summary);
    entry.attr_timeout = options_.cacheTimeout;
    entry.entry_timeout = options_.cacheTimeout;
    if (reply.entry(entry)) return true;
    nodes_.forget(entry.ino, 1); // the kernel never got it
    return false;
}

asio::awaitable<BrimoFileSystem::Lookup>
BrimoFileSystem::lookUp(std::string identifier, std::optional<RelayLookupSource> source) {
    Bytes request = encoded(RelayLookupRequest{std::move(identifier), source});
    Lookup found = co_await ask(kLookup, std::move(request), ENOTDIR);
    co_return found;
}

// A request whose answer describes an item.
asio::awaitable<BrimoFileSystem::Lookup> BrimoFileSystem::ask(uint16_t code, Bytes payload,
                                                              int wrongKind) {
    const CallOutcome outcome = co_await link_.relay(code, std::move(payload));
    Lookup result;
    result.error = relayErrno(outcome, wrongKind);
    if (result.error != 0) co_return result;
    auto summary = decodeRelayItemSummary(outcome.data);
    if (!summary) {
        fsLog.error("the phone's item description does not decode");
        result.error = EIO;
    } else {
        result.summary = std::move(*summary);
    }
    co_return result;
}

asio::awaitable<BrimoFileSystem::Lookup>
BrimoFileSystem::createItem(std::string parent, std::string name, bool directory, mode_t mode) {
    Bytes request = encoded(
        RelayCreateItemRequest{std::move(parent), std::move(name), directory, mode & 07777});
    Lookup made =
        co_await ask(uint16_t(FileSystemRequest::createItem), std::move(request), ENOTDIR);
    co_return made;
}

asio::awaitable<void> BrimoFileSystem::lookup(FuseReply reply, uint64_t parent, std::string name) {
    if (int error = nameError(name)) {
        reply.error(error == EINVAL ? ENOENT : error);
        co_return;
    }
    const auto identifier = childOf(nodes_.identifier(parent), name);
    if (!identifier) {
        reply.error(ENOENT);
        co_return;
    }
    const Lookup found = co_await lookUp(*identifier, RelayLookupSource::fsLookupByName);
    if (found.error == ENOENT) {
        // Node 0: the kernel remembers the miss for as long as it trusts names.
        fuse_entry_param miss{};
        miss.entry_timeout = options_.cacheTimeout;
        reply.entry(miss);
    } else if (found.error != 0) {
        reply.error(found.error);
    } else {
        replyEntry(reply, found.summary);
    }
}

void BrimoFileSystem::forget(uint64_t node, uint64_t count) {
    if (!nodes_.forget(node, count))
        fsLog.fault("the kernel forgot %llu lookups of node %llu that it never had",
                    (unsigned long long)count, (unsigned long long)node);
    if (!nodes_.summary(node)) pagesOf_.erase(node);
}

asio::awaitable<void> BrimoFileSystem::getattr(FuseReply reply, uint64_t node) {
    const auto identifier = nodes_.identifier(node);
    const RelayItemSummary* known = nodes_.summary(node);
    if (!identifier) {
        // Removed on the phone but still open here: what we last knew.
        if (known)
            reply.attributes(attributesOf(node, *known), options_.cacheTimeout);
        else
            reply.error(ENOENT);
        co_return;
    }
    const Lookup found = co_await lookUp(*identifier, RelayLookupSource::fsGetAttributes);
    if (found.error != 0) {
        reply.error(found.error);
        co_return;
    }
    nodes_.updateSummary(node, found.summary);
    reply.attributes(attributesOf(node, found.summary), options_.cacheTimeout);
}

asio::awaitable<void> BrimoFileSystem::setattr(FuseReply reply, uint64_t node,
                                               struct stat attributes, int toSet) {
    const auto identifier = nodes_.identifier(node);
    if (!identifier) {
        reply.error(ENOENT);
        co_return;
    }
    if (((toSet & FUSE_SET_ATTR_UID) && attributes.st_uid != ::getuid()) ||
        ((toSet & FUSE_SET_ATTR_GID) && attributes.st_gid != ::getgid())) {
        reply.error(EPERM);
        co_return;
    }
    std::optional<RelayLookupSource> refresh;
    if (toSet & FUSE_SET_ATTR_SIZE) {
        bool pushed = false;
        if (int error = co_await truncate(node, uint64_t(attributes.st_size), pushed)) {
            reply.error(error);
            co_return;
        }
        if (pushed) refresh = RelayLookupSource::fsSetAttributesAfterTruncate;
    }
    RelaySetAttributesRequest change{*identifier, {}, {}, {}};
    if (toSet & FUSE_SET_ATTR_MODE) change.mode = attributes.st_mode & 07777;
    if (toSet & FUSE_SET_ATTR_ATIME_NOW)
        change.accessTime = now();
    else if (toSet & FUSE_SET_ATTR_ATIME)
        change.accessTime = relayTime(attributes.st_atim);
    if (toSet & FUSE_SET_ATTR_MTIME_NOW)
        change.modifyTime = now();
    else if (toSet & FUSE_SET_ATTR_MTIME)
        change.modifyTime = relayTime(attributes.st_mtim);
    if (change.mode || change.accessTime || change.modifyTime) {
        Bytes payload = encoded(change);
        const Bytes before = nodes_.summary(node) ? nodes_.summary(node)->contentVersion : Bytes{};
        const CallOutcome outcome =
            co_await link_.relay(uint16_t(FileSystemRequest::setAttributes), std::move(payload));
        if (int error = relayErrno(outcome)) {
            reply.error(error);
            co_return;
        }
        refresh = RelayLookupSource::fsSetAttributesRefresh;
        const Lookup found = co_await lookUp(*identifier, *refresh);
        if (found.error != 0) {
            reply.error(found.error);
            co_return;
        }
        // A new modification time is a new content version; it is our own change, not a
        // conflict for what is open here.
        if (auto open = openFiles_.find(node);
            open != openFiles_.end() && open->second->version == before)
            open->second->version = found.summary.contentVersion;
        nodes_.updateSummary(node, found.summary);
        reply.attributes(attributesOf(node, found.summary), options_.cacheTimeout);
        co_return;
    }
    if (refresh) {
        const Lookup found = co_await lookUp(*identifier, *refresh);
        if (found.error != 0) {
            reply.error(found.error);
            co_return;
        }
        nodes_.updateSummary(node, found.summary);
    }
    const RelayItemSummary* known = nodes_.summary(node);
    if (known)
        reply.attributes(attributesOf(node, *known), options_.cacheTimeout);
    else
        reply.error(ENOENT);
}

// --- directories ------------------------------------------------------------------------------

asio::awaitable<void> BrimoFileSystem::opendir(FuseReply reply, uint64_t node,
                                               fuse_file_info info) {
    const auto identifier = nodes_.identifier(node);
    if (!identifier) {
        reply.error(ENOENT);
        co_return;
    }
    if (!link_.phoneAttached()) {
        reply.error(ENODEV);
        co_return;
    }
    auto directory = std::make_unique<Directory>(Directory{*identifier, {}, false});
    info.fh = reinterpret_cast<uint64_t>(directory.get());
    if (reply.open(info)) directory.release(); // releasedir frees it
}

asio::awaitable<void> BrimoFileSystem::readdirplus(FuseReply reply, uint64_t node, size_t size,
                                                   off_t offset, Directory* directory) {
    // Entries 0 and 1 are "." and ".."; the phone's items follow, fetched a page at a time as
    // the kernel reads on.
    std::vector<char> buffer(size);
    size_t used = 0;
    for (size_t index = size_t(std::max<off_t>(offset, 0));; ++index) {
        if (index >= 2 && index - 2 >= directory->items.size() && !directory->complete) {
            RelayListDirectoryRequest request{directory->identifier, std::nullopt, kPageLimit};
            if (!directory->items.empty()) request.after = directory->items.back().filename;
            Bytes payload = encoded(request);
            const CallOutcome outcome = co_await link_.relay(
                uint16_t(FileSystemRequest::listDirectory), std::move(payload));
            int error = relayErrno(outcome, ENOTDIR);
            auto page = error == 0 ? decodeRelayDirectoryPage(outcome.data) : std::nullopt;
            if (error == 0 && !page) error = EIO;
            if (error != 0) {
                // What already fits is still an answer; the error comes with the next read.
                if (used > 0)
                    reply.buffer(buffer.data(), used);
                else
                    reply.error(error);
                co_return;
            }
            for (auto& item : page->items)
                directory->items.push_back(std::move(item));
            directory->complete = !page->more || page->items.empty();
        }
        fuse_entry_param entry{};
        std::string name;
        if (index < 2) {
            name = index == 0 ? "." : "..";
            entry.attr.st_ino = index == 0 ? node : 0;
            entry.attr.st_mode = S_IFDIR;
        } else if (index - 2 < directory->items.size()) {
            const RelayItemSummary& item = directory->items[index - 2];
            name = item.filename;
            entry.ino = nodes_.remember(item);
            entry.attr = attributesOf(entry.ino, item);
            entry.attr_timeout = options_.cacheTimeout;
            entry.entry_timeout = options_.cacheTimeout;
        } else {
            break;
        }
        const size_t needed =
            fuse_add_direntry_plus(reply.request(), buffer.data() + used, size - used, name.c_str(),
                                   &entry, off_t(index + 1));
        if (needed > size - used) {
            if (entry.ino != 0) nodes_.forget(entry.ino, 1); // did not fit
            break;
        }
        used += needed;
    }
    reply.buffer(buffer.data(), used);
}

void BrimoFileSystem::releasedir(FuseReply reply, Directory* directory) {
    delete directory;
    reply.error(0);
}

asio::awaitable<void> BrimoFileSystem::make(FuseReply reply, uint64_t parent, std::string name,
                                            mode_t mode) {
    if (!S_ISDIR(mode) && !S_ISREG(mode)) {
        reply.error(EPERM); // the phone keeps files and folders only
        co_return;
    }
    const auto identifier = nodes_.identifier(parent);
    if (int error = nameError(name); error != 0 || !identifier) {
        reply.error(identifier ? error : ENOENT);
        co_return;
    }
    const Lookup made = co_await createItem(*identifier, name, S_ISDIR(mode), mode);
    if (made.error != 0)
        reply.error(made.error);
    else
        replyEntry(reply, made.summary);
    notifier_.node(parent);
}

asio::awaitable<void> BrimoFileSystem::create(FuseReply reply, uint64_t parent, std::string name,
                                              mode_t mode, fuse_file_info info) {
    const auto parentIdentifier = nodes_.identifier(parent);
    if (int error = nameError(name); error != 0 || !parentIdentifier) {
        reply.error(parentIdentifier ? error : ENOENT);
        co_return;
    }
    Lookup made = co_await createItem(*parentIdentifier, name, false, mode);
    bool existed = false;
    if (made.error == EEXIST && !(info.flags & O_EXCL)) {
        // Someone made it in between: open what is there.
        std::string identifier = childIdentifier(*parentIdentifier, name);
        made = co_await lookUp(std::move(identifier), RelayLookupSource::fsLookupByName);
        existed = true;
        if (made.error == 0 && made.summary.isDirectory) made.error = EISDIR;
    }
    if (made.error != 0) {
        reply.error(made.error);
        co_return;
    }
    fuse_entry_param entry{};
    entry.ino = nodes_.remember(made.summary);
    entry.attr_timeout = options_.cacheTimeout;
    entry.entry_timeout = options_.cacheTimeout;
    auto file = openFile(entry.ino);
    ++file->handles;
    const bool writable = (info.flags & O_ACCMODE) != O_RDONLY;
    int error = co_await load(file, writable, !existed || (info.flags & O_TRUNC));
    if (error != 0) {
        nodes_.forget(entry.ino, 1);
        co_await close(file);
        reply.error(error);
        co_return;
    }
    entry.attr = attributesOf(entry.ino, made.summary);
    auto handle = std::make_unique<Handle>(Handle{file, writable});
    info.fh = reinterpret_cast<uint64_t>(handle.get());
    info.keep_cache = 0;
    pagesOf_[entry.ino] = file->version;
    if (reply.create(entry, info)) {
        handle.release(); // release frees it
    } else {
        nodes_.forget(entry.ino, 1);
        co_await close(file);
    }
    notifier_.node(parent);
}

asio::awaitable<void> BrimoFileSystem::remove(FuseReply reply, uint64_t parent, std::string name,
                                              bool directory) {
    const auto identifier = childOf(nodes_.identifier(parent), name);
    if (!identifier) {
        reply.error(ENOENT);
        co_return;
    }
    Bytes request = encoded(RelayRemoveItemRequest{*identifier, directory});
    const CallOutcome outcome =
        co_await link_.relay(uint16_t(FileSystemRequest::removeItem), std::move(request));
    if (int error = relayErrno(outcome, directory ? ENOTDIR : EISDIR)) {
        reply.error(error);
        co_return;
    }
    if (auto node = nodes_.find(*identifier)) {
        if (auto open = openFiles_.find(*node); open != openFiles_.end())
            open->second->removed = true;
    }
    nodes_.detach(*identifier);
    store_.forget(*identifier);
    reply.error(0);
    notifier_.node(parent);
}

asio::awaitable<void> BrimoFileSystem::rename(FuseReply reply, uint64_t parent, std::string name,
                                              uint64_t newParent, std::string newName,
                                              unsigned flags) {
    if (flags & ~unsigned(RENAME_NOREPLACE)) {
        reply.error(EINVAL); // exchanging two items is not something the phone does
        co_return;
    }
    const auto from = childOf(nodes_.identifier(parent), name);
    const auto toParent = nodes_.identifier(newParent);
    if (int error = nameError(newName); error != 0 || !from || !toParent) {
        reply.error(from && toParent ? error : ENOENT);
        co_return;
    }
    Bytes request =
        encoded(RelayRenameItemRequest{*from, *toParent, newName, !(flags & RENAME_NOREPLACE)});
    const Lookup moved =
        co_await ask(uint16_t(FileSystemRequest::renameItem), std::move(request), ENOTDIR);
    if (moved.error != 0) {
        reply.error(moved.error);
        co_return;
    }
    const std::string to = childIdentifier(*toParent, newName);
    if (auto replaced = nodes_.find(to)) {
        if (auto open = openFiles_.find(*replaced); open != openFiles_.end())
            open->second->removed = true;
    }
    store_.forget(*from);
    store_.forget(to);
    nodes_.rename(*from, to);
    if (auto node = nodes_.find(to)) nodes_.updateSummary(*node, moved.summary);
    reply.error(0);
    notifier_.node(parent);
    if (newParent != parent) notifier_.node(newParent);
}

asio::awaitable<void> BrimoFileSystem::statfs(FuseReply reply) {
    const CallOutcome outcome =
        co_await link_.relay(uint16_t(FileSystemRequest::volumeStatistics), Bytes{});
    int error = relayErrno(outcome);
    auto statistics = error == 0 ? decodeRelayVolumeStatistics(outcome.data) : std::nullopt;
    if (!statistics) {
        reply.error(error != 0 ? error : EIO);
        co_return;
    }
    struct statvfs st {};
    const uint64_t block = statistics->blockSize != 0 ? statistics->blockSize : 4096;
    st.f_bsize = block;
    st.f_frsize = block;
    st.f_blocks = statistics->totalBytes / block;
    st.f_bfree = statistics->freeBytes / block;
    st.f_bavail = statistics->availableBytes / block;
    st.f_files = statistics->totalFiles;
    st.f_ffree = statistics->freeFiles;
    st.f_favail = statistics->freeFiles;
    st.f_namemax = statistics->maxNameLength != 0 ? statistics->maxNameLength : 255;
    reply.statfs(st);
}

// --- contents ---------------------------------------------------------------------------------

std::shared_ptr<BrimoFileSystem::OpenFile> BrimoFileSystem::openFile(uint64_t node) {
    auto& file = openFiles_[node];
    if (!file) file = std::make_shared<OpenFile>(loop_.get_executor(), node);
    return file;
}

asio::awaitable<int> BrimoFileSystem::load(std::shared_ptr<OpenFile> file, bool writable,
                                           bool truncate) {
    auto hold = co_await file->gate.acquire();
    std::shared_ptr<ContentFile> content;
    {
        std::lock_guard guard(file->mutex);
        content = file->content;
    }
    const RelayItemSummary* known = nodes_.summary(file->node);
    if (truncate) {
        // Whatever was there is replaced: no need to fetch it.
        auto empty = store_.newWorkFile();
        if (!empty) co_return EIO;
        std::lock_guard guard(file->mutex);
        if (content && content->writable() && ::ftruncate(content->fd(), 0) == 0) {
            // Handles already open keep writing into the same file.
        } else {
            file->content = std::move(empty);
        }
        if (!content && known) file->version = known->contentVersion;
        file->dirty = true;
        co_return 0;
    }
    if (!content) {
        const auto identifier = nodes_.identifier(file->node);
        if (!identifier) co_return ENOENT;
        // Reuse a fetched copy if the phone's item is still the one it was fetched from.
        const Lookup current = co_await lookUp(*identifier, RelayLookupSource::fsGetAttributes);
        if (current.error != 0) co_return current.error;
        if (current.summary.isDirectory) co_return EISDIR;
        nodes_.updateSummary(file->node, current.summary);
        content = store_.cached(*identifier, current.summary.contentVersion);
        file->version = current.summary.contentVersion;
        if (!content && current.summary.size == 0) {
            // Nothing to fetch for an empty file.
            content = store_.newWorkFile();
            if (!content) co_return EIO;
        } else if (!content) {
            const Uuid session = Uuid::random();
            Bytes request = encoded(FileIOBeginReadRequest{*identifier, session});
            const CallOutcome outcome = co_await link_.fileIO(int64_t(FileIOOperation::beginRead),
                                                              std::move(request), session);
            if (int error = fileIOErrno(outcome)) co_return error;
            const auto descriptor = decodeSharedFileDescriptor(outcome.data);
            if (!descriptor) co_return EIO;
            content = store_.openFetched(descriptor->fileName);
            file->readToken = descriptor->token;
            file->version = descriptor->contentVersion;
            if (!content) co_return EIO;
        }
    }
    if (writable && !content->writable()) {
        auto copyToWork = [this, content] { return store_.copyToWorkFile(*content); };
        auto copy = co_await offload(std::move(copyToWork));
        if (!copy) co_return EIO;
        content = std::move(copy);
    }
    std::lock_guard guard(file->mutex);
    file->content = std::move(content);
    co_return 0;
}

asio::awaitable<void> BrimoFileSystem::open(FuseReply reply, uint64_t node, fuse_file_info info) {
    if (!nodes_.identifier(node)) {
        reply.error(ENOENT);
        co_return;
    }
    auto file = openFile(node);
    ++file->handles;
    const bool writable = (info.flags & O_ACCMODE) != O_RDONLY;
    if (int error = co_await load(file, writable, writable && (info.flags & O_TRUNC))) {
        co_await close(file);
        reply.error(error);
        co_return;
    }
    // The kernel keeps the pages it has of this file when its content is the one it last saw.
    auto seen = pagesOf_.find(node);
    bool dirty;
    {
        std::lock_guard guard(file->mutex);
        dirty = file->dirty;
    }
    info.keep_cache = seen != pagesOf_.end() && seen->second == file->version && !dirty;
    pagesOf_[node] = file->version;
    auto handle = std::make_unique<Handle>(Handle{file, writable});
    info.fh = reinterpret_cast<uint64_t>(handle.get());
    if (reply.open(info))
        handle.release(); // release frees it
    else
        co_await close(file);
}

void BrimoFileSystem::read(FuseReply reply, Handle* handle, size_t size, off_t offset) {
    std::shared_ptr<ContentFile> content;
    {
        std::lock_guard guard(handle->file->mutex);
        content = handle->file->content;
    }
    fuse_bufvec data = FUSE_BUFVEC_INIT(size);
    data.buf[0].flags = fuse_buf_flags(FUSE_BUF_IS_FD | FUSE_BUF_FD_SEEK);
    data.buf[0].fd = content->fd();
    data.buf[0].pos = offset;
    reply.data(data);
}

void BrimoFileSystem::write(FuseReply reply, Handle* handle, const char* data, size_t size,
                            off_t offset) {
    OpenFile& file = *handle->file;
    std::lock_guard guard(file.mutex);
    if (!handle->writable || !file.content || !file.content->writable()) {
        reply.error(EBADF);
        return;
    }
    size_t done = 0;
    while (done < size) {
        const ssize_t n = ::pwrite(file.content->fd(), data + done, size - done, offset + done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += size_t(n);
    }
    if (done > 0) file.dirty = true;
    if (done == 0 && size > 0)
        reply.error(errno != 0 ? errno : EIO);
    else
        reply.written(done);
}

asio::awaitable<int> BrimoFileSystem::push(std::shared_ptr<OpenFile> file) {
    auto hold = co_await file->gate.acquire();
    std::shared_ptr<ContentFile> content;
    {
        std::lock_guard guard(file->mutex);
        if (!file->dirty || file->removed || !file->content) co_return 0;
        content = file->content;
        file->dirty = false; // writes from now on are the next push's
    }
    const auto identifier = nodes_.identifier(file->node);
    if (!identifier) co_return 0;
    int error = EIO;
    const int64_t size = content->size();
    const auto source = size >= 0 ? store_.nameForPush(*content) : std::nullopt;
    if (source) {
        const Uuid session = Uuid::random();
        const std::string token = session.toString();
        Bytes request = encoded(FileIOBeginWriteRequest{*identifier, session, file->version, token,
                                                        *source, uint64_t(size)});
        const CallOutcome outcome = co_await link_.fileIO(int64_t(FileIOOperation::beginWrite),
                                                          std::move(request), session);
        error = fileIOErrno(outcome);
        if (error == 0) {
            if (auto summary = decodeRelayItemSummary(outcome.data)) {
                file->version = summary->contentVersion;
                pagesOf_[file->node] = file->version;
                nodes_.updateSummary(file->node, *summary);
            }
        } else {
            fsLog.error("writing %s to the phone failed: %s", identifier->c_str(),
                        std::strerror(error));
        }
        Bytes end = encoded(FileIOEndWriteRequest{token});
        co_await link_.fileIO(int64_t(FileIOOperation::endWrite), std::move(end));
        SharedFileStorage::removeSharedFile(*source);
    }
    if (error != 0) {
        std::lock_guard guard(file->mutex);
        file->dirty = true; // still to be written
    }
    co_return error;
}

asio::awaitable<void> BrimoFileSystem::flush(FuseReply reply, Handle* handle) {
    reply.error(handle->writable ? co_await push(handle->file) : 0);
}

asio::awaitable<void> BrimoFileSystem::release(FuseReply reply, Handle* handle) {
    std::unique_ptr<Handle> owned(handle);
    reply.error(0);
    if (owned->writable) co_await push(owned->file); // a failure was reported at flush
    co_await close(owned->file);
}

// One handle fewer; the last one ends the read session and keeps the content for a reopen.
asio::awaitable<void> BrimoFileSystem::close(std::shared_ptr<OpenFile> file) {
    if (--file->handles > 0) co_return;
    auto hold = co_await file->gate.acquire();
    if (file->handles > 0) co_return; // opened again meanwhile
    std::shared_ptr<ContentFile> content;
    bool dirty;
    {
        std::lock_guard guard(file->mutex);
        content = std::move(file->content);
        dirty = file->dirty;
    }
    if (auto entry = openFiles_.find(file->node); entry != openFiles_.end() && entry->second == file)
        openFiles_.erase(entry);
    const auto identifier = nodes_.identifier(file->node);
    if (content && identifier && !dirty && !file->removed)
        store_.keep(*identifier, file->version, std::move(content));
    if (auto token = std::exchange(file->readToken, std::nullopt)) co_await endRead(*token);
}

asio::awaitable<void> BrimoFileSystem::endRead(std::string token) {
    Bytes request = encoded(FileIOEndReadRequest{std::move(token)});
    co_await link_.fileIO(int64_t(FileIOOperation::endRead), std::move(request));
}

asio::awaitable<int> BrimoFileSystem::truncate(uint64_t node, uint64_t size, bool& pushed) {
    auto file = openFile(node);
    ++file->handles;
    int error = co_await load(file, true, size == 0);
    if (error == 0) {
        std::lock_guard guard(file->mutex);
        if (::ftruncate(file->content->fd(), off_t(size)) != 0)
            error = errno;
        else
            file->dirty = true;
    }
    // A file open elsewhere goes to the phone when it is flushed; otherwise now.
    if (error == 0 && file->handles == 1) {
        error = co_await push(file);
        pushed = error == 0;
    }
    co_await close(file);
    co_return error;
}

void BrimoFileSystem::itemMutated(const std::string& identifier) {
    store_.forget(identifier);
    if (auto node = nodes_.find(identifier)) notifier_.node(*node);
    const size_t slash = identifier.rfind('/');
    const std::string parent = slash == std::string::npos ? "" : identifier.substr(0, slash);
    const std::string name = slash == std::string::npos ? identifier : identifier.substr(slash + 1);
    if (auto node = nodes_.find(parent)) {
        notifier_.entry(*node, name);
        notifier_.node(*node);
    }
}

} // namespace brimo::fs
