#include "platform/qt/kestrel_icon.h"

#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

namespace kestrel::platform {
namespace {

// Drawn on a 64 × 64 grid and scaled, so every size shows the same picture.
void DrawPrinter(QPainter& painter) {
  painter.setRenderHint(QPainter::Antialiasing);
  painter.setPen(Qt::NoPen);
  painter.setBrush(QColor(0x1f, 0x4e, 0x8c));
  painter.drawRoundedRect(QRectF(4, 22, 56, 30), 6, 6);
  painter.setBrush(QColor(0x14, 0x33, 0x5c));
  painter.drawRect(QRectF(14, 24, 36, 4));
  painter.setBrush(QColor(0x7c, 0xd9, 0x6b));
  painter.drawEllipse(QRectF(48, 40, 6, 6));

  QPainterPath slip;
  slip.moveTo(18, 26);
  slip.lineTo(46, 26);
  slip.lineTo(46, 58);
  for (int tooth = 0; tooth < 7; ++tooth) {
    slip.lineTo(46 - tooth * 4 - 2, 62);
    slip.lineTo(46 - tooth * 4 - 4, 58);
  }
  slip.closeSubpath();
  painter.setBrush(Qt::white);
  painter.setPen(QPen(QColor(0x14, 0x33, 0x5c), 1.5));
  painter.drawPath(slip);
  for (int row = 0; row < 4; ++row)
    painter.drawLine(QPointF(22, 34 + row * 6), QPointF(row == 3 ? 32 : 42, 34 + row * 6));

  painter.setPen(Qt::NoPen);
  painter.setBrush(QColor(0xe8, 0x8a, 0x1a));
  painter.drawRoundedRect(QRectF(14, 4, 36, 16), 3, 3);
}

QPixmap Render(int size) {
  QPixmap pixmap(size, size);
  pixmap.fill(Qt::transparent);
  QPainter painter(&pixmap);
  painter.scale(size / 64.0, size / 64.0);
  DrawPrinter(painter);
  return pixmap;
}

}  // namespace

QIcon KestrelIcon() {
  QIcon icon;
  for (int size : {16, 22, 24, 32, 48, 64, 128})
    icon.addPixmap(Render(size));
  return icon;
}

}  // namespace kestrel::platform
