#include "DialogBuilder.h"

#include "resource.h"

#include <QApplication>
#include <QDialog>
#include <QFontDatabase>
#include <QFontInfo>
#include <QFontMetrics>
#include <QGroupBox>
#include <QHeaderView>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTableView>

#include <cmath>

QFont templateFont(const res::DialogTemplate &dialogTemplate) {
    // The template's face first, then Song-style faces that Linux has. Only
    // the installed ones are named: each missing one would cost the font
    // database an alias lookup through fontconfig at start-up.
    const QStringList wanted = {QString::fromUtf8(dialogTemplate.fontFace),
                                QStringLiteral("SimSun"),
                                QStringLiteral("NSimSun"),
                                QStringLiteral("AR PL UMing CN"),
                                QStringLiteral("AR PL SungtiL GB"),
                                QStringLiteral("Noto Serif CJK SC"),
                                QStringLiteral("WenQuanYi Zen Hei"),
                                QStringLiteral("WenQuanYi Micro Hei")};
    const QStringList installed = QFontDatabase::families();
    QStringList families;
    for (const QString &family : wanted) {
        if (installed.contains(family, Qt::CaseInsensitive))
            families.append(family);
    }
    QFont font;
    font.setFamilies(families.isEmpty() ? wanted : families);
    font.setPointSize(dialogTemplate.fontPointSize);
    return font;
}

DialogUnits::DialogUnits(const QFont &font) {
    const QFontMetrics metrics(font);
    // The average width of the Latin letters, rounded, and the line height.
    const int letters = metrics.horizontalAdvance(
        QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    baseX_ = std::max(1, (letters / 26 + 1) / 2);
    baseY_ = std::max(1, metrics.height());
}

QRect DialogUnits::toPixels(int x, int y, int w, int h) const {
    auto mul = [](int value, int base, int div) {
        return static_cast<int>(std::lround(static_cast<double>(value) * base / div));
    };
    return {mul(x, baseX_, 4), mul(y, baseY_, 8), mul(w, baseX_, 4), mul(h, baseY_, 8)};
}

namespace {

using res::ControlKind;

QWidget *createControl(QDialog &dialog, const res::ControlTemplate &control) {
    const QString text = QString::fromUtf8(control.text);
    switch (control.kind) {
    case ControlKind::PushButton:
    case ControlKind::DefPushButton: {
        auto *button = new QPushButton(text, &dialog);
        // Only a template's default button takes Enter from other controls;
        // a dialog would otherwise make its first button the default when
        // shown. Enter on a focused button is the dialog's to handle.
        button->setAutoDefault(false);
        button->setDefault(control.kind == ControlKind::DefPushButton);
        return button;
    }
    case ControlKind::Edit: {
        auto *edit = new QLineEdit(&dialog);
        edit->setText(text);
        return edit;
    }
    case ControlKind::Group: {
        // The caption sits on the frame's top line, and the frame fills the
        // template rectangle, so the controls inside keep their places.
        auto *group = new QGroupBox(text, &dialog);
        group->setStyleSheet(QStringLiteral(
            "QGroupBox { border: 1px solid palette(mid); border-radius: 2px; margin-top: 0.5em; }"
            "QGroupBox::title { subcontrol-origin: margin; subcontrol-position: top left;"
            " left: 6px; padding: 0 2px; }"));
        return group;
    }
    case ControlKind::Label: {
        auto *label = new QLabel(text, &dialog);
        label->setTextFormat(Qt::PlainText);
        label->setWordWrap(true);
        label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
        return label;
    }
    case ControlKind::Icon: {
        auto *label = new QLabel(&dialog);
        label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
        return label;
    }
    case ControlKind::ListView: {
        auto *view = new QTableView(&dialog);
        view->setFrameShape(QFrame::StyledPanel);
        return view;
    }
    }
    return nullptr;
}

// A label names the edit box beside it on its right, as a screen reader
// would expect from the window's layout.
void nameEditsByTheirLabels(const res::DialogTemplate &dialogTemplate,
                            const QHash<int, QWidget *> &items,
                            const QList<QPair<const res::ControlTemplate *, QLabel *>> &labels) {
    for (const auto &[labelTemplate, label] : labels) {
        for (const res::ControlTemplate &control : dialogTemplate.controls) {
            if (control.kind != ControlKind::Edit)
                continue;
            const bool besideRight = labelTemplate->x + labelTemplate->w <= control.x;
            const bool sameRow = labelTemplate->y < control.y + control.h &&
                                 control.y < labelTemplate->y + labelTemplate->h;
            if (!besideRight || !sameRow)
                continue;
            QString name = label->text();
            while (name.endsWith(u'：') || name.endsWith(u':'))
                name.chop(1);
            QWidget *edit = items.value(control.id);
            edit->setAccessibleName(name);
            label->setBuddy(edit);
        }
    }
}

} // namespace

QHash<int, QWidget *> buildDialog(QDialog &dialog, const res::DialogTemplate &dialogTemplate) {
    const QFont font = templateFont(dialogTemplate);
    dialog.setFont(font);
    dialog.setWindowTitle(QString::fromUtf8(dialogTemplate.caption));
    const DialogUnits units(font);
    const QRect client = units.toPixels(0, 0, dialogTemplate.w, dialogTemplate.h);
    dialog.setFixedSize(client.size());

    QHash<int, QWidget *> items;
    QList<QPair<const res::ControlTemplate *, QLabel *>> labels;
    QWidget *previousTabStop = nullptr;
    for (const res::ControlTemplate &control : dialogTemplate.controls) {
        QWidget *widget = createControl(dialog, control);
        widget->setGeometry(units.toPixels(control.x, control.y, control.w, control.h));
        if (*control.name != '\0')
            widget->setObjectName(QString::fromLatin1(control.name));
        if (control.id != IDC_STATIC)
            items.insert(control.id, widget);
        if (control.kind == ControlKind::Label)
            labels.append({&control, static_cast<QLabel *>(widget)});
        if (widget->focusPolicy() & Qt::TabFocus) {
            if (previousTabStop != nullptr)
                QWidget::setTabOrder(previousTabStop, widget);
            previousTabStop = widget;
        }
    }
    nameEditsByTheirLabels(dialogTemplate, items, labels);
    return items;
}
