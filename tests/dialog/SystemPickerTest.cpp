// The real folder and save-file pickers keep nothing between runs: no
// settings file is read or written. The pickers run in a child process with
// a home of its own, as the toolkit finds the settings' folder once per
// process.
#include "Platform.h"

#include <QApplication>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileDialog>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>
#include <QUrl>

#include <gtest/gtest.h>

#include <functional>

namespace {

// Set in the child process that runs the pickers.
constexpr char kChild[] = "VELKART_PICKER_CHILD";

// A settings file as the toolkit would have left it after an earlier run.
QByteArray earlierRun(const QString &visited) {
    const QByteArray url = QUrl::fromLocalFile(visited).toEncoded();
    return "[FileDialog]\nhistory=" + url + "\nlastVisited=" + url + "\nshortcuts=" + url +
           "\nviewMode=List\n";
}

// Acts on the picker the platform is about to open, once it is shown.
void whenPickerShows(std::function<void(QFileDialog &)> act) {
    QTimer::singleShot(0, [act = std::move(act)] {
        auto *picker = qobject_cast<QFileDialog *>(QApplication::activeModalWidget());
        if (picker == nullptr) {
            whenPickerShows(act);
            return;
        }
        act(*picker);
    });
}

// Each picker starts as on a first run: only its own folder in its history
// (not where an earlier picker went) and the default view.
void expectNothingFromEarlierRun(const QFileDialog &picker) {
    EXPECT_EQ(picker.history(), QStringList{QDir::homePath()});
    EXPECT_EQ(picker.viewMode(), QFileDialog::Detail);
}

QStringList filesUnder(const QString &root) {
    QStringList files;
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext())
        files << QDir(root).relativeFilePath(it.next());
    files.sort();
    return files;
}

} // namespace

// Run only by the test below, in a child process.
TEST(SystemPickers, DISABLED_ChooseFolderThenSaveFile) {
    if (qEnvironmentVariableIsEmpty(kChild))
        GTEST_SKIP() << "run by SystemPickers.KeepNoSettingsBetweenRuns";
    SystemPlatform platform;
    const QString photos = QDir::homePath() + QStringLiteral("/photos");

    whenPickerShows([&](QFileDialog &picker) {
        expectNothingFromEarlierRun(picker);
        picker.setDirectory(photos);
        static_cast<QDialog &>(picker).accept(); // as the Choose button does
    });
    const FolderChoice folder = platform.chooseFolder(nullptr, QStringLiteral("选择"));
    EXPECT_EQ(folder.outcome, FolderChoice::Outcome::Chosen);
    EXPECT_EQ(folder.path.toStdString(), photos.toStdString());

    whenPickerShows([&](QFileDialog &picker) {
        expectNothingFromEarlierRun(picker);
        picker.selectFile(photos + QStringLiteral("/saved.log"));
        static_cast<QDialog &>(picker).accept(); // as the Choose button does
    });
    EXPECT_EQ(platform.chooseSaveFile(nullptr, QStringLiteral("保存"), QStringLiteral("a.log"))
                  .toStdString(),
              (photos + QStringLiteral("/saved.log")).toStdString());
}

TEST(SystemPickers, KeepNoSettingsBetweenRuns) {
    QTemporaryDir root;
    ASSERT_TRUE(root.isValid());
    const QString home = root.filePath(QStringLiteral("home"));
    const QString config = home + QStringLiteral("/.config");
    ASSERT_TRUE(QDir().mkpath(config) && QDir().mkpath(home + QStringLiteral("/photos")));
    const QString visited = root.filePath(QStringLiteral("visited"));
    ASSERT_TRUE(QDir().mkpath(visited));
    QFile earlier(config + QStringLiteral("/QtProject.conf"));
    ASSERT_TRUE(earlier.open(QIODevice::WriteOnly) && earlier.write(earlierRun(visited)) > 0);
    earlier.close();

    QProcess child;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("HOME"), home);
    environment.insert(QStringLiteral("XDG_CONFIG_HOME"), config);
    environment.insert(QStringLiteral("XDG_CACHE_HOME"), root.filePath(QStringLiteral("cache")));
    environment.insert(QStringLiteral("XDG_DATA_HOME"), root.filePath(QStringLiteral("data")));
    environment.insert(QString::fromLatin1(kChild), visited);
    child.setProcessEnvironment(environment);
    child.setProcessChannelMode(QProcess::MergedChannels);
    child.start(QCoreApplication::applicationFilePath(),
                {QStringLiteral("--gtest_also_run_disabled_tests"),
                 QStringLiteral("--gtest_filter=SystemPickers.DISABLED_ChooseFolderThenSaveFile")});
    ASSERT_TRUE(child.waitForFinished(60000));
    const QString output = QString::fromUtf8(child.readAll());
    EXPECT_EQ(child.exitCode(), 0) << output.toStdString();
    EXPECT_TRUE(output.contains(QStringLiteral("[  PASSED  ] 1 test"))) << output.toStdString();

    EXPECT_EQ(filesUnder(home), (QStringList{".config", ".config/QtProject.conf", "photos"}));
    ASSERT_TRUE(earlier.open(QIODevice::ReadOnly));
    EXPECT_EQ(earlier.readAll(), earlierRun(visited));
}
