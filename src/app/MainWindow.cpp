#include "MainWindow.h"
#include "WindowArgs.h"

#include "BatchOutput.h"
#include "FileReader.h"
#include "HeaderPicture.h"
#include "InputSource.h"
#include "JobLogView.h"
#include "JobsAtOnce.h"
#include "SourceCheck.h"
#include "SizeFit.h"
#include "StatusDelegate.h"
#include "WorkerBatch.h"

#include <QAction>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QCoreApplication>
#include <QDateTime>
#include <QDialog>
#include <QDir>
#include <QDragEnterEvent>
#include <QFileInfo>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QShortcut>
#include <QThread>
#include <QTimer>
#include <QTreeWidget>
#include <QVBoxLayout>

using namespace kestro;

const char* const ProductName = "Kestro Video";
const char* const ProductWebsite = "https://kestrovideo.example.org/";

namespace {

enum TColumn { ColSource, ColStatus, ColPath };

const char* const ReadyText = "Ready";
const char* const DoneText = "Done";
const char* const CanceledText = "Canceled";
const char* const FailedText = "Failed";

QString SupportedFilesFilter() {
  return "All Supported Files (" + TFileReader::MediaPatterns().join(' ') + ");;All Files (*)";
}

// The source file of a row, and the output of its last job.
constexpr int PathRole = Qt::UserRole;
constexpr int OutputRole = Qt::UserRole + 1;
constexpr int LogRole = Qt::UserRole + 2; // the lines its last job logged

const char* LevelName(TLogLevel level) {
  switch (level) {
  case llError:
    return "error";
  case llInfo:
    return "info";
  default:
    return "debug";
  }
}

QLabel* Link(QWidget* parent, const QString& text) {
  return new QLabel("<a href=\"#\">" + text + "</a>", parent);
}

} // namespace

TfrmMain::TfrmMain(TDialogs& dialogs, const QString& appFolder, QWidget* parent)
    : QWidget(parent), AppFolder(appFolder), Dialogs(dialogs) {
  resize(771, 571);
  setMinimumSize(640, 440);
  QFont font("Verdana");
  font.setPointSize(9);
  setFont(font);
  setAcceptDrops(true);

  auto* header = new QLabel(this);
  header->setPixmap(DrawHeaderPicture(QSize(761, 100), ProductName));
  header->setAlignment(Qt::AlignCenter);
  header->setCursor(Qt::PointingHandCursor);
  header->installEventFilter(this);
  header->setObjectName("Image1");

  QLabel* more = Link(this, "More Software");
  connect(more, &QLabel::linkActivated, this, [this] { ShowLibraries(); });
  QLabel* website = Link(this, "Website");
  connect(website, &QLabel::linkActivated, this, [this] { Dialogs.OpenUrl(ProductWebsite); });

  btnOpen = new QPushButton("Add...", this);
  btnOpen->setFixedSize(94, 72);
  btnOpen->setToolTip("Open one or more videos to the list");
  connect(btnOpen, &QPushButton::clicked, this, [this] { btnOpenClick(); });

  btnConvert = new QPushButton("Convert!", this);
  btnConvert->setFixedSize(94, 72);
  btnConvert->setToolTip("Convert all the videos from the list");
  connect(btnConvert, &QPushButton::clicked, this, [this] { btnConvertClick(); });

  btnAddFolder = new QPushButton("Add Folder...", this);
  btnAddFolder->setToolTip("Add the videos and songs of a folder and its subfolders");
  connect(btnAddFolder, &QPushButton::clicked, this, [this] { btnAddFolderClick(); });

  Reader = new TFileReader(this);
  connect(Reader, &TFileReader::FileRead, this,
          [this](const QString& path, const QString& error) { AddRow(path, error); });
  connect(Reader, &TFileReader::Finished, this, [this] { FilesRead(); });

  auto* formatLabel = new QLabel("Output Format:", this);
  selFormat = new QComboBox(this);
  selFormat->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
  auto* maxSizeLabel = new QLabel("Max size:", this);
  txtMaxSize = new QLineEdit(this);
  txtMaxSize->setPlaceholderText("no limit");
  txtMaxSize->setToolTip("Video outputs are kept within this size, e.g. 8M, 500K, 1.5G "
                         "(empty: no limit)");
  txtMaxSize->setFixedWidth(90);
  auto* jobsLabel = new QLabel("Jobs at once:", this);
  selJobs = new QComboBox(this);
  selJobs->addItem("Automatic");
  for (int n = 1; n <= std::max(1, QThread::idealThreadCount()); ++n)
    selJobs->addItem(QString::number(n));
  selJobs->setToolTip("How many files are converted at the same time");

  auto* choices = new QGridLayout;
  choices->addWidget(formatLabel, 0, 0);
  choices->addWidget(selFormat, 0, 1, 1, 5);
  choices->addWidget(maxSizeLabel, 1, 0);
  choices->addWidget(txtMaxSize, 1, 1);
  choices->addWidget(jobsLabel, 1, 2, Qt::AlignRight);
  choices->addWidget(selJobs, 1, 3);
  choices->setColumnStretch(4, 1);
  auto* links = new QHBoxLayout;
  links->addWidget(btnAddFolder);
  links->addSpacing(12);
  links->addWidget(more);
  links->addStretch();
  links->addWidget(website);
  choices->addLayout(links, 2, 1, 1, 5);

  auto* top = new QHBoxLayout;
  top->addWidget(btnOpen);
  top->addWidget(btnConvert);
  top->addSpacing(12);
  top->addLayout(choices, 1);

  lvFiles = new QTreeWidget(this);
  lvFiles->setHeaderLabels({"Source", "Status", "Path"});
  lvFiles->setRootIsDecorated(false);
  lvFiles->setUniformRowHeights(true);
  lvFiles->setSelectionBehavior(QAbstractItemView::SelectRows);
  lvFiles->setEditTriggers(QAbstractItemView::NoEditTriggers);
  lvFiles->setAlternatingRowColors(true);
  lvFiles->setStyleSheet("QTreeView::item { height: 22px; }");
  lvFiles->header()->resizeSection(ColSource, 333);
  lvFiles->header()->resizeSection(ColStatus, 240); // room for the speed and time left
  lvFiles->header()->setStretchLastSection(true);
  lvFiles->setItemDelegateForColumn(ColStatus, new TStatusDelegate(lvFiles));
  lvFiles->setContextMenuPolicy(Qt::ActionsContextMenu);
  auto* addFiles = new QAction("Add File(s)", lvFiles);
  connect(addFiles, &QAction::triggered, this, [this] { btnOpenClick(); });
  lvFiles->addAction(addFiles);
  auto* separator = new QAction(lvFiles);
  separator->setSeparator(true);
  lvFiles->addAction(separator);
  actOpen = new QAction("Open", lvFiles);
  connect(actOpen, &QAction::triggered, this, [this] { OpenRow(lvFiles->currentItem()); });
  actShowInFolder = new QAction("Show in Folder", lvFiles);
  connect(actShowInFolder, &QAction::triggered, this, [this] { ShowInFolder(); });
  actRemove = new QAction("Remove", lvFiles);
  actRemove->setShortcut(QKeySequence::Delete);
  actRemove->setShortcutContext(Qt::WidgetShortcut);
  connect(actRemove, &QAction::triggered, this, [this] { RemoveSelectedRows(); });
  actClearFinished = new QAction("Clear Finished", lvFiles);
  connect(actClearFinished, &QAction::triggered, this, [this] { ClearFinishedRows(); });
  actRetryFailed = new QAction("Retry Failed", lvFiles);
  connect(actRetryFailed, &QAction::triggered, this, [this] { RetryFailedRows(); });
  actShowLog = new QAction("Show Log...", lvFiles);
  connect(actShowLog, &QAction::triggered, this, [this] { ShowLog(lvFiles->currentItem()); });
  lvFiles->addActions(
      {actOpen, actShowInFolder, actShowLog, actRemove, actClearFinished, actRetryFailed});
  lvFiles->setSelectionMode(QAbstractItemView::ExtendedSelection);
  // Enter and a double-click.
  connect(lvFiles, &QTreeWidget::itemActivated, this,
          [this](QTreeWidgetItem* item) { OpenRow(item); });

  lblStatus = new QLabel(this);
  lblStatus->setStyleSheet("color: #b00000;");
  lblStatus->hide();

  barTotal = new QProgressBar(this);
  barTotal->setRange(0, 100);
  barTotal->setValue(0);
  lblTotal = new QLabel(this);
  lblTotal->setMinimumWidth(220);
  auto* total = new QHBoxLayout;
  total->addWidget(barTotal, 1);
  total->addWidget(lblTotal);

  auto* outputLabel = new QLabel("Output Folder:", this);
  txtOutput = new QLineEdit(this);
  txtOutput->setReadOnly(true);
  txtOutput->installEventFilter(this);
  btnFolderChange = new QPushButton("Change", this);
  btnFolderChange->setFixedWidth(94);
  connect(btnFolderChange, &QPushButton::clicked, this, [this] { btnFolderChangeClick(); });
  btnBrowse = new QPushButton("Browse", this);
  btnBrowse->setFixedWidth(94);
  connect(btnBrowse, &QPushButton::clicked, this, [this] { btnBrowseClick(); });
  auto* output = new QHBoxLayout;
  output->addWidget(outputLabel);
  output->addWidget(txtOutput, 1);
  output->addWidget(btnFolderChange);
  output->addWidget(btnBrowse);
  chkSameFolder = new QCheckBox("Use the same directory to the source file", this);
  chkSameFolder->hide();
  chkSameFolder->setEnabled(false);
  connect(chkSameFolder, &QCheckBox::clicked, this, [this] { chkSameFolderClick(); });

  // Shortcuts while the window is active; each does what its button would.
  auto* addKey = new QShortcut(QKeySequence::Open, this);
  connect(addKey, &QShortcut::activated, this, [this] {
    if (btnOpen->isEnabled())
      btnOpenClick();
  });
  for (const QKeySequence& key : {QKeySequence(Qt::CTRL | Qt::Key_Return),
                                  QKeySequence(Qt::CTRL | Qt::Key_Enter)}) {
    auto* convertKey = new QShortcut(key, this);
    connect(convertKey, &QShortcut::activated, this, [this] {
      if (btnConvert->text() != "Stop")
        btnConvertClick();
    });
  }
  auto* stopKey = new QShortcut(QKeySequence(Qt::Key_Escape), this);
  connect(stopKey, &QShortcut::activated, this, [this] {
    if (btnConvert->text() == "Stop")
      btnConvertClick();
  });
  btnOpen->setToolTip(btnOpen->toolTip() + " (Ctrl+O)");
  btnConvert->setToolTip(btnConvert->toolTip() + " (Ctrl+Return; Escape stops)");

  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(5, 5, 5, 5);
  layout->addWidget(header);
  layout->addLayout(top);
  layout->addWidget(lvFiles, 1);
  layout->addWidget(lblStatus);
  layout->addLayout(total);
  layout->addLayout(output);
  layout->addWidget(chkSameFolder);

  // Each job's lines are kept with its row, for its log view.
  QxAVC.SetLogLevel(llInfo);
  QxAVC.OnLog = [this](int AIndex, TLogLevel ALevel, const std::string& AMsg) {
    const QString line = QString::fromStdString(AMsg).trimmed();
    QMetaObject::invokeMethod(
        this, [=, this] { JobLog(AIndex, QString("[%1] ").arg(LevelName(ALevel)) + line); },
        Qt::QueuedConnection);
  };
  QxAVC.SetProgressInterval(100);
  // Job events arrive on worker threads; the widgets are updated on this
  // thread, in the order each job raised them.
  QxAVC.OnProgress = [this](int AIndex, int, int, int ACurrentDuration, float, float, int64_t,
                            int ATotalOutputDuration) {
    QMetaObject::invokeMethod(
        this, [=, this] { QxAVCProgress(AIndex, ACurrentDuration, ATotalOutputDuration); },
        Qt::QueuedConnection);
  };
  QxAVC.OnTerminate = [this](int AIndex, bool AFinished, bool AException,
                             const std::string& AMessage) {
    const QString message = QString::fromStdString(AMessage);
    QMetaObject::invokeMethod(
        this, [=, this] { QxAVCTerminate(AIndex, AFinished, AException, message); },
        Qt::QueuedConnection);
  };
  QxAVC.PostDelayed = [this](int delayMs, std::function<void()> work) {
    QTimer::singleShot(delayMs, this, std::move(work));
  };
  FormCreate();
}

TfrmMain::~TfrmMain() {
  delete Reader; // its thread ends before anything it reports to goes
  Reader = nullptr;
  Runner.reset(); // its last events go to this window: ended while it is whole
}

void TfrmMain::FormCreate() {
  if (AppFolder.isEmpty())
    AppFolder = QCoreApplication::applicationDirPath();
  if (!AppFolder.endsWith('/'))
    AppFolder += '/';
  PresetTable = LoadPresetTable();
  for (const TPresetRow& row : PresetTable.Rows())
    selFormat->addItem(QString::fromStdString(row.Text));
  if (!PresetTable.Error.empty()) {
    // Said once, here; the built-in rows are listed all the same.
    const QString error = QString::fromStdString(PresetTable.Error);
    lblStatus->setText(error);
    lblStatus->setToolTip(error);
    lblStatus->show();
  }
  BaseCaption = ProductName;
  Settings.Load(AppFolder);
  // A choice stored by its entry text or short name is kept; without one
  // (or when its row is gone) the first row is the choice.
  const TPresetRow* stored = PresetTable.Find(Settings.Format.toStdString());
  selFormat->setCurrentIndex(stored ? int(stored - PresetTable.Rows().data()) : 0);
  // "Max size" is for video rows; an audio row keeps its own sizes.
  txtMaxSize->setEnabled(ChosenRowHasVideo());
  connect(selFormat, &QComboBox::currentIndexChanged, this,
          [this] { txtMaxSize->setEnabled(ChosenRowHasVideo()); });
  txtOutput->setText(Settings.Output);
  txtMaxSize->setText(Settings.MaxSize);
  selJobs->setCurrentIndex(std::min(Settings.Jobs, selJobs->count() - 1));
  if (Settings.Width > 0 && Settings.Height > 0)
    resize(Settings.Width, Settings.Height);
  for (int column = 0; column < Settings.Columns.size() && column < ColPath; ++column)
    lvFiles->header()->resizeSection(column, Settings.Columns[column]);
  chkSameFolder->setChecked(Settings.SameFolder);
  chkSameFolderClick();
  if (!ParseWindowArgs(QCoreApplication::arguments()).InProcess) {
    WorkerPath = QString::fromStdString(
        FindWorkerProgram(QCoreApplication::applicationDirPath().toStdString()));
    if (WorkerPath.isEmpty())
      qWarning("kestroconvert is not beside the program: the jobs run inside the window");
  }
  FormShow();
}

void TfrmMain::FormShow() { setWindowTitle(BaseCaption); }

void TfrmMain::StoreSettings() {
  Settings.Output = txtOutput->text();
  Settings.SameFolder = chkSameFolder->isChecked();
  Settings.Format = selFormat->currentText();
  Settings.Jobs = selJobs->currentIndex();
  Settings.MaxSize = txtMaxSize->text().trimmed();
  Settings.Width = width();
  Settings.Height = height();
  // The last column takes what is left, so only the others are kept.
  Settings.Columns.clear();
  for (int column = 0; column < ColPath; ++column)
    Settings.Columns << lvFiles->header()->sectionSize(column);
  Settings.Save();
}

void TfrmMain::closeEvent(QCloseEvent* event) {
  StoreSettings();
  StopBatch();
  event->accept();
}

void TfrmMain::chkSameFolderClick() {
  const bool same = chkSameFolder->isChecked();
  txtOutput->setEnabled(!same);
  btnFolderChange->setEnabled(txtOutput->isEnabled());
  btnBrowse->setEnabled(!same);
}

void TfrmMain::btnFolderChangeClick() {
  const QString folder = Dialogs.PickFolder(this, "Select an Output Folder:");
  if (!folder.isEmpty())
    txtOutput->setText(folder);
}

void TfrmMain::btnBrowseClick() {
  QDir().mkpath(txtOutput->text());
  Dialogs.OpenUrl(QUrl::fromLocalFile(txtOutput->text()).toString());
}

QString TfrmMain::LibFolder() const { return AppFolder + "lib"; }

void TfrmMain::SetCaption(const QString& suffix) { setWindowTitle(BaseCaption + suffix); }

void TfrmMain::btnOpenClick() {
  if (!QxAVC.LoadLibraries(LibFolder().toStdString(), true)) {
    Dialogs.Message(this, "Error: Lib cannot be loaded.", BaseCaption, TDialogs::Error);
    return;
  }
  const QStringList files = Dialogs.OpenFiles(this, SupportedFilesFilter());
  if (!files.isEmpty())
    AddFiles(files);
}

void TfrmMain::btnAddFolderClick() {
  if (!QxAVC.LoadLibraries(LibFolder().toStdString(), true)) {
    Dialogs.Message(this, "Error: Lib cannot be loaded.", BaseCaption, TDialogs::Error);
    return;
  }
  const QString folder = Dialogs.PickFolder(this, "Add the Media Files of a Folder:");
  if (!folder.isEmpty())
    AddFiles({folder});
}

bool TfrmMain::Adding() const { return Reader->Busy(); }

void TfrmMain::AddRow(const QString& path, const QString& error) {
  const QFileInfo info(path);
  auto* row = new QTreeWidgetItem(lvFiles);
  row->setText(ColSource, info.fileName());
  row->setText(ColStatus, error.isEmpty() ? ReadyText : FailedText);
  row->setToolTip(ColStatus, error);
  row->setText(ColPath, QDir::toNativeSeparators(info.absolutePath() + "/"));
  row->setData(ColSource, PathRole, info.absoluteFilePath());
  SetCaption(" [Loading File " + QString::number(lvFiles->topLevelItemCount()) + "...]");
}

void TfrmMain::FilesRead() {
  if (lvFiles->topLevelItemCount() > 0)
    SetCaption(" [Ready]");
  if (ConvertWhenRead) {
    ConvertWhenRead = false;
    btnConvertClick();
  }
}

// The files the program was started with, as "Add..." takes them: a file
// that cannot be read gets a "Failed" row with its reason.
void TfrmMain::AddStartFiles(const QStringList& files) {
  if (!QxAVC.LoadLibraries(LibFolder().toStdString(), true)) {
    Dialogs.Message(this, "Error: Lib cannot be loaded.", BaseCaption, TDialogs::Error);
    return;
  }
  AddFiles(files);
}

// The files are read on the reader's thread; their rows come as each is known.
void TfrmMain::AddFiles(const QStringList& files) {
  if (ListConverted) {
    Reader->Cancel();
    LogItem = nullptr;
    lvFiles->clear();
    QxAVC.ClearJobs();
    JobRows.clear();
    UserStopped = false;
    ListConverted = false;
  }
  Reader->Read(files);
  selFormat->setFocus();
}

void TfrmMain::DoLoadFromList(bool failedOnly) {
  if (!QxAVC.LoadLibraries(LibFolder().toStdString(), true)) {
    Dialogs.Message(this, "Error: Lib cannot be loaded.", BaseCaption, TDialogs::Error);
    return;
  }
  JobRows.clear();
  for (int row = 0; row < lvFiles->topLevelItemCount(); ++row) {
    if (!IsInBatch(row, failedOnly))
      continue;
    QTreeWidgetItem* item = ResetRow(row);
    const QString path = item->data(ColSource, PathRole).toString();
    if (const std::string problem = CheckSource(QxAVC.Probe, path.toStdString());
        !problem.empty()) {
      FailRow(item, problem);
      continue;
    }
    SetCaption(" [Loading File " + QString::number(row + 1) + "...]");
    TInputOptions input;
    InitInputOptions(input);
    input.FileName = path.toStdString();
    if (QxAVC.AddInput(input.FileName, &input) >= 0)
      JobRows.push_back(row);
    else
      FailRow(item, QxAVC.LastError);
  }
}

int TfrmMain::RowOfJob(int job) const {
  return job >= 0 && job < int(JobRows.size()) ? JobRows[job] : -1;
}

void TfrmMain::RemoveJob(int job) {
  const int row = RowOfJob(job);
  if (row >= 0) {
    lvFiles->topLevelItem(row)->setText(ColStatus, FailedText);
    lvFiles->topLevelItem(row)->setToolTip(ColStatus, QString::fromStdString(QxAVC.LastError));
  }
  QxAVC.DeleteJob(job);
  if (job < int(JobRows.size()))
    JobRows.erase(JobRows.begin() + job);
}

void TfrmMain::btnConvertClick() {
  if (btnConvert->text() == "Stop") {
    UserStopped = true;
    StopBatch();
    return;
  }
  if (Adding()) { // the batch starts once every row is known
    ConvertWhenRead = true;
    return;
  }
  if (!QxAVC.Probe.LoadLibraries(LibFolder().toStdString(), true)) {
    Dialogs.Message(this, "Error: Lib cannot be loaded.", BaseCaption, TDialogs::Error);
    return;
  }
  if (lvFiles->topLevelItemCount() == 0) {
    Dialogs.Message(this, "Please choose a file.", "Information", TDialogs::Information);
    QxAVC.ClearJobs();
    JobRows.clear();
    UserStopped = false;
    btnOpen->setFocus();
    return;
  }
  const QString format = selFormat->currentText();
  if (ListConverted && format == LastConvertedFormat &&
      !Dialogs.AskYesNo(this,
                        "File(s) from the list was already converted to this format\r\n" +
                            format + "\r\n" + "Do you wish to convert agin?",
                        "Information"))
    return;
  StartBatch(false);
}

void TfrmMain::StartBatch(bool failedOnly) {
  const QString format = selFormat->currentText();
  const TPresetRow* row = PresetTable.Find(format.toStdString());
  if (!row) // the list holds the table's rows only
    return;
  int64_t sizeLimit = 0;
  if (!SizeLimitFor(*row, sizeLimit))
    return;
  LastBatchFormat = format;
  QxAVC.ClearJobs();
  UserStopped = false;
  Runner.reset(); // the last batch's, ended
  // A pipe or a device gives its data once: the window reads its beginning
  // to plan the output, so a batch holding one runs inside the window.
  bool readOnce = false;
  for (int r = 0; r < lvFiles->topLevelItemCount(); ++r)
    readOnce = readOnce || (IsInBatch(r, failedOnly) &&
                            TInputSource::IsStream(
                                lvFiles->topLevelItem(r)->data(ColSource, PathRole).toString().toStdString()));
  const bool inWorkers = !WorkerPath.isEmpty() && !readOnce;
  if (sizeLimit > 0 && !inWorkers) {
    Dialogs.Message(this,
                    "This format keeps each file within a size, which needs the conversion "
                    "program kestroconvert beside this one and files that can be read again.",
                    "Information", TDialogs::Information);
    return;
  }
  std::vector<TWorkerJob> workerJobs;
  if (inWorkers)
    workerJobs = PlanWorkerJobs(*row, sizeLimit, failedOnly);
  else
    SetUpJobs(*row, failedOnly);
  if (JobRows.empty()) {
    // Nothing could be set up: there is no batch to wait for.
    SetCaption(" [Done]");
    return;
  }
  btnConvert->setFocus();
  Clocks.assign(JobRows.size(), TJobClock());
  BatchStartMs = QDateTime::currentMSecsSinceEpoch();
  if (inWorkers) {
    Runner = MakeRunner(WorkerPath.toStdString(), QxAVC);
    Runner->Start(std::move(workerJobs), JobsToRun());
  } else {
    QxAVC.StartJobs(JobsToRun());
  }
  UserStopped = false;
  SetCaption(" [Converting...]");
  SetBusy(true);
  ShowTotal();
}

bool TfrmMain::IsInBatch(int row, bool failedOnly) const {
  return !failedOnly || lvFiles->topLevelItem(row)->text(ColStatus) == FailedText;
}

QTreeWidgetItem* TfrmMain::ResetRow(int row) {
  QTreeWidgetItem* item = lvFiles->topLevelItem(row);
  item->setText(ColStatus, ReadyText);
  item->setToolTip(ColStatus, QString());
  item->setData(ColSource, OutputRole, QVariant());
  item->setData(ColSource, LogRole, QVariant());
  return item;
}

void TfrmMain::FailRow(QTreeWidgetItem* item, const std::string& reason) {
  item->setText(ColStatus, FailedText);
  item->setToolTip(ColStatus, QString::fromStdString(reason));
}

// The workers open the sources themselves: each is looked at here only as
// long as planning its output takes, so a long list holds no file open
// twice.
std::vector<TWorkerJob> TfrmMain::PlanWorkerJobs(const TPresetRow& row, int64_t sizeLimit,
                                                 bool failedOnly) {
  JobRows.clear();
  std::vector<TWorkerJob> jobs;
  TAVProbe probe;
  probe.Enable();
  for (int r = 0; r < lvFiles->topLevelItemCount(); ++r) {
    if (!IsInBatch(r, failedOnly))
      continue;
    QTreeWidgetItem* item = ResetRow(r);
    const std::string source = item->data(ColSource, PathRole).toString().toStdString();
    if (const std::string problem = OpenSource(probe, source); !problem.empty()) {
      FailRow(item, problem);
      continue;
    }
    TInputOptions input;
    InitInputOptions(input);
    input.FileName = source;
    // Its worker sets the output up, and a failure there (or a source that
    // cannot fit) fails its row when its turn comes.
    jobs.push_back(PlanWorkerJob(row, sizeLimit, source, input, chkSameFolder->isChecked(),
                                 txtOutput->text().toStdString(), probe, {}));
    probe.Close();
    JobRows.push_back(r);
    if (!jobs.back().Output.empty())
      item->setData(ColSource, OutputRole, QString::fromStdString(jobs.back().Output));
  }
  return jobs;
}

void TfrmMain::SetUpJobs(const TPresetRow& row, bool failedOnly) {
  DoLoadFromList(failedOnly);
  for (int job = 0; job < QxAVC.JobCount();) {
    const std::string source = QxAVC.JobInputContext(job)->url;
    TOutputPlan plan = PlanOutput(row, source, chkSameFolder->isChecked(),
                                  txtOutput->text().toStdString(), QxAVC.Jobs(job).Probe);
    if (QxAVC.SetOutput(job, plan.FileName, &plan.Options)) {
      lvFiles->topLevelItem(RowOfJob(job))->setData(ColSource, OutputRole,
                                                    QString::fromStdString(plan.FileName));
      ++job;
    } else {
      RemoveJob(job);
      Dialogs.Message(this, "Error found", BaseCaption, TDialogs::Error);
    }
    QxAVC.Probe.Close();
  }
}

bool TfrmMain::ChosenRowHasVideo() const {
  const TPresetRow* row = PresetTable.Find(selFormat->currentText().toStdString());
  return row && !row->VideoCodec.empty();
}

int TfrmMain::JobsToRun() const {
  return JobsAtOnce(selJobs->currentIndex(), QThread::idealThreadCount(), CodecThreadsPerJob);
}

bool TfrmMain::SizeLimitFor(const TPresetRow& row, int64_t& limit) {
  limit = row.SizeLimitBytes;
  const QString text = txtMaxSize->text().trimmed();
  if (row.VideoCodec.empty() || text.isEmpty())
    return true;
  const std::optional<int64_t> bytes = ParseSize(text.toStdString());
  if (!bytes || *bytes <= 0) {
    Dialogs.Message(this, "\"" + text + "\" is not a size (e.g. 8M, 500K, 1.5G).", "Max size",
                    TDialogs::Warning);
    txtMaxSize->setFocus();
    return false;
  }
  limit = *bytes;
  return true;
}

// The batch as a whole: finished rows count in full, running ones by their
// percentage; the time left follows from the share done so far.
void TfrmMain::ShowTotal() {
  const int jobs = int(JobRows.size());
  if (jobs == 0) { // no batch since the list was edited
    barTotal->setValue(0);
    lblTotal->clear();
    return;
  }
  int finished = 0, percentSum = 0;
  for (const int row : JobRows) {
    const QString status = lvFiles->topLevelItem(row)->text(ColStatus);
    if (status == DoneText || status == FailedText) {
      ++finished;
      percentSum += 100;
    } else if (const int percent = TStatusDelegate::ProgressOf(status); percent > 0) {
      percentSum += percent;
    }
  }
  const double share = jobs > 0 ? percentSum / (100.0 * jobs) : 0;
  barTotal->setValue(int(share * 100));
  QString text = QString("%1 of %2 files done").arg(finished).arg(jobs);
  const qint64 elapsedMs = QDateTime::currentMSecsSinceEpoch() - BatchStartMs;
  if (btnConvert->text() == "Stop" && share > 0.02 && elapsedMs > 500)
    text += ", " + ClockText(elapsedMs / 1000.0 * (1 - share) / share) + " left";
  lblTotal->setText(text);
}

bool TfrmMain::QueueEditable() const { return btnConvert->text() != "Stop" && !Adding(); }

// After an edit the list is the user's again: files added join it.
void TfrmMain::ListEdited() {
  LogItem = nullptr;
  QxAVC.ClearJobs();
  JobRows.clear();
  ListConverted = false;
  ShowTotal();
}

void TfrmMain::RemoveSelectedRows() {
  if (!QueueEditable())
    return;
  const QList<QTreeWidgetItem*> selected = lvFiles->selectedItems();
  if (selected.isEmpty())
    return;
  qDeleteAll(selected);
  ListEdited();
}

void TfrmMain::ClearFinishedRows() {
  if (!QueueEditable())
    return;
  for (int row = lvFiles->topLevelItemCount() - 1; row >= 0; --row)
    if (lvFiles->topLevelItem(row)->text(ColStatus) == DoneText)
      delete lvFiles->topLevelItem(row);
  ListEdited();
}

void TfrmMain::RetryFailedRows() {
  if (!QueueEditable())
    return;
  for (int row = 0; row < lvFiles->topLevelItemCount(); ++row)
    if (lvFiles->topLevelItem(row)->text(ColStatus) == FailedText) {
      ListEdited();
      StartBatch(true);
      return;
    }
}

void TfrmMain::OpenRow(QTreeWidgetItem* item) {
  if (!item)
    return;
  if (item->text(ColStatus) != DoneText) { // what went wrong, or how far it is
    ShowLog(item);
    return;
  }
  const QString output = item->data(ColSource, OutputRole).toString();
  if (!output.isEmpty() && QFileInfo::exists(output))
    Dialogs.OpenUrl(QUrl::fromLocalFile(output).toString());
}

// The folder of the row's output once it is done, else of its source.
void TfrmMain::ShowInFolder() {
  const QTreeWidgetItem* item = lvFiles->currentItem();
  if (!item)
    return;
  const QString output = item->data(ColSource, OutputRole).toString();
  const QString file = item->text(ColStatus) == DoneText && !output.isEmpty()
                           ? output
                           : item->data(ColSource, PathRole).toString();
  Dialogs.OpenUrl(QUrl::fromLocalFile(QFileInfo(file).absolutePath()).toString());
}

void TfrmMain::JobLog(int job, const QString& line) {
  const int row = RowOfJob(job);
  if (row < 0 || line.isEmpty())
    return;
  QTreeWidgetItem* item = lvFiles->topLevelItem(row);
  item->setData(ColSource, LogRole, item->data(ColSource, LogRole).toString() + line + "\n");
  if (LogView && LogView->isVisible() && LogItem == item)
    ShowLog(item);
}

void TfrmMain::ShowLog(QTreeWidgetItem* item) {
  if (!item)
    return;
  QString status = item->text(ColStatus);
  TRowProgress progress;
  if (TRowProgress::Parse(status, progress))
    status = progress.Caption();
  if (!item->toolTip(ColStatus).isEmpty())
    status += ": " + item->toolTip(ColStatus);
  QString text = "Source: " + item->data(ColSource, PathRole).toString() + "\n";
  if (const QString output = item->data(ColSource, OutputRole).toString(); !output.isEmpty())
    text += "Output: " + output + "\n";
  text += "Format: " + (LastBatchFormat.isEmpty() ? selFormat->currentText() : LastBatchFormat) +
          "\nStatus: " + status + "\n\n" + item->data(ColSource, LogRole).toString();
  if (!LogView)
    LogView = new TJobLogView(this);
  LogItem = item;
  LogView->Show("Log of " + item->text(ColSource), text);
}

// Said on the desktop when the user is elsewhere.
void TfrmMain::NotifyBatchEnd() {
  if (isActiveWindow())
    return;
  int done = 0, failed = 0;
  for (const int row : JobRows) {
    const QString status = lvFiles->topLevelItem(row)->text(ColStatus);
    done += status == DoneText;
    failed += status == FailedText;
  }
  QString text = QString("%1 of %2 files converted").arg(done).arg(JobRows.size());
  if (failed > 0)
    text += QString(", %1 failed").arg(failed);
  Dialogs.Notify(this, BaseCaption, text + ".");
}

void TfrmMain::StopBatch() {
  // The component's jobs of a batch in workers never started: stopping them
  // would report them as ended a second time.
  if (Runner)
    Runner->Stop();
  else
    QxAVC.StopJobs();
}

void TfrmMain::SetBusy(bool busy) {
  btnConvert->setText(busy ? "Stop" : "Convert!");
  btnOpen->setEnabled(!busy);
  btnAddFolder->setEnabled(!busy);
  selFormat->setEnabled(!busy);
  txtMaxSize->setEnabled(!busy && ChosenRowHasVideo());
  selJobs->setEnabled(!busy);
  chkSameFolder->setEnabled(!busy && chkSameFolder->isVisible());
  txtOutput->setEnabled(!busy && !chkSameFolder->isChecked());
  btnFolderChange->setEnabled(txtOutput->isEnabled());
}

void TfrmMain::QxAVCProgress(int AIndex, int ACurrentDuration, int ATotalOutputDuration) {
  const int row = RowOfJob(AIndex);
  if (row < 0)
    return;
  TRowProgress progress;
  // An unknown total shows an empty bar rather than dividing by zero.
  if (ATotalOutputDuration > 0)
    progress.Percent = int(
        std::clamp<int64_t>(int64_t(ACurrentDuration) * 100 / ATotalOutputDuration, 0, 100));
  if (AIndex < int(Clocks.size())) {
    TJobClock& clock = Clocks[AIndex];
    clock.Sample(QDateTime::currentMSecsSinceEpoch(), ACurrentDuration);
    progress.Speed = clock.Speed();
    progress.SecondsLeft = clock.SecondsLeft(ATotalOutputDuration);
  }
  lvFiles->topLevelItem(row)->setText(ColStatus, progress.Text());
  ShowTotal();
}

void TfrmMain::QxAVCTerminate(int AIndex, bool, bool AException, const QString& AMessage) {
  if (UserStopped) {
    SetCaption(" [Job Canceled]");
    SetBusy(false);
    ShowTotal();
    for (const int row : JobRows) { // rows outside the batch keep their state
      QTreeWidgetItem* item = lvFiles->topLevelItem(row);
      if (item->text(ColStatus) != DoneText && item->text(ColStatus) != FailedText)
        item->setText(ColStatus, CanceledText);
    }
    if (AIndex == -1) {
      ListConverted = true;
      emit BatchFinished();
    }
    return;
  }
  if (AIndex == -1) {
    SetCaption(" [Done]");
    SetBusy(false);
    ShowTotal();
    NotifyBatchEnd();
    QxAVC.ClearJobs();
    JobRows.clear();
    LastConvertedFormat = selFormat->currentText();
    ListConverted = true;
    emit BatchFinished();
    return;
  }
  const int row = RowOfJob(AIndex);
  if (row < 0)
    return;
  QTreeWidgetItem* item = lvFiles->topLevelItem(row);
  item->setText(ColStatus, AException ? FailedText : DoneText);
  item->setToolTip(ColStatus, AException ? AMessage : QString());
  JobLog(AIndex, AException ? "Failed: " + AMessage
                            : "Done: " + item->data(ColSource, OutputRole).toString());
  ShowTotal();
}

void TfrmMain::dragEnterEvent(QDragEnterEvent* event) {
  if (event->mimeData()->hasUrls() && btnOpen->isEnabled())
    event->acceptProposedAction();
}

void TfrmMain::dropEvent(QDropEvent* event) {
  QStringList files;
  for (const QUrl& url : event->mimeData()->urls())
    if (url.isLocalFile())
      files << url.toLocalFile();
  if (files.isEmpty())
    return;
  if (!QxAVC.LoadLibraries(LibFolder().toStdString(), true)) {
    Dialogs.Message(this, "Error: Lib cannot be loaded.", BaseCaption, TDialogs::Error);
    return;
  }
  AddFiles(files);
  event->acceptProposedAction();
}

bool TfrmMain::eventFilter(QObject* watched, QEvent* event) {
  if (watched == txtOutput && event->type() == QEvent::MouseButtonDblClick && txtOutput->isEnabled()) {
    btnFolderChangeClick();
    return true;
  }
  if (watched->objectName() == "Image1" && event->type() == QEvent::MouseButtonRelease) {
    Dialogs.OpenUrl(ProductWebsite);
    return true;
  }
  return QWidget::eventFilter(watched, event);
}

void TfrmMain::ShowLibraries() {
  QDialog panel(this);
  panel.setWindowTitle("More Software");
  auto* layout = new QVBoxLayout(&panel);
  auto* text = new QPlainTextEdit(&panel);
  text->setReadOnly(true);
  text->setPlainText(QString::fromStdString(DescribeLibraries(LibFolder().toStdString(), PresetTable)));
  layout->addWidget(text);
  auto* close = new QPushButton("Close", &panel);
  connect(close, &QPushButton::clicked, &panel, &QDialog::accept);
  layout->addWidget(close);
  panel.resize(480, 260);
  panel.exec();
}
