// Test main for tests that use Qt's I/O classes (serial port, socket notifiers),
// which need an application object on the thread that runs the tests.
#include <gtest/gtest.h>

#include <QCoreApplication>

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
