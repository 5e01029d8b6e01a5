// The look of the windows (captions, positions, sizes, column widths)
// against committed renderings. A change on purpose is committed with
// scripts/update-golden.sh; a failure leaves the rendering and a map of the
// differences beside the test program.
#include "AboutDlg.h"
#include "DialogFixture.h"
#include "FrameMonitor.h"
#include "required_part.h"

#include <QColor>
#include <QDir>
#include <QFontDatabase>
#include <QImage>
#include <QPainter>
#include <QStyle>

#include <functional>

namespace {

// The renderings were made with this face (the dialog's template asks for a
// Song face; this is the one the project installs) and the toolkit's Fusion
// style on the offscreen platform.
const QString kFace = QStringLiteral("AR PL UMing CN");
const QString kStyle = QStringLiteral("fusion");
// Antialiased edges may differ a little where font rendering does; anything
// moved, resized or rewritten changes pixels by far more.
constexpr int kChannelTolerance = 24;

struct Difference {
    int pixels = 0;
    QImage map; // the rendering dimmed, differing pixels in red
};

Difference compare(const QImage &golden, const QImage &actual) {
    Difference d;
    d.map = actual.convertToFormat(QImage::Format_RGB32);
    for (int y = 0; y < actual.height(); ++y) {
        for (int x = 0; x < actual.width(); ++x) {
            const QColor a = actual.pixelColor(x, y);
            const QColor g = golden.pixelColor(x, y);
            const int delta =
                std::max({std::abs(a.red() - g.red()), std::abs(a.green() - g.green()),
                          std::abs(a.blue() - g.blue())});
            if (delta > kChannelTolerance) {
                ++d.pixels;
                d.map.setPixelColor(x, y, Qt::red);
            } else {
                d.map.setPixelColor(
                    x, y, QColor(a.red() / 3 + 170, a.green() / 3 + 170, a.blue() / 3 + 170));
            }
        }
    }
    return d;
}

struct GoldenCase {
    const char *name;
    // The window to render, opened from the dialog.
    std::function<QWidget *(CVelkartDlg &, std::unique_ptr<QWidget> &)> open;
};

void PrintTo(const GoldenCase &c, std::ostream *os) {
    *os << c.name;
}

class GoldenLookTest : public DialogTest, public ::testing::WithParamInterface<GoldenCase> {};

} // namespace

TEST_P(GoldenLookTest, MatchesTheCommittedRendering) {
    KAV_REQUIRE_PART(QFontDatabase::families().contains(kFace) &&
                         QApplication::style()->name() == kStyle,
                     "the renderings need the face " << kFace.toStdString() << " and the "
                                                     << kStyle.toStdString() << " style");
    const GoldenCase &c = GetParam();
    std::unique_ptr<QWidget> owned;
    QWidget *window = c.open(*dlg, owned);
    ASSERT_NE(window, nullptr);
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window));
    const QImage actual = window->grab().toImage().convertToFormat(QImage::Format_RGB32);

    const QString file = QString::fromLatin1(c.name) + QStringLiteral(".png");
    const QImage golden(QStringLiteral(VELKART_GOLDEN_DIR "/") + file);
    const QDir out(QCoreApplication::applicationDirPath() + QStringLiteral("/golden-actual"));
    const auto keep = [&](const QImage &image, const QString &name) {
        QDir().mkpath(out.path());
        image.save(out.filePath(name));
        return out.filePath(name).toStdString();
    };
    ASSERT_FALSE(golden.isNull()) << "no rendering committed; this one is in "
                                  << keep(actual, file);
    ASSERT_EQ(actual.size(), golden.size()) << "this rendering is in " << keep(actual, file);
    const Difference d = compare(golden.convertToFormat(QImage::Format_RGB32), actual);
    if (d.pixels != 0) {
        const std::string map = keep(d.map, QString::fromLatin1(c.name) + "-diff.png");
        ADD_FAILURE() << d.pixels << " pixels differ: " << keep(actual, file) << ", map " << map;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Windows, GoldenLookTest,
    ::testing::Values(
        GoldenCase{"main-dialog", [](CVelkartDlg &dlg, auto &) -> QWidget * { return &dlg; }},
        GoldenCase{"about-box",
                   [](CVelkartDlg &dlg, std::unique_ptr<QWidget> &owned) -> QWidget * {
                       owned = std::make_unique<CAboutDlg>(&dlg);
                       owned->show();
                       return owned.get();
                   }},
        GoldenCase{"frame-monitor",
                   [](CVelkartDlg &dlg, auto &) -> QWidget * {
                       dlg.OnFrameMonitor();
                       // The monitor takes the desktop's font; the rendering
                       // names one that every set-up machine has.
                       dlg.frameMonitor()->setFont(QFont(kFace, 9));
                       return dlg.frameMonitor();
                   }}),
    [](const auto &info) {
        std::string name = info.param.name;
        std::erase(name, '-');
        return name;
    });
