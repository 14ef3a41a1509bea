// Editing the list: Delete removes the selected rows, finished rows are
// cleared, failed rows retried alone, and a done row opens its output or
// its folder through the desktop.
#include "QueueWindow.h"

#include <QAction>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QSignalSpy>
#include <QUrl>

#include <fstream>

using namespace kestro;
using namespace kestro::test;

namespace {

QStringList Rows(const TfrmMain& win) {
  QStringList rows;
  for (int row = 0; row < win.lvFiles->topLevelItemCount(); ++row)
    rows << win.lvFiles->topLevelItem(row)->text(0) + " " + win.lvFiles->topLevelItem(row)->text(1);
  return rows;
}

void ClickRow(TfrmMain& win, int row, Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
  const QRect rect = win.lvFiles->visualItemRect(win.lvFiles->topLevelItem(row));
  QTest::mouseClick(win.lvFiles->viewport(), Qt::LeftButton, modifiers, rect.center());
}

} // namespace

TEST_F(QueueWindow, RemoveClearFinishedAndRetryFailed) {
  QTemporaryDir sources;
  ASSERT_TRUE(sources.isValid());
  // "late.avi" cannot be read at first; it is put right before the retry.
  const QString late = sources.path() + "/late.avi";
  ASSERT_TRUE(QFile::copy(MediaFile("garbage.avi"), late));
  Make("3GPP 176*144 (*.3gp)");
  ASSERT_TRUE(Add({MediaFile("clip.avi"), late, MediaFile("song.mp3"), MediaFile("tone.flac"),
                   MediaFile("small_176x144.avi")},
                  5));

  // Two rows selected with the mouse, then Delete.
  ClickRow(*Win, 0);
  ClickRow(*Win, 3, Qt::ControlModifier);
  QTest::keyClick(Win->lvFiles, Qt::Key_Delete);
  ASSERT_EQ(::Rows(*Win),
            QStringList({"late.avi Failed", "song.mp3 Ready", "small_176x144.avi Ready"}));

  QSignalSpy finished(Win.get(), &TfrmMain::BatchFinished);
  QTest::mouseClick(Win->btnConvert, Qt::LeftButton);
  ASSERT_TRUE(finished.wait(60000));
  ASSERT_EQ(::Rows(*Win),
            QStringList({"late.avi Failed", "song.mp3 Done", "small_176x144.avi Done"}));
  EXPECT_FALSE(QFileInfo::exists(Output("clip (3GPP 176x144).3gp"))) << "a removed row is not converted";

  Win->actClearFinished->trigger();
  ASSERT_EQ(::Rows(*Win), QStringList({"late.avi Failed"}));
  // An edited list takes more files instead of starting anew.
  ASSERT_TRUE(Add({MediaFile("tone.flac")}, 2));

  // The file is fixed: the failed row alone runs again.
  ASSERT_TRUE(QFile::remove(late));
  ASSERT_TRUE(QFile::copy(MediaFile("clip.avi"), late));
  Win->actRetryFailed->trigger();
  ASSERT_TRUE(finished.wait(60000));
  EXPECT_EQ(::Rows(*Win), QStringList({"late.avi Done", "tone.flac Ready"}));
  EXPECT_EQ(Win->lblTotal->text(), "1 of 1 files done");
  EXPECT_EQ(QDir(Out.path()).entryList(QDir::Files),
            QStringList({"late (3GPP 176x144).3gp", "small_176x144 (3GPP 176x144).3gp",
                         "song (3GPP 176x144).3gp"}));
}

TEST_F(QueueWindow, ADoneRowOpensItsOutputAndItsFolder) {
  Make("3GPP 176*144 (*.3gp)");
  ASSERT_TRUE(Add({MediaFile("clip.avi"), MediaFile("garbage.avi"), MediaFile("song.mp3")}, 3));
  // Before it is converted a row has nothing to open.
  ClickRow(*Win, 0);
  QTest::keyClick(Win->lvFiles, Qt::Key_Return);
  EXPECT_TRUE(Dialogs.Urls.isEmpty());

  QSignalSpy finished(Win.get(), &TfrmMain::BatchFinished);
  QTest::mouseClick(Win->btnConvert, Qt::LeftButton);
  ASSERT_TRUE(finished.wait(60000));
  const QString clipOut = QUrl::fromLocalFile(Output("clip (3GPP 176x144).3gp")).toString();
  const QString songOut = QUrl::fromLocalFile(Output("song (3GPP 176x144).3gp")).toString();

  ClickRow(*Win, 0);
  QTest::keyClick(Win->lvFiles, Qt::Key_Return);
  EXPECT_EQ(Dialogs.Urls, QStringList{clipOut});
  // A double-click: its first press, then the double-click itself.
  const QRect third = Win->lvFiles->visualItemRect(Row(2));
  QTest::mouseClick(Win->lvFiles->viewport(), Qt::LeftButton, Qt::NoModifier, third.center());
  QTest::mouseDClick(Win->lvFiles->viewport(), Qt::LeftButton, Qt::NoModifier, third.center());
  EXPECT_EQ(Dialogs.Urls, QStringList({clipOut, songOut}));
  // A failed row opens nothing.
  ClickRow(*Win, 1);
  QTest::keyClick(Win->lvFiles, Qt::Key_Enter);
  EXPECT_EQ(Dialogs.Urls.size(), 2);

  // "Show in Folder": the output's folder for a done row, the source's otherwise.
  Dialogs.Urls.clear();
  ClickRow(*Win, 0);
  Win->actShowInFolder->trigger();
  ClickRow(*Win, 1);
  Win->actShowInFolder->trigger();
  EXPECT_EQ(Dialogs.Urls,
            QStringList({QUrl::fromLocalFile(Out.path()).toString(),
                         QUrl::fromLocalFile(QFileInfo(MediaFile("garbage.avi")).absolutePath())
                             .toString()}));
}

TEST_F(QueueWindow, StoppingARetryLeavesTheRowsOutsideItAlone) {
  QTemporaryDir sources;
  ASSERT_TRUE(sources.isValid());
  const QString late = sources.path() + "/late.avi";
  ASSERT_TRUE(QFile::copy(MediaFile("garbage.avi"), late));
  Make(SlowRow);
  ASSERT_TRUE(Add({late, MediaFile("song.mp3")}, 2));
  QSignalSpy finished(Win.get(), &TfrmMain::BatchFinished);
  QTest::mouseClick(Win->btnConvert, Qt::LeftButton);
  ASSERT_TRUE(finished.wait(60000));
  Win->actClearFinished->trigger();
  ASSERT_TRUE(Add({MediaFile("tone.flac")}, 2));
  ASSERT_EQ(::Rows(*Win), QStringList({"late.avi Failed", "tone.flac Ready"}));

  ASSERT_TRUE(QFile::remove(late));
  ASSERT_TRUE(QFile::copy(MediaFile("clip.avi"), late));
  Win->actRetryFailed->trigger();
  ASSERT_TRUE(QTest::qWaitFor([&] { return Status(0).startsWith("{|"); }, 30000)) << Status(0).toStdString();
  QTest::mouseClick(Win->btnConvert, Qt::LeftButton); // "Stop"
  ASSERT_TRUE(finished.wait(10000));
  EXPECT_EQ(::Rows(*Win), QStringList({"late.avi Canceled", "tone.flac Ready"}));
}
