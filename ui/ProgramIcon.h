#pragma once

#include <QIcon>

// The program icon (IDI_MAIN): 32 x 32 and 16 x 16.
QIcon programIcon();
