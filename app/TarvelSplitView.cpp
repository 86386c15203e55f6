#include "app/TarvelSplitView.h"

#include "app/Symbols.h"
#include "app/TarvelAboutView.h"
#include "app/TarvelEnvironment.h"
#include "app/TarvelStatusView.h"
#include "app/XPCClientState.h"

#include <QCoreApplication>
#include <QHBoxLayout>
#include <QListWidget>
#include <QScrollArea>
#include <QSplitter>
#include <QStackedWidget>

namespace brimo::app {
namespace {

QScrollArea* scrolling(QWidget* page) {
    auto* scroll = new QScrollArea;
    scroll->setWidget(page);
    scroll->setWidgetResizable(true);
    scroll->setFrameShape(QFrame::NoFrame);
    return scroll;
}

} // namespace

const char* rawValue(TarvelPage page) {
    return page == TarvelPage::home ? "home" : "about";
}

TarvelSplitView::TarvelSplitView(TarvelEnvironment& environment,
                                 std::optional<TarvelPage> selection, QWidget* parent)
    : QWidget(parent)
    , sidebar_(new QListWidget)
    , detail_(new QStackedWidget)
    , empty_(new QWidget)
    , statusView_(
          new TarvelStatusView({environment.domain, environment.clock, environment.shutdownService},
                               TarvelStatus::derive(environment.state)))
    , aboutView_(
          new TarvelAboutView(environment.bundle, environment.updater, environment.workspace)) {
    for (TarvelPage page : kAllTarvelPages) {
        const bool home = page == TarvelPage::home;
        auto* item =
            new QListWidgetItem(symbolIcon(home ? "house" : "info.circle", QPalette::WindowText),
                                home ? QCoreApplication::translate("TarvelSplitView", "Home")
                                     : QCoreApplication::translate("TarvelSplitView", "About"),
                                sidebar_);
        item->setData(Qt::UserRole, rawValue(page));
    }
    sidebar_->setObjectName("sidebar");
    sidebar_->setIconSize({18, 18});
    sidebar_->setFrameShape(QFrame::NoFrame);
    sidebar_->setMinimumWidth(120);
    statusView_->setObjectName("statusView");
    aboutView_->setObjectName("aboutView");
    detail_->addWidget(empty_);
    detail_->addWidget(scrolling(statusView_));
    detail_->addWidget(aboutView_);

    auto* splitter = new QSplitter(this);
    splitter->addWidget(sidebar_);
    splitter->addWidget(detail_);
    splitter->setStretchFactor(1, 1);
    splitter->setChildrenCollapsible(false);
    splitter->setSizes({150, 530});
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(splitter);

    setSelection(selection);
    connect(sidebar_, &QListWidget::itemSelectionChanged, this, &TarvelSplitView::showSelection);

    XPCClientState& state = environment.state;
    connect(&state, &XPCClientState::changed, this,
            [this, &state] { statusView_->setStatus(TarvelStatus::derive(state)); });
}

std::optional<TarvelPage> TarvelSplitView::selection() const {
    const QList<QListWidgetItem*> selected = sidebar_->selectedItems();
    if (selected.isEmpty()) return std::nullopt;
    return selected.front()->data(Qt::UserRole).toString() == rawValue(TarvelPage::home)
               ? TarvelPage::home
               : TarvelPage::about;
}

void TarvelSplitView::setSelection(std::optional<TarvelPage> page) {
    if (!page)
        sidebar_->clearSelection();
    else
        sidebar_->setCurrentRow(*page == TarvelPage::home ? 0 : 1);
    showSelection();
}

void TarvelSplitView::showSelection() {
    const std::optional<TarvelPage> page = selection();
    if (!page)
        detail_->setCurrentWidget(empty_);
    else if (*page == TarvelPage::home)
        detail_->setCurrentIndex(1);
    else
        detail_->setCurrentWidget(aboutView_);
}

ContentView::ContentView(TarvelEnvironment& environment, QWidget* parent)
    : QWidget(parent)
    , splitView_(new TarvelSplitView(environment, TarvelPage::home, this)) {
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(splitView_);
}

} // namespace brimo::app
