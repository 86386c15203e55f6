#pragma once

#include "app/RunningApplications.h"
#include "app/Workspace.h"
#include "shared/MountTable.h"
#include "tests/support/ChildProcess.h"

#include <QApplication>
#include <QCoreApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace brimo::test {

namespace fs = std::filesystem;

// Runs Qt's main-thread queue until `done` holds or `limit` has passed; returns `done()`.
template <class P>
bool processEventsUntil(P done, std::chrono::milliseconds limit = std::chrono::seconds(20)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done() && std::chrono::steady_clock::now() < deadline)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    return done();
}

// A list of running applications that the test writes; kills are recorded, not sent.
class FakeRunningApplications final : public app::RunningApplications {
public:
    std::vector<app::RunningApplication> applications;
    std::vector<pid_t> terminated;

    void add(pid_t pid, const std::string& identifier) {
        applications.push_back({pid, identifier, "/opt/" + identifier + ".app", "/opt/x"});
    }

    std::vector<app::RunningApplication> all() const override { return applications; }
    bool forceTerminate(const app::RunningApplication& application) override {
        terminated.push_back(application.processIdentifier);
        return true;
    }
};

// A private folder under /tmp, removed with everything in it.
class TemporaryFolder {
public:
    explicit TemporaryFolder(const std::string& prefix = "brimo-app") {
        std::string pattern = "/tmp/" + prefix + "-XXXXXX";
        path_ = ::mkdtemp(pattern.data());
    }
    ~TemporaryFolder() {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    TemporaryFolder(const TemporaryFolder&) = delete;
    TemporaryFolder& operator=(const TemporaryFolder&) = delete;
    const fs::path& path() const { return path_; }

private:
    fs::path path_;
};

// A workspace that records the places it is asked to open; starting an application fails the
// test.
class RecordingWorkspace final : public app::Workspace {
public:
    bool openURL(const QUrl& url) override {
        opened.push_back(url);
        return true;
    }
    bool openApplication(const fs::path& bundle) override {
        ADD_FAILURE() << "unexpected start of " << bundle;
        return false;
    }
    std::vector<QUrl> opened;
};

// A child process that lives until it is stopped, also when a test fails.
class ScopedChild {
public:
    explicit ScopedChild(const std::vector<std::string>& argv)
        : pid_(spawnChild(argv)) {}
    ~ScopedChild() { stop(); }
    ScopedChild(const ScopedChild&) = delete;
    ScopedChild& operator=(const ScopedChild&) = delete;
    pid_t pid() const { return pid_; }
    void stop() {
        if (pid_ > 0) stopChild(pid_);
        pid_ = -1;
    }

private:
    pid_t pid_;
};

// An executable shell script.
inline fs::path writeScript(const fs::path& path, const std::string& body) {
    std::ofstream(path) << "#!/bin/sh\n" << body << "\n";
    fs::permissions(path, fs::perms::owner_all);
    return path;
}

inline std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> result;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);)
        result.push_back(line);
    return result;
}

inline std::string readText(const fs::path& path) {
    std::ifstream file(path);
    return {std::istreambuf_iterator<char>(file), {}};
}

// An information dictionary with the given string entries.
inline void writeInfoPlist(const fs::path& path,
                           const std::vector<std::pair<std::string, std::string>>& entries) {
    fs::create_directories(path.parent_path());
    std::ofstream file(path);
    file << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>";
    for (const auto& [key, value] : entries)
        file << "<key>" << key << "</key><string>" << value << "</string>";
    file << "</dict></plist>\n";
}

// Something is mounted at `mountPoint` (read from this process's mount table).
inline bool isMounted(const fs::path& mountPoint) {
    return topMountAt(readText("/proc/self/mountinfo"), mountPoint.string()).has_value();
}

// A read-only squashfs image of `contents`.
inline bool buildSquashfsImage(const fs::path& contents, const fs::path& image) {
    return runChild({"/usr/bin/mksquashfs", contents.string(), image.string(), "-noappend",
                     "-quiet", "-no-progress"})
               .exitCode == 0;
}

// An image mounted by the current user with squashfuse while the object lives.
class SquashfuseImage {
public:
    SquashfuseImage(const fs::path& image, fs::path mountPoint)
        : mountPoint_(std::move(mountPoint)) {
        fs::create_directories(mountPoint_);
        runChild({"/usr/bin/squashfuse", image.string(), mountPoint_.string()});
    }
    ~SquashfuseImage() {
        if (isMounted(mountPoint_)) runChild({"/usr/bin/fusermount3", "-u", mountPoint_.string()});
    }
    SquashfuseImage(const SquashfuseImage&) = delete;
    SquashfuseImage& operator=(const SquashfuseImage&) = delete;
    bool mounted() const { return isMounted(mountPoint_); }

private:
    fs::path mountPoint_;
};

// Once the next message box comes up (polled from the event loop its modal run drives), hands
// it to `inspect`, then clicks the button titled `click`, or else its first accepting button.
inline void whenMessageBoxShows(const std::function<void(QMessageBox&)>& inspect,
                                const QString& click = {}) {
    auto* poll = new QTimer;
    auto tries = std::make_shared<int>(0);
    QObject::connect(poll, &QTimer::timeout, [poll, tries, inspect, click] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box && ++*tries < 500) return;
        poll->stop();
        poll->deleteLater();
        if (!box) {
            ADD_FAILURE() << "no message box came up";
            for (QWidget* window : QApplication::topLevelWidgets())
                if (auto* other = qobject_cast<QMessageBox*>(window)) other->done(0);
            return;
        }
        inspect(*box);
        for (auto* button : box->buttons())
            if (click.isEmpty() ? box->buttonRole(button) == QMessageBox::AcceptRole
                                : button->text() == click)
                return button->click();
        box->done(0);
    });
    poll->start(10);
}

} // namespace brimo::test
