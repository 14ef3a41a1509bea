#include "RowProgress.h"

#include <QStringList>

#include <algorithm>
#include <cmath>

void TJobClock::Sample(int64_t nowMs, int currentMs) {
  if (FirstWall < 0) {
    FirstWall = nowMs;
    FirstMedia = currentMs;
  }
  LastWall = nowMs;
  LastMedia = currentMs;
}

double TJobClock::Speed() const {
  // Under a quarter second apart the figure jumps about too much to show.
  if (FirstWall < 0 || LastWall - FirstWall < 250 || LastMedia <= FirstMedia)
    return 0;
  return double(LastMedia - FirstMedia) / double(LastWall - FirstWall);
}

double TJobClock::SecondsLeft(int totalMs) const {
  const double speed = Speed();
  if (speed <= 0 || totalMs <= 0)
    return -1;
  return std::max(0, totalMs - LastMedia) / speed / 1000.0;
}

QString ClockText(double seconds) {
  const int64_t s = std::llround(std::max(0.0, seconds));
  const QString mmss = QString("%1:%2").arg(s / 60 % 60).arg(s % 60, 2, 10, QChar('0'));
  if (s < 3600)
    return mmss;
  return QString("%1:%2").arg(s / 3600).arg(mmss.rightJustified(5, '0'));
}

QString TRowProgress::Text() const {
  QString text = "{|" + QString::number(Percent);
  if (Speed > 0)
    text += "|" + QString::number(Speed, 'f', 2) + "|" + QString::number(std::llround(SecondsLeft));
  return text;
}

QString TRowProgress::Caption() const {
  QString caption = QString::number(Percent) + "%";
  if (Speed > 0)
    caption += "  " + QString::number(Speed, 'f', Speed < 10 ? 1 : 0) + "x";
  if (SecondsLeft >= 0)
    caption += "  " + ClockText(SecondsLeft) + " left";
  return caption;
}

bool TRowProgress::Parse(const QString& text, TRowProgress& progress) {
  if (!text.startsWith("{|"))
    return false;
  const QStringList parts = text.mid(2).split('|');
  bool ok = false;
  progress = TRowProgress();
  progress.Percent = parts[0].toInt(&ok);
  if (!ok)
    return false;
  if (parts.size() >= 3) {
    progress.Speed = parts[1].toDouble();
    progress.SecondsLeft = parts[2].toDouble();
  }
  return true;
}
