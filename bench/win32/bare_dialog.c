/* The start-up reference: a bare modal dialog from an in-memory template
 * (caption, 宋体 9 pt, one button), the least a Win32 dialog program does. */
#include <windows.h>

static INT_PTR CALLBACK proc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    (void)lParam;
    if (message == WM_INITDIALOG)
        return TRUE;
    if (message == WM_COMMAND && LOWORD(wParam) == IDCANCEL) {
        EndDialog(window, IDCANCEL);
        return TRUE;
    }
    return FALSE;
}

/* Writes a string with its terminator; the next word. */
static WORD *text(WORD *at, const wchar_t *s) {
    do
        *at++ = (WORD)*s;
    while (*s++ != 0);
    return at;
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR line, int show) {
    static DWORD buffer[256];
    DLGTEMPLATE *dialog = (DLGTEMPLATE *)buffer;
    DLGITEMTEMPLATE *item;
    WORD *at;
    (void)previous;
    (void)line;
    (void)show;
    dialog->style = DS_SETFONT | DS_MODALFRAME | WS_POPUP | WS_CAPTION | WS_SYSMENU;
    dialog->cdit = 1;
    dialog->cx = 200;
    dialog->cy = 80;
    at = (WORD *)(dialog + 1);
    *at++ = 0; /* no menu */
    *at++ = 0; /* the dialog class */
    at = text(at, L"Bare");
    *at++ = 9;
    at = text(at, L"宋体");
    at = (WORD *)(((ULONG_PTR)at + 3) & ~(ULONG_PTR)3);
    item = (DLGITEMTEMPLATE *)at;
    item->style = WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_PUSHBUTTON;
    item->x = 70;
    item->y = 50;
    item->cx = 60;
    item->cy = 14;
    item->id = IDCANCEL;
    at = (WORD *)(item + 1);
    *at++ = 0xFFFF;
    *at++ = 0x0080; /* button */
    at = text(at, L"Close");
    *at++ = 0; /* no creation data */
    return (int)DialogBoxIndirectParamW(instance, dialog, NULL, proc, 0);
}
