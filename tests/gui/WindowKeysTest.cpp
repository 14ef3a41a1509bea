// The window's keys (Ctrl+O, Ctrl+Return, Escape) and the desktop
// notification when a batch ends while the user is in another window.
#include "QueueWindow.h"

#include <QApplication>
#include <QSignalSpy>
#include <QSystemTrayIcon>

using namespace kestro;
using namespace kestro::test;

namespace {

class TNotifyDialogs : public TUrlDialogs {
public:
  void Notify(QWidget*, const QString& title, const QString& text) override {
    Notes << title + ": " + text;
  }
  QStringList Notes;
};

bool Activate(QWidget* window) {
  window->activateWindow();
  QApplication::setActiveWindow(window);
  return QTest::qWaitForWindowActive(window, 5000);
}

} // namespace

TEST_F(QueueWindow, KeysAddConvertAndStop) {
  Make(SlowRow);
  Win->selJobs->setCurrentText("1");
  ASSERT_TRUE(Activate(Win.get()));
  Dialogs.Files = {MediaFile("clip.avi"), MediaFile("small_176x144.avi")};
  QTest::keyClick(Win.get(), Qt::Key_O, Qt::ControlModifier);
  ASSERT_TRUE(QTest::qWaitFor([&] { return Rows() == 2 && !Win->Adding(); }, 30000)) << Rows();

  QSignalSpy finished(Win.get(), &TfrmMain::BatchFinished);
  QTest::keyClick(Win->lvFiles, Qt::Key_Return, Qt::ControlModifier);
  ASSERT_EQ(Win->btnConvert->text(), "Stop");
  ASSERT_TRUE(QTest::qWaitFor([&] { return Status(0).startsWith("{|"); }, 30000));
  QTest::keyClick(Win->lvFiles, Qt::Key_Escape);
  ASSERT_TRUE(finished.wait(5000));
  EXPECT_EQ(Status(0), "Canceled");
  EXPECT_EQ(Status(1), "Canceled");
  EXPECT_EQ(Win->windowTitle(), "Kestro Video [Job Canceled]");
}

TEST(WindowNotice, ABatchEndingWhileTheWindowIsInactiveIsToldOnTheDesktop) {
  QTemporaryDir app, out;
  TConfigHome config;
  ASSERT_TRUE(app.isValid() && out.isValid() && config.isValid());
  TNotifyDialogs dialogs;
  TfrmMain win(dialogs, app.path());
  win.WorkerPath = KESTROCONVERT;
  win.txtOutput->setText(out.path());
  win.selFormat->setCurrentText("3GPP 176*144 (*.3gp)");
  win.show();
  QWidget elsewhere; // the window the user went to meanwhile
  elsewhere.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&win, 5000));
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&elsewhere, 5000));

  struct Case {
    bool Active;
    QStringList Files;
    QStringList Notes;
  } cases[] = {
      {true, {MediaFile("clip.avi")}, {}},
      {false,
       {MediaFile("clip.avi"), MediaFile("no_streams.ffmeta"), MediaFile("song.mp3")},
       {"Kestro Video: 2 of 3 files converted, 1 failed."}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Active);
    dialogs.Notes.clear();
    ASSERT_TRUE(Activate(c.Active ? static_cast<QWidget*>(&win) : &elsewhere));
    dialogs.Files = c.Files;
    win.btnOpenClick();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !win.Adding(); }, 30000));
    QSignalSpy finished(&win, &TfrmMain::BatchFinished);
    win.btnConvertClick();
    ASSERT_TRUE(finished.wait(60000));
    EXPECT_EQ(dialogs.Notes, c.Notes);
  }

  // The real notice where the desktop has no tray (as here): the window
  // asks for attention instead, and nothing fails.
  EXPECT_FALSE(QSystemTrayIcon::isSystemTrayAvailable());
  TQtDialogs desktop;
  desktop.Notify(&win, "Kestro Video", "1 of 1 files converted.");
}
