// The program reads no command line: the toolkit's own options change
// nothing. The real program runs with a probe preloaded that reports, once
// the window shows, what those options would have changed.
#include <QProcess>
#include <QProcessEnvironment>

#include <gtest/gtest.h>

namespace {

// The probe's line for the program started with these arguments.
QString shownWith(const QStringList &arguments) {
    QProcess program;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("LD_PRELOAD"), QStringLiteral(WINDOW_PROBE_PATH));
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    environment.remove(QStringLiteral("QT_STYLE_OVERRIDE"));
    program.setProcessEnvironment(environment);
    program.start(QStringLiteral(VELKART_PROGRAM_PATH), arguments);
    if (!program.waitForFinished(30000)) {
        program.kill();
        program.waitForFinished();
        return QStringLiteral("no report within 30 s");
    }
    return QString::fromUtf8(program.readAllStandardOutput()).trimmed();
}

} // namespace

TEST(CommandLine, ToolkitOptionsChangeNothing) {
    const QString plain = shownWith({});
    ASSERT_TRUE(plain.startsWith(QStringLiteral("LeftToRight style=")) &&
                plain.endsWith(QStringLiteral(" platform=offscreen arguments=1")))
        << plain.toStdString();
    const QStringList cases[] = {
        {QStringLiteral("-reverse")},
        {QStringLiteral("-style"), QStringLiteral("windows")},
        {QStringLiteral("-style=windows")},
        {QStringLiteral("-platform"), QStringLiteral("xcb")},
        {QStringLiteral("-reverse"), QStringLiteral("some"), QStringLiteral("words")},
    };
    for (const QStringList &arguments : cases)
        EXPECT_EQ(shownWith(arguments).toStdString(), plain.toStdString())
            << arguments.join(' ').toStdString();
}
