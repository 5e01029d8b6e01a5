#include "StatusText.h"

#include "Text.h"

#include <cstring>

std::string configurationStatusText(const LibraryWarningList &warnings) {
    std::string texts;
    for (const kav::host::Warning &w : warnings)
        if (w.port == KAV_NO_PORT)
            texts += (texts.empty() ? "" : "; ") + w.text;
    return texts.empty() ? std::string() : "读卡器库配置有误: " + texts;
}

std::string startUpStatusText(const std::string &versionProblem,
                              const LibraryWarningList &warnings) {
    const std::string configuration = configurationStatusText(warnings);
    if (versionProblem.empty() || configuration.empty())
        return versionProblem + configuration;
    return versionProblem + "; " + configuration;
}

std::string portWarningsText(const LibraryWarningList &warnings, const char *call, int port) {
    // The calls whose first argument is the port.
    static constexpr const char *kPortCalls[] = {
        "Kav_OpenPort",     "Kav_GetCOMBaud", "Kav_SetCOMBaud", "Kav_SetMaxRFByte",
        "Kav_GetSAMStatus", "Kav_ResetSAM",   "Kav_GetSAMID",   "Kav_StartFindIDCard",
        "Kav_SelectIDCard", "Kav_ReadMsg"};
    bool takesPort = false;
    for (const char *c : kPortCalls)
        takesPort = takesPort || std::strcmp(c, call) == 0;
    std::string text;
    for (const kav::host::Warning &w : warnings)
        if (takesPort && port != KAV_NO_PORT && w.port == port)
            text += textf("; 端口 %d: ", port) + w.text;
    return text;
}
