#include "ProgramIcon.h"

#include <QPixmap>

// The icons are XPM, which is C: compiled in and read by QtGui's own XPM
// reader, with no image plug-in to look for at start-up.
#include "velkart-16.xpm"
#include "velkart-32.xpm"

QIcon programIcon() {
    QIcon icon;
    icon.addPixmap(QPixmap(velkart_32));
    icon.addPixmap(QPixmap(velkart_16));
    return icon;
}
