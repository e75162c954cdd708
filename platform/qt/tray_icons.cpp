#include "platform/qt/tray_icons.h"

#include <QFileInfo>
#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>

namespace velmora {
namespace {

// A monitor on a stand, filling `area`.
void paintDisplaySymbol(QPainter& painter, const QRectF& area, const QColor& colour) {
  const qreal unit = area.width() / 18.0;
  const QRectF screen(area.left() + 1.5 * unit, area.top() + 2.5 * unit, 15 * unit, 10 * unit);
  painter.setPen(QPen(colour, 1.6 * unit));
  painter.setBrush(Qt::NoBrush);
  painter.drawRoundedRect(screen, 1.5 * unit, 1.5 * unit);
  painter.setPen(Qt::NoPen);
  painter.setBrush(colour);
  painter.drawRect(QRectF(area.left() + 8 * unit, screen.bottom(), 2 * unit, 2.5 * unit));
  painter.drawRoundedRect(QRectF(area.left() + 5 * unit, area.top() + 15 * unit, 8 * unit, 1.6 * unit), 0.8 * unit,
                          0.8 * unit);
}

QPixmap drawnSymbol(int pixels, const QColor& tint) {
  QPixmap pixmap(pixels, pixels);
  pixmap.fill(Qt::transparent);
  QPainter painter(&pixmap);
  painter.setRenderHint(QPainter::Antialiasing);
  paintDisplaySymbol(painter, QRectF(0, 0, pixels, pixels), tint);
  return pixmap;
}

QPixmap tinted(const QImage& templateImage, int pixels, const QColor& tint) {
  QImage image = templateImage.convertToFormat(QImage::Format_ARGB32_Premultiplied)
                     .scaled(pixels, pixels, Qt::KeepAspectRatio, Qt::SmoothTransformation);
  QPainter painter(&image);
  painter.setCompositionMode(QPainter::CompositionMode_SourceIn);
  painter.fillRect(image.rect(), tint);
  painter.end();
  return QPixmap::fromImage(image);
}

}  // namespace

QIcon loadMenuBarIcon(const std::string& path, const QColor& tint, bool* usedFallback) {
  const QString file = QString::fromStdString(path);
  const QImage image(file);
  if (usedFallback != nullptr) {
    *usedFallback = image.isNull();
  }
  if (image.isNull()) {
    return drawnMenuBarIcon(tint);
  }
  // "name@2x.png" beside "name.png" is the same image drawn for twice the pixels.
  const QFileInfo info(file);
  const QImage doubleSize(info.path() + "/" + info.completeBaseName() + "@2x." + info.suffix());
  QIcon icon;
  icon.addPixmap(tinted(image, kMenuBarIconSize, tint));
  icon.addPixmap(tinted(doubleSize.isNull() ? image : doubleSize, 2 * kMenuBarIconSize, tint));
  return icon;
}

QIcon drawnMenuBarIcon(const QColor& tint) {
  QIcon icon;
  icon.addPixmap(drawnSymbol(kMenuBarIconSize, tint));
  icon.addPixmap(drawnSymbol(2 * kMenuBarIconSize, tint));
  return icon;
}

QIcon inUseMenuBarIcon(const QIcon& icon, const QColor& tint) {
  QIcon badged;
  for (const int pixels : {kMenuBarIconSize, 2 * kMenuBarIconSize}) {
    QPixmap pixmap = icon.pixmap(QSize(pixels, pixels), 1.0);
    const qreal unit = pixmap.width() / 18.0;
    const QPointF centre(pixmap.width() - 4 * unit, pixmap.height() - 4 * unit);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    // A transparent ring keeps the dot apart from the strokes under it, so it reads at 18 pixels.
    painter.setCompositionMode(QPainter::CompositionMode_Clear);
    painter.setBrush(Qt::black);
    painter.drawEllipse(centre, 5 * unit, 5 * unit);
    painter.setCompositionMode(QPainter::CompositionMode_SourceOver);
    painter.setBrush(tint);
    painter.drawEllipse(centre, 3.5 * unit, 3.5 * unit);
    painter.end();
    badged.addPixmap(pixmap);
  }
  return badged;
}

QPixmap applicationIconPixmap(int size, qreal devicePixelRatio) {
  const int pixels = qRound(size * devicePixelRatio);
  if (const QIcon windowIcon = QGuiApplication::windowIcon(); !windowIcon.isNull()) {
    QPixmap pixmap = windowIcon.pixmap(QSize(pixels, pixels));
    pixmap.setDevicePixelRatio(devicePixelRatio);
    return pixmap;
  }
  QPixmap pixmap(pixels, pixels);
  pixmap.fill(Qt::transparent);
  QPainter painter(&pixmap);
  painter.setRenderHint(QPainter::Antialiasing);
  QLinearGradient background(0, 0, 0, pixels);
  background.setColorAt(0, QColor(0x4f, 0x8c, 0xf7));
  background.setColorAt(1, QColor(0x2a, 0x5b, 0xd7));
  painter.fillRect(pixmap.rect(), background);
  const qreal inset = pixels * 0.2;
  paintDisplaySymbol(painter, QRectF(inset, inset, pixels - 2 * inset, pixels - 2 * inset), Qt::white);
  painter.end();
  pixmap.setDevicePixelRatio(devicePixelRatio);
  return pixmap;
}

}  // namespace velmora
