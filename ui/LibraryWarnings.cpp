#include "LibraryWarnings.h"

#include <QStringList>

#include <dlfcn.h>


WarningGetter libraryWarningGetter() {
    return reinterpret_cast<WarningGetter>(dlsym(RTLD_DEFAULT, "Kav_GetWarning"));
}

QList<LibraryWarning> libraryWarnings(WarningGetter getter) {
    QList<LibraryWarning> warnings;
    for (const kav::format::Warning &w : kav::format::readWarnings(getter))
        warnings.append({w.port, QString::fromStdString(w.text)});
    return warnings;
}

QString configurationStatus(const QList<LibraryWarning> &warnings) {
    QStringList texts;
    for (const LibraryWarning &w : warnings)
        if (w.port == KAV_NO_PORT)
            texts << w.text;
    return texts.isEmpty() ? QString() : QStringLiteral("读卡器库配置有误: ") + texts.join("; ");
}

QString portWarnings(const QList<LibraryWarning> &warnings, const char *call, int port) {
    // The calls whose first argument is the port.
    static constexpr const char *kPortCalls[] = {
        "Kav_OpenPort",    "Kav_GetCOMBaud", "Kav_SetCOMBaud",      "Kav_SetMaxRFByte",
        "Kav_GetSAMStatus", "Kav_ResetSAM",  "Kav_GetSAMID",        "Kav_StartFindIDCard",
        "Kav_SelectIDCard", "Kav_ReadMsg"};
    bool takesPort = false;
    for (const char *c : kPortCalls)
        takesPort = takesPort || std::strcmp(c, call) == 0;
    QString text;
    for (const LibraryWarning &w : warnings)
        if (takesPort && port != KAV_NO_PORT && w.port == port)
            text += QStringLiteral("; 端口 %1: ").arg(port) + w.text;
    return text;
}
