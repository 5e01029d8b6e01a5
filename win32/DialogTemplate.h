// The dialogs' templates (res/templates.h) as the in-memory dialog
// templates the window system builds a dialog from, so that Windows and
// Linux lay out the same controls from the same table.
#pragma once

#include "templates.h"

#include "System.h"

#include <vector>

// Classes and styles of a control kind, as the template gives them.
struct ControlClass {
    const wchar_t *className; // a predefined class by name
    DWORD style;
};
ControlClass controlClass(const res::ControlTemplate &control);

// The template in DLGTEMPLATE form (DWORD-aligned words), ready for
// DialogBoxIndirectParamW; exStyle adds to the dialog's extended styles.
std::vector<WORD> buildDialogTemplate(const res::DialogTemplate &dialog, DWORD exStyle);
