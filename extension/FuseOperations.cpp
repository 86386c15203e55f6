#include "extension/FuseOperations.h"

#include "extension/BrimoFileSystem.h"
#include "shared/Log.h"

#include <asio/co_spawn.hpp>
#include <asio/post.hpp>
#include <exception>

namespace brimo::fs {

namespace {

constexpr log::Logger fuseLog{log::kSubsystem, "Extension"};

FuseContext& context(fuse_req_t request) {
    return *static_cast<FuseContext*>(fuse_req_userdata(request));
}

// A reply that an interrupt of the waiting program answers at once. What the operation started
// goes on; its own answer finds nobody waiting and undoes what that answer would hand over.
// Made so on the loop: an interrupt that came before answers the request right here, after which
// the request is gone.
FuseReply interruptible(FuseReply reply) {
    reply.interruptible();
    return reply;
}

// Runs one operation on the loop; its reply answers the request whatever happens to it.
template <class Operation> void spawn(fuse_req_t request, Operation operation) {
    FuseContext& ctx = context(request);
    asio::co_spawn(ctx.loop, std::move(operation), [](std::exception_ptr failure) {
        if (!failure) return;
        try {
            std::rethrow_exception(failure);
        } catch (const std::exception& error) {
            fuseLog.error("a file-system operation failed: %s", error.what());
        }
    });
}

void init(void*, fuse_conn_info* connection) {
    // O_TRUNC arrives with the open, so a rewrite does not fetch what it replaces.
    connection->want |= FUSE_CAP_ATOMIC_O_TRUNC;
    if (connection->capable & FUSE_CAP_SPLICE_WRITE)
        connection->want |= FUSE_CAP_SPLICE_WRITE | FUSE_CAP_SPLICE_MOVE;
    // Listing with attributes always: one exchange per page instead of one per entry.
    connection->want |= FUSE_CAP_READDIRPLUS;
    connection->want &= ~FUSE_CAP_READDIRPLUS_AUTO;
    // What is written must reach the phone at close, so the kernel does not hold writes back.
    connection->want &= ~FUSE_CAP_WRITEBACK_CACHE;
    connection->max_write = 1024 * 1024;
}

void lookup(fuse_req_t request, fuse_ino_t parent, const char* name) {
    spawn(request, [&fs = context(request).fileSystem, reply = FuseReply(request), parent,
                    name = std::string(name)]() mutable {
        return fs.lookup(interruptible(std::move(reply)), parent, std::move(name));
    });
}

void forget(fuse_req_t request, fuse_ino_t node, uint64_t count) {
    asio::post(context(request).loop,
               [&fs = context(request).fileSystem, node, count] { fs.forget(node, count); });
    fuse_reply_none(request);
}

void forgetMulti(fuse_req_t request, size_t count, fuse_forget_data* forgets) {
    std::vector<fuse_forget_data> all(forgets, forgets + count);
    asio::post(context(request).loop, [&fs = context(request).fileSystem, all = std::move(all)] {
        for (const auto& one : all)
            fs.forget(one.ino, one.nlookup);
    });
    fuse_reply_none(request);
}

void getattr(fuse_req_t request, fuse_ino_t node, fuse_file_info*) {
    spawn(request, [&fs = context(request).fileSystem, reply = FuseReply(request), node]() mutable {
        return fs.getattr(interruptible(std::move(reply)), node);
    });
}

void setattr(fuse_req_t request, fuse_ino_t node, struct stat* attributes, int toSet,
             fuse_file_info*) {
    spawn(request, [&fs = context(request).fileSystem, reply = FuseReply(request), node,
                    attributes = *attributes, toSet]() mutable {
        return fs.setattr(interruptible(std::move(reply)), node, attributes, toSet);
    });
}

void opendir(fuse_req_t request, fuse_ino_t node, fuse_file_info* info) {
    spawn(request, [&fs = context(request).fileSystem, reply = FuseReply(request), node,
                    info = *info]() mutable {
        return fs.opendir(interruptible(std::move(reply)), node, info);
    });
}

void readdirplus(fuse_req_t request, fuse_ino_t node, size_t size, off_t offset,
                 fuse_file_info* info) {
    auto* directory = reinterpret_cast<BrimoFileSystem::Directory*>(info->fh);
    spawn(request, [&fs = context(request).fileSystem, reply = FuseReply(request), node, size,
                    offset, directory]() mutable {
        return fs.readdirplus(std::move(reply), node, size, offset, directory);
    });
}

void releasedir(fuse_req_t request, fuse_ino_t, fuse_file_info* info) {
    auto* directory = reinterpret_cast<BrimoFileSystem::Directory*>(info->fh);
    asio::post(context(request).loop,
               [&fs = context(request).fileSystem, reply = FuseReply(request),
                directory]() mutable { fs.releasedir(std::move(reply), directory); });
}

void mkdir(fuse_req_t request, fuse_ino_t parent, const char* name, mode_t mode) {
    spawn(request, [&fs = context(request).fileSystem, reply = FuseReply(request), parent,
                    name = std::string(name), mode]() mutable {
        return fs.make(interruptible(std::move(reply)), parent, std::move(name), mode | S_IFDIR);
    });
}

void mknod(fuse_req_t request, fuse_ino_t parent, const char* name, mode_t mode, dev_t) {
    spawn(request, [&fs = context(request).fileSystem, reply = FuseReply(request), parent,
                    name = std::string(name), mode]() mutable {
        return fs.make(interruptible(std::move(reply)), parent, std::move(name), mode);
    });
}

void create(fuse_req_t request, fuse_ino_t parent, const char* name, mode_t mode,
            fuse_file_info* info) {
    spawn(request, [&fs = context(request).fileSystem, reply = FuseReply(request), parent,
                    name = std::string(name), mode, info = *info]() mutable {
        return fs.create(interruptible(std::move(reply)), parent, std::move(name), mode, info);
    });
}

void unlink(fuse_req_t request, fuse_ino_t parent, const char* name) {
    spawn(request, [&fs = context(request).fileSystem, reply = FuseReply(request), parent,
                    name = std::string(name)]() mutable {
        return fs.remove(interruptible(std::move(reply)), parent, std::move(name), false);
    });
}

void rmdir(fuse_req_t request, fuse_ino_t parent, const char* name) {
    spawn(request, [&fs = context(request).fileSystem, reply = FuseReply(request), parent,
                    name = std::string(name)]() mutable {
        return fs.remove(interruptible(std::move(reply)), parent, std::move(name), true);
    });
}

void rename(fuse_req_t request, fuse_ino_t parent, const char* name, fuse_ino_t newParent,
            const char* newName, unsigned flags) {
    spawn(request,
          [&fs = context(request).fileSystem, reply = FuseReply(request), parent,
           name = std::string(name), newParent, newName = std::string(newName), flags]() mutable {
              return fs.rename(interruptible(std::move(reply)), parent, std::move(name), newParent,
                               std::move(newName), flags);
          });
}

void open(fuse_req_t request, fuse_ino_t node, fuse_file_info* info) {
    spawn(request, [&fs = context(request).fileSystem, reply = FuseReply(request), node,
                    info = *info]() mutable {
        return fs.open(interruptible(std::move(reply)), node, info);
    });
}

void read(fuse_req_t request, fuse_ino_t, size_t size, off_t offset, fuse_file_info* info) {
    context(request).fileSystem.read(
        FuseReply(request), reinterpret_cast<BrimoFileSystem::Handle*>(info->fh), size, offset);
}

void write(fuse_req_t request, fuse_ino_t, const char* data, size_t size, off_t offset,
           fuse_file_info* info) {
    context(request).fileSystem.write(FuseReply(request),
                                      reinterpret_cast<BrimoFileSystem::Handle*>(info->fh), data,
                                      size, offset);
}

void flush(fuse_req_t request, fuse_ino_t, fuse_file_info* info) {
    auto* handle = reinterpret_cast<BrimoFileSystem::Handle*>(info->fh);
    spawn(request,
          [&fs = context(request).fileSystem, reply = FuseReply(request), handle]() mutable {
              return fs.flush(interruptible(std::move(reply)), handle);
          });
}

void fsync(fuse_req_t request, fuse_ino_t, int, fuse_file_info* info) {
    auto* handle = reinterpret_cast<BrimoFileSystem::Handle*>(info->fh);
    spawn(request,
          [&fs = context(request).fileSystem, reply = FuseReply(request), handle]() mutable {
              return fs.fsync(interruptible(std::move(reply)), handle);
          });
}

// The phone keeps files and folders only, as an exFAT stick does.
void symlink(fuse_req_t request, const char*, fuse_ino_t, const char*) {
    fuse_reply_err(request, EPERM);
}

void link(fuse_req_t request, fuse_ino_t, fuse_ino_t, const char*) {
    fuse_reply_err(request, EPERM);
}

void release(fuse_req_t request, fuse_ino_t, fuse_file_info* info) {
    auto* handle = reinterpret_cast<BrimoFileSystem::Handle*>(info->fh);
    spawn(request, [&fs = context(request).fileSystem, reply = FuseReply(request),
                    handle]() mutable { return fs.release(std::move(reply), handle); });
}

void statfs(fuse_req_t request, fuse_ino_t) {
    spawn(request, [&fs = context(request).fileSystem, reply = FuseReply(request)]() mutable {
        return fs.statfs(interruptible(std::move(reply)));
    });
}

fuse_lowlevel_ops makeOperations() {
    fuse_lowlevel_ops ops{};
    ops.init = init;
    ops.lookup = lookup;
    ops.forget = forget;
    ops.forget_multi = forgetMulti;
    ops.getattr = getattr;
    ops.setattr = setattr;
    ops.opendir = opendir;
    ops.readdirplus = readdirplus;
    ops.releasedir = releasedir;
    ops.mkdir = mkdir;
    ops.mknod = mknod;
    ops.symlink = symlink;
    ops.link = link;
    ops.create = create;
    ops.unlink = unlink;
    ops.rmdir = rmdir;
    ops.rename = rename;
    ops.open = open;
    ops.read = read;
    ops.write = write;
    ops.flush = flush;
    ops.fsync = fsync;
    ops.release = release;
    ops.statfs = statfs;
    return ops;
}

} // namespace

const fuse_lowlevel_ops& brimoOperations() {
    static const fuse_lowlevel_ops operations = makeOperations();
    return operations;
}

} // namespace brimo::fs
