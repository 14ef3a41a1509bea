// What the window tests share: dialogs that answer at once, and a user
// configuration folder of the test's own.
#pragma once

#include "Dialogs.h"

#include <QDir>
#include <QTemporaryDir>

namespace kestro::test {

// Every question answered yes; messages kept; the files to add given by the test.
class TQuietDialogs : public TDialogs {
public:
  void Message(QWidget*, const QString& text, const QString&, TIcon) override { Shown << text; }
  bool AskYesNo(QWidget*, const QString&, const QString&) override { return true; }
  QStringList OpenFiles(QWidget*, const QString&) override { return Files; }
  QString PickFolder(QWidget*, const QString&) override { return {}; }
  void OpenUrl(const QString&) override {}
  QStringList Files, Shown;
};

// XDG_CONFIG_HOME pointed at a folder of its own while it lives, so that the
// user's presets file and settings stay out of the test.
class TConfigHome {
public:
  TConfigHome()
      : Saved(qgetenv("XDG_CONFIG_HOME")), Had(qEnvironmentVariableIsSet("XDG_CONFIG_HOME")) {
    qputenv("XDG_CONFIG_HOME", Folder.path().toUtf8());
    QDir(Folder.path()).mkpath("KestroVideo");
  }
  ~TConfigHome() {
    if (Had)
      qputenv("XDG_CONFIG_HOME", Saved);
    else
      qunsetenv("XDG_CONFIG_HOME");
  }
  TConfigHome(const TConfigHome&) = delete;
  TConfigHome& operator=(const TConfigHome&) = delete;
  bool isValid() const { return Folder.isValid(); }
  QString path() const { return Folder.path(); }

private:
  QTemporaryDir Folder;
  QByteArray Saved;
  bool Had;
};

} // namespace kestro::test
