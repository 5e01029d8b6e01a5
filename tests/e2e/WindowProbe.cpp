// Preloaded into the program: when its first window shows, writes what the
// toolkit's command-line options would change (layout direction, style,
// platform, the arguments it kept) as one line on standard output and ends
// the process at once.
#include "startup/shown_probe.h"

#include <QApplication>
#include <QStyle>

#include <unistd.h>

namespace {

void report() {
    const QByteArray line =
        (QString(QApplication::layoutDirection() == Qt::LeftToRight ? "LeftToRight"
                                                                    : "RightToLeft") +
         " style=" + QApplication::style()->name() +
         " platform=" + QGuiApplication::platformName() +
         " arguments=" + QString::number(QCoreApplication::arguments().size()) + "\n")
            .toUtf8();
    [[maybe_unused]] const ssize_t written = ::write(STDOUT_FILENO, line.data(), line.size());
    ::_exit(0);
}

} // namespace

KAV_SHOWN_PROBE(report)
