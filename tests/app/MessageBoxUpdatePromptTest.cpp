#include "app/updates/MessageBoxUpdatePrompt.h"
#include "tests/app/AppTestSupport.h"

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

} // namespace
} // namespace brimo::app::updates
