#include "app/TarvelNotices.h"
#include "app/AppClock.h"
#include "app/XPCClientState.h"
#include "shared/messages/KeptSaves.h"
#include "tests/app/AppTestSupport.h"

#include <gtest/gtest.h>

#include <fstream>

namespace brimo::app {
namespace {

using namespace std::chrono_literals;
using test::TemporaryFolder;

class RecordingNotifier final : public DesktopNotifier {
public:
    explicit RecordingNotifier(std::vector<QString>& shown)
        : shown_(shown) {}
    void notify(const QString& title, const QString& body) override {
        shown_.push_back(title + ": " + body);
    }

private:
    std::vector<QString>& shown_;
};

// Each step sets the phone's and the drive's state, in that order unless `driveFirst`, after
// `wait` has passed.
struct Step {
    bool phone;
    bool drive;
    std::chrono::milliseconds wait = 0ms;
    bool driveFirst = false;
};

TEST(TarvelNoticesTest, TellsOfAPhoneThatWentAwayWhileTheDriveWasInUse) {
    const struct {
        const char* what;
        std::vector<Step> steps;
        size_t told;
    } cases[] = {
        {"unplugged while mounted", {{true, true}, {false, false}}, 1},
        {"unmounted by the service just before the phone went",
         {{true, true}, {true, false}, {false, false, 500ms}},
         1},
        {"ejected, then unplugged", {{true, true}, {true, false}, {false, false, 3s}}, 0},
        {"unplugged with nothing mounted", {{true, false}, {false, false}}, 0},
        {"lost twice while mounted",
         {{true, true}, {false, false}, {true, true, 5s}, {false, false, 1s, true}},
         2},
    };
    for (const auto& c : cases) {
        XPCClientState state;
        FakeAppClock clock;
        std::vector<QString> shown;
        TarvelNotices notices(state, clock, std::make_unique<RecordingNotifier>(shown), {});
        for (const Step& step : c.steps) {
            clock.advance(step.wait);
            if (step.driveFirst) state.setHasFileProviderConnection(step.drive);
            state.setHasIOSConnection(step.phone);
            state.setHasFileProviderConnection(step.drive);
        }
        EXPECT_EQ(shown.size(), c.told) << c.what;
        for (const QString& text : shown)
            EXPECT_TRUE(text.startsWith("Phone Disconnected: ")) << c.what;
    }
}

TEST(TarvelNoticesTest, TellsOnceOfEachSaveThatWasKeptAfterItFailed) {
    TemporaryFolder folder{"brimo-notices"};
    const KeptSaves saves(folder.path());
    const auto keep = [&](const std::string& id, const std::string& item, bool failed) {
        std::ofstream(saves.dataPath(id)) << "bytes";
        KeptSave save;
        save.id = id;
        save.identifier = item;
        save.saveAsked = failed;
        ASSERT_TRUE(saves.write(save, false));
    };
    keep("before", "DCIM/old.txt", true);
    XPCClientState state;
    FakeAppClock clock;
    std::vector<QString> shown;
    TarvelNotices notices(state, clock, std::make_unique<RecordingNotifier>(shown), folder.path());

    keep("draft", "Documents/draft.txt", false); // still being written
    keep("other", "notes.txt", true);
    ASSERT_TRUE(test::processEventsUntil([&] { return !shown.empty(); }, 5s));
    keep("draft", "Documents/draft.txt", true); // its save failed
    ASSERT_TRUE(test::processEventsUntil([&] { return shown.size() >= 2; }, 5s));
    keep("draft", "Documents/draft.txt", true); // failed again
    test::processEventsUntil([] { return false; }, 300ms);
    ASSERT_EQ(shown.size(), 2u);
    EXPECT_TRUE(shown[0].contains("“notes.txt” could not be saved to the phone"))
        << shown[0].toStdString();
    EXPECT_TRUE(shown[1].contains("“draft.txt”")) << shown[1].toStdString();
    EXPECT_TRUE(shown[1].startsWith("Save Kept on This Computer: "));
}

} // namespace
} // namespace brimo::app
