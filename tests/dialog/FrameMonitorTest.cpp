// The frame monitor against a stand-in for the library's trace export: what
// it registers and when, rows from the library's threads, the bounded ring,
// pause, save and copy, and the columns of each kind of event.
#include "FrameMonitor.h"
#include "TraceColumns.h"
#include "capture/capture.h"
#include "fake_platform.h"

#include <QApplication>
#include <QClipboard>
#include <QDateTime>
#include <QFile>
#include <QImage>
#include <QPushButton>
#include <QScrollBar>
#include <QStyledItemDelegate>
#include <QTableView>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

#include <memory>
#include <thread>
#include <vector>

namespace {

// The library's side: the callback the monitor set, and every change.
struct TraceExport {
    static inline KavTraceCallback callback = nullptr;
    static inline void *context = nullptr;
    static inline std::vector<bool> changes; // true: set, false: removed

    static int KAV_CALL set(KavTraceCallback cb, void *ctx) {
        callback = cb;
        context = ctx;
        changes.push_back(cb != nullptr);
        return KAV_OK;
    }
    static void send(int kind, std::vector<unsigned char> bytes, const char *text,
                     long long timeMs = 0, std::size_t count = 0) {
        KavTraceEvent event{};
        event.kind = kind;
        event.timeMs = timeMs;
        event.link = "virtual@1";
        event.bytes = bytes.empty() ? nullptr : bytes.data();
        event.byteCount = bytes.empty() ? count : bytes.size();
        event.text = text;
        if (callback != nullptr)
            callback(&event, context);
    }
};

class FrameMonitorTest : public ::testing::Test {
  protected:
    void SetUp() override {
        TraceExport::callback = nullptr;
        TraceExport::changes.clear();
    }
    void TearDown() override {
        monitor.reset();
        EXPECT_EQ(TraceExport::callback, nullptr) << "a callback outlived its monitor";
        EXPECT_TRUE(QApplication::topLevelWidgets().isEmpty()) << "a window was left open";
    }

    void open(std::size_t capacity = FrameMonitor::kCapacity) {
        monitor = std::make_unique<FrameMonitor>(platform, &TraceExport::set, nullptr, capacity);
        monitor->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(monitor.get()));
    }
    QPushButton *button(const char *text) const {
        for (QPushButton *b : monitor->findChildren<QPushButton *>())
            if (b->text() == QString::fromUtf8(text))
                return b;
        return nullptr;
    }
    // Empty for a row not there yet: QTRY_* asks before the rows arrive.
    QString meaning(int row) const {
        return row < monitor->model().rowCount() ? monitor->model().columns(row)[MeaningColumn]
                                                 : QString();
    }

    FakePlatform platform;
    std::unique_ptr<FrameMonitor> monitor;
};

} // namespace

TEST_F(FrameMonitorTest, ListensOnlyWhileShown) {
    monitor = std::make_unique<FrameMonitor>(platform, &TraceExport::set, nullptr);
    EXPECT_TRUE(TraceExport::changes.empty()) << "a monitor never shown costs the library nothing";
    monitor->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(monitor.get()));
    EXPECT_EQ(TraceExport::context, monitor.get());
    monitor->close();
    EXPECT_EQ(TraceExport::changes, (std::vector<bool>{true, false}));
    TraceExport::send(KAV_TRACE_NOTE, {}, "while closed");
    monitor->show();
    TraceExport::send(KAV_TRACE_NOTE, {}, "while open");
    QTRY_COMPARE(monitor->model().rowCount(), 1);
    EXPECT_EQ(meaning(0), "while open");
}

TEST_F(FrameMonitorTest, EventsFromLibraryThreadsArriveInOrderNewestLast) {
    open();
    constexpr int kEvents = 2000;
    std::thread worker([] {
        for (int i = 0; i < kEvents; ++i)
            TraceExport::send(KAV_TRACE_TO_READER, {0xAA, static_cast<unsigned char>(i)},
                              std::to_string(i).c_str());
    });
    worker.join();
    QTRY_COMPARE(monitor->model().rowCount(), kEvents);
    EXPECT_EQ(meaning(0), "0");
    EXPECT_EQ(meaning(kEvents - 1), QString::number(kEvents - 1));
}

TEST_F(FrameMonitorTest, KeepsOnlyTheNewestRows) {
    open(5);
    for (int i = 0; i < 12; ++i) {
        TraceExport::send(KAV_TRACE_NOTE, {}, std::to_string(i).c_str());
        if (i == 3)
            QCoreApplication::processEvents(); // some delivered, some still pending
    }
    QTRY_COMPARE(meaning(4), "11");
    EXPECT_EQ(monitor->model().rowCount(), 5);
    EXPECT_EQ(meaning(0), "7");
}

TEST_F(FrameMonitorTest, PauseAddsNothingAndSaysHowManyCame) {
    open();
    TraceExport::send(KAV_TRACE_NOTE, {}, "before");
    QTRY_COMPARE(monitor->model().rowCount(), 1);
    QTest::mouseClick(button("暂停(&P)"), Qt::LeftButton);
    for (int i = 0; i < 3; ++i)
        TraceExport::send(KAV_TRACE_NOTE, {}, "paused");
    QTRY_COMPARE(monitor->note(), "已暂停: 收到 3 条未显示");
    EXPECT_EQ(monitor->model().rowCount(), 1);
    QTest::mouseClick(button("暂停(&P)"), Qt::LeftButton);
    EXPECT_EQ(monitor->note(), "暂停期间收到 3 条,未显示");
    TraceExport::send(KAV_TRACE_NOTE, {}, "after");
    QTRY_COMPARE(monitor->model().rowCount(), 2);
    EXPECT_EQ(meaning(1), "after");
    QTest::mouseClick(button("清除(&L)"), Qt::LeftButton);
    EXPECT_EQ(monitor->model().rowCount(), 0);
    EXPECT_EQ(monitor->note(), "");
}

TEST_F(FrameMonitorTest, SavesEveryRowAndCopiesTheSelectedOnesAsTabSeparatedText) {
    open();
    const long long at = QDateTime(QDate(2026, 12, 7), QTime(10, 15, 30, 42)).toMSecsSinceEpoch();
    TraceExport::send(KAV_TRACE_TO_READER,
                      {0xAA, 0xAA, 0xAA, 0x96, 0x69, 0x00, 0x03, 0x11, 0xFF, 0xED}, "SAM status",
                      at);
    TraceExport::send(KAV_TRACE_OPERATION, {}, "Kav_GetSAMStatus(1, 0) = 0", at + 5);
    TraceExport::send(KAV_TRACE_NOISE, {}, "3 bytes of noise skipped", at + 7, 3);
    QTRY_COMPARE(monitor->model().rowCount(), 3);
    const QString first = "10:15:30.042\tvirtual@1\t→\tAA AA AA 96 69 00 03 11 FF ED\tSAM status\n";
    const QString third = "10:15:30.049\tvirtual@1\t←\t\t3 bytes of noise skipped\n";

    QTemporaryDir folder;
    platform.saveFile = folder.filePath("frames.txt");
    QTest::mouseClick(button("保存(&S)..."), Qt::LeftButton);
    EXPECT_EQ(platform.calls,
              std::vector<std::string>{
                  "chooseSaveFile(保存通讯记录,velkart-frames-20261207-093005.txt)"});
    QFile file(platform.saveFile);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_EQ(QString::fromUtf8(file.readAll()),
              first + "10:15:30.047\tvirtual@1\t\t\tKav_GetSAMStatus(1, 0) = 0\n" + third);

    auto *view = monitor->findChild<QTableView *>();
    view->setFocus();
    view->selectionModel()->select(view->model()->index(2, 0),
                                   QItemSelectionModel::Select | QItemSelectionModel::Rows);
    view->selectionModel()->select(view->model()->index(0, 0),
                                   QItemSelectionModel::Select | QItemSelectionModel::Rows);
    QApplication::clipboard()->clear();
    QTest::keyClick(view, Qt::Key_C, Qt::ControlModifier);
    EXPECT_EQ(QApplication::clipboard()->text(), first + third);
}

// A name ending in .pcapng saves the rows as a capture: the frame with its
// direction, the call as an event, the noise as its length.
TEST_F(FrameMonitorTest, SavesPcapngWhenTheNameAsksForIt) {
    open();
    const std::vector<unsigned char> status{0xAA, 0xAA, 0xAA, 0x96, 0x69,
                                            0x00, 0x03, 0x11, 0xFF, 0xED};
    TraceExport::send(KAV_TRACE_TO_READER, status, "SAM status", 1'000);
    TraceExport::send(KAV_TRACE_OPERATION, {}, "Kav_GetSAMStatus(1, 0) = 0", 1'005);
    TraceExport::send(KAV_TRACE_NOISE, {}, "3 bytes of noise skipped", 1'007, 3);
    QTRY_COMPARE(monitor->model().rowCount(), 3);
    QTemporaryDir folder;
    platform.saveFile = folder.filePath("frames.pcapng");
    QTest::mouseClick(button("保存(&S)..."), Qt::LeftButton);
    const kav::capture::Capture c = kav::capture::readCapture(platform.saveFile.toStdString());
    ASSERT_EQ(c.records.size(), 3u);
    using Kind = kav::capture::Record::Kind;
    EXPECT_EQ(c.records[0].kind, Kind::Frame);
    EXPECT_EQ(c.records[0].direction, kav::capture::Direction::ToReader);
    EXPECT_EQ(c.records[0].bytes, std::vector<std::uint8_t>(status.begin(), status.end()));
    EXPECT_EQ(c.records[0].timeNs, 1'000'000'000);
    EXPECT_EQ(c.records[1].kind, Kind::Event);
    EXPECT_EQ(c.records[1].text, "Kav_GetSAMStatus(1, 0) = 0");
    EXPECT_EQ(c.records[2].kind, Kind::Noise);
    EXPECT_EQ(c.records[2].withheld, 3u);
}

TEST_F(FrameMonitorTest, EveryMeaningOfAReadFitsItsColumnAndTooltipsGiveWhatIsCut) {
    open();
    std::vector<unsigned char> readAnswer(1295, 0xAB);
    const struct {
        std::vector<unsigned char> bytes;
        const char *meaning;
    } rows[] = {
        {{0xAA, 0xAA, 0xAA, 0x96, 0x69, 0x00, 0x08, 0x00, 0x00, 0x9F, 0x01, 0x02, 0x03, 0x04, 0x97},
         "find card: status 0x9F find card success, 4 data bytes"},
        {{0xAA, 0xAA, 0xAA, 0x96, 0x69, 0x00, 0x0C, 0x00, 0x00, 0x90},
         "select card: status 0x90 success, 8 data bytes"},
        {readAnswer, "read text and photo: status 0x90 success, 1284 data bytes"},
        {{}, "photo JPEG 102x126 written as 24-bit BMP to /tmp/tmp.bmp"},
    };
    for (const auto &row : rows)
        TraceExport::send(row.bytes.empty() ? KAV_TRACE_NOTE : KAV_TRACE_FROM_READER, row.bytes,
                          row.meaning);
    QTRY_COMPARE(monitor->model().rowCount(), static_cast<int>(std::size(rows)));

    const QTableView *view = monitor->findChild<QTableView *>();
    ASSERT_NE(view, nullptr);
    // The cell's text margins, generously.
    constexpr int kMargins = 12;
    const QAbstractItemModel &model = monitor->model();
    for (int row = 0; row < static_cast<int>(std::size(rows)); ++row) {
        SCOPED_TRACE(rows[row].meaning);
        const QString meaning = QString::fromUtf8(rows[row].meaning);
        EXPECT_GE(view->columnWidth(MeaningColumn),
                  view->fontMetrics().horizontalAdvance(meaning) + kMargins);
        EXPECT_EQ(model.data(model.index(row, MeaningColumn), Qt::ToolTipRole).toString(), meaning);
    }
    // The read answer's hex, too long for any column, in lines of 16 bytes.
    const QStringList lines =
        model.data(model.index(2, DataColumn), Qt::ToolTipRole).toString().split('\n');
    EXPECT_EQ(lines.size(), (1295 + 15) / 16);
    EXPECT_EQ(lines.front(), QString("AB ").repeated(16).trimmed());
    EXPECT_EQ(lines.back(), QString("AB ").repeated(1295 % 16).trimmed());
    EXPECT_FALSE(model.data(model.index(0, TimeColumn), Qt::ToolTipRole).isValid());
}

TEST_F(FrameMonitorTest, RowsLookAsTheToolkitsOwnDelegatePaintsThemAtEveryWidth) {
    open();
    std::vector<unsigned char> readAnswer(1295);
    for (std::size_t i = 0; i < readAnswer.size(); ++i)
        readAnswer[i] = static_cast<unsigned char>(i * 37);
    TraceExport::send(KAV_TRACE_FROM_READER, readAnswer, "read: status 0x90 success");
    TraceExport::send(KAV_TRACE_TO_READER, {0xAA, 0xAA, 0xAA, 0x96, 0x69, 0x00, 0x03, 0x11, 0xFF},
                      "SAM status");
    TraceExport::send(KAV_TRACE_NOISE, {}, "3 bytes of noise skipped", 0, 3);
    TraceExport::send(KAV_TRACE_FROM_READER, std::vector<unsigned char>(40, 0x1F), "forty");
    // The same cells again, lower down: painted from what the rows above left.
    TraceExport::send(KAV_TRACE_TO_READER, {0xAA, 0xAA, 0xAA, 0x96, 0x69, 0x00, 0x03, 0x11, 0xFF},
                      "SAM status");
    TraceExport::send(KAV_TRACE_FROM_READER, readAnswer, "read: status 0x90 success");
    QTRY_COMPARE(monitor->model().rowCount(), 6);

    auto *view = monitor->findChild<QTableView *>();
    ASSERT_NE(view, nullptr);
    QAbstractItemDelegate *ours = view->itemDelegate();
    QStyledItemDelegate plain;
    const struct {
        int width;
        int points;
        int selected;  // a row, or -1
        int timeWidth; // the time column's
    } cases[] = {{0, 9, -1, 96},  {7, 9, -1, 96},    {40, 9, -1, 96},   {250, 9, -1, 96},
                 {250, 9, 1, 96}, {251, 12, -1, 96}, {700, 9, -1, 96},  {1900, 20, -1, 96},
                 {250, 9, 4, 96}, {250, 9, -1, 30},  {250, 20, -1, 96}, {250, 9, -1, 0}};
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << c.width << " px at " << c.points << " pt, row "
                                        << c.selected << " selected, time " << c.timeWidth);
        view->setColumnWidth(TimeColumn, c.timeWidth);
        view->clearSelection();
        if (c.selected >= 0)
            view->selectRow(c.selected);
        QFont font = monitor->font();
        font.setPointSize(c.points);
        view->setFont(font);
        view->setColumnWidth(DataColumn, c.width);
        view->horizontalScrollBar()->setValue(0);
        view->setItemDelegate(ours);
        const QImage first = view->viewport()->grab().toImage();
        const QImage again = view->viewport()->grab().toImage();
        view->setItemDelegate(&plain);
        const QImage whole = view->viewport()->grab().toImage();
        EXPECT_TRUE(first == whole) << "the cells differ from the whole text's rendering";
        EXPECT_TRUE(again == whole) << "the kept cells differ from the whole text's rendering";
    }
    view->setItemDelegate(ours);
}

// The model alone: a view painting in between would hide a stale cell.
TEST(FrameModelTest, EachRowsCellsAreItsOwnAfterTheOldestGoAndAfterClear) {
    FrameModel model(3);
    const auto cell = [&model](int row) {
        return model.data(model.index(row, MeaningColumn), Qt::DisplayRole)
            .toString()
            .toStdString();
    };
    // Oldest to newest, so that each step starts on the row the last one
    // ended on: the same place, another frame once the ring is full.
    const auto meanings = [&] {
        std::vector<std::string> out;
        for (int row = 0; row < model.rowCount(); ++row)
            out.push_back(cell(row));
        return out;
    };
    const struct {
        std::vector<const char *> sent;
        bool clearFirst;
        std::vector<std::string> shown;
    } steps[] = {
        {{"a", "b", "c"}, false, {"a", "b", "c"}},
        {{"d"}, false, {"b", "c", "d"}},
        {{"e", "f"}, false, {"d", "e", "f"}},
        {{"g", "h", "i", "j"}, false, {"h", "i", "j"}},
        {{"k"}, true, {"k"}},
    };
    for (const auto &step : steps) {
        SCOPED_TRACE(step.sent.front());
        if (step.clearFirst)
            model.clear();
        std::deque<FrameModel::Frame> frames;
        for (const char *text : step.sent) {
            FrameModel::Frame frame;
            frame.text = text;
            frames.push_back(frame);
        }
        model.append(std::move(frames));
        EXPECT_EQ(cell(model.rowCount() - 1), step.shown.back());
        EXPECT_EQ(meanings(), step.shown);
    }
}
