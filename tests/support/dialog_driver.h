// Drives a real main dialog on the offscreen platform as a user would:
// click, type, read the log. The platform is the fake one: no tone, no
// pause, no modal picker.
#pragma once

#include "EventLogModel.h"
#include "VelkartDlg.h"
#include "fake_platform.h"
#include "resource.h"

#include <QAbstractButton>
#include <QApplication>
#include <QInputMethodEvent>
#include <QLineEdit>
#include <QStringList>
#include <QTest>

#include <gtest/gtest.h>

#include <memory>

class DialogDriver : public ::testing::Test {
  protected:
    void SetUp() override {
        dlg = std::make_unique<CVelkartDlg>(platform);
        dlg->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(dlg.get()));
    }

    void TearDown() override {
        dlg.reset();
        EXPECT_TRUE(QApplication::topLevelWidgets().isEmpty()) << "a window was left open";
    }

    QAbstractButton *button(int id) const {
        return qobject_cast<QAbstractButton *>(dlg->GetDlgItem(id));
    }
    QLineEdit *edit(int id) const { return qobject_cast<QLineEdit *>(dlg->GetDlgItem(id)); }

    void click(int id) { QTest::mouseClick(button(id), Qt::LeftButton); }

    // Types into an edit box as a user would, replacing what it held; text
    // beyond ASCII arrives as an input method commits it.
    void type(int id, const QString &text) {
        QLineEdit *box = edit(id);
        box->setFocus();
        box->selectAll();
        QTest::keyClick(box, Qt::Key_Backspace);
        for (QChar c : text) {
            if (c.unicode() > 0x20 && c.unicode() < 0x7F) {
                QTest::keyClick(box, c.toLatin1());
            } else {
                QInputMethodEvent commit;
                commit.setCommitString(QString(c));
                QCoreApplication::sendEvent(box, &commit);
            }
        }
        ASSERT_EQ(box->text(), text);
    }

    // The log's messages as shown, top to bottom.
    QStringList messages() const {
        QStringList out;
        for (int row = 0; row < dlg->log().rowCount(); ++row)
            out << dlg->log().message(row);
        return out;
    }

    FakePlatform platform;
    std::unique_ptr<CVelkartDlg> dlg;
};
