#include <QApplication>
#include <gtest/gtest.h>

// The app's objects live on Qt's main thread: the tests run there, under an offscreen platform.
int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
