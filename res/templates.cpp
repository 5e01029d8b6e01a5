#include "templates.h"

#include "resource.h"

namespace res {
namespace {

using K = ControlKind;

constexpr ControlTemplate kMainControls[] = {
    {IDCANCEL, "IDCANCEL", K::PushButton, "退出", 402, 292, 76, 15},
    {IDC_LOG, "IDC_LOG", K::ListView, "", 7, 7, 473, 184},
    {IDC_STATIC, "", K::Group, "照片存放路径设置", 196, 202, 93, 85},
    {IDC_PATH_ROOT, "IDC_PATH_ROOT", K::PushButton, "存在C盘根目录", 206, 214, 76, 16},
    {IDC_PATH_CURRENT, "IDC_PATH_CURRENT", K::PushButton, "存在当前路径", 206, 237, 76, 16},
    {IDC_PATH_CHOOSE, "IDC_PATH_CHOOSE", K::PushButton, "存在选定路径", 206, 260, 76, 16},
    {IDC_STATIC, "", K::Group, "照片保存格式", 294, 202, 92, 85},
    {IDC_TYPE_BMP, "IDC_TYPE_BMP", K::PushButton, "存为Bmp格式", 304, 214, 76, 16},
    {IDC_TYPE_JPEG, "IDC_TYPE_JPEG", K::PushButton, "存为Jpeg格式", 304, 237, 76, 16},
    {IDC_TYPE_BASE64, "IDC_TYPE_BASE64", K::PushButton, "存为Base64格式", 304, 260, 76, 16},
    {IDC_STATIC, "", K::Group, "照片文件名格式", 388, 201, 92, 85},
    {IDC_NAME_TMP, "IDC_NAME_TMP", K::PushButton, "tmp", 397, 211, 76, 16},
    {IDC_NAME_NAME, "IDC_NAME_NAME", K::PushButton, "姓名", 397, 229, 76, 16},
    {IDC_NAME_IDNO, "IDC_NAME_IDNO", K::PushButton, "身份证号", 397, 247, 76, 16},
    {IDC_NAME_BOTH, "IDC_NAME_BOTH", K::PushButton, "姓名_身份证号", 397, 265, 76, 16},
    {IDC_STATIC, "", K::Group, "SAM设置函数", 7, 201, 184, 85},
    {IDC_FIND_READER, "IDC_FIND_READER", K::PushButton, "自动寻找读卡器", 113, 214, 69, 15},
    {IDC_PORT, "IDC_PORT", K::Edit, "", 76, 215, 32, 13},
    {IDC_STATIC, "", K::Label, "端口号：", 37, 218, 33, 8},
    {IDC_STATIC, "", K::Label, "设置最大通讯字节数(24~255)：", 14, 237, 56, 17},
    {IDC_MAXRF, "IDC_MAXRF", K::Edit, "", 76, 237, 32, 14},
    {IDC_SET_MAXRF, "IDC_SET_MAXRF", K::PushButton, "最大通讯字节数", 113, 237, 70, 15},
    {IDC_STATIC, "", K::Label, "波特率：", 37, 263, 33, 10},
    {IDC_BAUD, "IDC_BAUD", K::Edit, "", 76, 259, 32, 13},
    {IDC_SET_BAUD, "IDC_SET_BAUD", K::PushButton, "设置通讯波特率", 113, 260, 70, 15},
    {IDC_RESET_SAM, "IDC_RESET_SAM", K::PushButton, "复位SAM(慎用)", 7, 292, 76, 15},
    {IDC_SAM_ID, "IDC_SAM_ID", K::PushButton, "获得SAM序列号", 165, 292, 76, 15},
    {IDC_READ_CARD, "IDC_READ_CARD", K::PushButton, "使用结构体返回信息", 244, 292, 76, 15},
    {IDC_SAM_STATUS, "IDC_SAM_STATUS", K::PushButton, "获得SAM状态", 86, 292, 76, 15},
    {IDC_CLEAR_LOG, "IDC_CLEAR_LOG", K::PushButton, "清除所有信息", 323, 292, 76, 15},
    {IDC_STATUS, "IDC_STATUS", K::Label, "", 7, 313, 473, 10},
};

constexpr ControlTemplate kAboutControls[] = {
    {IDI_MAIN, "IDI_MAIN", K::Icon, "", 11, 17, 20, 20},
    {IDC_STATIC, "", K::Label, "Velkart 1.0 版", 40, 10, 119, 8},
    {IDC_STATIC, "", K::Label, "版权所有 (C) 2009", 40, 25, 119, 8},
    {IDOK, "IDOK", K::DefPushButton, "确定", 178, 7, 50, 14},
};

const DialogTemplate kMain{IDD_MAIN, "Velkart", 487, 335, "宋体", 9, kMainControls};
const DialogTemplate kAbout{IDD_ABOUTBOX, "关于 Velkart", 235, 55, "宋体", 9, kAboutControls};

} // namespace

const DialogTemplate &mainDialog() {
    return kMain;
}
const DialogTemplate &aboutDialog() {
    return kAbout;
}

const char *loadString(int id) {
    switch (id) {
    case IDS_ABOUT_MENU:
        return "关于 Velkart(&A)...";
    default:
        return "";
    }
}

} // namespace res
