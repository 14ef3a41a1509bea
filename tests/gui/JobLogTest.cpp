// Each job's log: its own lines only, the reason a row failed, shown from
// the list and copied whole for a problem report.
#include "JobLogView.h"
#include "QueueWindow.h"

#include <QAction>
#include <QClipboard>
#include <QGuiApplication>
#include <QPlainTextEdit>
#include <QSignalSpy>

using namespace kestro;
using namespace kestro::test;

TEST_F(QueueWindow, EachRowShowsItsOwnJobsLogAndItCanBeCopied) {
  Make("MP4 H.264 + AAC (*.mp4)");
  Win->selJobs->setCurrentText("2"); // both at once: their lines must not mix
  ASSERT_TRUE(Add({MediaFile("no_streams.ffmeta"), MediaFile("clip.avi")}, 2));
  QSignalSpy finished(Win.get(), &TfrmMain::BatchFinished);
  QTest::mouseClick(Win->btnConvert, Qt::LeftButton);
  ASSERT_TRUE(finished.wait(60000));
  ASSERT_EQ(Status(0), "Failed");
  ASSERT_EQ(Status(1), "Done");

  // Enter on the failed row shows why.
  QTest::mouseClick(Win->lvFiles->viewport(), Qt::LeftButton, Qt::NoModifier,
                    Win->lvFiles->visualItemRect(Row(0)).center());
  QTest::keyClick(Win->lvFiles, Qt::Key_Return);
  ASSERT_TRUE(Win->LogView && Win->LogView->isVisible());
  const QString failed = Win->LogView->Text();
  EXPECT_TRUE(failed.startsWith("Source: " + MediaFile("no_streams.ffmeta") + "\n"))
      << failed.toStdString();
  EXPECT_TRUE(failed.contains("\nStatus: Failed: " + Row(0)->toolTip(1) + "\n"))
      << failed.toStdString();
  EXPECT_FALSE(failed.contains("clip")) << "another job's lines";
  EXPECT_TRUE(Win->LogView->windowTitle().contains("no_streams.ffmeta"));

  // The done row's log: the output, the job's own lines, and its end.
  QTest::mouseClick(Win->lvFiles->viewport(), Qt::LeftButton, Qt::NoModifier,
                    Win->lvFiles->visualItemRect(Row(1)).center());
  Win->actShowLog->trigger();
  const QString done = Win->LogView->Text();
  const QString output = Output("clip (MP4 H.264 + AAC).mp4");
  EXPECT_TRUE(done.contains("\nOutput: " + output + "\n")) << done.toStdString();
  EXPECT_TRUE(done.contains("\nStatus: Done\n")) << done.toStdString();
  EXPECT_TRUE(done.contains("[info] ")) << done.toStdString();
  EXPECT_TRUE(done.endsWith("Done: " + output + "\n")) << done.toStdString();
  EXPECT_FALSE(done.contains("no_streams")) << "another job's lines";

  QGuiApplication::clipboard()->clear();
  QTest::mouseClick(Win->LogView->btnCopy, Qt::LeftButton);
  EXPECT_EQ(QGuiApplication::clipboard()->text(), done);
  // The text can be selected and copied by keys as well.
  EXPECT_TRUE(Win->LogView->txtLog->textInteractionFlags() & Qt::TextSelectableByKeyboard);
}
