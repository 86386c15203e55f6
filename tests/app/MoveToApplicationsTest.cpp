#include "app/MoveToApplicationsService.h"
#include "tests/app/AppTestSupport.h"
#include "tests/support/ScopedEnvironment.h"

#include "app/DiskImages.h"
#include "app/MessageBoxAlerts.h"
#include "shared/MountTable.h"
#include "tests/support/ChildProcess.h"

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <QWidget>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>
#include <optional>
#include <sstream>
#include <thread>
#include <unistd.h>

namespace brimo::app {
namespace {

using test::ScopedEnvironment;

namespace fs = std::filesystem;
using namespace std::chrono_literals;

const Alert kMoveAlert{
    "Move to Applications folder?",
    "Brimo must be in the Applications folder so the file system extension can load.",
    {"Move to Applications Folder"},
    {}};
const Alert kRunningAlert{"Brimo is already running",
                          "The copy of Brimo in the Applications folder is already running. This "
                          "copy was not installed; Brimo will switch to the running copy instead.",
                          {"OK"},
                          {}};

void writeFile(const fs::path& path, const std::string& text) {
    fs::create_directories(path.parent_path());
    std::ofstream(path) << text;
}

bool eventually(const std::function<bool()>& condition,
                std::chrono::milliseconds limit = std::chrono::seconds(15)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(20ms);
    }
    return true;
}

// A bundle the relocation can really relaunch: its Brimo writes "<bundle>.launched" holding the
// path it was started as, its brimo-launchctl appends its arguments to "<bundle>.launchctl".
// `version` tells copies apart.
fs::path makeBundle(const fs::path& bundle, const std::string& version) {
    writeFile(bundle / "Contents/Info.plist",
              "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
              "<key>CFBundleIdentifier</key><string>Ozm.Tarvel.Mac</string></dict></plist>\n");
    writeFile(bundle / "Contents/Resources/version", version);
    writeFile(bundle / "Contents/MacOS/Brimo",
              "#!/bin/sh\nprintf '%s\\n' \"$0\" > \"${0%/Contents/MacOS/Brimo}.launched\"\n");
    writeFile(bundle / "Contents/MacOS/brimo-launchctl",
              "#!/bin/sh\nprintf '%s\\n' \"$*\" >> \"${0%/Contents/MacOS/brimo-launchctl}"
              ".launchctl\"\n");
    for (const char* tool : {"Brimo", "brimo-launchctl"})
        fs::permissions(bundle / "Contents/MacOS" / tool,
                        fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                            fs::perms::others_read | fs::perms::others_exec);
    fs::create_directory_symlink("MacOS", bundle / "Contents/Executables");
    return bundle;
}

// What a copy must keep: contents, the executable bits and the symbolic link.
void expectCopyOf(const fs::path& copy, const std::string& version) {
    EXPECT_EQ(test::readText(copy / "Contents/Resources/version"), version);
    EXPECT_TRUE((fs::status(copy / "Contents/MacOS/Brimo").permissions() & fs::perms::owner_exec) !=
                fs::perms::none);
    ASSERT_TRUE(fs::is_symlink(copy / "Contents/Executables"));
    EXPECT_EQ(fs::read_symlink(copy / "Contents/Executables"), "MacOS");
}

using Child = test::ScopedChild;
using test::isMounted;
using test::SquashfuseImage;

// The same image mounted by the kernel from a loop device, as the file manager does; needs the
// right to mount.
class LoopImage {
public:
    LoopImage(const fs::path& image, fs::path mountPoint)
        : mountPoint_(std::move(mountPoint)) {
        fs::create_directories(mountPoint_);
        test::runChild({"/usr/bin/mount", "-t", "squashfs", "-o", "loop,ro", image.string(),
                        mountPoint_.string()});
    }
    ~LoopImage() {
        if (isMounted(mountPoint_)) test::runChild({"/usr/bin/umount", mountPoint_.string()});
    }
    LoopImage(const LoopImage&) = delete;
    LoopImage& operator=(const LoopImage&) = delete;
    bool mounted() const { return isMounted(mountPoint_); }

private:
    fs::path mountPoint_;
};

// What the relocation did, in order.
struct Recorder {
    std::vector<std::string> events;
    std::vector<Alert> alerts;
};

class RecordingAlerts final : public Alerts {
public:
    explicit RecordingAlerts(Recorder& recorder)
        : recorder_(recorder) {}
    void activateApp() override { recorder_.events.push_back("activate"); }
    void runModal(const Alert& alert) override {
        recorder_.events.push_back("alert " + alert.messageText);
        recorder_.alerts.push_back(alert);
    }

private:
    Recorder& recorder_;
};

// The desktop's workspace, recording what it was asked to open.
class RecordingWorkspace final : public Workspace {
public:
    explicit RecordingWorkspace(Recorder& recorder)
        : recorder_(recorder) {}
    bool openURL(const QUrl& url) override { return desktop_.openURL(url); }
    bool openApplication(const fs::path& bundle) override {
        recorder_.events.push_back("open " + bundle.string());
        return desktop_.openApplication(bundle);
    }

private:
    Recorder& recorder_;
    DesktopWorkspace desktop_;
};

// A private home (its Applications folder and Trash) under a folder whose name needs quoting,
// and a process standing in for the app, whose exit the relaunch waits for.
class MoveToApplicationsTest : public testing::Test {
protected:
    MoveToApplicationsTest()
        : root_(makeRoot())
        , home_(root_ / "home dir")
        , homeVariable_("HOME", home_.string())
        , dataVariable_("XDG_DATA_HOME", (home_ / ".local/share").string()) {
        fs::create_directories(home_);
    }
    ~MoveToApplicationsTest() override {
        app_.stop();
        std::error_code ignored;
        fs::remove_all(root_, ignored);
    }

    static fs::path makeRoot() {
        char pattern[] = "/tmp/brimo move 'it' XXXXXX";
        return ::mkdtemp(pattern);
    }

    MoveToApplicationsService service(const fs::path& bundle,
                                      std::optional<fs::path> applications = std::nullopt) {
        return MoveToApplicationsService({
            .runningApplications = running_,
            .workspace = workspace_,
            .alerts = alerts_,
            .resetServiceBeforeRelocate =
                [this] {
                    recorder_.events.push_back("reset");
                    if (onReset) onReset();
                },
            .terminate = [this] { recorder_.events.push_back("terminate"); },
            .bundle = bundle,
            .applicationsFolder = std::move(applications),
            .processIdentifier = app_.pid(),
        });
    }

    std::vector<fs::path> trashed() const {
        std::vector<fs::path> items;
        std::error_code none;
        for (const auto& entry : fs::directory_iterator(trash(), none))
            items.push_back(entry.path());
        return items;
    }
    fs::path trash() const { return home_ / ".local/share/Trash/files"; }
    fs::path applications() const { return home_ / "Applications"; }

    // The relaunch waits for the app to exit, boots the service out through the new copy's
    // helper, then starts the new copy.
    void expectRelaunchOf(const fs::path& destination) {
        const fs::path launched = destination.string() + ".launched";
        EXPECT_FALSE(fs::exists(launched)) << "started before the app exited";
        app_.stop();
        ASSERT_TRUE(eventually([&] { return !test::readText(launched).empty(); }));
        EXPECT_EQ(test::readText(launched), (destination / "Contents/MacOS/Brimo").string() + "\n");
        const std::string uid = std::to_string(::getuid());
        EXPECT_EQ(test::lines(test::readText(destination.string() + ".launchctl")),
                  (std::vector<std::string>{"bootout user/" + uid + "/Ozm.Tarvel.Mac.XPC",
                                            "bootout gui/" + uid + "/Ozm.Tarvel.Mac.XPC"}));
    }

    const fs::path root_;
    const fs::path home_;
    ScopedEnvironment homeVariable_;
    ScopedEnvironment dataVariable_;
    Child app_{{"/bin/sleep", "600"}};
    Recorder recorder_;
    RecordingAlerts alerts_{recorder_};
    RecordingWorkspace workspace_{recorder_};
    ProcRunningApplications running_;
    std::function<void()> onReset;
};

TEST_F(MoveToApplicationsTest, FromAPlainFolderCopiesTrashesAndRelaunches) {
    const fs::path source = makeBundle(root_ / "Down loads/Brimo.app", "new");
    const fs::path destination = applications() / "Brimo.app";
    makeBundle(destination, "old");
    onReset = [&] {
        // The service is reset before anything is moved.
        EXPECT_EQ(test::readText(destination / "Contents/Resources/version"), "old");
        EXPECT_TRUE(fs::exists(source));
    };

    auto relocation = service(source);
    EXPECT_EQ(relocation.destination(), destination);
    EXPECT_TRUE(relocation.moveToApplicationsIfNeeded());

    EXPECT_EQ(recorder_.events,
              (std::vector<std::string>{"activate", "alert Move to Applications folder?", "reset",
                                        "terminate"}));
    ASSERT_EQ(recorder_.alerts.size(), 1u);
    EXPECT_EQ(recorder_.alerts[0], kMoveAlert);
    expectCopyOf(destination, "new");
    EXPECT_FALSE(fs::exists(source));
    // The old copy and the source both went to the Trash, made in a data folder that did not
    // exist yet.
    std::vector<std::string> versions;
    for (const auto& item : trashed())
        versions.push_back(test::readText(item / "Contents/Resources/version"));
    std::sort(versions.begin(), versions.end());
    EXPECT_EQ(versions, (std::vector<std::string>{"new", "old"}));
    expectRelaunchOf(destination);
}

TEST_F(MoveToApplicationsTest, FromASquashfuseImageLeavesItAndDetachesIt) {
    makeBundle(root_ / "image/It's Brimo.app", "image");
    const fs::path mountPoint = root_ / "Brimo 'Beta' 1.0";
    ASSERT_TRUE(test::buildSquashfsImage(root_ / "image", root_ / "Brimo.sqfs"));
    SquashfuseImage image(root_ / "Brimo.sqfs", mountPoint);
    ASSERT_TRUE(image.mounted());
    const fs::path source = mountPoint / "It's Brimo.app";
    const fs::path destination = applications() / "It's Brimo.app";

    auto relocation = service(source);
    EXPECT_EQ(relocation.diskImageMountPoint(source),
              (ImageMount{mountPoint, "/usr/bin/fusermount3 -u"}));
    EXPECT_TRUE(relocation.moveToApplicationsIfNeeded());

    EXPECT_EQ(recorder_.events,
              (std::vector<std::string>{"activate", "alert Move to Applications folder?", "reset",
                                        "terminate"}));
    expectCopyOf(destination, "image");
    EXPECT_TRUE(trashed().empty());
    expectRelaunchOf(destination);
    // The bundle on the image stayed until the image went away, five seconds later.
    EXPECT_TRUE(eventually([&] { return !isMounted(mountPoint); }));
}

TEST_F(MoveToApplicationsTest, FromALoopMountedImageDetachesItThroughTheDesktop) {
    makeBundle(root_ / "image/Brimo.app", "image");
    ASSERT_TRUE(test::buildSquashfsImage(root_ / "image", root_ / "Brimo.sqfs"));
    // The desktop mounts images where its volume monitor shows them: under the home folder.
    const fs::path mountPoint = home_ / "Brimo 'Beta'";
    LoopImage image(root_ / "Brimo.sqfs", mountPoint);
    if (!image.mounted()) GTEST_SKIP() << "loop mounts need the right to mount";
    const fs::path source = mountPoint / "Brimo.app";

    auto relocation = service(source);
    EXPECT_EQ(relocation.diskImageMountPoint(source),
              (ImageMount{mountPoint, "/usr/bin/gio mount -u"}));
    EXPECT_TRUE(relocation.moveToApplicationsIfNeeded());

    expectCopyOf(applications() / "Brimo.app", "image");
    EXPECT_TRUE(fs::exists(source));
    expectRelaunchOf(applications() / "Brimo.app");
    EXPECT_TRUE(eventually([&] { return !isMounted(mountPoint); }));
}

TEST_F(MoveToApplicationsTest, SwitchesToARunningCopyWithoutTouchingAnything) {
    const fs::path source = makeBundle(root_ / "Brimo.app", "new");
    const fs::path destination = makeBundle(applications() / "Brimo.app", "old");
    fs::copy_file("/bin/sleep", destination / "Contents/MacOS/sleeper");
    Child runningCopy({(destination / "Contents/MacOS/sleeper").string(), "600"});
    auto relocation = service(source);
    // Right after the spawn the child may not have become the copy yet.
    ASSERT_TRUE(eventually([&] { return relocation.isRunningCopy(destination); }));
    EXPECT_FALSE(relocation.isRunningCopy(source));

    EXPECT_TRUE(relocation.moveToApplicationsIfNeeded());

    EXPECT_EQ(recorder_.events,
              (std::vector<std::string>{"activate", "alert Move to Applications folder?",
                                        "alert Brimo is already running",
                                        "open " + destination.string(), "terminate"}));
    ASSERT_EQ(recorder_.alerts.size(), 2u);
    EXPECT_EQ(recorder_.alerts[1], kRunningAlert);
    EXPECT_EQ(test::readText(destination / "Contents/Resources/version"), "old");
    EXPECT_EQ(test::readText(source / "Contents/Resources/version"), "new");
    EXPECT_TRUE(trashed().empty());
    // The workspace really brought the running copy up.
    EXPECT_TRUE(eventually([&] { return fs::exists(destination.string() + ".launched"); }));
    EXPECT_FALSE(fs::exists(source.string() + ".launched"));
}

TEST_F(MoveToApplicationsTest, FailuresShowTheErrorAndQuitAfterTheReset) {
    const fs::path source = makeBundle(root_ / "Brimo.app", "new");
    const std::vector<std::string> failed{"activate", "alert Move to Applications folder?", "reset",
                                          "alert Could not move to Applications folder",
                                          "terminate"};
    {
        SCOPED_TRACE("the Applications folder cannot be made: a file has its name");
        writeFile(applications(), "not a folder");
        auto relocation = service(source);
        EXPECT_TRUE(relocation.moveToApplicationsIfNeeded());
        EXPECT_EQ(recorder_.events, failed);
        ASSERT_EQ(recorder_.alerts.size(), 2u);
        const Alert& alert = recorder_.alerts[1];
        EXPECT_EQ(alert.messageText, "Could not move to Applications folder");
        EXPECT_EQ(alert.informativeText, "Drag Brimo into /Applications, then open it from there.");
        EXPECT_EQ(alert.buttons, std::vector<std::string>{"OK"});
        EXPECT_NE(alert.detailedText.find("Not a directory"), std::string::npos)
            << alert.detailedText;
        EXPECT_EQ(test::readText(source / "Contents/Resources/version"), "new");
        fs::remove(applications());
    }
    // The existing copy cannot go to the Trash: the data folder, or the Trash in it, is a file.
    const fs::path destination = makeBundle(applications() / "Brimo.app", "old");
    writeFile(home_ / "data", "not a folder");
    writeFile(home_ / ".local/share/Trash", "not a folder");
    for (const auto& data : {home_ / "data", home_ / ".local/share"}) {
        SCOPED_TRACE(data);
        recorder_ = {};
        ScopedEnvironment dataVariable("XDG_DATA_HOME", data.string());
        auto relocation = service(source);
        EXPECT_TRUE(relocation.moveToApplicationsIfNeeded());
        EXPECT_EQ(recorder_.events, failed);
        ASSERT_EQ(recorder_.alerts.size(), 2u);
        EXPECT_EQ(recorder_.alerts[1].detailedText,
                  "\"" + destination.string() + "\" could not be moved to the Trash.");
        EXPECT_EQ(test::readText(destination / "Contents/Resources/version"), "old");
        EXPECT_EQ(test::readText(source / "Contents/Resources/version"), "new");
    }
}

TEST_F(MoveToApplicationsTest, StaysWithoutAskingWhereTheExtensionCanLoad) {
    // Applications reached through a symbolic link: both sides are resolved.
    fs::create_directories(home_ / "Programs");
    fs::create_directory_symlink(home_ / "Programs", applications());
    const std::vector<fs::path> staying{
        makeBundle(home_ / "Programs/Brimo.app", "in"),
        makeBundle(applications() / "Tools/Brimo.app", "sub"),
        makeBundle(root_ / "Outer.app/Contents/Helpers/Brimo.app", "nested"),
        makeBundle(root_ / "Sub.app/Brimo.app", "nested"),
        root_ / "build/app", // a bare build, outside any bundle
    };
    for (const auto& bundle : staying)
        EXPECT_FALSE(service(bundle).moveToApplicationsIfNeeded()) << bundle;
    // The Applications folder itself, named like a bundle, counts as inside.
    const fs::path appsBundle = makeBundle(root_ / "Apps.app", "self");
    EXPECT_FALSE(service(appsBundle, appsBundle).moveToApplicationsIfNeeded());
    EXPECT_TRUE(recorder_.events.empty());

    auto relocation = service(root_ / "Brimo.app");
    EXPECT_EQ(relocation.applicationsFolder(), home_ / "Programs");
    EXPECT_FALSE(relocation.isInApplicationsFolder(home_ / "ProgramsOld/Brimo.app"));
    EXPECT_FALSE(relocation.isInApplicationsFolder(home_ / "Brimo.app"));
    EXPECT_FALSE(MoveToApplicationsService::isNestedInAnotherApp(root_ / "Brimo.app"));
}

TEST_F(MoveToApplicationsTest, ACopyInstalledByThePackageStaysWhereItIs) {
    const fs::path packaged = makeBundle(root_ / "opt/Brimo/Brimo.app", "packaged");
    MoveToApplicationsService relocation({
        .runningApplications = running_,
        .workspace = workspace_,
        .alerts = alerts_,
        .resetServiceBeforeRelocate = [this] { recorder_.events.push_back("reset"); },
        .terminate = [this] { recorder_.events.push_back("terminate"); },
        .bundle = packaged,
        .packageFolder = root_ / "opt/Brimo",
    });
    EXPECT_FALSE(relocation.moveToApplicationsIfNeeded());
    EXPECT_TRUE(recorder_.events.empty());
    EXPECT_FALSE(fs::exists(applications() / "Brimo.app"));
    EXPECT_FALSE(relocation.isInPackageFolder(root_ / "opt/BrimoOld/Brimo.app"));
}

TEST_F(MoveToApplicationsTest, CreatesTheApplicationsFolder) {
    EXPECT_FALSE(fs::exists(applications()));
    auto relocation = service(root_ / "Brimo.app");
    EXPECT_TRUE(fs::is_directory(applications()));
    EXPECT_EQ(relocation.destination(), applications() / "Brimo.app");
}

TEST(DiskImages, FindsTheReadOnlyImageMountHoldingAPath) {
    const std::string table =
        "22 1 8:1 / / rw,relatime - ext4 /dev/sda1 rw\n"
        "40 22 7:0 / /media/u/Brimo ro,nosuid,nodev,relatime - squashfs /dev/loop0 ro\n"
        "41 22 0:50 / /media/u/Brimo\\0401.0 rw,nosuid,nodev - fuse.squashfuse squashfuse rw\n"
        "42 22 7:1 / /media/u/Disc ro,relatime - iso9660 /dev/loop1 ro\n"
        "43 42 0:51 / /media/u/Disc/inner rw,nosuid - fuse.squashfuse_ll squashfuse_ll rw\n"
        "44 22 8:17 / /media/u/Stick rw,relatime - udf /dev/sdb1 rw\n"
        "45 22 7:2 / /media/u/Ro ro,relatime - udf /dev/loop2 ro\n"
        "46 22 0:52 / /media/u/Scratch rw - tmpfs tmpfs rw\n"
        "47 22 7:3 / /media/u/Stack ro - iso9660 /dev/loop3 ro\n"
        "48 47 0:53 / /media/u/Stack rw - fuse.fuseiso fuseiso rw\n"
        "not a mount table line\n"
        "49 22 7:4 / /media/u/Short ro\n";
    const ImageMount gio{"/media/u/Brimo", "/usr/bin/gio mount -u"};
    const struct {
        const char* path;
        std::optional<ImageMount> mount;
    } cases[] = {
        {"/media/u/Brimo/Brimo.app", gio},
        {"/media/u/Brimo", gio},
        {"/media/u/Brimo 1.0/Brimo.app",
         ImageMount{"/media/u/Brimo 1.0", "/usr/bin/fusermount3 -u"}},
        {"/media/u/BrimoX/Brimo.app", std::nullopt},
        {"/media/u/Disc/Brimo.app", ImageMount{"/media/u/Disc", "/usr/bin/gio mount -u"}},
        {"/media/u/Disc/inner/Brimo.app",
         ImageMount{"/media/u/Disc/inner", "/usr/bin/fusermount3 -u"}},
        {"/media/u/Stick/Brimo.app", std::nullopt},
        {"/media/u/Ro/Brimo.app", ImageMount{"/media/u/Ro", "/usr/bin/gio mount -u"}},
        {"/media/u/Scratch/Brimo.app", std::nullopt},
        {"/media/u/Stack/Brimo.app", ImageMount{"/media/u/Stack", "/usr/bin/fusermount3 -u"}},
        {"/media/u/Short/Brimo.app", std::nullopt},
        {"/home/u/Brimo.app", std::nullopt},
    };
    for (const auto& c : cases)
        EXPECT_EQ(imageMountHolding(table, c.path), c.mount) << c.path;
}

// Runs `inspect` on the modal message box once it is up, then presses its first button.
TEST(MessageBoxAlerts, ShowsTheAlertsTextsAndButtons) {
    MessageBoxAlerts alerts;
    test::whenMessageBoxShows([](QMessageBox& box) {
        EXPECT_EQ(box.text(), "Could not move to Applications folder");
        EXPECT_EQ(box.informativeText(), "Drag Brimo into /Applications, then open it from there.");
        EXPECT_EQ(box.detailedText(), "Not a directory");
        QStringList titles;
        for (auto* button : box.buttons())
            if (box.buttonRole(button) == QMessageBox::AcceptRole) titles << button->text();
        EXPECT_EQ(titles, QStringList({"Move", "Later"}));
        EXPECT_EQ(box.defaultButton()->text(), "Move");
    });
    alerts.runModal({"Could not move to Applications folder",
                     "Drag Brimo into /Applications, then open it from there.",
                     {"Move", "Later"},
                     "Not a directory"});

    test::whenMessageBoxShows([](QMessageBox& box) {
        ASSERT_EQ(box.buttons().size(), 1);
        EXPECT_EQ(box.standardButton(box.buttons()[0]), QMessageBox::Ok);
        EXPECT_TRUE(box.detailedText().isEmpty());
    });
    alerts.runModal({"Brimo is already running", "", {}, ""});
}

} // namespace
} // namespace brimo::app
