// The platform services the dialog needs and tests must replace: a tone, a
// pause, a modal message box, the folder and save-file pickers and the
// clock of the log.
#pragma once

#include "FrontEnd.h"

#include <QString>

#include <chrono>

class QWidget;

// The handlers' outcome of a folder choice, with the path as Qt has it.
struct FolderChoice {
    using Outcome = FolderPick::Outcome;
    Outcome outcome = Outcome::Cancelled;
    QString path;
};

class Platform {
  public:
    virtual ~Platform() = default;
    // Blocks until the tone has ended.
    virtual void tone(int frequencyHz, int durationMs) = 0;
    virtual void pause(int durationMs) = 0;
    // OK-only, no icon, captioned with the program's name.
    virtual void messageBox(QWidget *owner, const QString &text) = 0;
    virtual FolderChoice chooseFolder(QWidget *owner, const QString &prompt) = 0;
    // The file to write, proposing defaultName; empty when the user cancels.
    virtual QString chooseSaveFile(QWidget *owner, const QString &caption,
                                   const QString &defaultName) = 0;
    virtual std::chrono::system_clock::time_point now() = 0;
};

// The real services of this machine.
class SystemPlatform : public Platform {
  public:
    void tone(int frequencyHz, int durationMs) override;
    void pause(int durationMs) override;
    void messageBox(QWidget *owner, const QString &text) override;
    FolderChoice chooseFolder(QWidget *owner, const QString &prompt) override;
    QString chooseSaveFile(QWidget *owner, const QString &caption,
                           const QString &defaultName) override;
    std::chrono::system_clock::time_point now() override;
};
