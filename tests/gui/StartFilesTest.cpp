// Files given to kestrovideo when it starts, as a file manager's "Open with"
// hands them over: every one listed, a refused one said, options kept apart.
#include "FixtureMedia.h"
#include "MainWindow.h"
#include "WindowArgs.h"

#include "WindowSupport.h"

#include <gtest/gtest.h>

#include <QTemporaryDir>
#include <QTest>
#include <QTreeWidget>

using namespace kestro;
using namespace kestro::test;

namespace {

QString Media(const char* name) { return QString::fromStdString(Fixtures::MediaPath(name)); }

class StartFiles : public ::testing::Test {
protected:
  void SetUp() override {
    ASSERT_TRUE(App.isValid() && Config.isValid());
    Win = std::make_unique<TfrmMain>(Dialogs, App.path());
  }
  // As main() does with the program's arguments; the files are read once the
  // window is up, so this waits (bounded) for them to be listed or refused.
  void Start(const QStringList& given) {
    const TWindowArgs args = ParseWindowArgs(QStringList{"kestrovideo"} + given);
    ASSERT_TRUE(args.Error.isEmpty()) << args.Error.toStdString();
    ShowWithFiles(*Win, args.Files);
    EXPECT_TRUE(Win->isVisible());
    ASSERT_TRUE(QTest::qWaitFor(
        [this] {
          return Win->lvFiles->topLevelItemCount() > 0 && !Win->Adding();
        },
        10000));
  }
  QStringList Rows() const {
    QStringList rows;
    for (int row = 0; row < Win->lvFiles->topLevelItemCount(); ++row)
      rows << Win->lvFiles->topLevelItem(row)->text(0) + " " +
                  Win->lvFiles->topLevelItem(row)->text(1);
    return rows;
  }

  QTemporaryDir App;
  TConfigHome Config;
  TQuietDialogs Dialogs;
  std::unique_ptr<TfrmMain> Win;
};

} // namespace

TEST_F(StartFiles, TwoFilesGivenAreBothListedReady) {
  Start({Media("clip.avi"), Media("song.mp3")});
  EXPECT_EQ(Rows(), QStringList({"clip.avi Ready", "song.mp3 Ready"}));
  EXPECT_TRUE(Dialogs.Shown.isEmpty()) << Dialogs.Shown.join('\n').toStdString();
}

TEST_F(StartFiles, AFileThatCannotBeReadGetsAFailedRowAndTheOthersAreListed) {
  const QString missing = App.path() + "/gone.avi";
  Start({"--in-process", missing, Media("clip.avi")});
  EXPECT_EQ(Rows(), QStringList({"gone.avi Failed", "clip.avi Ready"}));
  EXPECT_TRUE(Win->lvFiles->topLevelItem(0)->toolTip(1).startsWith(missing + ": "))
      << Win->lvFiles->topLevelItem(0)->toolTip(1).toStdString();
}

TEST(WindowArgs, OptionsAreKeptApartFromFiles) {
  struct TCase {
    QStringList Given;
    QStringList Files;
    bool InProcess, Help, Version;
    QString Error;
  };
  const TCase cases[] = {
      {{"a.avi", "b c.mp3"}, {"a.avi", "b c.mp3"}, false, false, false, ""},
      {{"a.avi", "--in-process", "b.mp3"}, {"a.avi", "b.mp3"}, true, false, false, ""},
      // After "--" everything is a file, options' names too.
      {{"--", "--in-process", "-x.avi"}, {"--in-process", "-x.avi"}, false, false, false, ""},
      {{"-"}, {"-"}, false, false, false, ""},
      // Addresses of local files become their paths.
      {{"file:///tmp/a%20b.mp4"}, {"/tmp/a b.mp4"}, false, false, false, ""},
      {{"--bogus", "a.avi", "-z"}, {"a.avi"}, false, false, false, "unknown option '--bogus'"},
      {{"-h"}, {}, false, true, false, ""},
      {{"--help", "--bogus"}, {}, false, true, false, "unknown option '--bogus'"},
      {{"--version"}, {}, false, false, true, ""},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Given.join(' ').toStdString());
    const TWindowArgs args = ParseWindowArgs(QStringList{"/usr/bin/kestrovideo"} + c.Given);
    EXPECT_EQ(args.Files, c.Files);
    EXPECT_EQ(args.InProcess, c.InProcess);
    EXPECT_EQ(args.Help, c.Help);
    EXPECT_EQ(args.Version, c.Version);
    EXPECT_EQ(args.Error, c.Error);
  }
}
