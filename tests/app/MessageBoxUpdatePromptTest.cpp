#include "app/updates/MessageBoxUpdatePrompt.h"
#include "tests/app/AppTestSupport.h"

#include <QLabel>
#include <QProgressDialog>
#include <gtest/gtest.h>

namespace brimo::app::updates {
namespace {

TEST(MessageBoxUpdatePrompt, AsksWhichOfTheThreeAndTellsTheOutcome) {
    MessageBoxUpdatePrompt prompt;
    const UpdateItem item{"1.4", "57", QUrl("https://mirror.example/Brimo.tar.gz"), 10, "sig"};
    const struct {
        QString button;
        UpdatePrompt::Choice choice;
    } cases[] = {{"Install Update", UpdatePrompt::Choice::installNow},
                 {"Remind Me Later", UpdatePrompt::Choice::later},
                 {"Skip This Version", UpdatePrompt::Choice::skipThisVersion}};
    for (const auto& [button, choice] : cases) {
        test::whenMessageBoxShows(
            [](QMessageBox& box) {
                EXPECT_EQ(box.text(), "A new version of Brimo is available!");
                EXPECT_EQ(box.informativeText(), "Brimo 1.4 (build 57) is now available; you have "
                                                 "1.3. Would you like to install it now?");
                EXPECT_EQ(box.defaultButton()->text(), "Install Update");
            },
            button);
        EXPECT_EQ(prompt.askToInstall(item, "1.3"), choice) << button.toStdString();
    }
    // Closing the box any other way means later.
    test::whenMessageBoxShows([](QMessageBox&) {}, "no such button");
    EXPECT_EQ(prompt.askToInstall(item, "1.3"), UpdatePrompt::Choice::later);

    test::whenMessageBoxShows([](QMessageBox& box) {
        EXPECT_EQ(box.text(), "You're up to date!");
        EXPECT_EQ(box.informativeText(), "Brimo 1.3 is currently the newest version available.");
    });
    prompt.showNoUpdate(
        {"SUSparkleErrorDomain", 1001, "Brimo 1.3 is currently the newest version available."});
    test::whenMessageBoxShows([](QMessageBox& box) {
        EXPECT_EQ(box.text(), "Update Error!");
        EXPECT_EQ(box.informativeText(), "The update is improperly signed.");
    });
    prompt.showError({"SUSparkleErrorDomain", 3001, "The update is improperly signed."});
}

// What the user reads in a label: its whole text, selected as it is shown.
QString shown(QLabel* label) {
    if (!label) return "(no label)";
    label->setSelection(0, static_cast<int>(label->text().size()));
    return label->selectedText();
}

TEST(MessageBoxUpdatePrompt, FeedTextShowsAsWrittenAndLinksNowhere) {
    MessageBoxUpdatePrompt prompt;
    const std::string markup = R"(<b>1.4</b> <a href="https://phish.example/">Fix</a><br>)";
    const QString literal = QString::fromStdString(markup);
    const UpdateItem item{markup, "57", QUrl("https://mirror.example/Brimo.tar.gz"), 10, "sig"};

    test::whenMessageBoxShows(
        [&](QMessageBox& box) {
            EXPECT_EQ(shown(box.findChild<QLabel*>("qt_msgbox_informativelabel")),
                      "Brimo " + literal +
                          " (build 57) is now available; you have 1.3. Would you like to "
                          "install it now?");
        },
        "Remind Me Later");
    prompt.askToInstall(item, "1.3");
    test::whenMessageBoxShows([&](QMessageBox& box) {
        EXPECT_EQ(shown(box.findChild<QLabel*>("qt_msgbox_informativelabel")), literal);
    });
    prompt.showError({"SUSparkleErrorDomain", 3002, markup});

    prompt.downloadStarted(item, [] {});
    QProgressDialog* dialog = nullptr;
    for (QWidget* window : QApplication::topLevelWidgets())
        if (auto* found = qobject_cast<QProgressDialog*>(window); found && found->isVisible())
            dialog = found;
    ASSERT_TRUE(dialog);
    EXPECT_EQ(shown(dialog->findChild<QLabel*>()), "Downloading Brimo " + literal + "…");
    prompt.downloadEnded();
    EXPECT_TRUE(dialog->isHidden());
}

} // namespace
} // namespace brimo::app::updates
