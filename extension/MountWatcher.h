#pragma once

#include <atomic>
#include <functional>
#include <optional>
#include <string>
#include <thread>

namespace brimo::fs {

// The ID of the mount at `mountPoint` in this process's mount table when it is the top one there
// and of type `type`.
std::optional<std::string> findMount(const std::string& mountPoint, const std::string& type);

// Calls `gone` once, from a thread of its own, when the mount with `id` leaves the mount table:
// a lazy unmount detaches the volume while programs still use it, and they must not wait on a
// volume that is no longer there.
class MountWatcher {
public:
    MountWatcher(std::string id, std::function<void()> gone);
    ~MountWatcher();
    MountWatcher(const MountWatcher&) = delete;
    MountWatcher& operator=(const MountWatcher&) = delete;

private:
    void run();

    std::string id_;
    std::function<void()> gone_;
    int wakeFd_;
    std::thread thread_;
};

} // namespace brimo::fs
