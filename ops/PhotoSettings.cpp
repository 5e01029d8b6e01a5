// The photo folder, format and file-name buttons: settings the library keeps
// for the reads that follow.
#include "Gbk.h"
#include "KavIDCardAPI.h"
#include "Platform.h"
#include "VelkartDlg.h"
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
void CVelkartDlg::logPhotoSetting(int result, const QString &success, const char *failure) {
    const QString outcome = result == KAV_OK ? success : QString::fromUtf8(failure);
    AddLog(outcome + QString::asprintf(",nRet = %d", result));
}

void CVelkartDlg::OnPathRoot() {
    logPhotoSetting(check("Kav_SetPhotoPath", setPhotoPath(KAV_PHOTO_IN_ROOT)),
                    QStringLiteral("照片存放路径设置为 C:"), kPathFailure);
}

void CVelkartDlg::OnPathCurrent() {
    logPhotoSetting(check("Kav_SetPhotoPath", setPhotoPath(KAV_PHOTO_IN_CURRENT)),
                    QStringLiteral("照片存放路径设置为 当前路径"), kPathFailure);
}

void CVelkartDlg::OnPathChoose() {
    const FolderChoice choice =
        platform_.chooseFolder(this, QStringLiteral("请选择照片存放路径路径"));
    switch (choice.outcome) {
    case FolderChoice::Outcome::Unavailable:
        platform_.messageBox(this, QStringLiteral("选择下载目录操作出错"));
        return;
    case FolderChoice::Outcome::Cancelled:
        AddLog(QStringLiteral("没有选取路径！"));
        return;
    case FolderChoice::Outcome::NotFileSystem:
        AddLog(QStringLiteral("选取路径失败！"));
        return;
    case FolderChoice::Outcome::Chosen:
        break;
    }
    // The library gets the path exactly or not at all: one GBK cannot hold,
    // or too long for the library's buffer, is no usable folder. Whether
    // the folder itself is usable (its length with a photo's name in it,
    // for one) the library decides and answers.
    const std::optional<QByteArray> path = gbk::fromQString(choice.path);
    if (!path || path->isEmpty() || path->size() >= KAV_PATH_BUFFER_SIZE || path->contains('\0')) {
        AddLog(QStringLiteral("选取路径失败！"));
        return;
    }
    char buffer[KAV_PATH_BUFFER_SIZE] = {};
    std::memcpy(buffer, path->constData(), static_cast<std::size_t>(path->size()));
    logPhotoSetting(check("Kav_SetPhotoPath", Kav_SetPhotoPath(KAV_PHOTO_IN_FOLDER, buffer)),
                    QStringLiteral("照片存放路径设置为 ") + choice.path, kPathFailure);
}

void CVelkartDlg::OnTypeBmp() {
    logPhotoSetting(check("Kav_SetPhotoType", Kav_SetPhotoType(KAV_PHOTO_BMP)),
                    QStringLiteral("照片保存格式设置为 Bmp"), kTypeFailure);
}

void CVelkartDlg::OnTypeJpeg() {
    logPhotoSetting(check("Kav_SetPhotoType", Kav_SetPhotoType(KAV_PHOTO_JPEG)),
                    QStringLiteral("照片保存格式设置为 Jpeg"), kTypeFailure);
}

void CVelkartDlg::OnTypeBase64() {
    logPhotoSetting(check("Kav_SetPhotoType", Kav_SetPhotoType(KAV_PHOTO_BASE64)),
                    QStringLiteral("照片保存格式设置为 Base64"), kTypeFailure);
}

void CVelkartDlg::OnNameTmp() {
    logPhotoSetting(check("Kav_SetPhotoName", Kav_SetPhotoName(KAV_PHOTO_NAME_TMP)),
                    QStringLiteral("照片保存文件名格式设置为 tmp"), kNameFailure);
}

void CVelkartDlg::OnNameName() {
    logPhotoSetting(check("Kav_SetPhotoName", Kav_SetPhotoName(KAV_PHOTO_NAME_HOLDER)),
                    QStringLiteral("照片保存文件名格式设置为 姓名"), kNameFailure);
}

void CVelkartDlg::OnNameIdNo() {
    logPhotoSetting(check("Kav_SetPhotoName", Kav_SetPhotoName(KAV_PHOTO_NAME_ID)),
                    QStringLiteral("照片保存文件名格式设置为 身份证号"), kNameFailure);
}

void CVelkartDlg::OnNameBoth() {
    logPhotoSetting(check("Kav_SetPhotoName", Kav_SetPhotoName(KAV_PHOTO_NAME_BOTH)),
                    QStringLiteral("照片保存文件名格式设置为 姓名_身份证号"), kNameFailure);
}
