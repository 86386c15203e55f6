// Before any Qt header, whose `emit` macro would rewrite the logger's member of that name.
#include "shared/Log.h"

#include "app/AppWindowController.h"
#include "app/DomainSetup.h"
#include "app/LoginItem.h"
#include "app/SystemTools.h"
#include "tests/app/AppTestSupport.h"
#include "tests/support/ScopedEnvironment.h"

#include <QMainWindow>
#include <QMenu>
#include <QMessageBox>
#include <QWidget>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <gtest/gtest.h>
#include <initializer_list>
#include <memory>
#include <sstream>
#include <unistd.h>

namespace brimo::app {
namespace {

using test::ScopedEnvironment;

namespace fs = std::filesystem;
using log::Level;

using test::TemporaryFolder;

// Names the bundle the app runs from for the lifetime of the object.
class InstalledBundle {
public:
    explicit InstalledBundle(const fs::path& bundle) { MainBundle::install(bundle); }
    ~InstalledBundle() { MainBundle::install(std::nullopt); }
    InstalledBundle(const InstalledBundle&) = delete;
    InstalledBundle& operator=(const InstalledBundle&) = delete;
};

using test::RecordingWorkspace;

void writeFile(const fs::path& path, const std::string& contents,
               fs::perms permissions = fs::perms(0644)) {
    fs::create_directories(path.parent_path());
    std::ofstream(path) << contents;
    fs::permissions(path, permissions);
}

std::string readFile(const fs::path& path) {
    std::ifstream file(path);
    std::stringstream contents;
    contents << file.rdbuf();
    return contents.str();
}

void writeInfoDictionary(const fs::path& bundle, const std::string& identifier,
                         const std::string& executable) {
    writeFile(bundle / "Contents/Info.plist",
              "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
              "<key>CFBundleIdentifier</key><string>" +
                  identifier + "</string><key>CFBundleExecutable</key><string>" + executable +
                  "</string></dict></plist>\n");
}

QUrl fileURL(const fs::path& path) {
    return QUrl::fromLocalFile(QString::fromStdString(path.string()));
}

// A bundle in a private folder whose path holds every character the desktop-entry quoting
// has to escape, with private configuration and data folders.
class DomainSetupTest : public testing::Test {
protected:
    bool fuseDeviceOpens() const {
        const int device = ::open("/dev/fuse", O_RDWR | O_CLOEXEC);
        if (device < 0) return false;
        ::close(device);
        return true;
    }

    std::vector<Level> levels() const {
        std::vector<Level> result;
        for (const auto& record : log->records())
            result.push_back(record.level);
        return result;
    }

    TemporaryFolder folder{"brimo-domain"};
    const fs::path config = folder.path() / "config";
    const fs::path data = folder.path() / "data";
    ScopedEnvironment environment{{"XDG_CONFIG_HOME", config.c_str()},
                                  {"XDG_DATA_HOME", data.c_str()},
                                  {"HOME", folder.path().c_str()}};
    const fs::path bundle =
        folder.path() / "My \"Brimo\" `apps` $HOME 100% back\\slash" / "Brimo.app";
    const fs::path executable = bundle / "Contents/MacOS/Brimo";
    const fs::path extension = bundle / "Contents/Extensions/Brimofs.appex";
    const fs::path entry = config / "autostart/Ozm.Tarvel.Mac.desktop";
    InstalledBundle installed{bundle};
    RecordingWorkspace workspace;
    log::ScopedMemorySink log;
};

TEST_F(DomainSetupTest, OpenInFinderFallsBackToTheMountPointWhenTheDriveIsMountedThere) {
    const fs::path mountPoint = folder.path() / "Brimo";
    fs::create_directories(mountPoint);
    const fs::path table = folder.path() / "mountinfo";
    DriveRequirements requirements;
    requirements.mountTable = table;
    DomainSetup setup(workspace, MainBundle::current(), requirements);
    EXPECT_EQ(setup.mountPoint(), mountPoint);
    // Only the table counts: the folder alone, or another file system on it, is not the drive.
    for (const std::string type : {"", "ext4"}) {
        std::ofstream(table) << (type.empty() ? ""
                                              : "36 25 0:42 / " + mountPoint.string() + " rw - " +
                                                    type + " x rw\n");
        setup.openInFinder();
        EXPECT_TRUE(workspace.opened.empty()) << type;
    }
    log->clear();

    std::ofstream(table) << "36 25 0:42 / " << mountPoint.string() << " rw - fuse.brimo Brimo rw\n";
    setup.openInFinder();
    EXPECT_EQ(workspace.opened, std::vector<QUrl>{fileURL(mountPoint)});
    EXPECT_EQ(log->messages(),
              std::vector<std::string>{"Unable to open Brimo in Finder: File Provider manager "
                                       "unavailable"});
    EXPECT_EQ(levels(), std::vector<Level>{Level::error});
}

TEST_F(DomainSetupTest, OpenInFinderOpensNothingWithoutAMountPoint) {
    const std::vector<std::string> expected = {
        "Unable to open Brimo in Finder: File Provider manager unavailable",
        "Unable to open Brimo in Finder: no File Provider URL or mount point"};
    DomainSetup setup(workspace);
    // The home exists, the mount point does not.
    setup.openInFinder();
    EXPECT_TRUE(workspace.opened.empty());
    EXPECT_EQ(log->messages(), expected);
    EXPECT_EQ(levels(), (std::vector<Level>{Level::error, Level::error}));

    // No data folder at all: there is no mount point to look for.
    log->clear();
    ScopedEnvironment noDataHome{{"XDG_DATA_HOME", nullptr}, {"HOME", nullptr}};
    EXPECT_EQ(DomainSetup::mountPoint(), std::nullopt);
    setup.openInFinder();
    EXPECT_TRUE(workspace.opened.empty());
    EXPECT_EQ(log->messages(), expected);
}

TEST_F(DomainSetupTest, ExtensionMissingFromTheBundleCountsAsDisabled) {
    DomainSetup setup(workspace);
    // No Extensions folder: nothing is installed.
    EXPECT_FALSE(setup.isEnabled());
    EXPECT_EQ(log->messages(),
              std::vector<std::string>{"FSKit extension not found among installed modules"});
    EXPECT_EQ(levels(), std::vector<Level>{Level::info});

    // Other extensions, and a folder named like one without an information dictionary, are not
    // the drive's, even when the folder carries its name.
    log->clear();
    writeInfoDictionary(bundle / "Contents/Extensions/Other.appex", "Ozm.Tarvel.Mac.Other",
                        "Other");
    writeFile(bundle / "Contents/Extensions/Other.appex/Contents/MacOS/Other", "", fs::perms(0755));
    writeFile(extension / "Contents/MacOS/Brimofs", "", fs::perms(0755));
    EXPECT_FALSE(setup.isEnabled());
    EXPECT_EQ(log->messages(),
              std::vector<std::string>{"FSKit extension not found among installed modules"});
}

TEST_F(DomainSetupTest, ExtensionFoundAndUsableIsEnabled) {
    if (!fuseDeviceOpens()) GTEST_SKIP() << "/dev/fuse cannot be opened read-write here";
    DomainSetup setup(workspace);
    // Found by its identifier, not by its folder's name.
    const fs::path renamed = bundle / "Contents/Extensions/Drive.appex";
    writeInfoDictionary(bundle / "Contents/Extensions/Another.appex", "Ozm.Tarvel.Mac.Other",
                        "Another");
    writeInfoDictionary(renamed, "Ozm.Tarvel.Mac.FSKit", "Brimofs");
    writeFile(renamed / "Contents/MacOS/Brimofs", "", fs::perms(0755));

    EXPECT_TRUE(setup.isEnabled()) << testing::PrintToString(log->messages());
    EXPECT_TRUE(log->messages().empty());
}

TEST_F(DomainSetupTest, EachUnmetRequirementDisablesTheExtension) {
    writeInfoDictionary(extension, "Ozm.Tarvel.Mac.FSKit", "Brimofs");
    const fs::path binary = extension / "Contents/MacOS/Brimofs";
    // A regular file opens read-write like the device, so the other checks can fail alone.
    const fs::path device = folder.path() / "fuse";
    writeFile(device, "");
    const fs::path fusermount = folder.path() / "bin/fusermount3";
    writeFile(fusermount, "", fs::perms(0755));
    const auto notUsable = [](const std::string& reason) {
        return std::vector<std::string>{"FSKit extension is not usable: " + reason};
    };
    const auto check = [&](DriveRequirements requirements) {
        log->clear();
        return DomainSetup(workspace, MainBundle::current(), std::move(requirements)).isEnabled();
    };

    // The executable is missing, then present but not executable.
    EXPECT_FALSE(check({device, {fusermount}}));
    EXPECT_EQ(log->messages(), notUsable(binary.string() + " is not an executable file"));
    writeFile(binary, "");
    EXPECT_FALSE(check({device, {fusermount}}));
    EXPECT_EQ(log->messages(), notUsable(binary.string() + " is not an executable file"));
    fs::permissions(binary, fs::perms(0755));

    EXPECT_FALSE(check({folder.path() / "no-such-device", {fusermount}}));
    EXPECT_EQ(log->messages(),
              notUsable((folder.path() / "no-such-device").string() +
                        " cannot be opened read-write: No such file or directory"));

    // fusermount3 neither where it is looked for nor executable there.
    const fs::path notExecutable = folder.path() / "other/fusermount3";
    writeFile(notExecutable, "");
    EXPECT_FALSE(check({device, {folder.path() / "none/fusermount3", notExecutable}}));
    EXPECT_EQ(log->messages(), notUsable("fusermount3 is not installed"));
    EXPECT_FALSE(check({device, {}}));
    EXPECT_EQ(log->messages(), notUsable("fusermount3 is not installed"));

    // All met: the later candidate counts.
    EXPECT_TRUE(check({device, {notExecutable, fusermount}}));
    EXPECT_TRUE(log->messages().empty());
}

TEST_F(DomainSetupTest, ExtensionsFolderThatCannotBeListedIsAFailure) {
    // Tests run as root, which lists any folder whatever its mode: a file stands in its place.
    const fs::path extensions = bundle / "Contents/Extensions";
    writeFile(extensions, "");
    DomainSetup setup(workspace);
    EXPECT_FALSE(setup.isEnabled());
    EXPECT_EQ(log->messages(), std::vector<std::string>{"Failed to fetch FSKit extensions: "
                                                        "cannot list " +
                                                        extensions.string() + ": Not a directory"});
    EXPECT_EQ(levels(), std::vector<Level>{Level::error});
}

TEST_F(DomainSetupTest, SettingsOpenTheBundlesHelpPage) {
    DomainSetup setup(workspace);
    const fs::path page = bundle / "Contents/Resources/Help/enable-drive.html";
    EXPECT_EQ(setup.helpPage(), page);
    setup.openFSKitSettings();
    EXPECT_TRUE(workspace.opened.empty());

    writeFile(page, "<html></html>");
    setup.openFSKitSettings();
    EXPECT_EQ(workspace.opened, std::vector<QUrl>{fileURL(page)});
}

TEST_F(DomainSetupTest, LoginItemRoundTrip) {
    DomainSetup setup(workspace);
    EXPECT_EQ(LoginItem::entryPath(), entry);
    EXPECT_EQ(setup.loginItem().status(), LoginItemStatus::notRegistered);

    setup.registerLoginItem();
    EXPECT_EQ(log->messages(), std::vector<std::string>{"login item registered; status=enabled"});
    EXPECT_EQ(levels(), std::vector<Level>{Level::info});
    EXPECT_EQ(setup.loginItem().status(), LoginItemStatus::enabled);
    // The path's quote, backtick, dollar and backslash take a backslash inside the quotes,
    // which the string escape then doubles; the percent sign is doubled.
    const std::string exec = "\"" + folder.path().string() +
                             R"(/My \\"Brimo\\" \\`apps\\` \\$HOME 100%% back\\\\slash)"
                             "/Brimo.app/Contents/MacOS/Brimo\"";
    EXPECT_EQ(readFile(entry), "[Desktop Entry]\n"
                               "Type=Application\n"
                               "Name=Brimo\n"
                               "Exec=" +
                                   exec +
                                   "\n"
                                   "X-GNOME-Autostart-enabled=true\n");
    EXPECT_EQ(parseDesktopExec(exec), std::vector<std::string>{executable.string()});
    // Written through a temporary file that is gone once the entry is in place.
    EXPECT_EQ(std::distance(fs::directory_iterator(entry.parent_path()), fs::directory_iterator()),
              1);

    log->clear();
    setup.unregisterLoginItem();
    EXPECT_EQ(log->messages(), std::vector<std::string>{"login item unregistered"});
    EXPECT_FALSE(fs::exists(entry));
    EXPECT_EQ(setup.loginItem().status(), LoginItemStatus::notRegistered);

    // Like the system's login items, what is not registered cannot be unregistered.
    log->clear();
    setup.unregisterLoginItem();
    EXPECT_EQ(log->messages(), std::vector<std::string>{"login item unregister failed: the login "
                                                        "item is not registered"});
    EXPECT_EQ(levels(), std::vector<Level>{Level::error});
}

TEST_F(DomainSetupTest, LoginItemIsEnabledOnlyForThisBundleAndWhenSwitchedOn) {
    const LoginItem item;
    const auto entryFor = [](const std::string& exec, const std::string& extra = {}) {
        return "[Desktop Entry]\nType=Application\nName=Brimo\nExec=" + exec + "\n" + extra;
    };
    const std::string ours = desktopExecValue({executable.string()});

    writeFile(entry, entryFor(ours, "Hidden=true\n"));
    EXPECT_EQ(item.status(), LoginItemStatus::notRegistered);
    writeFile(entry, entryFor(ours, "X-GNOME-Autostart-enabled=false\n"));
    EXPECT_EQ(item.status(), LoginItemStatus::notRegistered);
    writeFile(entry, entryFor(desktopExecValue({"/elsewhere/Brimo.app/Contents/MacOS/Brimo"})));
    EXPECT_EQ(item.status(), LoginItemStatus::notRegistered);
    writeFile(entry, entryFor("\"" + executable.string()));
    EXPECT_EQ(item.status(), LoginItemStatus::notRegistered);
    // Keys of other groups do not count.
    writeFile(entry, entryFor(ours, "[Desktop Action hide]\nHidden=true\n"));
    EXPECT_EQ(item.status(), LoginItemStatus::enabled);

    // Registering replaces another copy's entry.
    writeFile(entry, entryFor(desktopExecValue({"/elsewhere/Brimo.app/Contents/MacOS/Brimo"})));
    item.registerItem();
    EXPECT_EQ(item.status(), LoginItemStatus::enabled);
    // Unregistering removes it whichever copy it starts.
    writeFile(entry, entryFor(ours, "Hidden=true\n"));
    item.unregisterItem();
    EXPECT_FALSE(fs::exists(entry));
}

TEST_F(DomainSetupTest, LoginItemRegistrationFailureIsLogged) {
    // The configuration folder is a file, so the autostart folder cannot be made.
    writeFile(config, "");
    DomainSetup setup(workspace);
    setup.registerLoginItem();
    EXPECT_EQ(log->messages(),
              std::vector<std::string>{"login item register failed: cannot create " +
                                       (config / "autostart").string() + ": Not a directory"});
    EXPECT_EQ(levels(), std::vector<Level>{Level::error});

    log->clear();
    ScopedEnvironment noConfig{{"XDG_CONFIG_HOME", "relative/config"}, {"HOME", nullptr}};
    EXPECT_EQ(LoginItem::entryPath(), std::nullopt);
    EXPECT_EQ(setup.loginItem().status(), LoginItemStatus::notRegistered);
    setup.registerLoginItem();
    EXPECT_EQ(log->messages(), std::vector<std::string>{"login item register failed: neither "
                                                        "XDG_CONFIG_HOME nor HOME is usable"});
}

// The desktop's own launcher reads the entry back: it starts the bundle's executable. GLib
// checks that the program exists before it turns "%%" into "%", so it refuses an entry for a
// path with a percent sign; this bundle's path has every other character that needs escaping.
TEST_F(DomainSetupTest, LoginItemEntryStartsTheAppThroughTheDesktopsLauncher) {
    const fs::path gio = "/usr/bin/gio";
    if (::access(gio.c_str(), X_OK) != 0) GTEST_SKIP() << "GLib's gio is not installed";
    const fs::path launcherBundle =
        folder.path() / "My \"Brimo\" `apps` $HOME back\\slash" / "Brimo.app";
    const fs::path launcherExecutable = launcherBundle / "Contents/MacOS/Brimo";
    InstalledBundle installedForLauncher{launcherBundle};
    const fs::path launched = folder.path() / "launched";
    writeFile(launcherExecutable,
              "#!/bin/sh\nprintf '%s' \"$0\" > '" + launched.string() + ".part' && mv '" +
                  launched.string() + ".part' '" + launched.string() + "'\n",
              fs::perms(0755));
    LoginItem().registerItem();

    const ToolRun run = runTool(gio, {"launch", entry.string()});
    ASSERT_TRUE(run.launched);
    ASSERT_EQ(run.status, 0);
    for (int i = 0; i < 1000 && !fs::exists(launched); ++i)
        ::usleep(10'000);
    EXPECT_EQ(readFile(launched), launcherExecutable.string());
}

// Top-level widgets live until the end of the test, whatever it asserts.
class MainWindowTest : public testing::Test {
protected:
    template <class Widget> Widget* make(Qt::WindowFlags flags = {}) {
        auto widget = std::make_unique<Widget>(nullptr);
        if (flags) widget->setWindowFlags(flags);
        widget->show();
        Widget* raw = widget.get();
        widgets.push_back(std::move(widget));
        return raw;
    }
    std::vector<std::unique_ptr<QWidget>> widgets;
};

TEST_F(MainWindowTest, OnlyAWindowWithATitleBarCanBeMain) {
    EXPECT_EQ(AppWindowController::findMainWindow(), nullptr);
    make<QWidget>(Qt::Window | Qt::FramelessWindowHint);
    make<QWidget>(Qt::Tool);
    make<QWidget>(Qt::Window | Qt::CustomizeWindowHint);
    make<QMenu>();
    make<QWidget>(Qt::ToolTip);
    make<QWidget>(Qt::SplashScreen);
    make<QMessageBox>();
    EXPECT_EQ(AppWindowController::findMainWindow(), nullptr);

    QMainWindow* main = make<QMainWindow>();
    EXPECT_EQ(AppWindowController::findMainWindow(), main);
    // A customised frame that asks for a title keeps it; a minimised window still counts.
    widgets.pop_back();
    QWidget* titled = make<QWidget>(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint);
    titled->showMinimized();
    EXPECT_EQ(AppWindowController::findMainWindow(), titled);
}

TEST_F(MainWindowTest, TheFirstWindowMadeIsTheMainOne) {
    QWidget* first = make<QMainWindow>();
    for (int i = 0; i < 30; ++i)
        make<QMainWindow>();
    EXPECT_EQ(AppWindowController::findMainWindow(), first);
}

} // namespace
} // namespace brimo::app
