#include "ProgramIcon.h"

QIcon programIcon() {
    QIcon icon;
    icon.addFile(QStringLiteral(":/res/velkart-32.xpm"), QSize(32, 32));
    icon.addFile(QStringLiteral(":/res/velkart-16.xpm"), QSize(16, 16));
    return icon;
}
