// Preloaded into a program whose start-up is being timed: when its first
// window has been exposed and painted, writes the monotonic clock in
// nanoseconds to standard output and ends the process at once.
#include <QCoreApplication>
#include <QEvent>
#include <QTimer>
#include <QWindow>

#include <cstdio>
#include <ctime>
#include <unistd.h>

namespace {

void report() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    char line[32];
    const int n = std::snprintf(line, sizeof line, "%lld\n",
                                static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec);
    [[maybe_unused]] const ssize_t written = ::write(STDOUT_FILENO, line, static_cast<size_t>(n));
    ::_exit(0);
}

class ShownProbe : public QObject {
  protected:
    bool eventFilter(QObject *watched, QEvent *event) override {
        if (event->type() == QEvent::Expose && !seen_) {
            auto *window = qobject_cast<QWindow *>(watched);
            if (window != nullptr && window->isExposed()) {
                seen_ = true;
                // The window paints while handling this event; report after.
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
