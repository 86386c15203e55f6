#include "app/TarvelApp.h"

#include "app/AppWindowController.h"
#include "app/LaunchGated.h"
#include "app/TarvelMenuBar.h"
#include "app/TarvelNotices.h"
#include "app/TarvelSplitView.h"
#include "app/updates/CheckForUpdatesAction.h"
#include "shared/Log.h"
#include "shared/messages/KeptSaves.h"

#include <QApplication>
#include <QCoreApplication>
#include <QMenuBar>

namespace brimo::app {
namespace {

// The texts name macOS places; this catalogue names the desktop's instead.
constexpr const char* kLinuxCatalogue = ":/i18n/Brimo_en.qm";

// The container's folder of kept saves, or none when there is no usable container.
std::filesystem::path keptSavesFolder() {
    try {
        return KeptSaves::folder();
    } catch (const std::exception& error) {
        log::appLog.error("kept saves are not watched: %s", error.what());
        return {};
    }
}

} // namespace

TarvelMainWindow::TarvelMainWindow(TarvelAppDelegate& delegate, TarvelEnvironment& environment,
                                   QAction* checkForUpdates) {
    setObjectName(kIdentifier);
    setWindowTitle(QStringLiteral("Brimo"));
    resize(680, 500);
    // The commands: the update check, then the window's own.
    QMenu* commands = menuBar()->addMenu(QStringLiteral("Brimo"));
    commands->addAction(checkForUpdates);
    commands->addSeparator();
    QAction* close = commands->addAction(
        QCoreApplication::translate("TarvelMainWindow", "Close Window"), this, &QWidget::close);
    close->setShortcut(QKeySequence::Close);
    QAction* quit =
        commands->addAction(QCoreApplication::translate("TarvelMainWindow", "Quit Brimo"), this,
                            [&environment] { environment.quit(); });
    quit->setShortcut(QKeySequence::Quit);
    new LaunchGated(
        delegate, [this, &environment] { setCentralWidget(new ContentView(environment)); }, this);
}

ContentView* TarvelMainWindow::content() const {
    return qobject_cast<ContentView*>(centralWidget());
}

TarvelApp::TarvelApp()
    : environment_{
          .state = XPCClientState::shared(),
          .domain = delegate_.domainSetup(),
          .clock = delegate_.clock(),
          .workspace = delegate_.workspace(),
          .updater = delegate_.updater(),
          .bundle = MainBundle::current(),
          .shutdownService =
              [client = delegate_.xpcClient().shared_from_this()](std::function<void()> done) {
                  client->shutdownService(XPCClient::kShutdownTimeout,
                                          [done = std::move(done)](bool) { done(); });
              },
          .openMainWindow = [this] { openMainWindow(); },
          .quit = [] { QCoreApplication::quit(); },
      } {
    if (catalogue_.load(kLinuxCatalogue)) QCoreApplication::installTranslator(&catalogue_);
    checkForUpdates_ = updates::makeCheckForUpdatesAction(delegate_.updater(), this);
    label_ = new TarvelMenuBarLabel(environment_.state, menu_, this);
    new TarvelNotices(environment_.state, environment_.clock,
                      std::make_unique<TrayNotifier>(label_->trayIcon()), keptSavesFolder(),
                      label_);
    new LaunchGated(
        delegate_, [this] { new TarvelMenuBarContent(environment_, menu_, checkForUpdates_); },
        &menu_);
    window_ = createMainWindow();
}

TarvelApp::~TarvelApp() {
    delete window_;
    QCoreApplication::removeTranslator(&catalogue_);
}

TarvelMainWindow* TarvelApp::createMainWindow() {
    return new TarvelMainWindow(delegate_, environment_, checkForUpdates_);
}

void TarvelApp::launch() {
    delegate_.applicationWillFinishLaunching([this] { openMainWindow(); });
    if (!delegate_.canPresent()) return;
    // After the first launch's login item, which the window's switch shows.
    delegate_.applicationDidFinishLaunching();
    window_->show();
}

void TarvelApp::openMainWindow() {
    QWidget* window = AppWindowController::findMainWindow();
    if (!window) {
        window_ = createMainWindow();
        window = window_;
    }
    if (window->isMinimized()) window->showNormal();
    window->show();
    window->raise();
    window->activateWindow();
}

} // namespace brimo::app
