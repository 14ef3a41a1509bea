// The window's format list: the preset table's rows, the stored choice, the
// first row for a new user, and a broken user presets file said once.
#include "FixtureMedia.h"
#include "MainWindow.h"
#include "PresetTable.h"

#include "WindowSupport.h"

#include <gtest/gtest.h>

#include <QComboBox>
#include <QDir>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTreeWidget>

#include <fstream>

using namespace kestro;
using namespace kestro::test;

namespace {

// Says yes to everything and keeps nothing.
class PresetChoice : public ::testing::Test {
protected:
  void SetUp() override {
    ASSERT_TRUE(App.isValid() && Config.isValid() && Out.isValid());
  }
  void TearDown() override { Win.reset(); }
  void Make(const std::string& ini = {}) {
    Win.reset();
    if (!ini.empty())
      std::ofstream((App.path() + "/conf.ini").toStdString()) << ini;
    Win = std::make_unique<TfrmMain>(Dialogs, App.path());
    Win->txtOutput->setText(Out.path());
  }
  void WritePresets(const std::string& text) {
    std::ofstream((Config.path() + "/KestroVideo/presets.json").toStdString()) << text;
  }
  QStringList Entries() const {
    QStringList entries;
    for (int i = 0; i < Win->selFormat->count(); ++i)
      entries << Win->selFormat->itemText(i);
    return entries;
  }
  QTemporaryDir App, Out;
  TConfigHome Config;
  TQuietDialogs Dialogs;
  std::unique_ptr<TfrmMain> Win;
};

} // namespace

TEST_F(PresetChoice, TheListIsTheTableAndTheStoredChoiceIsKept) {
  Make();
  QStringList rows;
  for (const TPresetRow& row : BuiltInPresets())
    rows << QString::fromStdString(row.Text);
  EXPECT_EQ(Entries(), rows);
  EXPECT_TRUE(Win->lblStatus->isHidden());

  struct Case {
    const char* Stored; // nullptr: no conf.ini line at all
    const char* Selected;
  } cases[] = {
      {nullptr, "MP4 H.264 + AAC (*.mp4)"}, // a new user
      {"3GPP 176*144 (*.3gp)", "3GPP 176*144 (*.3gp)"},
      {"WebM VP9 + Opus (*.webm)", "WebM VP9 + Opus (*.webm)"},
      {"A row that is gone (*.avi)", "MP4 H.264 + AAC (*.mp4)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Stored ? c.Stored : "(none)");
    QFile::remove(App.path() + "/conf.ini");
    Make(c.Stored ? std::string("[Main]\nstrFormat=") + c.Stored + "\n" : "[Main]\n");
    EXPECT_EQ(Win->selFormat->currentText(), c.Selected);
  }

  // The choice made is stored when the window closes and found next time.
  Win->selFormat->setCurrentText("FLAC audio (*.flac)");
  Win->close();
  EXPECT_EQ(QSettings(App.path() + "/conf.ini", QSettings::IniFormat).value("Main/strFormat"),
            "FLAC audio (*.flac)");
  Make();
  EXPECT_EQ(Win->selFormat->currentText(), "FLAC audio (*.flac)");
}

TEST_F(PresetChoice, ANewUserConvertsToMp4) {
  Make();
  Dialogs.Files = {QString::fromStdString(Fixtures::MediaPath("multi_audio.mkv")),
                   QString::fromStdString(Fixtures::MediaPath("song.mp3"))};
  Win->btnOpenClick();
  ASSERT_TRUE(QTest::qWaitFor([&] { return !Win->Adding(); }, 30000));
  ASSERT_EQ(Win->lvFiles->topLevelItemCount(), 2);
  QSignalSpy finished(Win.get(), &TfrmMain::BatchFinished);
  Win->btnConvertClick();
  ASSERT_TRUE(finished.wait(60000));
  EXPECT_TRUE(QFileInfo::exists(Out.path() + "/multi_audio (MP4 H.264 + AAC).mp4"));
  EXPECT_TRUE(QFileInfo::exists(Out.path() + "/song (MP4 H.264 + AAC).m4a"));
}

TEST_F(PresetChoice, UserRowsFollowTheBuiltInOnesAndABrokenFileIsSaidOnce) {
  WritePresets(R"json({"presets": [{"text": "Phone (*.mp4)", "name": "phone",
    "video": {"codec": "libx264", "max_width": 640, "max_height": 640},
    "audio": {"codec": "aac"}}]})json");
  Make("[Main]\nstrFormat=Phone (*.mp4)\n");
  ASSERT_EQ(Win->selFormat->count(), int(BuiltInPresets().size()) + 1);
  EXPECT_EQ(Entries().last(), "Phone (*.mp4)");
  EXPECT_EQ(Win->selFormat->currentText(), "Phone (*.mp4)");

  WritePresets("{\"presets\": [\n  {\"text\": }\n]}");
  Make("[Main]\nstrFormat=Phone (*.mp4)\n");
  EXPECT_EQ(Win->selFormat->count(), int(BuiltInPresets().size()));
  EXPECT_EQ(Win->selFormat->currentText(), "MP4 H.264 + AAC (*.mp4)");
  EXPECT_FALSE(Win->lblStatus->isHidden());
  EXPECT_TRUE(Win->lblStatus->text().contains("presets.json: line 2, column 12"))
      << Win->lblStatus->text().toStdString();
  EXPECT_TRUE(Dialogs.Shown.isEmpty()) << "no box to click away";
}
