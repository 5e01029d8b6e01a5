#include "AboutDlg.h"

#include "DialogBuilder.h"
#include "ProgramIcon.h"
#include "resource.h"

#include <QAbstractButton>
#include <QLabel>

CAboutDlg::CAboutDlg(QWidget *parent) : QDialog(parent) {
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    const QHash<int, QWidget *> items = buildDialog(*this, res::aboutDialog());
    if (auto *icon = qobject_cast<QLabel *>(items.value(IDI_MAIN))) {
        icon->setPixmap(programIcon().pixmap(32, 32));
        icon->resize(icon->size().expandedTo(QSize(32, 32))); // icons keep their size
    }
    if (QWidget *ok = items.value(IDOK))
        connect(static_cast<QAbstractButton *>(ok), &QAbstractButton::clicked, this,
                &QDialog::accept);
}
