// The references for the start-up figure: a bare QDialog program, and with
// --label the same dialog holding one line of Chinese text in the dialog
// font's face, the least a window that shows any text pays for its fonts.
#include <QApplication>
#include <QDialog>
#include <QLabel>

#include <cstring>

int main(int argc, char *argv[]) {
    QApplication application(argc, argv);
    QDialog dialog;
    if (argc > 1 && std::strcmp(argv[1], "--label") == 0) {
        QFont font;
        font.setFamilies({QStringLiteral("AR PL UMing CN")});
        font.setPointSize(9);
        dialog.setFont(font);
        new QLabel(QStringLiteral("自动寻找读卡器"), &dialog);
    }
    dialog.exec();
    return 0;
}
