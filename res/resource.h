// Resource and control identifiers, with the numeric values the dialog
// templates, the routing table and the tests share.
#pragma once

enum ResourceId : int {
    IDD_ABOUTBOX = 100,
    IDS_ABOUT_MENU = 101,
    IDD_MAIN = 102,
    IDI_MAIN = 128,
};

enum ControlId : int {
    IDOK = 1,
    IDCANCEL = 2,
    IDC_LOG = 1000,
    IDC_PATH_ROOT = 1001,
    IDC_PATH_CURRENT = 1002,
    IDC_PATH_CHOOSE = 1003,
    IDC_TYPE_BMP = 1004,
    IDC_TYPE_JPEG = 1005,
    IDC_TYPE_BASE64 = 1006,
    IDC_NAME_TMP = 1007,
    IDC_NAME_NAME = 1008,
    IDC_NAME_IDNO = 1009,
    IDC_NAME_BOTH = 1010,
    IDC_FIND_READER = 1011,
    IDC_PORT = 1012,
    IDC_MAXRF = 1013,
    IDC_SET_MAXRF = 1014,
    IDC_BAUD = 1015,
    IDC_SET_BAUD = 1016,
    IDC_RESET_SAM = 1017,
    IDC_SAM_ID = 1018,
    IDC_READ_CARD = 1019,
    IDC_SAM_STATUS = 1021,
    IDC_CLEAR_LOG = 1022,
    IDC_STATUS = 1023,
    IDC_STATIC = -1, // groups, labels and icons no code refers to
};

// System command of the about entry; the low four bits are the window
// system's own and are ignored when matching.
constexpr unsigned IDM_ABOUT = 0x0010;
// The frame monitor's and the log's save entries: the Win32 dialog and the
// test that drives it from another process post them as system commands.
// Multiples of 16 below the window system's own (0xF000 and up).
constexpr unsigned IDM_FRAME_MONITOR = 0x0020;
constexpr unsigned IDM_SAVE_LOG = 0x0030;
constexpr unsigned SC_CLOSE = 0xF060;
