// The event log under load: AddLog on the shown dialog against a
// QTreeWidget that inserts its items at the top, the usual way to build
// such a log. Both take the time, format it and put a two-column row first.
#include "EventLogModel.h"
#include "Platform.h"
#include "VelkartDlg.h"

#include <benchmark/benchmark.h>

#include <QApplication>
#include <QDateTime>
#include <QHeaderView>
#include <QTest>
#include <QTreeWidget>

#include <cstdio>
#include <malloc.h>
#include <map>
#include <utility>

#include <memory>
#include <vector>

namespace {

// Heap in use, small and mapped blocks alike.
std::size_t heapInUse() {
    const struct mallinfo2 info = mallinfo2();
    return info.uordblks + info.hblkhd;
}

// 30 characters, mostly CJK as the program's own messages are, each row's
// different so that nothing can be shared between rows.
std::vector<QString> messages(std::size_t count) {
    std::vector<QString> out;
    out.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        QString text = QStringLiteral("读卡器连接在串口 %1,当前SAM波特率为 115200").arg(i % 1000);
        text = text.leftJustified(30, QLatin1Char('.'), true);
        out.push_back(text);
    }
    return out;
}

// Drains what the inserts queued for the view (layout, geometry, paint).
void settle(QWidget &window) {
    QApplication::processEvents();
    window.repaint();
    QApplication::processEvents();
}

struct RowCost {
    double ns = 0;
    double bytes = 0;
};
// (what, rows) -> cost a row, for the ratios printed at the end.
std::map<std::pair<std::string, long>, RowCost> results;

void recordRow(benchmark::State &state, const char *name, double nsPerRow, double bytesPerRow) {
    state.counters["ns_per_row"] = nsPerRow;
    state.counters["bytes_per_row"] = bytesPerRow;
    results[{name, static_cast<long>(state.range(0))}] = {nsPerRow, bytesPerRow};
}

void addLog(benchmark::State &state) {
    const auto rows = static_cast<std::size_t>(state.range(0));
    const std::vector<QString> texts = messages(1000);
    SystemPlatform platform;
    double ns = 0;
    double bytes = 0;
    for (auto _ : state) {
        state.PauseTiming();
        auto dialog = std::make_unique<CVelkartDlg>(platform);
        dialog->show();
        if (!QTest::qWaitForWindowExposed(dialog.get()))
            state.SkipWithError("dialog not shown");
        settle(*dialog);
        const std::size_t before = heapInUse();
        state.ResumeTiming();
        const auto start = std::chrono::steady_clock::now();
        for (std::size_t i = 0; i < rows; ++i)
            dialog->AddLog(texts[i % texts.size()]);
        settle(*dialog);
        const auto elapsed = std::chrono::steady_clock::now() - start;
        state.PauseTiming();
        if (dialog->log().rowCount() != static_cast<int>(rows))
            state.SkipWithError("rows lost");
        ns = std::chrono::duration<double, std::nano>(elapsed).count() / double(rows);
        bytes = double(heapInUse() - before) / double(rows);
        dialog.reset();
        state.ResumeTiming();
    }
    recordRow(state, "AddLog", ns, bytes);
}

// One row a turn of the event loop, as a handler that logs one line does,
// on a log already this deep: the view takes each row as it comes.
void addLogOneByOne(benchmark::State &state) {
    const auto depth = static_cast<std::size_t>(state.range(0));
    constexpr std::size_t kRows = 1000;
    const std::vector<QString> texts = messages(1000);
    SystemPlatform platform;
    double ns = 0;
    for (auto _ : state) {
        state.PauseTiming();
        auto dialog = std::make_unique<CVelkartDlg>(platform);
        dialog->show();
        if (!QTest::qWaitForWindowExposed(dialog.get()))
            state.SkipWithError("dialog not shown");
        for (std::size_t i = 0; i < depth; ++i)
            dialog->AddLog(texts[i % texts.size()]);
        settle(*dialog);
        state.ResumeTiming();
        const auto start = std::chrono::steady_clock::now();
        for (std::size_t i = 0; i < kRows; ++i) {
            dialog->AddLog(texts[i % texts.size()]);
            QApplication::processEvents();
        }
        const auto elapsed = std::chrono::steady_clock::now() - start;
        state.PauseTiming();
        if (dialog->log().rowCount() != static_cast<int>(depth + kRows))
            state.SkipWithError("rows lost");
        ns = std::chrono::duration<double, std::nano>(elapsed).count() / double(kRows);
        dialog.reset();
        state.ResumeTiming();
    }
    state.counters["ns_per_row"] = ns;
    results[{"AddLog one by one", static_cast<long>(depth)}] = {ns, 0};
}

void treeWidgetReference(benchmark::State &state) {
    const auto rows = static_cast<std::size_t>(state.range(0));
    const std::vector<QString> texts = messages(1000);
    double ns = 0;
    double bytes = 0;
    for (auto _ : state) {
        state.PauseTiming();
        auto tree = std::make_unique<QTreeWidget>();
        tree->setColumnCount(2);
        tree->setHeaderLabels({QStringLiteral("发生时间"), QStringLiteral("信息")});
        tree->setRootIsDecorated(false);
        tree->resize(700, 300);
        tree->show();
        if (!QTest::qWaitForWindowExposed(tree.get()))
            state.SkipWithError("tree not shown");
        settle(*tree);
        const std::size_t before = heapInUse();
        state.ResumeTiming();
        const auto start = std::chrono::steady_clock::now();
        for (std::size_t i = 0; i < rows; ++i) {
            const QString time =
                QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
            tree->insertTopLevelItem(0, new QTreeWidgetItem({time, texts[i % texts.size()]}));
        }
        settle(*tree);
        const auto elapsed = std::chrono::steady_clock::now() - start;
        state.PauseTiming();
        ns = std::chrono::duration<double, std::nano>(elapsed).count() / double(rows);
        bytes = double(heapInUse() - before) / double(rows);
        tree.reset();
        state.ResumeTiming();
    }
    recordRow(state, "QTreeWidget", ns, bytes);
}

} // namespace

BENCHMARK(treeWidgetReference)
    ->Arg(10'000)
    ->Arg(1'000'000)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(addLog)->Arg(10'000)->Arg(1'000'000)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(addLogOneByOne)
    ->Arg(10'000)
    ->Arg(1'000'000)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

int main(int argc, char **argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();

    std::printf("\nEvent log, per row (reference: QTreeWidget, same run)\n");
    for (long rows : {10'000L, 1'000'000L}) {
        const auto ours = results.find({"AddLog", rows});
        const auto ref = results.find({"QTreeWidget", rows});
        if (ours == results.end() || ref == results.end())
            continue;
        std::printf("  %8ld rows: AddLog %.0f ns, %.0f B; QTreeWidget %.0f ns, %.0f B; "
                    "%.1fx faster (target >= 5x), %.0f B a row (target <= 120)\n",
                    rows, ours->second.ns, ours->second.bytes, ref->second.ns, ref->second.bytes,
                    ref->second.ns / ours->second.ns, ours->second.bytes);
    }
    const auto small = results.find({"AddLog", 10'000L});
    const auto large = results.find({"AddLog", 1'000'000L});
    if (small != results.end() && large != results.end())
        std::printf("  AddLog at 1,000,000 rows against 10,000: %.2fx a row (target <= 1.3x)\n",
                    large->second.ns / small->second.ns);
    const auto shallow = results.find({"AddLog one by one", 10'000L});
    const auto deep = results.find({"AddLog one by one", 1'000'000L});
    if (shallow != results.end() && deep != results.end())
        std::printf("  One row a turn of the event loop: %.1f us on a log of 10,000 rows, "
                    "%.1f us on one of 1,000,000 (%.2fx)\n",
                    shallow->second.ns / 1000, deep->second.ns / 1000,
                    deep->second.ns / shallow->second.ns);
    return 0;
}
