// A real main dialog on the offscreen platform, with the fake reader
// library and a fake platform: no tone, no pause, no modal picker.
#pragma once

#include "EventLogModel.h"
#include "FakeReader.h"
#include "Platform.h"
#include "VelkartDlg.h"
#include "resource.h"

#include <QAbstractButton>
#include <QApplication>
#include <QInputMethodEvent>
#include <QLineEdit>
#include <QStringList>
#include <QTest>

#include <gtest/gtest.h>

#include <memory>
#include <ostream>
#include <string>
#include <vector>

// Readable failures for Qt strings.
inline void PrintTo(const QString &text, std::ostream *os) { *os << '"' << text.toStdString() << '"'; }

class FakePlatform : public Platform {
  public:
    void tone(int frequencyHz, int durationMs) override {
        fake::note("tone(" + std::to_string(frequencyHz) + "," + std::to_string(durationMs) + ")");
    }
    void pause(int durationMs) override { fake::note("pause(" + std::to_string(durationMs) + ")"); }
    void messageBox(QWidget *, const QString &text) override {
        fake::note("messageBox(" + text.toStdString() + ")");
    }
    FolderChoice chooseFolder(QWidget *, const QString &prompt) override {
        fake::note("chooseFolder(" + prompt.toStdString() + ")");
        return folderChoice;
    }
    QDateTime now() override { return clock; }

    FolderChoice folderChoice;
    QDateTime clock{QDate(2026, 12, 7), QTime(9, 30, 5)};
};

class DialogTest : public ::testing::Test {
  protected:
    void SetUp() override {
        fake::reset();
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

    static std::vector<std::string> calls() { return fake::journal(); }

    FakePlatform platform;
    std::unique_ptr<CVelkartDlg> dlg;
};

using Calls = std::vector<std::string>;
