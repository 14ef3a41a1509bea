#include "HeaderPicture.h"

#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>

QPixmap DrawHeaderPicture(const QSize& size, const QString& productName) {
  QPixmap picture(size);
  QPainter p(&picture);
  p.setRenderHint(QPainter::Antialiasing);
  QLinearGradient sky(0, 0, size.width(), size.height());
  sky.setColorAt(0, QColor(18, 52, 86));
  sky.setColorAt(1, QColor(32, 120, 160));
  p.fillRect(picture.rect(), sky);

  // A film strip running across the right half.
  p.setBrush(QColor(255, 255, 255, 40));
  p.setPen(Qt::NoPen);
  for (int x = size.width() / 2; x < size.width(); x += 46)
    p.drawRoundedRect(QRectF(x, 22, 38, 56), 5, 5);
  QPainterPath play;
  const QPointF c(size.width() - 90, size.height() / 2.0);
  play.moveTo(c + QPointF(-16, -22));
  play.lineTo(c + QPointF(24, 0));
  play.lineTo(c + QPointF(-16, 22));
  play.closeSubpath();
  p.fillPath(play, QColor(255, 196, 0));

  QFont title("Verdana", 26, QFont::Bold);
  p.setFont(title);
  p.setPen(Qt::white);
  p.drawText(QRect(24, 12, size.width() / 2, 50), Qt::AlignLeft | Qt::AlignVCenter, productName);
  QFont tagline("Verdana", 10);
  p.setFont(tagline);
  p.setPen(QColor(220, 235, 245));
  p.drawText(QRect(26, 60, size.width() / 2, 24), Qt::AlignLeft | Qt::AlignVCenter,
             "Your videos and songs, ready for your phone");
  return picture;
}
