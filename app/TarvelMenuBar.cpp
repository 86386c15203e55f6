#include "app/TarvelMenuBar.h"

#include "app/DomainSetup.h"
#include "app/Symbols.h"
#include "app/TarvelEnvironment.h"
#include "app/XPCClientState.h"

#include <QAction>
#include <QApplication>
#include <QCoreApplication>
#include <QCursor>
#include <QEvent>
#include <QGuiApplication>
#include <QImage>
#include <QMenu>
#include <QPalette>
#include <QPixmap>
#include <QScreen>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QWidget>
#include <algorithm>
#include <vector>

namespace brimo::app {
namespace {

constexpr int kPanelLooks = 10;
constexpr int kPanelLookMs = 300;

bool isDark(const QColor& colour) {
    return colour.lightnessF() < 0.5;
}

} // namespace

// The icon's own window in an X11 tray shows the panel through its background: the pixels along
// its edges are the panel's, around the symbol in the middle. Their median, so that a symbol
// reaching an edge does not count. Qt makes that window for the tray, not the app; a tray that
// draws the icons itself (over D-Bus) has none.
std::optional<QColor> ScreenTrayPanel::colourAround(const QSystemTrayIcon& tray) {
    if (!tray.isVisible()) return std::nullopt;
    const QWidgetList widgets = QApplication::topLevelWidgets();
    const auto window = std::find_if(widgets.begin(), widgets.end(), [](const QWidget* widget) {
        return widget->isVisible() &&
               qstrcmp(widget->metaObject()->className(), "QSystemTrayIconSys") == 0;
    });
    if (window == widgets.end()) return std::nullopt;
    QScreen* screen = (*window)->screen();
    const QImage image = screen ? screen->grabWindow((*window)->winId()).toImage() : QImage();
    std::vector<QColor> edges;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            if (x == 0 || y == 0 || x == image.width() - 1 || y == image.height() - 1)
                edges.push_back(image.pixelColor(x, y));
    if (edges.empty()) return std::nullopt;
    const auto middle = edges.begin() + std::ptrdiff_t(edges.size() / 2);
    std::nth_element(edges.begin(), middle, edges.end(), [](const QColor& a, const QColor& b) {
        return a.lightnessF() < b.lightnessF();
    });
    return *middle;
}

QColor TarvelMenuBarLabel::tintOn(const QColor& panel) {
    return isDark(panel) ? QColor(0xF2, 0xF2, 0xF2) : QColor(0x1C, 0x1C, 0x1C);
}

TarvelMenuBarLabel::TarvelMenuBarLabel(XPCClientState& state, QMenu& menu, QObject* parent,
                                       std::unique_ptr<TrayPanel> panel)
    : QObject(parent)
    , state_(state)
    , panel_(std::move(panel))
    , tray_(new QSystemTrayIcon(this)) {
    // What the tray and screen readers name the icon.
    tray_->setToolTip(QStringLiteral("Brimo"));
    tray_->setContextMenu(&menu);
    // A left click opens the same menu as a right click, as a menu-bar item does.
    connect(tray_, &QSystemTrayIcon::activated, this,
            [&menu](QSystemTrayIcon::ActivationReason reason) {
                if (reason == QSystemTrayIcon::Trigger) menu.popup(QCursor::pos());
            });
    connect(&state_, &XPCClientState::changed, this, &TarvelMenuBarLabel::render);
    qApp->installEventFilter(this);
    render();
    tray_->show();
    lookAtPanelSoon(kPanelLooks);
}

TarvelMenuBarLabel::~TarvelMenuBarLabel() {
    tray_->hide();
}

// Filters every event of the application: a theme change reaches its windows, not the
// application object. One redraw follows however many windows are told.
bool TarvelMenuBarLabel::eventFilter(QObject* watched, QEvent* event) {
    const QEvent::Type type = event->type();
    if ((type == QEvent::ApplicationPaletteChange || type == QEvent::ThemeChange) &&
        !renderPending_) {
        renderPending_ = true;
        QTimer::singleShot(0, this, [this] {
            renderPending_ = false;
            render();
        });
    }
    return QObject::eventFilter(watched, event);
}

void TarvelMenuBarLabel::lookAtPanelSoon(int tries) {
    if (tries <= 0) return;
    QTimer::singleShot(kPanelLookMs, this, [this, tries] {
        if (panel_->colourAround(*tray_))
            render();
        else
            lookAtPanelSoon(tries - 1);
    });
}

// Where the panel cannot be seen, the palette stands in for it: a tray drawing icons itself
// draws them on the desktop's own colours.
void TarvelMenuBarLabel::render() {
    const QString symbol = TarvelStatusLook::of(TarvelStatus::derive(state_)).menuBarSymbol;
    const QColor panel =
        panel_->colourAround(*tray_).value_or(QApplication::palette().color(QPalette::Window));
    const QColor tint = tintOn(panel);
    if (symbol == symbol_ && tint == tint_) return;
    symbol_ = symbol;
    tint_ = tint;
    tray_->setIcon(symbolIcon(symbol_, tint_));
}

TarvelMenuBarContent::TarvelMenuBarContent(TarvelEnvironment& environment, QMenu& menu,
                                           QAction* checkForUpdates)
    : QObject(&menu)
    , environment_(environment)
    , firstLine_(menu.addAction(QString())) {
    connect(firstLine_, &QAction::triggered, this, [this] {
        if (firstLineIsButton_) environment_.domain.openInFinder();
    });
    menu.addSeparator();
    openBrimo_ = menu.addAction(QCoreApplication::translate("TarvelMenuBarContent", "Open Brimo…"));
    connect(openBrimo_, &QAction::triggered, this, [this] { environment_.openMainWindow(); });
    eject_ = menu.addAction(QCoreApplication::translate("TarvelMenuBarContent", "Eject"));
    // Nothing waits for the answer: the state follows the service's notifications.
    connect(eject_, &QAction::triggered, this, [this] { environment_.shutdownService([] {}); });
    menu.addSeparator();
    menu.addAction(checkForUpdates);
    quit_ = menu.addAction(QCoreApplication::translate("TarvelMenuBarContent", "Quit Brimo"));
    connect(quit_, &QAction::triggered, this, [this] { environment_.quit(); });
    connect(&environment_.state, &XPCClientState::changed, this, &TarvelMenuBarContent::render);
    render();
}

void TarvelMenuBarContent::render() {
    const TarvelStatus status = TarvelStatus::derive(environment_.state);
    const TarvelStatusLook look = TarvelStatusLook::of(status);
    firstLineIsButton_ = look.menuFirstLineIsButton;
    firstLine_->setText(look.menuFirstLine);
    // A plain line of text reads as such: it cannot be chosen.
    firstLine_->setEnabled(firstLineIsButton_);
    eject_->setEnabled(status.isMounted);
}

} // namespace brimo::app
