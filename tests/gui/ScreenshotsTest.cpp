// Not a check: with KESTRO_SCREENSHOT_DIR set (scripts/screenshots.sh runs
// it under a virtual X server), saves the screen at three moments of a
// batch: files added, two jobs converting with their time left, and done
// with a failed row's log open.
#include "JobLogView.h"
#include "QueueWindow.h"

#include <QDir>
#include <QGuiApplication>
#include <QLabel>
#include <QScreen>
#include <QSignalSpy>
#include <QThread>

#include <fstream>

using namespace kestro;
using namespace kestro::test;

namespace {

bool SaveScreen(const QString& path) {
  QTest::qWait(300); // the last repaints reach the server
  return QGuiApplication::primaryScreen()->grabWindow(0).save(path);
}

} // namespace

TEST_F(QueueWindow, ScreenshotsOfABatch) {
  const QString folder = qEnvironmentVariable("KESTRO_SCREENSHOT_DIR");
  if (folder.isEmpty())
    GTEST_SKIP() << "set KESTRO_SCREENSHOT_DIR (where the .png files go)";
  if (QThread::idealThreadCount() < 2)
    GTEST_SKIP() << "two jobs at once need two cores";
  ASSERT_TRUE(QDir().mkpath(folder));
  QTemporaryDir sources;
  ASSERT_TRUE(sources.isValid());
  // Names a user might have; the broken one fails when it is added.
  const std::pair<const char*, const char*> files[] = {
      {"clip.avi", "Holiday at the lake.avi"}, {"cif_352x288.avi", "Birthday party.avi"},
      {"small_176x144.avi", "Garden, spring.avi"}, {"garbage.avi", "Broken download.avi"},
      {"sar43.avi", "School concert.avi"}, {"song.mp3", "Voice memo.mp3"}};
  QStringList added;
  for (const auto& [fixture, name] : files) {
    added << sources.path() + "/" + name;
    ASSERT_TRUE(QFile::copy(MediaFile(fixture), added.back()));
  }

  // The slow row under a name a user would give it.
  std::ofstream((Config.path() + "/KestroVideo/presets.json").toStdString())
      << R"json([{"text": "Phone MP4 (*.mp4)", "name": "phone",
                "video": {"codec": "mpeg4", "options": ["vhook=)json"
      << KESTRO_HOOK_DIR << R"json(/testhook_slow.so"]},
                "audio": {"codec": "aac", "bitrate": 96000},
                "audio_only": {"extension": ".m4a"}}])json";
  Make("Phone MP4 (*.mp4)");
  Win->move(0, 0);
  Win->resize(1000, 620);
  Win->selJobs->setCurrentText("2");
  ASSERT_TRUE(Add(added, int(added.size())));
  EXPECT_TRUE(SaveScreen(folder + "/window-files-added.png"));

  QSignalSpy finished(Win.get(), &TfrmMain::BatchFinished);
  QTest::mouseClick(Win->btnConvert, Qt::LeftButton);
  TRowProgress first, second;
  ASSERT_TRUE(QTest::qWaitFor(
      [&] {
        return TRowProgress::Parse(Status(0), first) && first.SecondsLeft >= 0 &&
               first.Percent >= 20 && TRowProgress::Parse(Status(1), second) &&
               second.SecondsLeft >= 0 && Win->lblTotal->text().endsWith(" left");
      },
      60000));
  EXPECT_TRUE(SaveScreen(folder + "/window-converting.png"));
  ASSERT_TRUE(finished.wait(180000));

  QTest::mouseClick(Win->lvFiles->viewport(), Qt::LeftButton, Qt::NoModifier,
                    Win->lvFiles->visualItemRect(Row(3)).center());
  QTest::keyClick(Win->lvFiles, Qt::Key_Return);
  ASSERT_TRUE(Win->LogView && Win->LogView->isVisible());
  Win->LogView->setGeometry(430, 330, 640, 300);
  EXPECT_TRUE(SaveScreen(folder + "/window-done.png"));
}
