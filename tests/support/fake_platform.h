// The platform services for tests: no tone, no pause, no modal window. Every
// call is recorded; the pickers and the clock are scripted.
#pragma once

#include "Platform.h"

#include <QDateTime>
#include <QString>

#include <functional>
#include <ostream>
#include <string>
#include <vector>

// Readable failures for Qt strings.
inline void PrintTo(const QString &text, std::ostream *os) {
    *os << '"' << text.toStdString() << '"';
}

class FakePlatform : public Platform {
  public:
    void tone(int frequencyHz, int durationMs) override {
        record("tone(" + std::to_string(frequencyHz) + "," + std::to_string(durationMs) + ")");
    }
    void pause(int durationMs) override { record("pause(" + std::to_string(durationMs) + ")"); }
    void messageBox(QWidget *, const QString &text) override {
        record("messageBox(" + text.toStdString() + ")");
    }
    FolderChoice chooseFolder(QWidget *, const QString &prompt) override {
        record("chooseFolder(" + prompt.toStdString() + ")");
        return folderChoice;
    }
    QString chooseSaveFile(QWidget *, const QString &caption, const QString &defaultName) override {
        record("chooseSaveFile(" + caption.toStdString() + "," + defaultName.toStdString() + ")");
        return saveFile;
    }
    std::chrono::system_clock::time_point now() override {
        if (onClock)
            onClock();
        return std::chrono::system_clock::time_point{
            std::chrono::milliseconds{clock.toMSecsSinceEpoch()}};
    }

    std::vector<std::string> calls;
    // Also told of every call (the dialog tests put them into the fake
    // library's journal, to check the order of both together).
    std::function<void(const std::string &)> onCall;
    // Told each time the clock is read: the dialog reads it once for every
    // line it logs, just before logging it.
    std::function<void()> onClock;
    FolderChoice folderChoice;
    QString saveFile; // empty: the user cancels
    QDateTime clock{QDate(2026, 12, 7), QTime(9, 30, 5)};

  private:
    void record(const std::string &call) {
        calls.push_back(call);
        if (onCall)
            onCall(call);
    }
};
