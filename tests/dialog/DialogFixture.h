// The dialog against the fake reader library, whose journal records every
// call, interleaved with the platform's services.
#pragma once

#include "DialogDriver.h"
#include "FakeReader.h"

#include <string>
#include <vector>

class DialogTest : public DialogDriver {
  protected:
    void SetUp() override {
        fake::reset();
        platform.onCall = fake::note;
        DialogDriver::SetUp();
    }

    static std::vector<std::string> calls() { return fake::journal(); }
};

using Calls = std::vector<std::string>;
