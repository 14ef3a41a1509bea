// A window for the tests that drive it as a user does: its own settings
// and output folders, dialogs that answer at once and keep the addresses
// opened, and a row of the user's presets whose pictures go through a slow
// test hook, so that jobs last long enough to be watched.
#pragma once

#include "FixtureMedia.h"
#include "MainWindow.h"
#include "WindowSupport.h"

#include <gtest/gtest.h>

#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTreeWidget>

#include <fstream>
#include <memory>

#include <ostream>

// Readable QString and QStringList in the tests' messages.
inline void PrintTo(const QString& text, std::ostream* out) { *out << '"' << text.toStdString() << '"'; }
inline void PrintTo(const QStringList& list, std::ostream* out) {
  *out << '[' << list.join(" | ").toStdString() << ']';
}

namespace kestro::test {

inline QString MediaFile(const char* name) {
  return QString::fromStdString(Fixtures::MediaPath(name));
}

class TUrlDialogs : public TQuietDialogs {
public:
  QString PickFolder(QWidget*, const QString&) override { return Folder; }
  void OpenUrl(const QString& url) override { Urls << url; }
  QString Folder;
  QStringList Urls;
};

class QueueWindow : public ::testing::Test {
protected:
  static constexpr const char* SlowRow = "Slow (*.mp4)";

  void SetUp() override {
    ASSERT_TRUE(App.isValid() && Config.isValid() && Out.isValid());
    std::ofstream((Config.path() + "/KestroVideo/presets.json").toStdString())
        << R"json([{"text": "Slow (*.mp4)", "name": "slow",
                "video": {"codec": "mpeg4", "options": ["vhook=)json"
        << KESTRO_HOOK_DIR << R"json(/testhook_slow.so"]},
                "audio": {"codec": "aac", "bitrate": 96000},
                "audio_only": {"extension": ".m4a"}}])json";
  }
  void TearDown() override { Win.reset(); }

  // A new window on the same settings, converting in workers into Out.
  void Make(const QString& format = QString()) {
    Win.reset();
    Win = std::make_unique<TfrmMain>(Dialogs, App.path());
    Win->WorkerPath = KESTROCONVERT;
    Win->txtOutput->setText(Out.path());
    Win->show(); // keys and clicks reach it as they would on a screen
    ASSERT_TRUE(QTest::qWaitForWindowExposed(Win.get(), 5000));
    if (!format.isEmpty()) {
      Win->selFormat->setCurrentText(format);
      ASSERT_EQ(Win->selFormat->currentText(), format);
    }
  }
  // "Add..." with `files` chosen, until `rows` rows are listed.
  bool Add(const QStringList& files, int rows, int ms = 30000) {
    Dialogs.Files = files;
    QTest::mouseClick(Win->btnOpen, Qt::LeftButton);
    return QTest::qWaitFor([&] { return Rows() == rows && !Win->Adding(); }, ms);
  }
  int Rows() const { return Win->lvFiles->topLevelItemCount(); }
  QTreeWidgetItem* Row(int row) const { return Win->lvFiles->topLevelItem(row); }
  QString Status(int row) const { return Row(row)->text(1); }
  QString Output(const QString& name) const { return Out.path() + "/" + name; }

  QTemporaryDir App, Out;
  TConfigHome Config;
  TUrlDialogs Dialogs;
  std::unique_ptr<TfrmMain> Win;
};

} // namespace kestro::test
