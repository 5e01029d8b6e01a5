#include "DialogTemplate.h"

#include "Wide.h"

namespace {

// Popup with caption, system menu and modal frame; no minimise or
// maximise box. The font is the template's.
constexpr DWORD kDialogStyle = DS_MODALFRAME | DS_SETFONT | WS_POPUP | WS_CAPTION | WS_SYSMENU;
constexpr DWORD kChild = WS_CHILD | WS_VISIBLE;

void addText(std::vector<WORD> &out, const std::wstring &text) {
    out.insert(out.end(), text.begin(), text.end());
    out.push_back(0);
}

void addClassName(std::vector<WORD> &out, const wchar_t *name) {
    addText(out, name);
}

void alignToDword(std::vector<WORD> &out) {
    if (out.size() % 2 != 0)
        out.push_back(0);
}

void addDword(std::vector<WORD> &out, DWORD value) {
    out.push_back(LOWORD(value));
    out.push_back(HIWORD(value));
}

} // namespace

ControlClass controlClass(const res::ControlTemplate &control) {
    using K = res::ControlKind;
    switch (control.kind) {
    case K::PushButton:
        return {L"Button", kChild | WS_TABSTOP | BS_PUSHBUTTON};
    case K::DefPushButton:
        return {L"Button", kChild | WS_TABSTOP | BS_DEFPUSHBUTTON};
    case K::Edit:
        return {L"Edit", kChild | WS_TABSTOP | WS_BORDER | ES_AUTOHSCROLL};
    case K::Group:
        return {L"Button", kChild | BS_GROUPBOX};
    case K::Label:
        // The status line is one line, cut at its end rather than wrapped.
        return {L"Static",
                kChild | SS_NOPREFIX | (control.id == IDC_STATUS ? SS_LEFTNOWORDWRAP : SS_LEFT)};
    case K::ListView:
        // Owner-data: the dialog keeps the rows, the view asks for those it shows.
        return {WC_LISTVIEWW, kChild | WS_TABSTOP | WS_BORDER | LVS_REPORT | LVS_OWNERDATA};
    case K::Icon:
        return {L"Static", kChild | SS_ICON};
    }
    return {L"Static", kChild};
}

std::vector<WORD> buildDialogTemplate(const res::DialogTemplate &dialog, DWORD exStyle) {
    std::vector<WORD> out;
    addDword(out, kDialogStyle);
    addDword(out, exStyle);
    out.push_back(static_cast<WORD>(dialog.controls.size()));
    out.push_back(0); // x, y: centred by the owner's position
    out.push_back(0);
    out.push_back(static_cast<WORD>(dialog.w));
    out.push_back(static_cast<WORD>(dialog.h));
    out.push_back(0); // no menu
    out.push_back(0); // the dialog class
    addText(out, toWide(dialog.caption));
    out.push_back(static_cast<WORD>(dialog.fontPointSize));
    addText(out, toWide(dialog.fontFace));

    for (const res::ControlTemplate &control : dialog.controls) {
        alignToDword(out);
        const ControlClass kind = controlClass(control);
        addDword(out, kind.style);
        addDword(out, 0);
        out.push_back(static_cast<WORD>(control.x));
        out.push_back(static_cast<WORD>(control.y));
        out.push_back(static_cast<WORD>(control.w));
        out.push_back(static_cast<WORD>(control.h));
        out.push_back(static_cast<WORD>(control.id)); // IDC_STATIC is 0xFFFF
        addClassName(out, kind.className);
        if (control.kind == res::ControlKind::Icon) {
            out.push_back(0xFFFF); // the icon resource by number
            out.push_back(static_cast<WORD>(IDI_MAIN));
        } else {
            addText(out, toWide(control.text));
        }
        out.push_back(0); // no creation data
    }
    return out;
}
