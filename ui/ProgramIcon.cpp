#include "ProgramIcon.h"

QIcon programIcon() {
    // The resources live in a static library: nothing would pull them in.
    static const bool registered = [] {
        Q_INIT_RESOURCE(velkart);
        return true;
    }();
    (void)registered;
    QIcon icon;
    icon.addFile(QStringLiteral(":/res/velkart-32.xpm"), QSize(32, 32));
    icon.addFile(QStringLiteral(":/res/velkart-16.xpm"), QSize(16, 16));
    return icon;
}
