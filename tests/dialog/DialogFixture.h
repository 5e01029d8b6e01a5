// The dialog against the fake reader library, whose journal records every
// call, interleaved with the platform's services and the lines logged.
#pragma once

#include "FakeReader.h"
#include "dialog_driver.h"

#include <algorithm>
#include <string>
#include <vector>

class DialogTest : public DialogDriver {
  protected:
    void SetUp() override {
        fake::reset();
        platform.onCall = fake::note;
        // The log takes the clock just before it adds a line: the mark
        // stands for that line in the journal.
        platform.onClock = [] { fake::note(kLogMark); };
        DialogDriver::SetUp();
    }

    // The library calls and platform services, without the log.
    static std::vector<std::string> calls() {
        std::vector<std::string> journal = fake::journal();
        std::erase(journal, std::string(kLogMark));
        return journal;
    }

    // The whole journal, each line logged shown as "log: <message>" where
    // it was logged. The log must not have been cleared meanwhile.
    std::vector<std::string> sequence() const {
        std::vector<std::string> journal = fake::journal();
        const EventLogModel &log = dlg->log();
        const auto marks = std::count(journal.begin(), journal.end(), kLogMark);
        EXPECT_EQ(marks, log.size()) << "a clock reading that logged nothing, or a cleared log";
        int row = log.size(); // oldest last
        for (std::string &line : journal) {
            if (line == kLogMark && row > 0)
                line = "log: " + log.message(--row).toStdString();
        }
        return journal;
    }

  private:
    static constexpr const char *kLogMark = "\x01log";
};

using Calls = std::vector<std::string>;
