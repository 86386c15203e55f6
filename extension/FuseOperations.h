#pragma once

#include "extension/FuseReply.h"

#include <asio/io_context.hpp>

namespace brimo::fs {

class BrimoFileSystem;

// What the kernel's requests reach: the file system and the loop it lives on.
struct FuseContext {
    asio::io_context& loop;
    BrimoFileSystem& fileSystem;
};

// The low-level operations of the drive. Each copies what it needs of the request (names and
// file info die when it returns) and hands it to the loop, which answers; reads and writes of
// open files are served at once on the kernel's thread. The session's user data is a FuseContext.
const fuse_lowlevel_ops& brimoOperations();

} // namespace brimo::fs
