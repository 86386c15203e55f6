#include "app/Symbols.h"

#include <QFile>
#include <QGuiApplication>
#include <QIconEngine>
#include <QImage>
#include <QPainter>
#include <QSvgRenderer>
#include <algorithm>
#include <optional>

namespace brimo::app {
namespace {

// The sizes trays and menus ask for most; any other size is drawn just as sharply.
constexpr int kListedSides[] = {16, 22, 24, 32, 42, 48, 64};
// A disabled icon keeps this share of the tint's opacity.
constexpr qreal kDisabledOpacity = 0.4;

// The symbol's SVG source, carried in the app's resources; empty for an unknown name. A name
// never reaches outside the symbols' folder.
QByteArray symbolSource(const QString& name) {
    if (name.isEmpty() || name.contains(u'/')) return {};
    QFile file(QStringLiteral(":/symbols/%1.svg").arg(name));
    if (!file.open(QIODevice::ReadOnly)) return {};
    return file.readAll();
}

// The source drawn into a square of `side` device pixels, every painted pixel then turned into
// `tint` at the opacity it was drawn with.
QImage renderTinted(const QByteArray& source, int side, const QColor& tint) {
    QSvgRenderer renderer(source);
    if (side < 1 || !renderer.isValid()) return {};
    QImage image(side, side, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    renderer.render(&painter);
    painter.setCompositionMode(QPainter::CompositionMode_SourceIn);
    painter.fillRect(image.rect(), tint);
    return image;
}

// Draws the symbol afresh for each size asked, so no size is a scaled copy of another.
class SymbolIconEngine final : public QIconEngine {
public:
    SymbolIconEngine(QByteArray source, const QColor& tint, std::optional<QPalette::ColorRole> role)
        : source_(std::move(source))
        , tint_(tint)
        , role_(role) {}

    void paint(QPainter* painter, const QRect& rect, QIcon::Mode mode,
               QIcon::State state) override {
        const qreal ratio = painter->device()->devicePixelRatio();
        const QSize logical = actualSize(rect.size(), mode, state);
        QPixmap image = pixmap(logical * ratio, mode, state);
        image.setDevicePixelRatio(ratio);
        QRect target(QPoint(), logical);
        target.moveCenter(rect.center());
        painter->drawPixmap(target, image);
    }

    // Symbols are square: the largest square that fits.
    QSize actualSize(const QSize& size, QIcon::Mode, QIcon::State) override {
        const int side = std::min(size.width(), size.height());
        return {side, side};
    }

    QPixmap pixmap(const QSize& size, QIcon::Mode mode, QIcon::State state) override {
        QColor colour = role_ ? QGuiApplication::palette().color(*role_) : tint_;
        if (mode == QIcon::Disabled) colour.setAlphaF(colour.alphaF() * kDisabledOpacity);
        return QPixmap::fromImage(
            renderTinted(source_, actualSize(size, mode, state).width(), colour));
    }

    // Listed for hosts that pick from the sizes an icon offers (the tray's exported pixmaps).
    QList<QSize> availableSizes(QIcon::Mode, QIcon::State) override {
        QList<QSize> sizes;
        for (int side : kListedSides)
            sizes.append({side, side});
        return sizes;
    }

    QString key() const override { return QStringLiteral("brimo-symbol"); }
    QIconEngine* clone() const override { return new SymbolIconEngine(source_, tint_, role_); }
    bool isNull() override { return source_.isEmpty(); }

private:
    QByteArray source_;
    QColor tint_;
    std::optional<QPalette::ColorRole> role_;
};

} // namespace

bool hasSymbol(const QString& name) {
    return !symbolSource(name).isEmpty();
}

QPixmap symbolPixmap(const QString& name, int points, const QColor& tint, qreal devicePixelRatio) {
    if (points < 1 || !(devicePixelRatio > 0)) return {};
    const QByteArray source = symbolSource(name);
    if (source.isEmpty()) return {};
    QPixmap pixmap =
        QPixmap::fromImage(renderTinted(source, qRound(points * devicePixelRatio), tint));
    pixmap.setDevicePixelRatio(devicePixelRatio);
    return pixmap;
}

QIcon symbolIcon(const QString& name, const QColor& tint) {
    QByteArray source = symbolSource(name);
    if (source.isEmpty()) return {};
    return QIcon(new SymbolIconEngine(std::move(source), tint, std::nullopt));
}

QIcon symbolIcon(const QString& name, QPalette::ColorRole role) {
    QByteArray source = symbolSource(name);
    if (source.isEmpty()) return {};
    return QIcon(new SymbolIconEngine(std::move(source), {}, role));
}

} // namespace brimo::app
