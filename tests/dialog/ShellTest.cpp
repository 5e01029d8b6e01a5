// The window itself: its defaults, the event log, the keyboard, the about
// box and the number-entry rule.
#include "DialogFixture.h"

#include "AboutDlg.h"
#include "NumberEntry.h"

#include <QClipboard>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QTableView>
#include <QTimer>

#include <algorithm>
#include <climits>

TEST_F(DialogTest, StartsWithItsDefaults) {
    EXPECT_EQ(dlg->windowTitle(), "Velkart");
    EXPECT_EQ(edit(IDC_PORT)->text(), "1");
    EXPECT_EQ(edit(IDC_MAXRF)->text(), "80");
    EXPECT_EQ(edit(IDC_BAUD)->text(), "");
    EXPECT_FALSE(edit(IDC_BAUD)->isEnabled());
    EXPECT_FALSE(button(IDC_SET_BAUD)->isEnabled());
    EXPECT_EQ(dlg->log().rowCount(), 0);
    auto *view = qobject_cast<QTableView *>(dlg->GetDlgItem(IDC_LOG));
    ASSERT_NE(view, nullptr);
    EXPECT_EQ(view->model()->headerData(0, Qt::Horizontal).toString(), "发生时间");
    EXPECT_EQ(view->model()->headerData(1, Qt::Horizontal).toString(), "信息");
    EXPECT_EQ(view->horizontalHeader()->sectionSize(0), 140);
    EXPECT_EQ(view->horizontalHeader()->sectionSize(1), 550);
    EXPECT_TRUE(view->showGrid());
    EXPECT_EQ(view->selectionBehavior(), QAbstractItemView::SelectRows);
    EXPECT_EQ(view->selectionMode(), QAbstractItemView::ExtendedSelection);
    EXPECT_EQ(view->editTriggers(), QAbstractItemView::NoEditTriggers);
    EXPECT_FALSE(view->isSortingEnabled());
    EXPECT_EQ(QApplication::focusWidget(), button(IDCANCEL));
    EXPECT_FALSE(dlg->windowFlags() & Qt::WindowMinimizeButtonHint);
    EXPECT_FALSE(dlg->windowFlags() & Qt::WindowMaximizeButtonHint);
    edit(IDC_PORT)->setFocus();
    for (QPushButton *b : dlg->findChildren<QPushButton *>())
        EXPECT_FALSE(b->isDefault()) << b->text().toStdString();
    EXPECT_TRUE(calls().empty()) << "nothing talks to the reader at start";
}

TEST_F(DialogTest, TabOrderFollowsTheTemplate) {
    const int order[] = {IDCANCEL,        IDC_LOG,       IDC_PATH_ROOT, IDC_PATH_CURRENT,
                         IDC_PATH_CHOOSE, IDC_TYPE_BMP,  IDC_TYPE_JPEG, IDC_TYPE_BASE64,
                         IDC_NAME_TMP,    IDC_NAME_NAME, IDC_NAME_IDNO, IDC_NAME_BOTH,
                         IDC_FIND_READER, IDC_PORT,      IDC_MAXRF,     IDC_SET_MAXRF,
                         IDC_RESET_SAM,   IDC_SAM_ID,    IDC_READ_CARD, IDC_SAM_STATUS,
                         IDC_CLEAR_LOG};
    std::vector<QWidget *> chain;
    QWidget *w = dlg->GetDlgItem(IDCANCEL);
    do {
        if (w->focusPolicy() & Qt::TabFocus)
            chain.push_back(w);
        w = w->nextInFocusChain();
    } while (w != dlg->GetDlgItem(IDCANCEL) && chain.size() < 40);
    std::vector<QWidget *> expected;
    for (int id : order) {
        expected.push_back(dlg->GetDlgItem(id));
        if (id == IDC_SET_MAXRF) {
            expected.push_back(dlg->GetDlgItem(IDC_BAUD));
            expected.push_back(dlg->GetDlgItem(IDC_SET_BAUD));
        }
    }
    EXPECT_EQ(chain, expected);
}

TEST_F(DialogTest, EditBoxesAreNamedByTheirLabels) {
    EXPECT_EQ(edit(IDC_PORT)->accessibleName(), "端口号");
    EXPECT_EQ(edit(IDC_MAXRF)->accessibleName(), "设置最大通讯字节数(24~255)");
    EXPECT_EQ(edit(IDC_BAUD)->accessibleName(), "波特率");
}

TEST_F(DialogTest, LogPutsNewestFirstWithTheLocalTime) {
    dlg->AddLog("first");
    dlg->AddLog("second"); // the same second: two rows, the later above
    platform.clock = platform.clock.addSecs(61);
    dlg->AddLog("third");
    ASSERT_EQ(dlg->log().rowCount(), 3);
    EXPECT_EQ(messages(), (QStringList{"third", "second", "first"}));
    EXPECT_EQ(dlg->log().time(0), "2026-12-07 09:31:06");
    EXPECT_EQ(dlg->log().time(1), "2026-12-07 09:30:05");
    EXPECT_EQ(dlg->log().time(2), "2026-12-07 09:30:05");
}

TEST_F(DialogTest, ClearLogEmptiesTheLogAndLogsNothing) {
    click(IDC_CLEAR_LOG); // on an empty log
    EXPECT_EQ(dlg->log().rowCount(), 0);
    dlg->AddLog("a");
    dlg->AddLog("b");
    click(IDC_CLEAR_LOG);
    EXPECT_EQ(dlg->log().rowCount(), 0);
    dlg->AddLog("c");
    EXPECT_EQ(messages(), QStringList{"c"});
    EXPECT_TRUE(calls().empty());
}

TEST_F(DialogTest, LogKeepsEveryRow) {
    constexpr int kRows = 200000;
    for (int i = 0; i < kRows; ++i)
        dlg->AddLog(QString::number(i));
    ASSERT_EQ(dlg->log().rowCount(), kRows);
    EXPECT_EQ(dlg->log().message(0), QString::number(kRows - 1));
    EXPECT_EQ(dlg->log().message(kRows - 1), "0");
}

TEST_F(DialogTest, CtrlCCopiesSelectedRowsInTheOrderShown) {
    dlg->AddLog("oldest");
    dlg->AddLog("middle");
    dlg->AddLog("newest");
    QCoreApplication::processEvents(); // the view shows them
    auto *view = qobject_cast<QTableView *>(dlg->GetDlgItem(IDC_LOG));
    ASSERT_EQ(view->model()->rowCount(), 3);
    view->setFocus();
    view->selectionModel()->select(view->model()->index(2, 0),
                                   QItemSelectionModel::Select | QItemSelectionModel::Rows);
    view->selectionModel()->select(view->model()->index(0, 0),
                                   QItemSelectionModel::Select | QItemSelectionModel::Rows);
    QApplication::clipboard()->clear();
    QTest::keyClick(view, Qt::Key_C, Qt::ControlModifier);
    EXPECT_EQ(QApplication::clipboard()->text(),
              "2026-12-07 09:30:05\tnewest\n2026-12-07 09:30:05\toldest\n");
}

TEST_F(DialogTest, EnterInAnEditBoxKeepsTheDialogAndItsLog) {
    dlg->AddLog("keep me");
    for (int id : {IDC_PORT, IDC_MAXRF}) {
        edit(id)->setFocus();
        QTest::keyClick(edit(id), Qt::Key_Return);
        QTest::keyClick(edit(id), Qt::Key_Enter, Qt::KeypadModifier);
    }
    EXPECT_TRUE(dlg->isVisible());
    EXPECT_EQ(dlg->result(), 0);
    EXPECT_EQ(messages(), QStringList{"keep me"});
    EXPECT_TRUE(calls().empty()) << "Enter in an edit box presses no button";
}

TEST_F(DialogTest, EnterOnAFocusedButtonPressesIt) {
    button(IDC_TYPE_JPEG)->setFocus();
    QTest::keyClick(button(IDC_TYPE_JPEG), Qt::Key_Return);
    EXPECT_EQ(calls(), Calls{"Kav_SetPhotoType(1)"});
    EXPECT_TRUE(dlg->isVisible());
}

TEST_F(DialogTest, EscapeAndExitEndTheDialog) {
    QTest::keyClick(dlg.get(), Qt::Key_Escape);
    EXPECT_FALSE(dlg->isVisible());
    EXPECT_EQ(dlg->result(), QDialog::Rejected);
    dlg->show();
    click(IDCANCEL);
    EXPECT_FALSE(dlg->isVisible());
    EXPECT_EQ(dlg->result(), QDialog::Rejected);
}

TEST_F(DialogTest, ProgramIconHasBothSizes) {
    const QIcon icon = dlg->windowIcon();
    EXPECT_EQ(icon.pixmap(32, 32).size(), QSize(32, 32));
    EXPECT_EQ(icon.pixmap(16, 16).size(), QSize(16, 16));
    EXPECT_EQ(icon.availableSizes(), (QList<QSize>{QSize(32, 32), QSize(16, 16)}));
}

TEST_F(DialogTest, WindowMenuEndsWithASeparatorAndTheAboutEntry) {
    const QList<QAction *> actions = dlg->systemMenu()->actions();
    ASSERT_GE(actions.size(), 2);
    EXPECT_TRUE(actions.at(actions.size() - 2)->isSeparator());
    EXPECT_EQ(actions.last()->text(), "关于 Velkart(&A)...");
}

TEST_F(DialogTest, ShiftF10OnAButtonOpensTheWindowMenuAndItsAboutEntry) {
    QStringList shown;
    QTimer::singleShot(0, [&shown] {
        auto *menu = qobject_cast<QMenu *>(QApplication::activePopupWidget());
        if (menu == nullptr)
            return;
        for (QAction *a : menu->actions())
            shown << (a->isSeparator() ? QStringLiteral("--") : a->text());
        menu->close();
    });
    button(IDC_READ_CARD)->setFocus();
    QTest::keyClick(button(IDC_READ_CARD), Qt::Key_F10, Qt::ShiftModifier);
    EXPECT_EQ(shown.mid(shown.size() - 2), (QStringList{"--", "关于 Velkart(&A)..."}));
    EXPECT_TRUE(calls().empty()) << "the button was not pressed";
}

namespace {
// Runs on the about box once it is up: reads it, then closes it with key.
void inspectAndClose(QStringList &texts, QString &caption, QString &defaultButton, int key) {
    QTimer::singleShot(0, [&texts, &caption, &defaultButton, key] {
        auto *about = qobject_cast<CAboutDlg *>(QApplication::activeModalWidget());
        if (about == nullptr)
            return;
        caption = about->windowTitle();
        for (QLabel *label : about->findChildren<QLabel *>())
            if (!label->text().isEmpty())
                texts << label->text();
        for (QPushButton *b : about->findChildren<QPushButton *>())
            if (b->isDefault())
                defaultButton = b->text();
        QTest::keyClick(about, static_cast<Qt::Key>(key));
    });
}
} // namespace

TEST_F(DialogTest, AboutCommandOpensTheAboutBoxForItsSixteenIds) {
    for (unsigned id : {0x10u, 0x1Fu, 0x10010u}) {
        QStringList texts;
        QString caption, defaultButton;
        inspectAndClose(texts, caption, defaultButton, Qt::Key_Escape);
        dlg->OnSysCommand(id, 0);
        EXPECT_EQ(caption, "关于 Velkart") << id;
        EXPECT_EQ(texts, (QStringList{"Velkart 1.0 版", "版权所有 (C) 2009"})) << id;
        EXPECT_EQ(defaultButton, "确定") << id;
    }
    EXPECT_TRUE(dlg->isVisible());
    EXPECT_TRUE(messages().isEmpty());
}

TEST_F(DialogTest, OtherWindowCommandsOpenNoAboutBox) {
    bool opened = false;
    QTimer::singleShot(0, [&opened] {
        if (QWidget *w = QApplication::activeModalWidget(); qobject_cast<CAboutDlg *>(w)) {
            opened = true;
            w->close();
        }
    });
    dlg->OnSysCommand(0x20, 0);
    QCoreApplication::processEvents();
    EXPECT_FALSE(opened);
    EXPECT_TRUE(dlg->isVisible());
}

// ---- Number entry --------------------------------------------------------------

TEST(NumberEntry, ReadsLikeAtoiAndSaturatesBeyond32Bits) {
    struct Case {
        const char *text;
        int value;
    };
    const Case cases[] = {
        {"", 0},
        {"   ", 0},
        {"+", 0},
        {"-", 0},
        {"+-3", 0},
        {"42", 42},
        {"  42abc", 42},
        {"7:", 7}, // the characters on either side of the digits end the number
        {"3/", 3},
        {"\t\n\v\f\r7", 7},
        {"-15", -15},
        {"+15", 15},
        {"0x10", 0},
        {"1 2", 1},
        {"１２３", 0}, // full-width digits are no digits
        {"\u3000"
         "5",
         0}, // nor is an ideographic space white space
        {"端口", 0},
        {"2147483647", INT_MAX},
        {"2147483648", INT_MAX},
        {"99999999999999999999999", INT_MAX},
        {"-2147483648", INT_MIN},
        {"-2147483649", INT_MIN},
        {"-99999999999999999999999", INT_MIN},
        {"000000000000000000000012", 12},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(numberFromText(QString::fromUtf8(c.text)), c.value);
    }
}

// Whatever is typed into the three boxes, the library gets the number the
// number-entry rule makes of it.
TEST_F(DialogTest, TypedNumbersReachTheLibraryByTheNumberRule) {
    struct Case {
        int box;
        const char *typed;
        std::string call; // the first library call that carries the number
    };
    const Case cases[] = {
        {IDC_PORT, "", "Kav_OpenPort(0)"},
        {IDC_PORT, "   ", "Kav_OpenPort(0)"},
        {IDC_PORT, "+", "Kav_OpenPort(0)"},
        {IDC_PORT, "-", "Kav_OpenPort(0)"},
        {IDC_PORT, "  42abc", "Kav_OpenPort(42)"},
        {IDC_PORT, "-3", "Kav_OpenPort(-3)"},
        {IDC_PORT, "１２", "Kav_OpenPort(0)"},
        {IDC_PORT, "端口七", "Kav_OpenPort(0)"},
        {IDC_PORT, "4294967296", "Kav_OpenPort(2147483647)"},
        {IDC_PORT, "-99999999999", "Kav_OpenPort(-2147483648)"},
        {IDC_MAXRF, "", "Kav_SetMaxRFByte(1,0,0)"},
        {IDC_MAXRF, " 300", "Kav_SetMaxRFByte(1,300,0)"},
        {IDC_MAXRF, "-24", "Kav_SetMaxRFByte(1,-24,0)"},
        {IDC_MAXRF, "２５５", "Kav_SetMaxRFByte(1,0,0)"},
        {IDC_MAXRF, "12345678901234567890", "Kav_SetMaxRFByte(1,2147483647,0)"},
        {IDC_BAUD, "", "Kav_SetCOMBaud(1,9600,0)"},
        {IDC_BAUD, "57600bps", "Kav_SetCOMBaud(1,9600,57600)"},
        {IDC_BAUD, "+-9600", "Kav_SetCOMBaud(1,9600,0)"},
        {IDC_BAUD, "９６００", "Kav_SetCOMBaud(1,9600,0)"},
        {IDC_BAUD, "-99999999999", "Kav_SetCOMBaud(1,9600,-2147483648)"},
    };
    fake::script("Kav_FindReader", {1});
    fake::setBaud(9600);
    click(IDC_FIND_READER); // the baud box takes input once a serial reader is found
    for (const Case &c : cases) {
        SCOPED_TRACE(c.typed);
        type(IDC_PORT, "1");
        type(c.box, QString::fromUtf8(c.typed));
        fake::reset();
        fake::setBaud(9600);
        click(c.box == IDC_PORT    ? IDC_SAM_STATUS
              : c.box == IDC_MAXRF ? IDC_SET_MAXRF
                                   : IDC_SET_BAUD);
        const Calls journal = calls();
        EXPECT_NE(std::find(journal.begin(), journal.end(), c.call), journal.end());
    }
}
