// The converter's window: the list of sources, the output format and
// folder, and "Convert!" / "Stop".
#pragma once

#include "Dialogs.h"
#include "PresetTable.h"
#include "QxAVConverter.h"
#include "RowProgress.h"
#include "Settings.h"

#include <QWidget>

#include <memory>
#include <vector>

class QAction;
class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QTreeWidget;
class QTreeWidgetItem;

namespace kestro {
class TProcessRunner;
struct TWorkerJob;
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
  void AddFiles(const QStringList& files); // "Add..." after the dialog, and drops
  void AddStartFiles(const QStringList& files); // kestrovideo FILE...
  // The rows' jobs; `failedOnly`: those of the failed rows alone.
  void DoLoadFromList(bool failedOnly = false);
  void btnConvertClick();
  void btnAddFolderClick();
  bool Adding() const; // files are still being read

  // Controls and state, readable by tests.
  QPushButton* btnOpen = nullptr;
  QPushButton* btnConvert = nullptr;
  QPushButton* btnAddFolder = nullptr;
  QComboBox* selFormat = nullptr;
  QTreeWidget* lvFiles = nullptr;
  QLineEdit* txtOutput = nullptr;
  QPushButton* btnFolderChange = nullptr;
  QPushButton* btnBrowse = nullptr;
  QCheckBox* chkSameFolder = nullptr;
  QLabel* lblStatus = nullptr; // a problem with the user's presets file, when there is one
  QLineEdit* txtMaxSize = nullptr; // the size video outputs must fit; empty: none
  QComboBox* selJobs = nullptr;    // "Automatic", or 1 to the cores
  QProgressBar* barTotal = nullptr; // the batch as a whole
  QLabel* lblTotal = nullptr;       // files done of total, and time left
  // The list's own actions (its context menu; Delete removes).
  QAction* actOpen = nullptr;
  QAction* actShowInFolder = nullptr;
  QAction* actRemove = nullptr;
  QAction* actClearFinished = nullptr;
  QAction* actRetryFailed = nullptr;
  QAction* actShowLog = nullptr;
  class TJobLogView* LogView = nullptr; // made when first shown
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
  // The jobs a batch runs at once, from "Jobs at once" and the cores.
  int JobsToRun() const;
  bool ChosenRowHasVideo() const;
  // The size limit for `row`'s outputs: the "Max size" field's for a video
  // row, else the row's own; false (and said) when the field is not a size.
  bool SizeLimitFor(const kestro::TPresetRow& row, int64_t& limit);
  void ShowTotal();
  void StoreSettings();
  void SetBusy(bool busy);
  void StopBatch();
  QString LibFolder() const;
  void ShowLibraries();
  void AddRow(const QString& path, const QString& error);
  void FilesRead();
  void StartBatch(bool failedOnly);
  bool IsInBatch(int row, bool failedOnly) const;
  QTreeWidgetItem* ResetRow(int row); // Ready again, its last job's output and log gone
  void FailRow(QTreeWidgetItem* item, const std::string& reason);
  // The batch's jobs for workers, or (SetUpJobs) for the component in this process.
  std::vector<kestro::TWorkerJob> PlanWorkerJobs(const kestro::TPresetRow& row, int64_t sizeLimit,
                                                 bool failedOnly);
  void SetUpJobs(const kestro::TPresetRow& row, bool failedOnly);
  bool QueueEditable() const; // no batch runs and no file is being read
  void ListEdited();
  void RemoveSelectedRows();
  void ClearFinishedRows();
  void RetryFailedRows();
  void OpenRow(QTreeWidgetItem* item); // a done row's output, in the desktop's application
  void ShowInFolder();
  void NotifyBatchEnd();
  void JobLog(int job, const QString& line);
  void ShowLog(QTreeWidgetItem* item); // the row's state, reason and log lines
  // Row of a job: rows and jobs stay matched when a job is removed.
  int RowOfJob(int job) const;
  void RemoveJob(int job);

  TDialogs& Dialogs;
  class TFileReader* Reader = nullptr;
  bool ListConverted = false; // a batch of this list ended: adding starts a new list
  bool ConvertWhenRead = false; // "Convert!" came while files were being read
  QTreeWidgetItem* LogItem = nullptr; // the row LogView shows
  QString LastBatchFormat;
  std::vector<int> JobRows; // JobRows[job index] = row
  std::vector<TJobClock> Clocks; // per job
  qint64 BatchStartMs = 0;
};
