// What the button handlers need of the window they run in, with UTF-8
// text: controls by identifier, the event log's rows, the status line, the
// course of a press, and the platform services tests replace (tone, pause,
// message box, folder picker, clock). Each front end (Qt, Win32) implements
// it; tests pass a recording fake.
#pragma once

#include <chrono>
#include <optional>
#include <string>

struct FolderPick {
    enum class Outcome {
        Chosen,        // path holds the folder
        Cancelled,     // the user closed the picker without a choice
        NotFileSystem, // the choice is no usable file-system folder
        Unavailable,   // no picker could be shown at all
    };
    Outcome outcome = Outcome::Cancelled;
    // UTF-8; none when the folder chosen has a name UTF-8 cannot hold exactly.
    std::optional<std::string> path;
};

class DialogFrontEnd {
  public:
    virtual ~DialogFrontEnd() = default;

    // The text of an edit box or button; empty for another identifier.
    virtual std::string itemText(int id) const = 0;
    virtual void setItemText(int id, const std::string &text) = 0;
    virtual void enableItem(int id, bool enable) = 0;

    // The event log: a row at the top, or none at all.
    virtual void showLogRow(std::chrono::system_clock::time_point at,
                            const std::string &message) = 0;
    virtual void clearLog() = 0;
    // The status line under the bottom buttons; empty clears it.
    virtual void showStatus(const std::string &text) = 0;

    // A handler runs between these: a wait cursor, and input given
    // meanwhile dropped when it ends, not replayed.
    virtual void pressBegins() = 0;
    virtual void pressEnds() = 0;

    // Blocks until the tone has ended.
    virtual void tone(int frequencyHz, int durationMs) = 0;
    virtual void pause(int durationMs) = 0;
    // OK-only, no icon, captioned with the program's name.
    virtual void messageBox(const std::string &text) = 0;
    virtual FolderPick chooseFolder(const std::string &prompt) = 0;
    // The clock of the log.
    virtual std::chrono::system_clock::time_point now() = 0;
};
