// A running job's speed and time left, from its progress reports, and the
// text a Status cell keeps them in.
#pragma once

#include <QString>

#include <cstdint>

// The speed of one job, as a multiple of real time, measured from its first
// report on, so that time spent waiting for its turn does not count.
class TJobClock {
public:
  // `nowMs`: wall time; `currentMs`: the media time converted so far.
  void Sample(int64_t nowMs, int currentMs);
  double Speed() const; // 0 until two reports some time apart
  // Seconds until `totalMs` at the present speed; -1 when unknown.
  double SecondsLeft(int totalMs) const;

private:
  int64_t FirstWall = -1, LastWall = -1;
  int FirstMedia = 0, LastMedia = 0;
};

// "0:07", "12:30", "1:02:03".
QString ClockText(double seconds);

// A Status cell's progress: "{|" percent, then "|" speed and "|" seconds
// left when known; TStatusDelegate draws it as a bar with those figures.
struct TRowProgress {
  int Percent = 0;
  double Speed = 0;        // 0: unknown
  double SecondsLeft = -1; // -1: unknown
  QString Text() const;
  // The bar's caption: "42%  2.5x  0:12 left".
  QString Caption() const;
  // False when `text` is not a progress text.
  static bool Parse(const QString& text, TRowProgress& progress);
};
