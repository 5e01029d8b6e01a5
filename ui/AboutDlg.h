#pragma once

#include <QDialog>

// The about box: the program's icon, name and version, and a year line.
class CAboutDlg : public QDialog {
    Q_OBJECT
  public:
    explicit CAboutDlg(QWidget *parent = nullptr);
};
