#include <QCoreApplication>
#include <QDir>
#include <QFile>

#include <gtest/gtest.h>

#include <cstdlib>
#include <unistd.h>

int main(int argc, char **argv) {
    // The trace is read once, when the library first writes to it: every
    // test of this program traces, and TraceTest reads what was written.
    const QByteArray trace =
        QDir::temp()
            .filePath(QStringLiteral("kav_library_tests.%1.trace").arg(getpid()))
            .toLocal8Bit();
    QFile::remove(QString::fromLocal8Bit(trace));
    setenv("KAVIDCARD_TRACE", trace.constData(), 1);
    // The library needs no Qt; the tests check photos and temporary folders
    // with Qt's classes, whose image plugins want the application object.
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    const int result = RUN_ALL_TESTS();
    QFile::remove(QString::fromLocal8Bit(trace));
    return result;
}
