// What the reader library warns about its own configuration (ignored
// entries of KAVIDCARD_DEVICES, missing or bad card files), for the
// status line: through Kav_GetWarning, an optional export looked up at run
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

using WarningGetter = kav::format::WarningGetter;

// The loaded library's Kav_GetWarning, or null.
WarningGetter libraryWarningGetter();

// Every warning the getter gives; none for a null getter.
QList<LibraryWarning> libraryWarnings(WarningGetter getter);

// The status line at start-up: the warnings that concern no port, or empty.
QString configurationStatus(const QList<LibraryWarning> &warnings);

// What follows a failed call's status when the library warned about the
// port it was given: "; 端口 1: card file ...". Empty for calls that take no
// port and for ports without warnings.
QString portWarnings(const QList<LibraryWarning> &warnings, const char *call, int port);
