// One main for every test program: desktop tests need a QApplication before any
// widget exists, engine tests must not link Qt at all.
#include <gtest/gtest.h>

#if __has_include(<QApplication>) && defined(QT_WIDGETS_LIB)
#include <QApplication>
int main(int argc, char** argv) {
    // Listing the tests happens without the test environment, and often without a display.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
#else
int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
#endif
