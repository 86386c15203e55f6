#pragma once

#include <cstdint>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <string_view>

// Files shared with the file-system extension. They all lie directly in the root of the App Group
// container, so every helper takes a plain file name, never a path. Other processes of the user
// write there too, so a name may turn out to be a link, a FIFO or a directory: the helpers work
// relative to the container's own descriptor, never follow a link, and open or remove only
// regular files.
namespace brimo {

inline constexpr std::string_view appGroupIdentifier = "group.Ozm.Tarvel";

enum class SharedFileStorageError {
    containerUnavailable, // no usable data directory, or the container could not be created
    ioFailed,             // a file could not be opened, sized or moved
    invalidName,          // the name is not a plain file name in the container root
    notAFile,             // the name is a link, a directory, a FIFO or another non-regular item
};

class SharedFileStorageException : public std::runtime_error {
public:
    SharedFileStorageException(SharedFileStorageError error, const std::string& detail);
    SharedFileStorageError error() const { return error_; }

private:
    SharedFileStorageError error_;
};

class SharedFileStorage {
public:
    // ${XDG_DATA_HOME:-$HOME/.local/share}, where only absolute values count; throws
    // containerUnavailable when neither variable is usable.
    static std::filesystem::path dataHome();

    // $HOME/Brimo, where the drive is mounted: a visible folder of the home, since file managers
    // list the mounts there and hide those in hidden folders; the sidebar shows its name. Throws
    // containerUnavailable when HOME is not absolute.
    static std::filesystem::path driveMountPoint();

    // ${XDG_DATA_HOME:-$HOME/.local/share}/group.Ozm.Tarvel, created with mode 0700 (and missing
    // parents likewise) when it does not exist.
    static std::filesystem::path containerURL();

    // Creates `name` read-write with mode 0600, failing when anything already has that name, and
    // extends it to `size` bytes when size > 0 so that chunks can be written at their offsets in
    // any order. The caller owns the returned descriptor.
    static int createSharedFile(std::string_view name, int64_t size);

    // Opens `name` for reading; throws notAFile unless it is a regular file, and never blocks
    // on what is not one. The caller owns the returned descriptor.
    static int openSharedFile(std::string_view name);

    // Renames `from` to `to`, replacing a file already named `to`; either completes or throws.
    static void moveSharedFile(std::string_view from, std::string_view to);

    // A name of a file directly in the container: not empty, not "." or "..", no "/" or NUL.
    static bool isPlainName(std::string_view name);

    // Deletes `name` when it is a regular file (a link is left alone, so is its target); every
    // failure, including an invalid name, is ignored.
    static void removeSharedFile(std::string_view name) noexcept;
};

} // namespace brimo
