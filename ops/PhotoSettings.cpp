// The photo folder, format and file-name buttons: settings the library keeps
// for the reads that follow.
#include "DialogCore.h"
#include "KavIDCardAPI.h"
#include "Text.h"
#include "codepage936.h"
#include "resource.h"

#include <cstring>

namespace {

constexpr int kEmptyPathSize = 256;

const char *const kPathFailure = "照片存放路径设置错误";
const char *const kTypeFailure = "照片保存格式设置失败";
const char *const kNameFailure = "照片保存文件名格式设置失败";

int setPhotoPath(int option) {
    const char emptyPath[kEmptyPathSize] = {};
    return Kav_SetPhotoPath(option, emptyPath);
}

} // namespace

// Every photo setting logs its outcome with the library's result code.
void DialogCore::logPhotoSetting(int result, const std::string &success, const char *failure) {
    const std::string outcome = result == KAV_OK ? success : std::string(failure);
    AddLog(outcome + textf(",nRet = %d", result));
}

void DialogCore::OnPathRoot() {
    logPhotoSetting(check("Kav_SetPhotoPath", setPhotoPath(KAV_PHOTO_IN_ROOT)),
                    "照片存放路径设置为 C:", kPathFailure);
}

void DialogCore::OnPathCurrent() {
    logPhotoSetting(check("Kav_SetPhotoPath", setPhotoPath(KAV_PHOTO_IN_CURRENT)),
                    "照片存放路径设置为 当前路径", kPathFailure);
}

void DialogCore::OnPathChoose() {
    const FolderPick choice = frontEnd_.chooseFolder("请选择照片存放路径路径");
    switch (choice.outcome) {
    case FolderPick::Outcome::Unavailable:
        frontEnd_.messageBox("选择下载目录操作出错");
        return;
    case FolderPick::Outcome::Cancelled:
        AddLog("没有选取路径！");
        return;
    case FolderPick::Outcome::NotFileSystem:
        AddLog("选取路径失败！");
        return;
    case FolderPick::Outcome::Chosen:
        break;
    }
    // The library gets the path exactly or not at all: one GBK cannot hold,
    // or too long for the library's buffer, is no usable folder. Whether
    // the folder itself is usable (its length with a photo's name in it,
    // for one) the library decides and answers.
    const std::optional<std::string> path =
        choice.path ? kav::cp936::fromUtf8(*choice.path) : std::nullopt;
    if (!path || path->empty() || path->size() >= KAV_PATH_BUFFER_SIZE ||
        path->find('\0') != std::string::npos) {
        AddLog("选取路径失败！");
        return;
    }
    char buffer[KAV_PATH_BUFFER_SIZE] = {};
    std::memcpy(buffer, path->data(), path->size());
    logPhotoSetting(check("Kav_SetPhotoPath", Kav_SetPhotoPath(KAV_PHOTO_IN_FOLDER, buffer)),
                    "照片存放路径设置为 " + *choice.path, kPathFailure);
}

void DialogCore::OnTypeBmp() {
    logPhotoSetting(check("Kav_SetPhotoType", Kav_SetPhotoType(KAV_PHOTO_BMP)),
                    "照片保存格式设置为 Bmp", kTypeFailure);
}

void DialogCore::OnTypeJpeg() {
    logPhotoSetting(check("Kav_SetPhotoType", Kav_SetPhotoType(KAV_PHOTO_JPEG)),
                    "照片保存格式设置为 Jpeg", kTypeFailure);
}

void DialogCore::OnTypeBase64() {
    logPhotoSetting(check("Kav_SetPhotoType", Kav_SetPhotoType(KAV_PHOTO_BASE64)),
                    "照片保存格式设置为 Base64", kTypeFailure);
}

void DialogCore::OnNameTmp() {
    logPhotoSetting(check("Kav_SetPhotoName", Kav_SetPhotoName(KAV_PHOTO_NAME_TMP)),
                    "照片保存文件名格式设置为 tmp", kNameFailure);
}

void DialogCore::OnNameName() {
    logPhotoSetting(check("Kav_SetPhotoName", Kav_SetPhotoName(KAV_PHOTO_NAME_HOLDER)),
                    "照片保存文件名格式设置为 姓名", kNameFailure);
}

void DialogCore::OnNameIdNo() {
    logPhotoSetting(check("Kav_SetPhotoName", Kav_SetPhotoName(KAV_PHOTO_NAME_ID)),
                    "照片保存文件名格式设置为 身份证号", kNameFailure);
}

void DialogCore::OnNameBoth() {
    logPhotoSetting(check("Kav_SetPhotoName", Kav_SetPhotoName(KAV_PHOTO_NAME_BOTH)),
                    "照片保存文件名格式设置为 姓名_身份证号", kNameFailure);
}
