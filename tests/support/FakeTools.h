#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace brimo::test {

// Shell scripts standing in for the mount helpers and the opener, for tests of whatever runs
// them (in this process or in a service started by the test). Every run appends its arguments to
// a log beside the script, then behaves as the test last set: it may print to standard error,
// exit with a status, or hang until terminated. Behaviour is read from files at each run, so a
// test may change it between runs.
//
// The mount tool adds a line for its last argument to a mount table in the format of
// /proc/self/mountinfo (type "fuse.brimo"); the unmount tool removes the last line for its last
// argument. Both do so only when they exit with status 0, unless told otherwise.
class FakeTools {
public:
    enum class Tool { mount, unmount, opener };

    struct Behaviour {
        int status = 0;
        std::string standardError; // printed before exiting or hanging
        bool hang = false;         // sleeps (10 minutes) instead of exiting
        bool updateTableOnFailure = false;

        static Behaviour exiting(int status, std::string standardError = {});
        static Behaviour hanging();
    };

    // Writes the tools and an empty mount table into `directory`, created when missing.
    explicit FakeTools(std::filesystem::path directory);

    std::filesystem::path mountTool() const { return path(Tool::mount); }     // mount.brimo
    std::filesystem::path unmountTool() const { return path(Tool::unmount); } // umount.brimo
    std::filesystem::path opener() const { return path(Tool::opener); }       // xdg-open
    std::filesystem::path mountTable() const { return directory_ / "mountinfo"; }
    std::filesystem::path path(Tool tool) const;

    // Every following run behaves so.
    void setBehaviour(Tool tool, const Behaviour& behaviour);
    // The next runs behave as `runs` in turn; the last one stays for the runs after them.
    void setBehaviours(Tool tool, const std::vector<Behaviour>& runs);

    // The argument lists of the tool's runs so far, oldest first (arguments holding a newline
    // are not supported).
    std::vector<std::vector<std::string>> calls(Tool tool) const;

    // A table entry as the mount tool writes it, e.g. for a volume mounted before a test.
    void addMountEntry(const std::filesystem::path& mountPoint,
                       std::string_view type = "fuse.brimo") const;

private:
    std::filesystem::path directory_;
};

} // namespace brimo::test
