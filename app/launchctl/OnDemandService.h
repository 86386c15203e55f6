#pragma once

#include <chrono>
#include <filesystem>

// The service a client started on demand (outside systemd): it holds the flock on its instance
// lock file, "<socket path>.lock", for as long as it serves.
namespace brimo::launchctl {

inline constexpr int kEnded = 0;
inline constexpr int kNoSuchProcess = 3; // as launchctl reports a job that is not loaded
inline constexpr int kFailed = 1;

// Ends the holder of `lockFile` if it is one of the caller's processes: SIGTERM, then SIGKILL
// when it is still there after `grace`. Returns once it has ended: kEnded, kNoSuchProcess when
// nobody holds the lock, kFailed when it could not be signalled or would not end.
int endLockHolder(const std::filesystem::path& lockFile, std::chrono::milliseconds grace);

} // namespace brimo::launchctl
