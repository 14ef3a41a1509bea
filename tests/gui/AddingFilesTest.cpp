// Adding files: read off the window's thread, rows in the order asked for,
// unreadable files listed as failed with the reason, folders walked for
// their media files by the dialog and by a drop, and a long list that never
// holds the window up.
#include "QueueWindow.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QMimeData>
#include <QSignalSpy>
#include <QTimer>
#include <QUrl>

#include <unistd.h>

#include <fstream>

using namespace kestro;
using namespace kestro::test;

namespace {

// Drops `paths` on the window as a file manager does.
void Drop(QWidget* window, const QStringList& paths) {
  QMimeData data;
  QList<QUrl> urls;
  for (const QString& path : paths)
    urls << QUrl::fromLocalFile(path);
  data.setUrls(urls);
  const QPointF at(window->width() / 2, window->height() / 2);
  QDragEnterEvent enter(at.toPoint(), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
  QCoreApplication::sendEvent(window, &enter);
  ASSERT_TRUE(enter.isAccepted());
  QDropEvent drop(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
  QCoreApplication::sendEvent(window, &drop);
}

QStringList Names(const TfrmMain& win) {
  QStringList names;
  for (int row = 0; row < win.lvFiles->topLevelItemCount(); ++row)
    names << win.lvFiles->topLevelItem(row)->text(0) + " " + win.lvFiles->topLevelItem(row)->text(1);
  return names;
}

} // namespace

// The longest the window's thread may be kept from its timer while files
// are read. Instrumented builds run the window's own code several times
// slower; the promise is checked by the normal build.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr qint64 LongestWaitMs = 400;
#else
constexpr qint64 LongestWaitMs = 100;
#endif

TEST_F(QueueWindow, UnreadableFilesGetAFailedRowWithTheReasonAndTheOthersConvert) {
  Make("3GPP 176*144 (*.3gp)");
  const QString missing = Out.path() + "/gone.avi";
  ASSERT_TRUE(Add({MediaFile("clip.avi"), MediaFile("garbage.avi"), MediaFile("song.mp3"),
                   MediaFile("empty.avi"), missing},
                  5));
  EXPECT_EQ(Names(*Win), QStringList({"clip.avi Ready", "garbage.avi Failed", "song.mp3 Ready",
                                      "empty.avi Failed", "gone.avi Failed"}));
  for (const int row : {1, 3, 4}) {
    SCOPED_TRACE(row);
    const QString reason = Row(row)->toolTip(1);
    EXPECT_TRUE(reason.startsWith(QDir(Row(row)->text(2)).filePath(Row(row)->text(0)) + ": "))
        << reason.toStdString();
    EXPECT_GT(reason.size(), Row(row)->text(2).size() + Row(row)->text(0).size() + 3)
        << "a reason follows the name";
  }
  EXPECT_EQ(Win->windowTitle(), "Kestro Video [Ready]");

  QSignalSpy finished(Win.get(), &TfrmMain::BatchFinished);
  QTest::mouseClick(Win->btnConvert, Qt::LeftButton);
  ASSERT_TRUE(finished.wait(60000));
  EXPECT_EQ(Names(*Win), QStringList({"clip.avi Done", "garbage.avi Failed", "song.mp3 Done",
                                      "empty.avi Failed", "gone.avi Failed"}));
  EXPECT_EQ(Win->lblTotal->text(), "2 of 2 files done") << "the rows that could be converted";
}

TEST_F(QueueWindow, FoldersAddTheirMediaFilesByTheDialogAndByADrop) {
  QTemporaryDir folder;
  ASSERT_TRUE(folder.isValid());
  ASSERT_TRUE(QDir(folder.path()).mkpath("b/deeper"));
  ASSERT_TRUE(QFile::copy(MediaFile("clip.avi"), folder.path() + "/a.avi"));
  ASSERT_TRUE(QFile::copy(MediaFile("song.mp3"), folder.path() + "/b/deeper/c.MP3"));
  ASSERT_TRUE(QFile::copy(MediaFile("tone.flac"), folder.path() + "/b/b.flac"));
  std::ofstream((folder.path() + "/notes.txt").toStdString()) << "not media";

  Make();
  Dialogs.Folder = folder.path();
  QTest::mouseClick(Win->btnAddFolder, Qt::LeftButton);
  ASSERT_TRUE(QTest::qWaitFor([&] { return Rows() == 3 && !Win->Adding(); }, 30000));
  EXPECT_EQ(Names(*Win), QStringList({"a.avi Ready", "b.flac Ready", "c.MP3 Ready"}));
  EXPECT_EQ(QDir::fromNativeSeparators(Row(2)->text(2)), folder.path() + "/b/deeper/");

  // A folder and a file dropped together: appended in the order dropped.
  Drop(Win.get(), {folder.path() + "/b", MediaFile("small_176x144.avi")});
  ASSERT_TRUE(QTest::qWaitFor([&] { return Rows() == 6 && !Win->Adding(); }, 30000));
  EXPECT_EQ(Names(*Win).mid(3),
            QStringList({"b.flac Ready", "c.MP3 Ready", "small_176x144.avi Ready"}));
}

TEST_F(QueueWindow, FiveHundredFilesKeepTheWindowResponsive) {
  QTemporaryDir folder;
  ASSERT_TRUE(folder.isValid());
  const QByteArray source = MediaFile("clip.avi").toLocal8Bit();
  for (int i = 0; i < 500; ++i) {
    const QByteArray name = (folder.path() + QString("/clip%1.avi").arg(i, 3, 10, QChar('0'))).toLocal8Bit();
    if (link(source.constData(), name.constData()) != 0) {
      ASSERT_TRUE(QFile::copy(MediaFile("clip.avi"), QString::fromLocal8Bit(name)));
    }
  }
  Make();
  // The first file added loads the media libraries, once in a run.
  ASSERT_TRUE(Add({MediaFile("song.mp3")}, 1));
  // A timer on the window's thread measures the longest time it had to wait.
  QElapsedTimer clock;
  qint64 last = 0, longest = 0;
  int partialSeen = 0;
  QTimer tick;
  tick.setInterval(10);
  QObject::connect(&tick, &QTimer::timeout, [&] {
    const qint64 now = clock.elapsed();
    longest = std::max(longest, now - last);
    last = now;
    if (Rows() > 1 && Rows() < 501)
      ++partialSeen;
  });
  clock.start();
  tick.start();
  Drop(Win.get(), {folder.path()});
  ASSERT_TRUE(QTest::qWaitFor([&] { return Rows() == 501 && !Win->Adding(); }, 120000))
      << Rows();
  tick.stop();
  EXPECT_LT(longest, LongestWaitMs) << "ms between two ticks";
  EXPECT_GT(partialSeen, 0) << "rows appear as the files are read";
  EXPECT_EQ(Row(1)->text(0), "clip000.avi");
  EXPECT_EQ(Row(500)->text(0), "clip499.avi");
  EXPECT_EQ(Status(500), "Ready");
}
