// Jobs at once, the "Max size" field, each row's speed and time left, the
// batch's own bar, and these choices kept between runs.
#include "JobsAtOnce.h"
#include "ProcessRunner.h"
#include "QueueWindow.h"
#include "RowProgress.h"
#include "StatusDelegate.h"

#include <QComboBox>
#include <QFileInfo>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QSettings>
#include <QSignalSpy>
#include <QThread>

using namespace kestro;
using namespace kestro::test;

TEST(JobsAtOnce, AutomaticKeepsJobsTimesThreadsWithinTheCores) {
  struct Case {
    int Choice, Cores, Threads, Expected;
  } cases[] = {
      {0, 8, 1, 8}, // single-threaded rows: one job per core
      {0, 2, 1, 2},
      {0, 8, 8, 1}, // a row that uses every core: one job
      {0, 8, 3, 2},
      {0, 2, 4, 1}, // never none
      {0, 0, 1, 1}, // the cores unknown
      {3, 8, 1, 3}, // the user's number...
      {1, 8, 8, 1},
      {12, 4, 1, 4}, // ...within the cores
  };
  for (const Case& c : cases)
    EXPECT_EQ(JobsAtOnce(c.Choice, c.Cores, c.Threads), c.Expected)
        << c.Choice << " " << c.Cores << " " << c.Threads;
}

TEST(RowProgress, SpeedAndTimeLeftFromTheReports) {
  TJobClock clock;
  EXPECT_EQ(clock.Speed(), 0);
  clock.Sample(10000, 2000); // its first report: the job may have waited for its turn
  clock.Sample(10100, 2500);
  EXPECT_EQ(clock.Speed(), 0) << "too short a time to tell";
  EXPECT_EQ(clock.SecondsLeft(10000), -1);
  clock.Sample(11000, 6000); // 4 s of media in 1 s
  EXPECT_DOUBLE_EQ(clock.Speed(), 4.0);
  EXPECT_DOUBLE_EQ(clock.SecondsLeft(10000), 1.0);
  EXPECT_EQ(clock.SecondsLeft(0), -1) << "an unknown length";

  struct Case {
    double Seconds;
    const char* Text;
  } clocks[] = {{0, "0:00"}, {7.4, "0:07"}, {59.6, "1:00"}, {750, "12:30"}, {3723, "1:02:03"}};
  for (const Case& c : clocks)
    EXPECT_EQ(ClockText(c.Seconds), c.Text);

  // The cell's text keeps the figures, and the bar shows them.
  const TRowProgress shown{42, 2.5, 12};
  TRowProgress read;
  ASSERT_TRUE(TRowProgress::Parse(shown.Text(), read));
  EXPECT_EQ(read.Percent, 42);
  EXPECT_DOUBLE_EQ(read.Speed, 2.5);
  EXPECT_DOUBLE_EQ(read.SecondsLeft, 12);
  EXPECT_EQ(read.Caption(), "42%  2.5x  0:12 left");
  EXPECT_EQ(TStatusDelegate::ProgressOf(shown.Text()), 42);
  EXPECT_EQ(TStatusDelegate::ProgressOf(TStatusDelegate::ProgressText(7)), 7);
  EXPECT_EQ(TRowProgress{7}.Caption(), "7%");
  EXPECT_EQ(TStatusDelegate::ProgressOf("Failed"), -1);
}

TEST_F(QueueWindow, TwoJobsRunAtOnceWithSpeedAndTimeLeft) {
  if (QThread::idealThreadCount() < 2)
    GTEST_SKIP() << "one core: \"Jobs at once\" offers 1 only";
  Make(SlowRow);
  // "Automatic", "1", "2": two keys down picks 2.
  Win->selJobs->setFocus();
  QTest::keyClick(Win->selJobs, Qt::Key_Down);
  QTest::keyClick(Win->selJobs, Qt::Key_Down);
  ASSERT_EQ(Win->selJobs->currentText(), "2");
  ASSERT_TRUE(Add({MediaFile("clip.avi"), MediaFile("small_176x144.avi"),
                   MediaFile("cif_352x288.avi")},
                  3));
  QSignalSpy finished(Win.get(), &TfrmMain::BatchFinished);
  QTest::mouseClick(Win->btnConvert, Qt::LeftButton);
  ASSERT_TRUE(Win->Runner) << "the jobs run in workers";

  // Both first jobs have a worker and show their speed and time left, while
  // the third waits for its turn.
  TRowProgress first, second;
  ASSERT_TRUE(QTest::qWaitFor(
      [&] {
        return TRowProgress::Parse(Status(0), first) && first.Speed > 0 &&
               TRowProgress::Parse(Status(1), second) && second.Speed > 0;
      },
      30000))
      << Status(0).toStdString() << " / " << Status(1).toStdString();
  EXPECT_GT(Win->Runner->WorkerPid(0), 0);
  EXPECT_GT(Win->Runner->WorkerPid(1), 0);
  EXPECT_EQ(Win->Runner->WorkerPid(2), -1);
  EXPECT_EQ(Status(2), "Ready");
  EXPECT_GE(first.SecondsLeft, 0);
  EXPECT_GE(second.SecondsLeft, 0);
  EXPECT_TRUE(Win->lblTotal->text().startsWith("0 of 3 files done, "))
      << Win->lblTotal->text().toStdString();
  EXPECT_TRUE(Win->lblTotal->text().endsWith(" left")) << Win->lblTotal->text().toStdString();

  ASSERT_TRUE(finished.wait(120000));
  for (int row = 0; row < 3; ++row)
    EXPECT_EQ(Status(row), "Done") << row;
  EXPECT_EQ(Win->lblTotal->text(), "3 of 3 files done");
  EXPECT_EQ(Win->barTotal->value(), 100);
}

TEST_F(QueueWindow, MaxSizeKeepsAVideoOutputWithinItAndRefusesWhatIsNotASize) {
  Make("MP4 H.264 + AAC (*.mp4)");
  ASSERT_TRUE(Add({MediaFile("size_busy_4s.mkv")}, 1));
  QTest::keyClicks(Win->txtMaxSize, "150 kilo");
  QTest::mouseClick(Win->btnConvert, Qt::LeftButton);
  EXPECT_EQ(Dialogs.Shown, QStringList{"\"150 kilo\" is not a size (e.g. 8M, 500K, 1.5G)."});
  EXPECT_EQ(Win->btnConvert->text(), "Convert!") << "nothing started";

  Win->txtMaxSize->clear();
  QTest::keyClicks(Win->txtMaxSize, "150K");
  QSignalSpy finished(Win.get(), &TfrmMain::BatchFinished);
  QTest::mouseClick(Win->btnConvert, Qt::LeftButton);
  ASSERT_TRUE(finished.wait(120000));
  ASSERT_EQ(Status(0), "Done") << Row(0)->toolTip(1).toStdString();
  const QFileInfo fitted(Output("size_busy_4s (MP4 H.264 + AAC).mp4"));
  ASSERT_TRUE(fitted.exists());
  EXPECT_LE(fitted.size(), 150000);
  EXPECT_GT(fitted.size(), 100000) << "the limit is used, not undershot by far";

  // An audio row keeps its own sizes: the field is for video rows.
  Win->selFormat->setCurrentText("FLAC audio (*.flac)");
  EXPECT_FALSE(Win->txtMaxSize->isEnabled());
  Win->selFormat->setCurrentText("3GPP 176*144 (*.3gp)");
  EXPECT_TRUE(Win->txtMaxSize->isEnabled());
}

TEST_F(QueueWindow, ChoicesAndTheWindowsSizeSurviveARestart) {
  Make("WebM VP9 + Opus (*.webm)");
  EXPECT_EQ(Win->selJobs->currentText(), "Automatic") << "a new user's choice";
  EXPECT_TRUE(Win->txtMaxSize->text().isEmpty());
  EXPECT_LE(Win->minimumWidth(), 640);
  EXPECT_GE(Win->minimumWidth(), 400);
  Win->selJobs->setCurrentIndex(1);
  QTest::keyClicks(Win->txtMaxSize, "8M");
  Win->resize(1000, 700);
  Win->lvFiles->header()->resizeSection(0, 250);
  Win->lvFiles->header()->resizeSection(1, 300);
  Win->close();
  EXPECT_EQ(QSettings(App.path() + "/conf.ini", QSettings::IniFormat).value("Main/intJobs"), "1");

  Make();
  EXPECT_EQ(Win->selFormat->currentText(), "WebM VP9 + Opus (*.webm)");
  EXPECT_EQ(Win->selJobs->currentText(), "1");
  EXPECT_EQ(Win->txtMaxSize->text(), "8M");
  EXPECT_EQ(Win->size(), QSize(1000, 700));
  EXPECT_EQ(Win->lvFiles->header()->sectionSize(0), 250);
  EXPECT_EQ(Win->lvFiles->header()->sectionSize(1), 300);
}
