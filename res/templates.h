// Dialog templates as data: controls in creation order, which is the tab
// order, with positions in dialog units.
#pragma once

#include <span>

namespace res {

enum class ControlKind { PushButton, DefPushButton, Edit, Group, Label, ListView, Icon };

struct ControlTemplate {
    int id;
    const char *name; // the identifier's name, for UI automation; empty for statics
    ControlKind kind;
    const char *text; // UTF-8
    int x, y, w, h;
};

struct DialogTemplate {
    int id;
    const char *caption;
    int w, h;
    const char *fontFace;
    int fontPointSize;
    std::span<const ControlTemplate> controls;
};

const DialogTemplate &mainDialog();
const DialogTemplate &aboutDialog();

// The string table.
const char *loadString(int id);

} // namespace res
