// What the reader library warns about its own configuration (ignored
// entries of KAVIDCARD_DEVICES, missing or bad card files), for the
// Qt-side readers (the status line itself reads them in ops/StatusText.h):
// through Kav_GetWarning, an optional export looked up at run
// time, so that a library without it runs the dialog and shows nothing.
#pragma once

#include "KavIDCardAPI.h"
#include "warnings.h"

#include <QList>
#include <QString>

struct LibraryWarning {
    int port = KAV_NO_PORT; // KAV_NO_PORT: it concerns no port
    QString text;
};

using WarningGetter = kav::host::WarningGetter;

// The loaded library's Kav_GetWarning, or null.
WarningGetter libraryWarningGetter();

// Every warning the getter gives; none for a null getter.
QList<LibraryWarning> libraryWarnings(WarningGetter getter);
