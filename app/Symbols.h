#pragma once

#include <QColor>
#include <QIcon>
#include <QPalette>
#include <QPixmap>
#include <QString>

// The app's own monochrome symbols, drawn from the SVG files it carries and painted in one tint.
// Two-tone symbols keep their two opacities under any tint.
namespace brimo::app {

// True when the app carries a symbol of that name.
bool hasSymbol(const QString& name);

// The symbol drawn at `points` (logical pixels) for the device pixel ratio, every opaque pixel
// painted in `tint` (alpha kept, so two-tone symbols stay two-tone). Null pixmap for an unknown
// name or a size below one point.
QPixmap symbolPixmap(const QString& name, int points, const QColor& tint,
                     qreal devicePixelRatio = 1.0);

// An icon of that symbol in `tint`, drawn from the vector source at whatever size is asked, so it
// stays sharp in menus, the tray and high-density screens; dimmed when disabled. Null for an
// unknown name.
QIcon symbolIcon(const QString& name, const QColor& tint);
// The same in the application palette's colour for `role` as it is at each drawing, so that it
// follows palette and theme changes.
QIcon symbolIcon(const QString& name, QPalette::ColorRole role);

} // namespace brimo::app
