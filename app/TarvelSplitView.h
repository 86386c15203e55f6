#pragma once

#include <QWidget>
#include <optional>

class QListWidget;
class QStackedWidget;

// The window's content: a sidebar of pages beside the selected page.
namespace brimo::app {

struct TarvelEnvironment;
class TarvelStatusView;
class TarvelAboutView;

enum class TarvelPage { home, about };
// "home", "about".
const char* rawValue(TarvelPage page);
inline constexpr TarvelPage kAllTarvelPages[] = {TarvelPage::home, TarvelPage::about};

class TarvelSplitView : public QWidget {
    Q_OBJECT

public:
    TarvelSplitView(TarvelEnvironment& environment, std::optional<TarvelPage> selection,
                    QWidget* parent = nullptr);

    std::optional<TarvelPage> selection() const;
    void setSelection(std::optional<TarvelPage> page);

    TarvelStatusView* statusView() const { return statusView_; }
    TarvelAboutView* aboutView() const { return aboutView_; }

private:
    void showSelection();

    QListWidget* sidebar_;
    QStackedWidget* detail_;
    QWidget* empty_;
    TarvelStatusView* statusView_;
    TarvelAboutView* aboutView_;
};

// The window's root: the split view on the shared state, opening at the home page.
class ContentView : public QWidget {
    Q_OBJECT

public:
    explicit ContentView(TarvelEnvironment& environment, QWidget* parent = nullptr);

    TarvelSplitView* splitView() const { return splitView_; }

private:
    TarvelSplitView* splitView_;
};

} // namespace brimo::app
