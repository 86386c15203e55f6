#include "extension/BrimoFileSystem.h"

#include "extension/FileSystemErrors.h"
#include "extension/Identifiers.h"
#include "shared/Log.h"
#include "shared/Offload.h"
#include "shared/messages/FileIOMessages.h"
#include "shared/messages/FileSystemMessages.h"
#include "shared/messages/SharedFileStorage.h"

#include <algorithm>
#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <sys/statvfs.h>
#include <unistd.h>

namespace brimo::fs {

namespace {

constexpr log::Logger fsLog{log::kSubsystem, "Extension"};
constexpr uint32_t kPageLimit = 1000;
// The chunk requests carry the identifier behind a 16-bit length.
constexpr size_t kLongestIdentifier = 65535;
constexpr blksize_t kBlockSize = 128 * 1024;

template <class Request> Bytes encoded(const Request& request) {
    return encodeJson(request);
}

timespec timeOf(const RelayTimespec& time);

// Sets what `times` hold on a local file, leaving the others.
void setLocalTimes(int fd, const ItemTimes& times) {
    const timespec omit{0, UTIME_OMIT};
    const timespec both[2] = {times.accessTime ? timeOf(*times.accessTime) : omit,
                              times.modifyTime ? timeOf(*times.modifyTime) : omit};
    ::futimens(fd, both);
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

// What the drive shows: files and folders. Links, FIFOs and devices on the phone are not listed,
// as an exFAT stick would hold none of them.
bool isShown(const RelayItemSummary& summary) {
    const uint32_t kind = summary.mode & S_IFMT;
    return summary.isDirectory ? (kind == 0 || kind == S_IFDIR) : (kind == 0 || kind == S_IFREG);
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
    , store_(options.contentCacheBytes)
    , keeper_(loop, link, store_,
              {.busy =
                   [this](const KeptSave& save) {
                       auto holds = [&](const std::shared_ptr<OpenFile>& file) {
                           return (file->kept && file->kept->id == save.id) ||
                                  nodes_.identifier(file->node) == save.identifier;
                       };
                       return std::any_of(unsaved_.begin(), unsaved_.end(), holds) ||
                              std::any_of(openFiles_.begin(), openFiles_.end(),
                                          [&](const auto& open) { return holds(open.second); });
                   },
               .changed = [this](const std::string& identifier) { itemMutated(identifier); }}) {}

// --- attributes -------------------------------------------------------------------------------

struct stat BrimoFileSystem::attributesOf(uint64_t node, const RelayItemSummary& summary) {
    struct stat st {};
    st.st_ino = node; // the drive's number of the item: the phone's changes at every save
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
    // An open file is what its programs see: the version they opened, and bytes written here
    // and not yet on the phone. The kernel ends reads at the size it is told.
    if (auto open = openFiles_.find(node); open != openFiles_.end()) {
        std::lock_guard guard(open->second->mutex);
        const auto& content = open->second->content;
        struct stat local {};
        if (content && ::fstat(content->fd(), &local) == 0) {
            st.st_size = local.st_size;
            if (open->second->dirty || open->second->kept) {
                st.st_blocks = local.st_blocks;
                if (open->second->dirty) st.st_mtim = local.st_mtim;
                if (open->second->times.accessTime) st.st_atim = local.st_atim;
            }
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
    Lookup found = co_await describeOnPhone(link_, std::move(identifier), source);
    if (found.error == 0 && !isShown(found.summary)) found.error = ENOENT;
    co_return found;
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
        nodes_.vanished(*identifier);
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
    auto open = openFiles_.find(node);
    const std::shared_ptr<OpenFile> file = open != openFiles_.end() ? open->second : nullptr;
    if (!identifier && !file) {
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
    RelaySetAttributesRequest change{identifier.value_or(""), {}, {}, {}};
    if (toSet & FUSE_SET_ATTR_MODE) change.mode = attributes.st_mode & 07777;
    if (toSet & FUSE_SET_ATTR_ATIME_NOW)
        change.accessTime = now();
    else if (toSet & FUSE_SET_ATTR_ATIME)
        change.accessTime = relayTime(attributes.st_atim);
    if (toSet & FUSE_SET_ATTR_MTIME_NOW)
        change.modifyTime = now();
    else if (toSet & FUSE_SET_ATTR_MTIME)
        change.modifyTime = relayTime(attributes.st_mtim);

    // Times set on bytes that are not on the phone yet go there after them: the phone's commit
    // would give the new content the time of the commit.
    if (file && (change.accessTime || change.modifyTime)) {
        std::lock_guard guard(file->mutex);
        if (file->dirty && file->content) {
            const ItemTimes times{std::exchange(change.accessTime, std::nullopt),
                                  std::exchange(change.modifyTime, std::nullopt)};
            setLocalTimes(file->content->fd(), times);
            if (times.accessTime) file->times.accessTime = times.accessTime;
            if (times.modifyTime) file->times.modifyTime = times.modifyTime;
        }
    }
    if (!identifier) {
        // Removed but still open: only what programs see of it changes.
        RelayItemSummary known = *nodes_.summary(node);
        if (change.mode) known.mode = (known.mode & ~07777u) | *change.mode;
        if (change.accessTime) known.accessTime = *change.accessTime;
        if (change.modifyTime) known.modifyTime = *change.modifyTime;
        nodes_.updateSummary(node, known);
        reply.attributes(attributesOf(node, known), options_.cacheTimeout);
        co_return;
    }
    if (change.mode || change.accessTime || change.modifyTime) {
        Bytes payload = encoded(change);
        // A new modification time is a new content version of the same bytes: our own change,
        // neither a conflict for what is open here nor another file for what it fetches. That
        // holds only for the version the phone has right before it, which the phone may have
        // changed by itself meanwhile (its announcement is what makes the service touch items).
        ++changingTimes_[node];
        if (file && file->fetcher) file->fetcher->ownChangeBegins();
        const PhoneItem was = co_await describeOnPhone(link_, *identifier, std::nullopt);
        const CallOutcome outcome =
            co_await link_.relay(uint16_t(FileSystemRequest::setAttributes), std::move(payload));
        int error = relayErrno(outcome);
        Lookup found;
        if (error == 0) {
            refresh = RelayLookupSource::fsSetAttributesRefresh;
            found = co_await lookUp(*identifier, *refresh);
            error = found.error;
        }
        std::optional<std::pair<Bytes, Bytes>> renamed; // the same bytes' versions, old and new
        if (error == 0 && was.error == 0)
            renamed.emplace(was.summary.contentVersion, found.summary.contentVersion);
        if (--changingTimes_[node] == 0) changingTimes_.erase(node);
        // Whatever opened it meanwhile fetches too.
        if (auto open = openFiles_.find(node); open != openFiles_.end() && open->second->fetcher)
            open->second->fetcher->ownChangeEnded(renamed);
        if (error != 0) {
            reply.error(error);
            co_return;
        }
        if (file && renamed && file->version == renamed->first) file->version = renamed->second;
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
    auto directory = std::make_unique<Directory>(Directory{*identifier, {}, std::nullopt, false});
    info.fh = reinterpret_cast<uint64_t>(directory.get());
    if (reply.open(info)) directory.release(); // releasedir frees it
}

asio::awaitable<void> BrimoFileSystem::readdirplus(FuseReply reply, uint64_t node, size_t size,
                                                   off_t offset, Directory* directory) {
    // Entries 0 and 1 are "." and ".."; the phone's items follow, fetched a page at a time as
    // the kernel reads on.
    std::vector<char> buffer(size);
    size_t used = 0;
    if (offset <= 0) {
        // From the start again (rewinddir): what the phone holds now.
        directory->items.clear();
        directory->lastListed.reset();
        directory->complete = false;
    }
    for (size_t index = size_t(std::max<off_t>(offset, 0));; ++index) {
        if (index >= 2 && index - 2 >= directory->items.size() && !directory->complete) {
            RelayListDirectoryRequest request{directory->identifier, directory->lastListed,
                                              kPageLimit};
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
            if (!page->items.empty()) directory->lastListed = page->items.back().filename;
            for (auto& item : page->items)
                if (isShown(item)) directory->items.push_back(std::move(item));
            directory->complete = !page->more || page->items.empty();
            if (index - 2 >= directory->items.size() && !directory->complete) {
                --index; // nothing of this page is shown: the next one
                continue;
            }
        }
        fuse_entry_param entry{};
        std::string name;
        if (index < 2) {
            name = index == 0 ? "." : "..";
            // Readers skip entries numbered 0.
            entry.attr.st_ino = index == 0 ? node
                                           : nodes_.find(parentIdentifier(directory->identifier))
                                                 .value_or(InodeTable::kRootId);
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
    const Lookup made = co_await createOnPhone(link_, *identifier, name, S_ISDIR(mode), mode);
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
    Lookup made = co_await createOnPhone(link_, *parentIdentifier, name, false, mode);
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
    const bool writable = (info.flags & O_ACCMODE) != O_RDONLY;
    ++file->handles;
    file->writers += writable;
    int error = co_await load(file, writable, !existed || (info.flags & O_TRUNC));
    if (error != 0) {
        nodes_.forget(entry.ino, 1);
        file->writers -= writable;
        co_await close(file);
        reply.error(error);
        co_return;
    }
    entry.attr = attributesOf(entry.ino, made.summary);
    auto handle = std::make_unique<Handle>(Handle{file, writable, bool(info.flags & O_APPEND)});
    info.fh = reinterpret_cast<uint64_t>(handle.get());
    info.keep_cache = 0;
    pagesOf_[entry.ino] = file->version;
    if (reply.create(entry, info)) {
        handle.release(); // release frees it
    } else {
        nodes_.forget(entry.ino, 1);
        file->writers -= writable;
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
    if (!directory) co_await fetchBeforeItGoes(*identifier);
    // A program that gave up while the rest came keeps its file, as its unlink failed.
    if (!reply.waited()) co_return;
    Bytes request = encoded(RelayRemoveItemRequest{*identifier, directory});
    const CallOutcome outcome =
        co_await link_.relay(uint16_t(FileSystemRequest::removeItem), std::move(request));
    if (int error = relayErrno(outcome, directory ? ENOTDIR : EISDIR)) {
        reply.error(error);
        co_return;
    }
    if (auto node = nodes_.find(*identifier)) gone(*node);
    nodes_.detach(*identifier);
    store_.forget(*identifier);
    reply.error(0);
    notifier_.node(parent);
}

// A file still open here stays readable once its item goes, as on any disk: the rest of its
// bytes come before the phone lets go of them.
asio::awaitable<void> BrimoFileSystem::fetchBeforeItGoes(std::string identifier) {
    const auto node = nodes_.find(identifier);
    if (!node) co_return;
    if (auto open = openFiles_.find(*node); open != openFiles_.end() && open->second->fetcher) {
        const auto fetcher = open->second->fetcher;
        co_await fetcher->fetchAll();
    }
}

// The item of `node` is gone from the phone: what is open of it is sent nowhere any more.
void BrimoFileSystem::gone(uint64_t node) {
    auto open = openFiles_.find(node);
    if (open == openFiles_.end()) return;
    open->second->removed = true;
    if (auto behind = std::exchange(open->second->writeBehind, nullptr)) behind->stop();
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
    const std::string to = childIdentifier(*toParent, newName);
    if (!(flags & RENAME_NOREPLACE)) co_await fetchBeforeItGoes(to);
    if (!reply.waited()) co_return;
    Bytes request =
        encoded(RelayRenameItemRequest{*from, *toParent, newName, !(flags & RENAME_NOREPLACE)});
    const Lookup moved =
        co_await askForItem(link_, uint16_t(FileSystemRequest::renameItem), std::move(request));
    if (moved.error != 0) {
        reply.error(moved.error);
        co_return;
    }
    if (auto replaced = nodes_.find(to)) gone(*replaced);
    store_.forget(*from);
    store_.forget(to);
    nodes_.rename(*from, to);
    keeper_.renamed(*from, to);
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
    const auto identifier = nodes_.identifier(file->node);
    // A cached file is only read; one that is written is this open file's alone. (A cached
    // copy it starts from is taken out below.)
    if (writable && identifier && (content || truncate)) store_.forget(*identifier);
    if (truncate) {
        // Whatever was there is replaced: no need to fetch it.
        if (content && content->truncate(0) == 0) {
            // Handles already open go on with the same file.
            if (file->fetcher) file->fetcher->recheck();
            if (file->writeBehind) file->writeBehind->truncated(0);
        } else {
            auto empty = store_.newWorkFile();
            if (!empty) co_return EIO;
            const RelayItemSummary* known = nodes_.summary(file->node);
            if (!content && known) file->version = known->contentVersion;
            if (auto fetcher = std::exchange(file->fetcher, nullptr)) fetcher->stop(EIO);
            if (auto behind = std::exchange(file->writeBehind, nullptr)) behind->stop();
            std::lock_guard guard(file->mutex);
            file->content = std::move(empty);
        }
        {
            std::lock_guard guard(file->mutex);
            file->dirty = true;
        }
        markDirty(file);
        co_return 0;
    }
    if (content) co_return 0;
    if (!identifier) co_return ENOENT;
    // The phone's item as it is now: a copy cached from the same content serves as it is.
    const Lookup current = co_await lookUp(*identifier, RelayLookupSource::fsGetAttributes);
    if (current.error != 0) co_return current.error;
    if (current.summary.isDirectory) co_return EISDIR;
    nodes_.updateSummary(file->node, current.summary);
    file->version = current.summary.contentVersion;
    content = store_.cached(*identifier, file->version);
    if (content && writable) store_.forget(*identifier); // now this open file's alone
    if (!content) content = store_.newPhoneFile(current.summary.size);
    if (!content) co_return EIO;
    if (!content->complete() && identifier->size() > kLongestIdentifier)
        co_return ENAMETOOLONG; // no read-chunk request can name it
    if (!content->complete()) {
        const uint64_t node = file->node;
        file->fetcher =
            std::make_shared<ContentFetcher>(loop_.get_executor(), link_, content, file->version,
                                             [this, node] { return nodes_.identifier(node); });
        if (auto changing = changingTimes_.find(node); changing != changingTimes_.end())
            for (int i = 0; i < changing->second; ++i)
                file->fetcher->ownChangeBegins();
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
    const bool writable = (info.flags & O_ACCMODE) != O_RDONLY;
    ++file->handles;
    file->writers += writable;
    if (int error = co_await load(file, writable, writable && (info.flags & O_TRUNC))) {
        file->writers -= writable;
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
    auto handle = std::make_unique<Handle>(Handle{file, writable, bool(info.flags & O_APPEND)});
    info.fh = reinterpret_cast<uint64_t>(handle.get());
    if (reply.open(info)) {
        handle.release(); // release frees it
    } else {
        file->writers -= writable;
        co_await close(file);
    }
}

namespace {

void replyFrom(FuseReply& reply, const ContentFile& content, ByteRange range) {
    fuse_bufvec data = FUSE_BUFVEC_INIT(range.size());
    data.buf[0].flags = fuse_buf_flags(FUSE_BUF_IS_FD | FUSE_BUF_FD_SEEK);
    data.buf[0].fd = content.fd();
    data.buf[0].pos = off_t(range.begin);
    reply.data(data);
}

} // namespace

void BrimoFileSystem::read(FuseReply reply, Handle* handle, size_t size, off_t offset) {
    // A copy: once answered, the handle may be released at any moment.
    const std::shared_ptr<OpenFile> file = handle->file;
    std::shared_ptr<ContentFile> content;
    {
        std::lock_guard guard(file->mutex);
        content = file->content;
    }
    const ByteRange range{uint64_t(offset), uint64_t(offset) + size};
    if (content->complete()) {
        replyFrom(reply, *content, range);
    } else if (content->missing(range).empty()) {
        replyFrom(reply, *content, range);
        asio::post(loop_, [file, range] {
            if (file->fetcher) file->fetcher->readAt(range);
        });
    } else {
        asio::post(loop_, [this, file, content, reply = std::move(reply), range]() mutable {
            readWhenHere(std::move(file), std::move(content), std::move(reply), range);
        });
    }
}

void BrimoFileSystem::readWhenHere(std::shared_ptr<OpenFile> file,
                                   std::shared_ptr<ContentFile> content, FuseReply reply,
                                   ByteRange range) {
    const auto fetcher = file->fetcher;
    if (!fetcher || file->content != content) {
        // The content was replaced meanwhile (a truncate to nothing): read what is there now.
        if (content->missing(range).empty())
            replyFrom(reply, *content, range);
        else
            reply.error(EIO);
        return;
    }
    struct Waiting {
        explicit Waiting(FuseReply reply)
            : reply(std::move(reply)) {}
        FuseReply reply;
        uint64_t ticket = 0;
    };
    auto waiting = std::make_shared<Waiting>(std::move(reply));
    // An interrupted reader is answered at once; what only it waited for is not fetched.
    waiting->reply.interruptible([this, weak = std::weak_ptr<Waiting>(waiting), fetcher] {
        asio::post(loop_, [weak, fetcher] {
            if (auto waiting = weak.lock(); waiting && waiting->ticket != 0)
                fetcher->withdraw(waiting->ticket);
        });
    });
    fetcher->readAt(range);
    waiting->ticket = fetcher->want(range, [waiting, content, range](int error) {
        waiting->ticket = 0;
        if (error != 0)
            waiting->reply.error(error);
        else
            replyFrom(waiting->reply, *content, range);
    });
}

void BrimoFileSystem::write(FuseReply reply, Handle* handle, const char* data, size_t size,
                            off_t offset) {
    // A copy: once answered, the handle may be released at any moment.
    const std::shared_ptr<OpenFile> file = handle->file;
    bool becameDirty = false;
    {
        std::lock_guard guard(file->mutex);
        if (!handle->writable || !file->content) {
            reply.error(EBADF);
            return;
        }
        // The kernel places an append at its idea of the size, which may be older than the
        // bytes here.
        if (handle->append) offset = off_t(std::max<int64_t>(file->content->size(), 0));
        const ssize_t done = file->content->write(data, size, offset);
        if (done > 0) {
            becameDirty = !file->dirty;
            file->dirty = true;
            file->times.modifyTime.reset(); // a write is a new modification time
        }
        if (done < 0)
            reply.error(errno != 0 ? errno : EIO);
        else
            reply.written(size_t(done));
        if (done <= 0) return;
        size = size_t(done);
    }
    if (becameDirty) asio::post(loop_, [this, file] { markDirty(file); });
    asio::post(loop_, [file, range = ByteRange{uint64_t(offset), uint64_t(offset) + size}] {
        if (file->writeBehind) file->writeBehind->written(range);
    });
}

// From the first byte written here, the bytes are kept in the container until the phone has
// them: a drive that dies mid-write loses nothing.
void BrimoFileSystem::markDirty(const std::shared_ptr<OpenFile>& file) {
    if (file->kept || file->removed) return;
    keep(file, nullptr);
    std::shared_ptr<ContentFile> content;
    {
        std::lock_guard guard(file->mutex);
        content = file->content;
    }
    if (content && !file->writeBehind) {
        const uint64_t node = file->node;
        file->writeBehind = std::make_shared<WriteBehind>(
            loop_.get_executor(), link_, std::move(content), file->version,
            [this, node] { return nodes_.identifier(node); });
    }
    // The push needs the rest of the phone's bytes; so does what is kept if the drive dies.
    fetchRest(file);
}

void BrimoFileSystem::fetchRest(const std::shared_ptr<OpenFile>& file) {
    if (!file->fetcher) return;
    asio::co_spawn(
        loop_,
        [fetcher = file->fetcher]() -> asio::awaitable<void> { co_await fetcher->fetchAll(); },
        asio::detached);
}

void BrimoFileSystem::keep(const std::shared_ptr<OpenFile>& file, const char* reason,
                           bool writeNow) {
    const auto identifier = nodes_.identifier(file->node);
    std::shared_ptr<ContentFile> content;
    KeptSave save;
    {
        std::lock_guard guard(file->mutex);
        if (!file->dirty || !file->content || !identifier) return;
        content = file->content;
        save.accessTime = file->times.accessTime;
        save.modifyTime = file->times.modifyTime;
    }
    const bool isNew = !file->kept;
    if (isNew) {
        save.id = Uuid::random().toString();
        save.keptAt = std::time(nullptr);
    } else {
        save.id = file->kept->id;
        save.keptAt = file->kept->keptAt;
    }
    save.identifier = *identifier;
    save.baseVersion = file->version;
    // Bytes of the phone's copy that never came cannot go over it: such a save goes beside.
    save.saveAsked = reason != nullptr && content->complete();
    save.reason = reason ? reason : "being written";
    save.size = uint64_t(std::max<int64_t>(content->size(), 0));
    // A new record is made with its bytes at once; a changed one is written now unless the
    // caller writes it durably itself.
    const bool recorded = isNew      ? keeper_.records().adopt(save, store_.pathOf(*content))
                          : writeNow ? keeper_.records().write(save, false)
                                     : true;
    if (recorded)
        file->kept = std::move(save);
    else
        fsLog.error("cannot keep the unsaved bytes of %s in the container", identifier->c_str());
}

// A failed save: its record says so, and it and its bytes reach the disk before anyone is told.
asio::awaitable<void> BrimoFileSystem::keepDurably(std::shared_ptr<OpenFile> file, int error) {
    // Who opens the item from now on gets the phone's copy, and the kernel's pages of these
    // bytes go; the handles open now keep theirs.
    if (auto open = openFiles_.find(file->node); open != openFiles_.end() && open->second == file) {
        openFiles_.erase(open);
        unsaved_.insert(file);
    }
    pagesOf_.erase(file->node);
    notifier_.node(file->node);
    const std::string reason = std::strerror(error);
    keep(file, reason.c_str(), false);
    if (!file->kept) co_return;
    auto sync = [records = keeper_.records(), save = *file->kept] {
        return records.write(save, true);
    };
    co_await offload(std::move(sync));
    fsLog.info("kept %llu unsaved bytes of %s in the container, to send when the phone "
               "takes them: %s",
               (unsigned long long)file->kept->size, file->kept->identifier.c_str(),
               reason.c_str());
}

asio::awaitable<int> BrimoFileSystem::push(std::shared_ptr<OpenFile> file) {
    auto hold = co_await file->gate.acquire();
    std::shared_ptr<ContentFile> content;
    ItemTimes times;
    {
        std::lock_guard guard(file->mutex);
        if (!file->dirty || file->removed || !file->content) co_return 0;
        content = file->content;
        times = file->times;
        file->dirty = false; // writes from now on are the next push's
    }
    const auto identifier = nodes_.identifier(file->node);
    // The whole file goes: the phone's bytes the program left alone come first.
    int error = 0;
    if (file->fetcher) error = co_await file->fetcher->fetchAll();
    const int64_t size = content->size();
    if (error == 0 && (size < 0 || !identifier)) error = EIO;
    const auto behind = std::exchange(file->writeBehind, nullptr);
    if (error == 0) {
        PhoneItem pushed;
        if (behind && behind->started()) {
            pushed = co_await behind->finish(uint64_t(size), times);
        } else if (auto source = store_.nameForPush(*content)) {
            pushed = co_await pushToPhone(link_, *identifier, file->version, std::move(*source),
                                          uint64_t(size), times);
        } else {
            pushed.error = EIO;
        }
        error = pushed.error;
        if (error == 0) {
            file->version = pushed.summary.contentVersion;
            pagesOf_[file->node] = file->version;
            nodes_.updateSummary(file->node, pushed.summary);
        } else {
            fsLog.error("writing %s to the phone failed: %s", identifier->c_str(),
                        std::strerror(error));
        }
    }
    if (behind) behind->stop();
    bool settled;
    {
        std::lock_guard guard(file->mutex);
        if (error != 0)
            file->dirty = true; // still to be written
        else if (file->times.accessTime == times.accessTime &&
                 file->times.modifyTime == times.modifyTime)
            file->times = {};
        settled = !file->dirty;
    }
    if (error != 0) {
        co_await keepDurably(file, error);
    } else if (file->kept && settled) {
        keeper_.records().remove(file->kept->id);
        file->kept.reset();
    } else if (file->kept) {
        keep(file, nullptr); // written over the new version meanwhile
    }
    co_return error;
}

asio::awaitable<void> BrimoFileSystem::flush(FuseReply reply, Handle* handle) {
    // Not a conditional expression: GCC 12 evaluates a co_await in either arm of one.
    int error = 0;
    if (handle->writable) error = co_await push(handle->file);
    reply.error(error);
}

asio::awaitable<void> BrimoFileSystem::fsync(FuseReply reply, Handle* handle) {
    reply.error(co_await push(handle->file));
}

asio::awaitable<void> BrimoFileSystem::release(FuseReply reply, Handle* handle) {
    std::unique_ptr<Handle> owned(handle);
    reply.error(0);
    owned->file->writers -= owned->writable;
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
    if (auto entry = openFiles_.find(file->node);
        entry != openFiles_.end() && entry->second == file)
        openFiles_.erase(entry);
    unsaved_.erase(file);
    if (auto fetcher = std::exchange(file->fetcher, nullptr)) fetcher->stop(EIO);
    if (auto behind = std::exchange(file->writeBehind, nullptr)) behind->stop();
    const auto identifier = nodes_.identifier(file->node);
    if (content && identifier && !dirty && !file->removed)
        store_.keep(*identifier, file->version, std::move(content));
    if (file->kept && (file->removed || !dirty)) {
    } else if (file->kept) {
        // The kernel's pages hold bytes the phone does not: the next open reads the phone's.
        pagesOf_.erase(file->node);
        notifier_.node(file->node);
        keeper_.retrySoon();
    }
}

asio::awaitable<int> BrimoFileSystem::truncate(uint64_t node, uint64_t size, bool& pushed) {
    auto file = openFile(node);
    ++file->handles;
    int error = co_await load(file, true, size == 0);
    if (error == 0) {
        bool becameDirty;
        {
            std::lock_guard guard(file->mutex);
            becameDirty = !file->dirty;
            if (file->content->truncate(size) != 0)
                error = errno;
            else
                file->dirty = true;
        }
        if (file->fetcher) file->fetcher->recheck();
        if (file->writeBehind) file->writeBehind->truncated(size);
        if (error == 0 && becameDirty) markDirty(file);
    }
    // A file open for writing elsewhere goes to the phone when it is flushed; otherwise now.
    if (error == 0 && file->writers == 0) {
        error = co_await push(file);
        pushed = error == 0;
    }
    co_await close(file);
    co_return error;
}

void BrimoFileSystem::itemMutated(const std::string& identifier) {
    store_.forget(identifier);
    if (auto node = nodes_.find(identifier)) notifier_.node(*node);
    if (auto node = nodes_.find(parentIdentifier(identifier))) {
        notifier_.entry(*node, nameOf(identifier));
        notifier_.node(*node);
    }
}

} // namespace brimo::fs
