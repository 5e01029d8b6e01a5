#include "DialogCore.h"
#include "resource.h"

#include <algorithm>
#include <iterator>

namespace {

constexpr DialogCore::Route kMessageMap[] = {
    {IDC_PATH_ROOT, &DialogCore::OnPathRoot},     {IDC_PATH_CURRENT, &DialogCore::OnPathCurrent},
    {IDC_PATH_CHOOSE, &DialogCore::OnPathChoose}, {IDC_TYPE_BMP, &DialogCore::OnTypeBmp},
    {IDC_TYPE_JPEG, &DialogCore::OnTypeJpeg},     {IDC_TYPE_BASE64, &DialogCore::OnTypeBase64},
    {IDC_NAME_TMP, &DialogCore::OnNameTmp},       {IDC_NAME_NAME, &DialogCore::OnNameName},
    {IDC_NAME_IDNO, &DialogCore::OnNameIdNo},     {IDC_NAME_BOTH, &DialogCore::OnNameBoth},
    {IDC_FIND_READER, &DialogCore::OnFindReader}, {IDC_SET_MAXRF, &DialogCore::OnSetMaxRF},
    {IDC_SET_BAUD, &DialogCore::OnSetBaud},       {IDC_RESET_SAM, &DialogCore::OnResetSAM},
    {IDC_SAM_ID, &DialogCore::OnGetSAMID},        {IDC_SAM_STATUS, &DialogCore::OnGetSAMStatus},
    {IDC_READ_CARD, &DialogCore::OnReadCard},     {IDC_CLEAR_LOG, &DialogCore::OnClearLog},
};

} // namespace

std::span<const DialogCore::Route> DialogCore::messageMap() {
    return kMessageMap;
}

DialogCore::Handler DialogCore::routeFor(int id) {
    const auto route = std::find_if(std::begin(kMessageMap), std::end(kMessageMap),
                                    [id](const Route &r) { return r.id == id; });
    return route != std::end(kMessageMap) ? route->handler : nullptr;
}
