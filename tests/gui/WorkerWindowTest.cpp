// The window's jobs in worker processes: a crashing job fails its own row
// while the others finish, Stop ends the worker at once, and without the
// worker program the jobs run inside the window.
#include "FixtureMedia.h"
#include "FixturePipe.h"
#include "MainWindow.h"
#include "ProcessRunner.h"
#include "StatusDelegate.h"
#include "WorkerBatch.h"
#include "../engine/MediaReadBack.h"

#include "WindowSupport.h"

#include <gtest/gtest.h>

#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTreeWidget>

#include <signal.h>
#include <sys/stat.h>

#include <fstream>

using namespace kestro;
using namespace kestro::test;

namespace {

QString Media(const char* name) { return QString::fromStdString(Fixtures::MediaPath(name)); }

// A window converting in workers with a row of the user's presets file whose
// every picture goes through a test hook module.
class WindowWorkers : public ::testing::Test {
protected:
  void SetUp() override {
    ASSERT_TRUE(App.isValid() && Config.isValid() && Out.isValid());
  }
  void TearDown() override { Win.reset(); }
  void Make(const std::string& hook) {
    std::ofstream((Config.path() + "/KestroVideo/presets.json").toStdString())
        << R"json([{"text": "Hooked (*.mp4)", "name": "hooked",
                "video": {"codec": "mpeg4", "options": ["vhook=)json"
        << KESTRO_HOOK_DIR << "/" << hook << R"json("]},
                "audio": {"codec": "aac", "bitrate": 96000},
                "audio_only": {"extension": ".m4a"}}])json";
    Win = std::make_unique<TfrmMain>(Dialogs, App.path());
    Win->WorkerPath = KESTROCONVERT;
    Win->txtOutput->setText(Out.path());
    Win->selFormat->setCurrentText("Hooked (*.mp4)");
    ASSERT_EQ(Win->selFormat->currentText(), "Hooked (*.mp4)");
  }
  void Add(const QStringList& files) {
    Dialogs.Files = files;
    Win->btnOpenClick();
    // The files are read off the window's thread.
    ASSERT_TRUE(QTest::qWaitFor([&] { return !Win->Adding(); }, 30000));
  }
  QString Status(int row) { return Win->lvFiles->topLevelItem(row)->text(1); }
  QString Output(const char* name) { return Out.path() + "/" + name; }

  QTemporaryDir App, Out;
  TConfigHome Config;
  TQuietDialogs Dialogs;
  std::unique_ptr<TfrmMain> Win;
};

} // namespace

TEST_F(WindowWorkers, ACrashingJobFailsItsRowAloneAndTheOthersFinish) {
  Make("testhook_crash.so");
  // An output of the first row's name is there already: it is never overwritten.
  std::ofstream(Output("song (Hooked).m4a").toStdString()) << "kept";
  // Only the middle source has pictures for the hook.
  Add({Media("song.mp3"), Media("clip.avi"), Media("tone.flac")});
  ASSERT_EQ(Win->lvFiles->topLevelItemCount(), 3);
  QSignalSpy finished(Win.get(), &TfrmMain::BatchFinished);
  Win->btnConvertClick();
  ASSERT_TRUE(Win->Runner) << "the jobs run in workers";
  ASSERT_TRUE(finished.wait(60000));

  EXPECT_EQ(Status(0), "Done");
  EXPECT_EQ(Status(1), "Failed");
  EXPECT_EQ(Status(2), "Done");
  // An instrumented worker is ended by its sanitizer's exit, not the signal.
  EXPECT_EQ(Win->lvFiles->topLevelItem(1)->toolTip(1),
            TProcessRunner::MemoryCapApplies()
                ? "The conversion stopped unexpectedly (SIGSEGV)"
                : "The conversion stopped unexpectedly (exit status 1)");
  EXPECT_EQ(Win->windowTitle(), "Kestro Video [Done]");
  EXPECT_EQ(Win->btnConvert->text(), "Convert!");

  EXPECT_FALSE(QFileInfo::exists(Output("clip (Hooked).mp4"))) << "the crashed job leaves nothing";
  std::ifstream kept(Output("song (Hooked).m4a").toStdString());
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(kept), {}), "kept");
  for (const char* name : {"song (Hooked [1]).m4a", "tone (Hooked).m4a"}) {
    SCOPED_TRACE(name);
    const TFileSummary out = ReadBack(Output(name).toStdString());
    ASSERT_TRUE(out.Opened);
    ASSERT_EQ(out.Streams.size(), 1u);
    EXPECT_EQ(out.Streams[0].Codec, "aac");
    EXPECT_GT(out.Streams[0].Packets, 0);
  }
}

TEST_F(WindowWorkers, StopEndsTheWorkerWithinOneSecondAndLeavesNoEmptyOutputs) {
  Make("testhook_slow.so"); // 40 ms a picture: each job lasts seconds
  Win->selJobs->setCurrentText("1"); // the later jobs wait for their turn
  Add({Media("clip.avi"), Media("small_176x144.avi"), Media("cif_352x288.avi")});
  ASSERT_EQ(Win->lvFiles->topLevelItemCount(), 3);
  QSignalSpy finished(Win.get(), &TfrmMain::BatchFinished);
  Win->btnConvertClick();
  ASSERT_TRUE(Win->Runner) << "the jobs run in workers";
  // Until the first row shows its progress and its output has been written to.
  ASSERT_TRUE(QTest::qWaitFor(
      [&] {
        return TStatusDelegate::ProgressOf(Status(0)) > 0 &&
               QFileInfo(Output("clip (Hooked).mp4")).size() > 0;
      },
      30000))
      << Status(0).toStdString();
  const pid_t worker = Win->Runner->WorkerPid(0);
  ASSERT_GT(worker, 0);

  QElapsedTimer stopping;
  stopping.start();
  Win->btnConvertClick(); // "Stop"
  ASSERT_TRUE(finished.wait(5000));
  // The runner has reaped the worker by the time it reports its job ended.
  EXPECT_NE(kill(worker, 0), 0) << "worker " << worker << " is still there";
  EXPECT_LT(stopping.elapsed(), 1000);

  for (int row = 0; row < 3; ++row)
    EXPECT_EQ(Status(row), "Canceled") << row;
  EXPECT_EQ(Win->windowTitle(), "Kestro Video [Job Canceled]");
  EXPECT_EQ(Win->btnConvert->text(), "Convert!");
  // The names taken for the jobs that never ran go with them; the stopped
  // output keeps its trailer.
  EXPECT_EQ(QDir(Out.path()).entryList(QDir::Files).join(" | ").toStdString(), "clip (Hooked).mp4");
  EXPECT_TRUE(ReadBack(Output("clip (Hooked).mp4").toStdString()).Opened);
}

TEST_F(WindowWorkers, ABatchWithAPipeIsConvertedInsideTheWindow) {
  // The pipe gives the file once: adding it reads its beginning, and a
  // worker opening it again would find nothing.
  TPipeSource pipe((Out.path() + "/piped.avi").toStdString(), "small_176x144.avi", 1, 1.0);
  pipe.Release();
  Make("testhook_slow.so");
  Add({QString::fromStdString(pipe.Path), Media("song.mp3")});
  ASSERT_EQ(Win->lvFiles->topLevelItemCount(), 2);
  QSignalSpy finished(Win.get(), &TfrmMain::BatchFinished);
  Win->btnConvertClick();
  ASSERT_FALSE(Win->Runner);
  ASSERT_TRUE(finished.wait(60000));
  EXPECT_EQ(Status(0), "Done");
  EXPECT_EQ(Status(1), "Done");
  EXPECT_TRUE(ReadBack(Output("piped (Hooked).mp4").toStdString()).Opened);
}

TEST(WorkerProgram, IsAnExecutableFileBesideTheProgram) {
  QTemporaryDir folder;
  ASSERT_TRUE(folder.isValid());
  const std::string path = (folder.path() + "/kestroconvert").toStdString();
  EXPECT_EQ(FindWorkerProgram(folder.path().toStdString()), "") << "missing";
  ASSERT_TRUE(QDir(folder.path()).mkdir("kestroconvert"));
  EXPECT_EQ(FindWorkerProgram(folder.path().toStdString()), "") << "a folder";
  ASSERT_TRUE(QDir(folder.path()).rmdir("kestroconvert"));
  std::ofstream(path) << "#!/bin/sh\n";
  EXPECT_EQ(FindWorkerProgram(folder.path().toStdString()), "") << "not executable";
  ASSERT_EQ(chmod(path.c_str(), 0755), 0);
  EXPECT_EQ(FindWorkerProgram(folder.path().toStdString()), path);
}

namespace {
QStringList Warnings;
void KeepWarning(QtMsgType type, const QMessageLogContext&, const QString& message) {
  if (type == QtWarningMsg)
    Warnings << message;
}
} // namespace

TEST(WorkerProgram, WithoutItTheWindowSaysSoOnceAndConvertsItself) {
  // No kestroconvert sits beside the test program.
  QTemporaryDir app, out;
  ASSERT_TRUE(app.isValid() && out.isValid());
  std::ofstream((app.path() + "/conf.ini").toStdString()) << "[Main]\nstrFormat=3gp\n";
  TQuietDialogs dialogs;
  Warnings.clear();
  const QtMessageHandler previous = qInstallMessageHandler(KeepWarning);
  auto win = std::make_unique<TfrmMain>(dialogs, app.path());
  qInstallMessageHandler(previous);
  EXPECT_TRUE(win->WorkerPath.isEmpty());
  EXPECT_EQ(Warnings.filter("kestroconvert").size(), 1) << Warnings.join("\n").toStdString();

  win->txtOutput->setText(out.path());
  dialogs.Files = {Media("small_176x144.avi")};
  win->btnOpenClick();
  ASSERT_TRUE(QTest::qWaitFor([&] { return !win->Adding(); }, 30000));
  QSignalSpy finished(win.get(), &TfrmMain::BatchFinished);
  win->btnConvertClick();
  EXPECT_FALSE(win->Runner);
  ASSERT_TRUE(finished.wait(60000));
  EXPECT_EQ(win->lvFiles->topLevelItem(0)->text(1), "Done");
}

TEST_F(WindowWorkers, ASizeRowKeepsItsOutputWithinTheLimitAndFailsWhatCannotFit) {
  std::ofstream((Config.path() + "/KestroVideo/presets.json").toStdString())
      << R"json([{"text": "Tiny MP4 (*.mp4)", "name": "tiny", "max_size": "150K",
                "video": {"codec": "libx264", "options": ["preset=veryfast"]},
                "audio": {"codec": "aac", "bitrate": 64000}}])json";
  Win = std::make_unique<TfrmMain>(Dialogs, App.path());
  Win->WorkerPath = KESTROCONVERT;
  Win->txtOutput->setText(Out.path());
  Win->selFormat->setCurrentText("Tiny MP4 (*.mp4)");
  ASSERT_EQ(Win->selFormat->currentText(), "Tiny MP4 (*.mp4)");
  Add({Media("size_still_4min.mkv"), Media("size_busy_4s.mkv")});
  ASSERT_EQ(Win->lvFiles->topLevelItemCount(), 2);
  QSignalSpy finished(Win.get(), &TfrmMain::BatchFinished);
  Win->btnConvertClick();
  ASSERT_TRUE(finished.wait(120000));

  EXPECT_EQ(Status(0), "Failed");
  EXPECT_TRUE(Win->lvFiles->topLevelItem(0)->toolTip(1).startsWith(
      "cannot fit in 150 kB: it lasts 4:00"))
      << Win->lvFiles->topLevelItem(0)->toolTip(1).toStdString();
  EXPECT_FALSE(QFileInfo::exists(Output("size_still_4min (Tiny MP4).mp4")));
  EXPECT_EQ(Status(1), "Done");
  const QFileInfo fitted(Output("size_busy_4s (Tiny MP4).mp4"));
  ASSERT_TRUE(fitted.exists());
  EXPECT_LE(fitted.size(), 150000);
  EXPECT_GT(fitted.size(), 100000);
}
