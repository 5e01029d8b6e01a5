// Turns a dialog template into widgets: the dialog's caption, font and
// size, and every control at its place, in template order (the tab order).
#pragma once

#include "templates.h"

#include <QFont>
#include <QHash>
#include <QRect>

class QDialog;
class QWidget;

// The template font, or the nearest installed Song-style CJK face.
QFont templateFont(const res::DialogTemplate &dialogTemplate);

// Dialog units to pixels with the font's base units, as the window system
// maps dialog rectangles.
class DialogUnits {
  public:
    explicit DialogUnits(const QFont &font);
    QRect toPixels(int x, int y, int w, int h) const;

  private:
    int baseX_;
    int baseY_;
};

// Creates the controls as children of dialog and returns them by id
// (statics are left out, having no id of their own).
QHash<int, QWidget *> buildDialog(QDialog &dialog, const res::DialogTemplate &dialogTemplate);
