// The converter's window: the list of sources, the output format and
// folder, and "Convert!" / "Stop".
#pragma once

#include "Dialogs.h"
#include "PresetTable.h"
#include "QxAVConverter.h"
#include "Settings.h"

#include <QWidget>

#include <memory>
#include <vector>

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QTreeWidget;

namespace kestro {
class TProcessRunner;
}

extern const char* const ProductName;
extern const char* const ProductWebsite;

class TfrmMain : public QWidget {
  Q_OBJECT
public:
  // `dialogs` answers every question; `appFolder` holds "lib" and "conf.ini"
  // (empty: the executable's folder).
  explicit TfrmMain(TDialogs& dialogs, const QString& appFolder = QString(),
                    QWidget* parent = nullptr);
  ~TfrmMain() override;

  // The handlers, public so tests can drive them as a user would.
  void FormCreate();
  void FormShow();
  void chkSameFolderClick();
  void btnFolderChangeClick();
  void btnBrowseClick();
  void btnOpenClick();
  // "Add..." after the dialog, and drops; returns the reason for each file left out.
  QStringList AddFiles(const QStringList& files);
  // Files the program was started with ("Open with"): listed as "Add..."
  // lists them, and any left out are said with their reasons.
  void AddStartFiles(const QStringList& files);
  void DoLoadFromList();
  void btnConvertClick();

  // Controls and state, readable by tests.
  QPushButton* btnOpen = nullptr;
  QPushButton* btnConvert = nullptr;
  QComboBox* selFormat = nullptr;
  QTreeWidget* lvFiles = nullptr;
  QLineEdit* txtOutput = nullptr;
  QPushButton* btnFolderChange = nullptr;
  QPushButton* btnBrowse = nullptr;
  QCheckBox* chkSameFolder = nullptr;
  QLabel* lblStatus = nullptr; // a problem with the user's presets file, when there is one
  kestro::TPresetTable PresetTable;
  kestro::TQxAVConverter QxAVC;
  // kestroconvert, which runs each job in a process of its own, so that a
  // crash costs its job alone; empty: the jobs run inside the window.
  QString WorkerPath;
  std::unique_ptr<kestro::TProcessRunner> Runner; // the batch's workers, when it has them
  QString AppFolder;
  QString BaseCaption;
  bool UserStopped = false;
  QString LastConvertedFormat;
  TSettings Settings;

signals:
  void BatchFinished(); // after the last job's notification was shown

protected:
  void closeEvent(QCloseEvent* event) override;
  void dragEnterEvent(QDragEnterEvent* event) override;
  void dropEvent(QDropEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

private:
  void QxAVCProgress(int AIndex, int ACurrentDuration, int ATotalOutputDuration);
  void QxAVCTerminate(int AIndex, bool AFinished, bool AException, const QString& AMessage);
  void SetCaption(const QString& suffix);
  void SetBusy(bool busy);
  void StopBatch();
  QString LibFolder() const;
  void ShowLibraries();
  void AddRow(const QString& path);
  // Row of a job: rows and jobs stay matched when a job is removed.
  int RowOfJob(int job) const;
  void RemoveJob(int job);

  TDialogs& Dialogs;
  std::vector<int> JobRows; // JobRows[job index] = row
};
