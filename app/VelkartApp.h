#pragma once

// The application: runs the main dialog modally; when it ends, the program ends.
class CVelkartApp {
  public:
    // Always false: there is nothing to run after the dialog.
    bool InitInstance();
};
