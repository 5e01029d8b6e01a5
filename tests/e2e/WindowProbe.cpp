// Preloaded into the program: when its first window shows, writes what the
// toolkit's command-line options would change (layout direction, style,
// platform, the arguments it kept) as one line on standard output and ends
// the process at once.
#include <QApplication>
#include <QEvent>
#include <QStyle>
#include <QTimer>
#include <QWindow>

#include <unistd.h>

namespace {

void report() {
    const QByteArray line =
        (QString(QApplication::layoutDirection() == Qt::LeftToRight ? "LeftToRight"
                                                                     : "RightToLeft") +
         " style=" + QApplication::style()->name() + " platform=" +
         QGuiApplication::platformName() +
         " arguments=" + QString::number(QCoreApplication::arguments().size()) + "\n")
            .toUtf8();
    [[maybe_unused]] const ssize_t written = ::write(STDOUT_FILENO, line.data(), line.size());
    ::_exit(0);
}

class ShownProbe : public QObject {
  protected:
    bool eventFilter(QObject *watched, QEvent *event) override {
        if (event->type() == QEvent::Expose && !seen_) {
            auto *window = qobject_cast<QWindow *>(watched);
            if (window != nullptr && window->isExposed()) {
                seen_ = true;
                QTimer::singleShot(0, &report);
            }
        }
        return false;
    }

  private:
    bool seen_ = false;
};

void install() {
    QCoreApplication::instance()->installEventFilter(new ShownProbe);
}

} // namespace

Q_COREAPP_STARTUP_FUNCTION(install)
