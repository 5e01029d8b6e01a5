#include "LibraryWarnings.h"

#include "exports.h"

WarningGetter libraryWarningGetter() {
    return kav::host::warningGetterExport();
}

QList<LibraryWarning> libraryWarnings(WarningGetter getter) {
    QList<LibraryWarning> warnings;
    for (const kav::host::Warning &w : kav::host::readWarnings(getter))
        warnings.append({w.port, QString::fromStdString(w.text)});
    return warnings;
}
