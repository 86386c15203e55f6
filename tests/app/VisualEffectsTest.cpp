#include "app/Symbols.h"
#include "app/effects/GlowPulse.h"
#include "app/effects/ShimmeringText.h"
#include "tests/app/AppTestSupport.h"

#include <QApplication>
#include <QGraphicsDropShadowEffect>
#include <QImage>
#include <QPainter>
#include <QPointer>
#include <QTest>
#include <QTimer>
#include <QWidget>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <gtest/gtest.h>
#include <memory>
#include <vector>

namespace brimo::app {
namespace {

using namespace std::chrono_literals;
using effects::GlowPulse;
using effects::ShimmeringText;
using test::processEventsUntil;

const QStringList kSymbolNames = {
    "externaldrive.fill.badge.checkmark",
    "externaldrive.fill",
    "externaldrive.badge.exclamationmark",
    "externaldrive",
    "checkmark.circle.fill",
    "exclamationmark.circle.fill",
    "exclamationmark.triangle.fill",
    "circle",
    "iphone",
    "gearshape",
    "folder",
    "power",
    "house",
    "info.circle",
    "arrow.up.right",
};

const QColor kTint(200, 40, 120);

// The pixmap's pixels with straight (not premultiplied) colour.
QImage straight(const QPixmap& pixmap) {
    return pixmap.toImage().convertToFormat(QImage::Format_ARGB32);
}

int countPixels(const QImage& image, int minimumAlpha, int maximumAlpha) {
    int count = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x) {
            const int alpha = qAlpha(image.pixel(x, y));
            if (alpha >= minimumAlpha && alpha <= maximumAlpha) ++count;
        }
    return count;
}

int maximumAlpha(const QImage& image) {
    int maximum = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            maximum = std::max(maximum, qAlpha(image.pixel(x, y)));
    return maximum;
}

// Pixels drawn with some substance whose colour strays from `tint`; premultiplied storage
// rounds faint pixels, hence the floor on alpha and the small tolerance.
int offTintPixels(const QImage& image, const QColor& tint) {
    int count = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x) {
            const QRgb pixel = image.pixel(x, y);
            if (qAlpha(pixel) < 64) continue;
            if (std::abs(qRed(pixel) - tint.red()) > 4 ||
                std::abs(qGreen(pixel) - tint.green()) > 4 ||
                std::abs(qBlue(pixel) - tint.blue()) > 4)
                ++count;
        }
    return count;
}

TEST(SymbolsTest, EverySymbolIsADistinctGlyphInTheTintAtTheDeviceSize) {
    std::vector<QImage> drawn;
    for (const QString& name : kSymbolNames) {
        SCOPED_TRACE(name.toStdString());
        EXPECT_TRUE(hasSymbol(name));
        const QPixmap pixmap = symbolPixmap(name, 22, kTint, 2.0);
        ASSERT_FALSE(pixmap.isNull());
        EXPECT_EQ(pixmap.size(), QSize(44, 44));
        EXPECT_EQ(pixmap.deviceIndependentSize(), QSizeF(22, 22));
        const QImage image = straight(pixmap);
        const int area = image.width() * image.height();
        const int solid = countPixels(image, 200, 255);
        // A glyph: solid strokes, yet not a filled square.
        EXPECT_GT(solid, area / 20);
        EXPECT_GT(countPixels(image, 0, 0), area / 5);
        EXPECT_EQ(offTintPixels(image, kTint), 0);
        drawn.push_back(image);
    }
    for (size_t i = 0; i < drawn.size(); ++i)
        for (size_t j = i + 1; j < drawn.size(); ++j)
            EXPECT_NE(drawn[i], drawn[j]) << kSymbolNames[int(i)].toStdString() << " looks like "
                                          << kSymbolNames[int(j)].toStdString();
}

TEST(SymbolsTest, HierarchicalDrivesKeepTwoTonesAndTheTintsOpacity) {
    for (const QString& name : {QStringLiteral("externaldrive.fill.badge.checkmark"),
                                QStringLiteral("externaldrive.fill")}) {
        SCOPED_TRACE(name.toStdString());
        const QImage full = straight(symbolPixmap(name, 64, kTint));
        // The body's secondary tone sits near 45 % of the tint's opacity, the rest at full.
        EXPECT_GT(countPixels(full, 250, 255), 200);
        EXPECT_GT(countPixels(full, 100, 130), 400);

        QColor halfTint = kTint;
        halfTint.setAlpha(128);
        const QImage half = straight(symbolPixmap(name, 64, halfTint));
        EXPECT_LE(maximumAlpha(half), 129);
        EXPECT_GT(countPixels(half, 125, 129), 200);
        EXPECT_GT(countPixels(half, 50, 65), 400);
        EXPECT_EQ(offTintPixels(half, halfTint), 0);
    }
}

TEST(SymbolsTest, UnknownNamesAndEmptySizesGiveNothing) {
    for (const QString& name :
         {QString(), QStringLiteral("externaldrive.slash"), QStringLiteral("../help/enable-drive"),
          QStringLiteral("/symbols/circle"), QStringLiteral("circle.svg")}) {
        SCOPED_TRACE(name.toStdString());
        EXPECT_FALSE(hasSymbol(name));
        EXPECT_TRUE(symbolPixmap(name, 22, kTint).isNull());
        EXPECT_TRUE(symbolIcon(name, kTint).isNull());
    }
    EXPECT_TRUE(symbolPixmap("circle", 0, kTint).isNull());
    EXPECT_TRUE(symbolPixmap("circle", 16, kTint, 0.0).isNull());
}

TEST(SymbolsTest, IconIsDrawnAfreshAtEverySizeAndDimmedWhenDisabled) {
    const QIcon icon = symbolIcon("gearshape", kTint);
    ASSERT_FALSE(icon.isNull());
    const QList<QSize> offered = icon.availableSizes();
    EXPECT_TRUE(offered.contains(QSize(16, 16)));
    EXPECT_TRUE(offered.contains(QSize(22, 22)));

    // Sizes on and off the offered list match a direct drawing at that size, never a scaled copy.
    for (int side : {16, 22, 42, 100}) {
        SCOPED_TRACE(side);
        const QPixmap pixmap = icon.pixmap(QSize(side, side), 1.0);
        EXPECT_EQ(pixmap.size(), QSize(side, side));
        EXPECT_EQ(straight(pixmap), straight(symbolPixmap("gearshape", side, kTint)));
    }
    const QPixmap sharp = icon.pixmap(QSize(22, 22), 2.0);
    EXPECT_EQ(sharp.size(), QSize(44, 44));
    EXPECT_EQ(sharp.devicePixelRatio(), 2.0);
    EXPECT_EQ(straight(sharp), straight(symbolPixmap("gearshape", 22, kTint, 2.0)));

    // Painting through the icon gives the same glyph, centred in a wider rectangle.
    QImage canvas(64, 48, QImage::Format_ARGB32_Premultiplied);
    canvas.fill(Qt::transparent);
    {
        QPainter painter(&canvas);
        icon.paint(&painter, canvas.rect());
    }
    EXPECT_EQ(canvas.copy(8, 0, 48, 48).convertToFormat(QImage::Format_ARGB32),
              straight(symbolPixmap("gearshape", 48, kTint)));
    EXPECT_EQ(countPixels(canvas.copy(0, 0, 8, 48), 1, 255), 0);

    const QImage normal = straight(icon.pixmap(QSize(32, 32), 1.0));
    const QImage disabled = straight(icon.pixmap(QSize(32, 32), 1.0, QIcon::Disabled));
    EXPECT_GT(maximumAlpha(disabled), 0);
    EXPECT_LT(maximumAlpha(disabled), maximumAlpha(normal) / 2);
    EXPECT_EQ(offTintPixels(disabled, kTint), 0);
}

// Counts the paint events a widget receives.
class PaintCounter final : public QObject {
public:
    explicit PaintCounter(QWidget* widget) { widget->installEventFilter(this); }
    int count = 0;

protected:
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::Paint) ++count;
        return false;
    }
};

TEST(ShimmerTest, BandSweepsLinearlyThenRestsUntilTheCycleEnds) {
    // A 2-second cycle whose first second is the sweep.
    EXPECT_EQ(ShimmeringText::bandPosition(0.0, 2.0, 0.5), 0.0);
    EXPECT_DOUBLE_EQ(*ShimmeringText::bandPosition(0.25, 2.0, 0.5), 0.25);
    EXPECT_DOUBLE_EQ(*ShimmeringText::bandPosition(0.5, 2.0, 0.5), 0.5);
    EXPECT_DOUBLE_EQ(*ShimmeringText::bandPosition(0.8, 2.0, 0.5), 0.8);
    EXPECT_EQ(ShimmeringText::bandPosition(1.0, 2.0, 0.5), 1.0);
    EXPECT_EQ(ShimmeringText::bandPosition(1.001, 2.0, 0.5), std::nullopt);
    EXPECT_EQ(ShimmeringText::bandPosition(1.9, 2.0, 0.5), std::nullopt);
    EXPECT_EQ(ShimmeringText::bandPosition(-0.1, 2.0, 0.5), std::nullopt);
    EXPECT_EQ(ShimmeringText::bandPosition(2.5, 2.0, 0.5), std::nullopt);
    // A sweep that fills the whole cycle.
    EXPECT_DOUBLE_EQ(*ShimmeringText::bandPosition(1.5, 3.0, 1.0), 0.5);
    EXPECT_EQ(ShimmeringText::bandPosition(3.0, 3.0, 1.0), 1.0);
}

TEST(ShimmerTest, NonsenseTimingsAreClampedNeverDividedBy) {
    const double nan = std::nan("");
    // Periods fall to a tenth of a second.
    for (double period : {0.0, -3.0, nan}) {
        SCOPED_TRACE(period);
        EXPECT_DOUBLE_EQ(*ShimmeringText::bandPosition(0.05, period, 1.0), 0.5);
        EXPECT_EQ(ShimmeringText::bandPosition(0.2, period, 1.0), std::nullopt);
    }
    // Fractions at or below zero become a hundredth of the cycle; above one, the whole cycle.
    for (double fraction : {0.0, -1.0, nan}) {
        SCOPED_TRACE(fraction);
        EXPECT_DOUBLE_EQ(*ShimmeringText::bandPosition(0.01, 2.0, fraction), 0.5);
        EXPECT_EQ(ShimmeringText::bandPosition(0.5, 2.0, fraction), std::nullopt);
    }
    EXPECT_DOUBLE_EQ(*ShimmeringText::bandPosition(1.0, 2.0, 5.0), 0.5);
    EXPECT_EQ(ShimmeringText::bandPosition(nan, 2.0, 0.5), std::nullopt);

    const ShimmeringText text("Waiting", 0.0, 7.0);
    EXPECT_DOUBLE_EQ(text.period(), 0.1);
    EXPECT_DOUBLE_EQ(text.sweepFraction(), 1.0);
}

TEST(ShimmerTest, TextIsASmallerLineSizedToItsWords) {
    ShimmeringText text("Waiting", 2.0, 0.4);
    EXPECT_EQ(text.text(), "Waiting");
    EXPECT_DOUBLE_EQ(text.period(), 2.0);
    EXPECT_DOUBLE_EQ(text.sweepFraction(), 0.4);
    EXPECT_LT(text.font().pointSizeF(), QApplication::font().pointSizeF());
    const QSize shortHint = text.sizeHint();
    EXPECT_GE(shortHint.height(), text.fontMetrics().height());
    const QString longer = "Waiting to Mount from iPhone";
    text.setText(longer);
    EXPECT_EQ(text.text(), longer);
    EXPECT_GT(text.sizeHint().width(), shortHint.width());
    // At its hinted width the whole text shows, not elided.
    EXPECT_EQ(text.fontMetrics().elidedText(longer, Qt::ElideRight, text.sizeHint().width()),
              longer);
}

TEST(ShimmerTest, AnimatesOnlyWhileShown) {
    QWidget window;
    auto* text = new ShimmeringText("Waiting to Connect", 0.5, 1.0, &window);
    PaintCounter paints(text);

    // Never shown: nothing runs, nothing paints.
    EXPECT_FALSE(text->isAnimating());
    QTest::qWait(200);
    EXPECT_EQ(paints.count, 0);

    window.show();
    EXPECT_TRUE(text->isAnimating());
    EXPECT_TRUE(processEventsUntil([&] { return paints.count >= 3; }, 10s))
        << "the sweep should keep repainting the text";

    // Hidden itself, or with its window: no timer, no repaint.
    text->hide();
    EXPECT_FALSE(text->isAnimating());
    paints.count = 0;
    QTest::qWait(300);
    EXPECT_EQ(paints.count, 0);

    text->show();
    EXPECT_TRUE(text->isAnimating());
    window.hide();
    EXPECT_FALSE(text->isAnimating());
    paints.count = 0;
    QTest::qWait(300);
    EXPECT_EQ(paints.count, 0);

    window.show();
    EXPECT_TRUE(text->isAnimating());
}

// The timers of the text that are running.
std::vector<QTimer*> activeTimers(const QWidget& widget) {
    std::vector<QTimer*> active;
    for (QTimer* timer : widget.findChildren<QTimer*>(Qt::FindDirectChildrenOnly))
        if (timer->isActive()) active.push_back(timer);
    return active;
}

TEST(ShimmerTest, BetweenSweepsOnlyOneSingleShotTimerWaits) {
    // A sweep of 0.3 seconds, then almost half a minute of rest.
    ShimmeringText text("Waiting to Mount", 30.0, 0.01);
    PaintCounter paints(&text);
    text.show();
    ASSERT_TRUE(processEventsUntil(
        [&] {
            const auto active = activeTimers(text);
            return active.size() == 1 && active.front()->isSingleShot() &&
                   active.front()->remainingTime() > 20 * 1000;
        },
        10s))
        << "the sweep should end and leave one wake-up for the next cycle";
    EXPECT_TRUE(text.isAnimating());
    EXPECT_GT(paints.count, 0);
    // At most the repaint that clears the passed band may still land; a sweep would paint
    // several frames in this time.
    const int atRest = paints.count;
    QTest::qWait(300);
    EXPECT_LE(paints.count - atRest, 1);
}

// A visible row to glow around.
class GlowPulseTest : public ::testing::Test {
protected:
    void SetUp() override {
        row_.resize(240, 40);
        row_.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&row_));
    }

    QWidget row_;
};

// The glow's radius over one pulse, as it changed.
struct GlowTrace {
    std::vector<double> radii;
    std::vector<QColor> colours;

    void follow(QGraphicsDropShadowEffect* glow) {
        QObject::connect(glow, &QGraphicsDropShadowEffect::blurRadiusChanged,
                         [this](qreal radius) { radii.push_back(radius); });
        QObject::connect(glow, &QGraphicsDropShadowEffect::colorChanged,
                         [this](const QColor& colour) { colours.push_back(colour); });
    }
    double peak() const {
        return radii.empty() ? 0.0 : *std::max_element(radii.begin(), radii.end());
    }
    bool pastPeak() const { return !radii.empty() && radii.back() < peak(); }
    // A later radius above the one before it, from `from` on.
    bool risesAfter(size_t from) const {
        for (size_t i = std::max<size_t>(from, 1); i < radii.size(); ++i)
            if (radii[i] > radii[i - 1]) return true;
        return false;
    }
};

TEST_F(GlowPulseTest, OnePulseSwellsFadesAndLeavesTheRowAsItWas) {
    const QColor red(255, 0, 0);
    auto* pulse = new GlowPulse(&row_, red);
    EXPECT_EQ(pulse->parent(), &row_);
    EXPECT_EQ(row_.graphicsEffect(), nullptr);
    EXPECT_FALSE(pulse->isRunning());

    pulse->trigger();
    auto* glow = qobject_cast<QGraphicsDropShadowEffect*>(row_.graphicsEffect());
    ASSERT_NE(glow, nullptr);
    EXPECT_TRUE(pulse->isRunning());
    EXPECT_EQ(glow->offset(), QPointF(0, 0));
    QPointer<QGraphicsDropShadowEffect> glowAlive(glow);
    GlowTrace trace;
    trace.follow(glow);

    ASSERT_TRUE(processEventsUntil([&] { return !pulse->isRunning(); }, 10s));
    EXPECT_EQ(row_.graphicsEffect(), nullptr);
    EXPECT_TRUE(glowAlive.isNull());

    // Brightest in the middle, fading at the end; always in the chosen colour.
    ASSERT_GE(trace.radii.size(), 3u);
    EXPECT_GT(trace.peak(), trace.radii.front());
    EXPECT_GT(trace.peak(), trace.radii.back());
    ASSERT_FALSE(trace.colours.empty());
    int brightest = 0;
    for (const QColor& colour : trace.colours) {
        EXPECT_EQ(colour.rgb(), red.rgb());
        brightest = std::max(brightest, colour.alpha());
    }
    EXPECT_GT(brightest, trace.colours.back().alpha());
}

// What the user sees: the glow painted around the row at the pulse's height, and nothing of it
// once the pulse is over.
TEST(GlowPulseSeenTest, TheGlowIsPaintedAroundTheRowAndGoneAfter) {
    QWidget window;
    window.resize(320, 120);
    auto* row = new QWidget(&window);
    row->setGeometry(40, 40, 240, 40);
    row->setAutoFillBackground(true);
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    const QPoint beside(row->x() - 6, row->y() + 20);
    const auto seen = [&] { return window.grab().toImage().pixelColor(beside); };
    const QColor before = seen();

    auto* pulse = new GlowPulse(row, QColor(255, 0, 0));
    pulse->trigger();
    auto* glow = qobject_cast<QGraphicsDropShadowEffect*>(row->graphicsEffect());
    ASSERT_NE(glow, nullptr);
    ASSERT_TRUE(processEventsUntil([&] { return glow->blurRadius() > 18; }, 10s));
    const QColor atPeak = seen();
    EXPECT_GT(atPeak.red() - atPeak.green(), before.red() - before.green() + 16)
        << atPeak.name().toStdString() << " against " << before.name().toStdString();
    ASSERT_TRUE(processEventsUntil([&] { return !pulse->isRunning(); }, 10s));
    EXPECT_EQ(seen(), before);
}

TEST_F(GlowPulseTest, TriggerWhileRunningStartsOver) {
    auto* pulse = new GlowPulse(&row_);
    pulse->trigger();
    auto* glow = qobject_cast<QGraphicsDropShadowEffect*>(row_.graphicsEffect());
    ASSERT_NE(glow, nullptr);
    GlowTrace trace;
    trace.follow(glow);
    ASSERT_TRUE(processEventsUntil([&] { return trace.pastPeak() || !pulse->isRunning(); }, 10s));
    ASSERT_TRUE(pulse->isRunning()) << "the pulse ended before it was seen fading";

    const size_t fading = trace.radii.size();
    pulse->trigger();
    EXPECT_TRUE(pulse->isRunning());
    EXPECT_EQ(row_.graphicsEffect(), glow);
    ASSERT_TRUE(processEventsUntil([&] { return !pulse->isRunning(); }, 10s));
    EXPECT_TRUE(trace.risesAfter(fading)) << "a second trigger should swell the glow again";
    EXPECT_EQ(row_.graphicsEffect(), nullptr);
}

TEST_F(GlowPulseTest, HiddenRowsGetNoGlowAndHidingEndsOne) {
    QWidget hidden;
    auto* idle = new GlowPulse(&hidden);
    idle->trigger();
    EXPECT_FALSE(idle->isRunning());
    EXPECT_EQ(hidden.graphicsEffect(), nullptr);

    auto* pulse = new GlowPulse(&row_);
    pulse->trigger();
    ASSERT_TRUE(pulse->isRunning());
    row_.hide();
    EXPECT_FALSE(pulse->isRunning());
    EXPECT_EQ(row_.graphicsEffect(), nullptr);
    pulse->trigger();
    EXPECT_FALSE(pulse->isRunning());
    EXPECT_EQ(row_.graphicsEffect(), nullptr);
}

TEST_F(GlowPulseTest, RowOrPulseDestroyedMidPulseIsSafe) {
    // A top-level row; a row inside a window that goes with its window; a row removed from a
    // window that stays.
    auto* single = new QWidget;
    single->resize(200, 30);
    single->show();
    auto* window = new QWidget;
    auto* inner = new QWidget(window);
    inner->resize(200, 30);
    window->show();
    auto* removed = new QWidget(&row_);
    removed->resize(200, 30);
    removed->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(single));
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window));
    std::vector<QPointer<GlowPulse>> pulses = {new GlowPulse(single), new GlowPulse(inner),
                                               new GlowPulse(removed)};
    for (const auto& pulse : pulses) {
        pulse->trigger();
        ASSERT_TRUE(pulse->isRunning());
    }
    QTest::qWait(100);

    delete single;
    delete window;
    delete removed;
    for (const auto& pulse : pulses)
        EXPECT_TRUE(pulse.isNull());
    // Whatever the animations had queued runs into nothing.
    QTest::qWait(200);

    // A pulse dropped mid-way takes its glow with it.
    auto* pulse = new GlowPulse(&row_);
    pulse->trigger();
    ASSERT_NE(row_.graphicsEffect(), nullptr);
    delete pulse;
    EXPECT_EQ(row_.graphicsEffect(), nullptr);
    QTest::qWait(100);
    EXPECT_EQ(row_.graphicsEffect(), nullptr);
}

} // namespace
} // namespace brimo::app
