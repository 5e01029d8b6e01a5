#include <QCoreApplication>

#include <gtest/gtest.h>

int main(int argc, char **argv) {
    // Serial links and the discovery threads need the application object.
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
