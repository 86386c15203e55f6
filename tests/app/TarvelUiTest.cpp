// Before any Qt header, whose `emit` macro would rewrite the logger's member of that name.
#include "shared/Log.h"

#include "app/AppClock.h"
#include "app/AppInstance.h"
#include "app/DomainSetup.h"
#include "app/StatusRow.h"
#include "app/Symbols.h"
#include "app/TarvelAboutView.h"
#include "app/TarvelApp.h"
#include "app/TarvelEnvironment.h"
#include "app/TarvelMenuBar.h"
#include "app/TarvelSplitView.h"
#include "app/TarvelStatusView.h"
#include "app/XPCClientState.h"
#include "app/effects/ShimmeringText.h"
#include "app/updates/AppUpdater.h"
#include "tests/app/AppTestSupport.h"
#include "tests/app/FakeUpdaterController.h"
#include "tests/support/ScopedEnvironment.h"

#include <QAbstractButton>
#include <QAction>
#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QLocalSocket>
#include <QMenu>
#include <QNetworkAccessManager>
#include <QPushButton>
#include <QSettings>
#include <QSystemTrayIcon>
#include <QTemporaryDir>
#include <QTest>
#include <QTranslator>
#include <gtest/gtest.h>
#include <sstream>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

// The tray menu and the window as the user sees them, read from the real widgets while the
// real link state changes under them.
namespace brimo::app {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using test::processEventsUntil;
using test::ScopedEnvironment;
using Texts = std::vector<std::string>;

std::string text(const QString& value) {
    return value.toStdString();
}

// The places opened so far: paths for files, addresses otherwise.
Texts openedPlaces(const test::RecordingWorkspace& workspace) {
    Texts places;
    for (const QUrl& url : workspace.opened)
        places.push_back(text(url.isLocalFile() ? url.toLocalFile() : url.toString()));
    return places;
}

// The visible texts of a menu, separators left out, and which of them can be chosen.
Texts menuTexts(const QMenu& menu) {
    Texts texts;
    for (QAction* action : menu.actions())
        if (!action->isSeparator())
            texts.push_back((action->isEnabled() ? "" : "(disabled) ") + text(action->text()));
    return texts;
}

// Every text a person can read in the widget tree, as it stands.
Texts visibleTexts(const QWidget& root) {
    Texts texts;
    for (auto* label : root.findChildren<QLabel*>())
        if (label->isVisibleTo(&root) && !label->text().isEmpty())
            texts.push_back(text(label->text()));
    for (auto* button : root.findChildren<QAbstractButton*>())
        if (button->isVisibleTo(&root)) texts.push_back(text(button->text()));
    for (auto* shimmer : root.findChildren<effects::ShimmeringText*>())
        if (shimmer->isVisibleTo(&root)) texts.push_back(text(shimmer->text()));
    return texts;
}

// A bundle in a private home, a usable drive file system (its FUSE device stood in for by a
// plain file), the real link state, and the app's services as the views reach them.
class TarvelUiTest : public testing::Test {
protected:
    TarvelUiTest() {
        test::writeInfoPlist(bundle / "Contents/Info.plist", {{"CFBundleName", "Brimo"},
                                                              {"CFBundleShortVersionString", "2.1"},
                                                              {"CFBundleVersion", "34"}});
        std::ofstream(root / "fuse") << "";
        test::writeScript(root / "fusermount3", "exit 0");
        fs::create_directories(bundle / "Contents/MacOS");
        test::writeScript(bundle / "Contents/MacOS/Brimo", "exit 0");
        fs::create_directories(bundle / "Contents/Resources/Help");
        std::ofstream(bundle / "Contents/Resources/Help/enable-drive.html") << "help";
        fs::create_directories(mountPoint);
        // The drive is mounted there, as the mount table says.
        std::ofstream(root / "mountinfo")
            << "36 25 0:42 / " << mountPoint.string() << " rw - fuse.brimo Brimo rw\n";
    }

    void installExtension() {
        const fs::path appex = bundle / "Contents/Extensions/Brimofs.appex";
        test::writeInfoPlist(appex / "Contents/Info.plist",
                             {{"CFBundleIdentifier", DomainSetup::kExtensionBundleIdentifier},
                              {"CFBundleExecutable", "Brimofs"}});
        fs::create_directories(appex / "Contents/MacOS");
        test::writeScript(appex / "Contents/MacOS/Brimofs", "exit 0");
    }

    // The link as the service reports it: registered, with the phone and the drive as given.
    void report(bool phone, bool drive) {
        state.setIsConnected(true);
        state.setHasIOSConnection(phone);
        state.setHasFileProviderConnection(drive);
    }

    QTemporaryDir temporary;
    const fs::path root = temporary.path().toStdString();
    ScopedEnvironment variables{{"XDG_CONFIG_HOME", (root / "config").c_str()},
                                {"XDG_DATA_HOME", (root / "data").c_str()},
                                {"HOME", root.c_str()}};
    const fs::path bundle = root / "Applications/Brimo.app";
    const fs::path mountPoint = root / "Brimo";
    test::RecordingWorkspace workspace;
    DomainSetup domain{
        workspace, MainBundle(bundle), {root / "fuse", {root / "fusermount3"}, root / "mountinfo"}};
    FakeAppClock clock;
    XPCClientState state;
    QNetworkAccessManager network;
    QSettings defaults{QString::fromStdString((root / "Brimo.conf").string()),
                       QSettings::IniFormat};
    std::ostringstream updaterOutput;
    updates::AppUpdater updater{{
        .makeController =
            [](updates::UpdaterDelegateProtocol& delegate) {
                return std::make_unique<test::FakeUpdaterController>(delegate, true);
            },
        .network = network,
        .defaults = defaults,
        .bundle = MainBundle(bundle),
        .output = updaterOutput,
    }};
    // Shutdown calls wait here until the test answers them.
    std::vector<std::function<void()>> pendingShutdowns;
    int windowOpens = 0;
    int quits = 0;
    TarvelEnvironment environment{
        .state = state,
        .domain = domain,
        .clock = clock,
        .workspace = workspace,
        .updater = updater,
        .bundle = MainBundle(bundle),
        .shutdownService =
            [this](std::function<void()> done) { pendingShutdowns.push_back(std::move(done)); },
        .openMainWindow = [this] { ++windowOpens; },
        .quit = [this] { ++quits; },
    };
};

// The panel behind the tray icon, in whatever colour the test paints it; none for a tray that
// cannot be looked at.
class PaintedPanel final : public TrayPanel {
public:
    explicit PaintedPanel(std::optional<QColor>& colour)
        : colour_(colour) {}
    std::optional<QColor> colourAround(const QSystemTrayIcon&) override { return colour_; }

private:
    std::optional<QColor>& colour_;
};

// The menu and the window, built the way the app builds them.
struct Face {
    explicit Face(TarvelEnvironment& environment)
        : checkForUpdates(new QAction("Check for Updates…", &menu))
        , label(environment.state, menu, nullptr, std::make_unique<PaintedPanel>(panel))
        , content(new TarvelMenuBarContent(environment, menu, checkForUpdates))
        , window(environment, TarvelPage::home) {
        window.show();
    }

    TarvelStatusView& status() const { return *window.statusView(); }
    template <class W> W& find(const char* name) const {
        W* widget = window.findChild<W*>(name);
        EXPECT_NE(widget, nullptr) << name;
        return *widget;
    }
    std::string header() const { return text(find<QLabel>("headerTitle").text()); }
    std::string headerSymbol() const {
        return find<QLabel>("headerIcon").property("symbol").toString().toStdString();
    }
    StatusRow& row(const char* name) const { return find<StatusRow>(name); }
    bool enabled(const char* button) const { return find<QPushButton>(button).isEnabled(); }
    // Whether the tray shows `symbol`, drawn in the tint the label chose: the icon itself, as
    // the tray draws it.
    bool trayShows(const char* symbol) {
        const QImage shown = label.trayIcon().icon().pixmap(22).toImage();
        return !shown.isNull() && shown == symbolPixmap(symbol, 22, label.tint()).toImage();
    }

    std::optional<QColor> panel = QColor(0x1E, 0x1E, 0x1E);
    QMenu menu;
    QAction* checkForUpdates;
    TarvelMenuBarLabel label;
    TarvelMenuBarContent* content;
    TarvelSplitView window;
};

TEST_F(TarvelUiTest, TheDerivedStatusFollowsThePeerFlags) {
    struct Case {
        bool phone, drive;
        TarvelStatus status;
        TarvelStatusLook::State state;
    };
    using State = TarvelStatusLook::State;
    const Case cases[] = {
        {false,
         false,
         {false, false, "Not Connected", "Waiting for device"},
         State::waitingForPhone},
        // A drive without its phone is no drive.
        {false,
         true,
         {false, false, "Not Connected", "Waiting for device"},
         State::waitingForPhone},
        {true,
         false,
         {true, false, "iPhone Connected", "Waiting to Mount from iPhone"},
         State::waitingToMount},
        {true, true, {true, true, "iPhone Connected", "Available in Finder"}, State::ready},
    };
    for (const Case& c : cases) {
        report(c.phone, c.drive);
        const TarvelStatus status = TarvelStatus::derive(state);
        EXPECT_EQ(status, c.status) << c.phone << c.drive << text(status.mountDescription);
        EXPECT_EQ(TarvelStatusLook::of(status).state, c.state);
    }
    const auto look = [](bool phone, bool drive) {
        return TarvelStatusLook::of({phone, drive && phone, "", ""});
    };
    EXPECT_EQ(text(look(true, true).headerTitle), "Brimo is Ready");
    EXPECT_EQ(look(true, true).headerColour, colours::green);
    EXPECT_EQ(text(look(true, false).headerTitle), "Waiting to Mount");
    EXPECT_EQ(look(true, false).headerColour, colours::orange);
    EXPECT_EQ(text(look(false, false).headerTitle), "Waiting to Connect");
    EXPECT_EQ(look(false, false).headerColour, colours::orange);
}

TEST_F(TarvelUiTest, MenuIconAndWindowShowEachStateAndTheirControlsWork) {
    installExtension();
    Face face(environment);
    EXPECT_EQ(face.label.trayIcon().toolTip(), "Brimo");
    EXPECT_FALSE(face.label.trayIcon().icon().isNull());

    // No phone yet.
    EXPECT_TRUE(face.trayShows("externaldrive.badge.exclamationmark"));
    EXPECT_EQ(menuTexts(face.menu),
              (Texts{"(disabled) iPhone Not Connected", "Open Brimo…", "(disabled) Eject",
                     "Check for Updates…", "Quit Brimo"}));
    EXPECT_EQ(face.header(), "Waiting to Connect");
    EXPECT_EQ(face.headerSymbol(), "exclamationmark.circle.fill");
    EXPECT_EQ(text(face.row("deviceRow").detail()), "Not Connected");
    EXPECT_EQ(face.row("deviceRow").markSymbol(), "circle");
    EXPECT_EQ(text(face.row("driveRow").detail()), "Waiting for device");
    EXPECT_FALSE(face.enabled("openInFinder"));
    EXPECT_FALSE(face.enabled("eject"));
    EXPECT_TRUE(face.find<effects::ShimmeringText>("headerDetail").isVisible());

    // The phone is there, its drive not yet.
    report(true, false);
    EXPECT_TRUE(face.trayShows("externaldrive.fill"));
    EXPECT_EQ(menuTexts(face.menu),
              (Texts{"(disabled) Waiting to Mount from iPhone", "Open Brimo…", "(disabled) Eject",
                     "Check for Updates…", "Quit Brimo"}));
    EXPECT_EQ(face.header(), "Waiting to Mount");
    EXPECT_EQ(text(face.row("deviceRow").detail()), "iPhone Connected");
    EXPECT_EQ(face.row("deviceRow").markSymbol(), "checkmark.circle.fill");
    EXPECT_EQ(text(face.row("driveRow").detail()), "Waiting to Mount from iPhone");
    EXPECT_EQ(face.row("driveRow").markSymbol(), "circle");
    EXPECT_FALSE(face.enabled("eject"));

    // Mounted.
    report(true, true);
    EXPECT_TRUE(face.trayShows("externaldrive.fill.badge.checkmark"));
    EXPECT_EQ(menuTexts(face.menu), (Texts{"Open in Finder", "Open Brimo…", "Eject",
                                           "Check for Updates…", "Quit Brimo"}));
    EXPECT_EQ(face.header(), "Brimo is Ready");
    EXPECT_EQ(face.headerSymbol(), "checkmark.circle.fill");
    EXPECT_EQ(text(face.row("driveRow").detail()), "Available in Finder");
    EXPECT_EQ(face.row("driveRow").markSymbol(), "checkmark.circle.fill");
    EXPECT_TRUE(face.enabled("openInFinder"));
    EXPECT_TRUE(face.enabled("eject"));
    EXPECT_FALSE(face.find<effects::ShimmeringText>("headerDetail").isVisible());

    // What the controls do: both "Open in Finder" open the mount point; the menu's items reach
    // the window, the service and the app.
    face.content->firstLine()->trigger();
    QTest::mouseClick(&face.find<QPushButton>("openInFinder"), Qt::LeftButton);
    EXPECT_EQ(openedPlaces(workspace), (Texts{mountPoint.string(), mountPoint.string()}));
    face.content->openBrimo()->trigger();
    EXPECT_EQ(windowOpens, 1);
    face.content->eject()->trigger();
    EXPECT_EQ(pendingShutdowns.size(), 1u);
    face.content->quit()->trigger();
    EXPECT_EQ(quits, 1);
}

// The tray icon stands out on the panel it sits on, and is drawn again when the desktop's
// palette or theme changes (the panel may change with it); where the panel cannot be seen, the
// palette's window colour stands in for it.
TEST_F(TarvelUiTest, TheTrayIconIsLightOnADarkPanelAndDarkOnALightOne) {
    Face face(environment);
    // The lightest of the icon's opaque pixels, and the darkest.
    const auto tones = [&] {
        const QImage icon = face.label.trayIcon().icon().pixmap(22).toImage();
        double lightest = 0, darkest = 1;
        for (int y = 0; y < icon.height(); ++y)
            for (int x = 0; x < icon.width(); ++x)
                if (const QColor pixel = icon.pixelColor(x, y); pixel.alpha() > 200) {
                    lightest = std::max(lightest, double(pixel.lightnessF()));
                    darkest = std::min(darkest, double(pixel.lightnessF()));
                }
        return std::pair{lightest, darkest};
    };
    const auto themeChanged = [&] {
        QEvent change(QEvent::ThemeChange);
        QCoreApplication::sendEvent(&face.window, &change);
        QCoreApplication::processEvents();
    };
    EXPECT_GT(tones().second, 0.8) << "light on #1E1E1E";
    face.panel = QColor(0xF0, 0xF0, 0xF0);
    themeChanged();
    EXPECT_LT(tones().first, 0.2) << "dark on #F0F0F0";
    EXPECT_TRUE(face.trayShows("externaldrive.badge.exclamationmark"));

    face.panel.reset();
    QPalette dark = QApplication::palette();
    const QPalette before = dark;
    dark.setColor(QPalette::Window, QColor(0x20, 0x20, 0x20));
    QApplication::setPalette(dark);
    QCoreApplication::processEvents();
    EXPECT_GT(tones().second, 0.8) << "light where the palette is dark";
    QApplication::setPalette(before);
}

TEST_F(TarvelUiTest, ALostConnectionShowsTheWaitingStateEverywhere) {
    Face face(environment);
    report(true, true);
    ASSERT_EQ(face.header(), "Brimo is Ready");

    state.setConnected(false);
    EXPECT_TRUE(face.trayShows("externaldrive.badge.exclamationmark"));
    EXPECT_EQ(menuTexts(face.menu).front(), "(disabled) iPhone Not Connected");
    EXPECT_FALSE(face.content->eject()->isEnabled());
    EXPECT_EQ(face.header(), "Waiting to Connect");
    EXPECT_EQ(text(face.row("deviceRow").detail()), "Not Connected");
    EXPECT_EQ(text(face.row("driveRow").detail()), "Waiting for device");
    EXPECT_FALSE(face.enabled("openInFinder"));
    EXPECT_FALSE(face.enabled("eject"));
}

TEST_F(TarvelUiTest, EjectCannotBePressedTwiceWhileTheShutdownIsPending) {
    report(true, true);
    Face face(environment);
    auto& eject = face.find<QPushButton>("eject");

    QTest::mouseClick(&eject, Qt::LeftButton);
    QTest::mouseClick(&eject, Qt::LeftButton);
    EXPECT_EQ(pendingShutdowns.size(), 1u);
    EXPECT_TRUE(face.status().isEjecting());
    EXPECT_FALSE(eject.isEnabled());

    pendingShutdowns.front()();
    EXPECT_FALSE(face.status().isEjecting());
    EXPECT_TRUE(eject.isEnabled());
    QTest::mouseClick(&eject, Qt::LeftButton);
    EXPECT_EQ(pendingShutdowns.size(), 2u);

    // The answer may come after the page is gone.
    auto* page = new TarvelStatusView({domain, clock, environment.shutdownService},
                                      TarvelStatus::derive(state));
    page->show();
    QTest::mouseClick(page->findChild<QPushButton*>("eject"), Qt::LeftButton);
    ASSERT_EQ(pendingShutdowns.size(), 3u);
    delete page;
    pendingShutdowns.back()();
    // It reached no other page: the window's own eject still waits for its answer.
    EXPECT_TRUE(face.status().isEjecting());
    EXPECT_FALSE(eject.isEnabled());
}

TEST_F(TarvelUiTest, ARowPulsesOnlyWhenItTurnsHealthy) {
    Face face(environment);
    StatusRow& drive = face.row("driveRow");
    StatusRow& device = face.row("deviceRow");
    report(true, false);
    EXPECT_EQ(device.glowPulse(), 1);
    EXPECT_EQ(drive.glowPulse(), 0);
    report(true, true);
    report(true, true);
    EXPECT_EQ(drive.glowPulse(), 1);
    report(true, false);
    EXPECT_EQ(drive.glowPulse(), 1);
    EXPECT_FALSE(drive.isHealthy());
    report(true, true);
    EXPECT_EQ(drive.glowPulse(), 2);
    EXPECT_EQ(device.glowPulse(), 1);

    // A row that starts out healthy has not turned healthy.
    StatusRow healthy("iphone", "iPhone", "iPhone Connected", true);
    EXPECT_EQ(healthy.glowPulse(), 0);
}

TEST_F(TarvelUiTest, TheExtensionWarningIsRecheckedEveryTwoSecondsWhileShown) {
    Face face(environment);
    auto& warning = face.find<QGroupBox>("extensionWarning");
    EXPECT_TRUE(warning.isVisible());
    EXPECT_FALSE(face.status().isFSKitEnabled());
    EXPECT_EQ(clock.pending(), 1u);
    clock.advance(2s);
    EXPECT_TRUE(warning.isVisible());
    EXPECT_EQ(clock.pending(), 1u);

    face.find<QPushButton>("openSystemSettings").click();
    EXPECT_EQ(openedPlaces(workspace),
              (Texts{(bundle / "Contents/Resources/Help/enable-drive.html").string()}));

    installExtension();
    clock.advance(1999ms);
    EXPECT_TRUE(warning.isVisible());
    clock.advance(1ms);
    EXPECT_FALSE(warning.isVisible());
    EXPECT_TRUE(face.status().isFSKitEnabled());
    EXPECT_EQ(clock.pending(), 0u);
}

TEST_F(TarvelUiTest, LeavingThePageStopsTheExtensionCheck) {
    Face face(environment);
    ASSERT_EQ(clock.pending(), 1u);
    face.window.setSelection(TarvelPage::about);
    EXPECT_EQ(clock.pending(), 0u);
    face.window.setSelection(TarvelPage::home);
    EXPECT_EQ(clock.pending(), 1u);
    face.window.hide();
    EXPECT_EQ(clock.pending(), 0u);
}

TEST_F(TarvelUiTest, TheLaunchAtLoginSwitchFollowsTheAutostartEntry) {
    const fs::path entry = root / "config/autostart/Ozm.Tarvel.Mac.desktop";
    Face face(environment);
    auto& toggle = face.find<QCheckBox>("launchAtLogin");
    EXPECT_FALSE(toggle.isChecked());

    toggle.click();
    EXPECT_TRUE(toggle.isChecked());
    EXPECT_TRUE(face.status().launchAtLogin());
    EXPECT_NE(test::readText(entry).find((bundle / "Contents/MacOS/Brimo").string()),
              std::string::npos);

    toggle.click();
    EXPECT_FALSE(toggle.isChecked());
    EXPECT_FALSE(fs::exists(entry));

    // Turned on behind the window's back: read again when the page is shown.
    domain.registerLoginItem();
    face.window.hide();
    face.window.show();
    EXPECT_TRUE(toggle.isChecked());
}

TEST_F(TarvelUiTest, TheAboutPageNamesTheAppAndItsVersionWithDashesForWhatIsMissing) {
    Face face(environment);
    face.window.setSelection(TarvelPage::about);
    auto& about = *face.window.aboutView();
    EXPECT_EQ(text(about.findChild<QLabel*>("appName")->text()), "Brimo");
    EXPECT_EQ(text(about.findChild<QLabel*>("versionLine")->text()), "Version 2.1 (34)");
    EXPECT_EQ(text(about.findChild<QLabel*>("tagline")->text()),
              "Turn your iPhone into a fast pocket drive for Mac.");
    // The default feed's site, until a release names its own.
    auto* website = about.findChild<QPushButton*>("website");
    ASSERT_FALSE(updater.websiteURL().isEmpty());
    EXPECT_TRUE(website->isVisibleTo(&about));
    EXPECT_EQ(text(website->text()), "Visit Official Website");
    website->click();
    EXPECT_EQ(openedPlaces(workspace), (Texts{text(updater.websiteURL().toString())}));
    EXPECT_FALSE(about.findChild<QLabel*>("appIcon")->pixmap().isNull());

    EXPECT_EQ(text(TarvelAboutView::versionLine(std::nullopt, "34")), "Version — (34)");
    EXPECT_EQ(text(TarvelAboutView::versionLine("2.1", std::nullopt)), "Version 2.1 (—)");
    EXPECT_EQ(text(TarvelAboutView::versionLine(std::nullopt, std::nullopt)), "Version — (—)");

    const fs::path bare = root / "Bare.app";
    test::writeInfoPlist(bare / "Contents/Info.plist", {});
    EXPECT_EQ(text(TarvelAboutView::appName(MainBundle(bare))), "Brimo");
    test::writeInfoPlist(bare / "Contents/Info.plist",
                         {{"CFBundleName", "Brimo Beta"}, {"CFBundleDisplayName", "Brimo β"}});
    EXPECT_EQ(text(TarvelAboutView::appName(MainBundle(bare))), "Brimo β");
}

TEST_F(TarvelUiTest, TheLinuxCatalogueNamesNoMacPlaces) {
    QTranslator catalogue;
    ASSERT_TRUE(catalogue.load(":/i18n/Brimo_en.qm"));
    QCoreApplication::installTranslator(&catalogue);
    report(true, true);
    Face face(environment);
    face.menu.show();
    QCoreApplication::removeTranslator(&catalogue);

    Texts shown = visibleTexts(face.window);
    for (const std::string& line : menuTexts(face.menu))
        shown.push_back(line);
    for (const std::string& line : shown)
        for (const char* place : {"Finder", "System Settings", "for Mac", "/Applications"})
            EXPECT_EQ(line.find(place), std::string::npos) << line;
    EXPECT_EQ(menuTexts(face.menu).front(), "Open in File Manager");
    EXPECT_EQ(text(face.find<QPushButton>("openInFinder").text()), "Open in File Manager");
    EXPECT_EQ(text(face.row("driveRow").detail()), "Available in the File Manager");
    EXPECT_EQ(text(face.find<QPushButton>("openSystemSettings").text()), "Open Setup Help");
    EXPECT_NE(text(face.find<QLabel>("warningText").text()).find("/dev/fuse"), std::string::npos);
    // Texts that name no such place stay as they are.
    EXPECT_EQ(face.header(), "Brimo is Ready");
    EXPECT_EQ(text(face.find<QPushButton>("eject").text()), "Eject");

    QCoreApplication::installTranslator(&catalogue);
    EXPECT_EQ(text(QCoreApplication::translate(
                  "Alerts", "Drag Brimo into /Applications, then open it from there.")),
              "Drag Brimo into ~/Applications, then open it from there.");
    EXPECT_EQ(text(QCoreApplication::translate("Alerts", "Move to Applications folder?")),
              "Move to Applications folder?");
    QCoreApplication::removeTranslator(&catalogue);
}

// A socket file with nobody listening, as a copy that was killed leaves it.
void leaveDeadSocket(const std::string& path) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    path.copy(address.sun_path, sizeof(address.sun_path) - 1);
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    ::close(fd);
}

TEST(AppInstance, TheRunningCopyAnswersALaterLaunchAndDropsAnythingElse) {
    QTemporaryDir dir;
    const QString path = dir.filePath("Ozm.Tarvel.Mac.app");
    EXPECT_FALSE(AppInstance(path).activateRunningCopy());
    leaveDeadSocket(path.toStdString());
    EXPECT_FALSE(AppInstance(path).activateRunningCopy());

    AppInstance running(path);
    int reopens = 0;
    ASSERT_TRUE(running.serve([&] { ++reopens; }));

    QLocalSocket later;
    later.connectToServer(path);
    later.write("reopen\n");
    ASSERT_TRUE(processEventsUntil([&] { return later.canReadLine(); }));
    EXPECT_EQ(later.readLine(), "ok\n");
    EXPECT_EQ(reopens, 1);

    // Another request, and a line that never ends, are cut off unanswered.
    for (const QByteArray& request : {QByteArray("quit\n"), QByteArray(4096, 'x')}) {
        QLocalSocket other;
        other.connectToServer(path);
        other.write(request);
        EXPECT_TRUE(
            processEventsUntil([&] { return other.state() == QLocalSocket::UnconnectedState; }));
        EXPECT_FALSE(other.canReadLine());
    }
    EXPECT_EQ(reopens, 1);
}

TEST(AppInstance, OnlyAFolderOfThisUsersHoldsTheSocket) {
    QTemporaryDir dir;
    // A link where the folder should be: somebody else may own what it points to.
    const fs::path real = fs::path(dir.path().toStdString()) / "real";
    fs::create_directories(real);
    fs::create_directory_symlink(real, real.parent_path() / "link");
    AppInstance linked(QString::fromStdString((real.parent_path() / "link/app").string()));
    EXPECT_FALSE(linked.serve([] {}));
    EXPECT_FALSE(linked.activateRunningCopy());
    EXPECT_FALSE(fs::exists(real / "app"));

    if (::geteuid() != 0) return;
    const fs::path foreign = real.parent_path() / "foreign";
    fs::create_directories(foreign);
    ASSERT_EQ(::chown(foreign.c_str(), 65534, 65534), 0);
    AppInstance other(QString::fromStdString((foreign / "app").string()));
    EXPECT_FALSE(other.serve([] {}));
    EXPECT_FALSE(fs::exists(foreign / "app"));
}

} // namespace
} // namespace brimo::app
