// The part every preloaded probe shares: once the program's first window
// has been exposed and painted, call `report` (which writes its line and
// ends the process). A probe defines its report and installs this with
// KAV_SHOWN_PROBE(report).
#pragma once

#include <QCoreApplication>
#include <QEvent>
#include <QTimer>
#include <QWindow>

namespace shown_probe {

class Probe : public QObject {
  public:
    explicit Probe(void (*report)()) : report_(report) {}

  protected:
    bool eventFilter(QObject *watched, QEvent *event) override {
        if (event->type() == QEvent::Expose && !seen_) {
            auto *window = qobject_cast<QWindow *>(watched);
            if (window != nullptr && window->isExposed()) {
                seen_ = true;
                // The window paints while handling this event; report after.
                QTimer::singleShot(0, report_);
            }
        }
        return false;
    }

  private:
    void (*report_)();
    bool seen_ = false;
};

} // namespace shown_probe

#define KAV_SHOWN_PROBE(report)                                                                    \
    namespace {                                                                                    \
    void installShownProbe() {                                                                     \
        QCoreApplication::instance()->installEventFilter(new shown_probe::Probe(&(report)));       \
    }                                                                                              \
    }                                                                                              \
    Q_COREAPP_STARTUP_FUNCTION(installShownProbe)
