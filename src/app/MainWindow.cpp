#include "MainWindow.h"
#include "WindowArgs.h"

#include "BatchOutput.h"
#include "HeaderPicture.h"
#include "SourceCheck.h"
#include "StatusDelegate.h"
#include "WorkerBatch.h"

#include <QAction>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QCoreApplication>
#include <QDialog>
#include <QDir>
#include <QDragEnterEvent>
#include <QFileInfo>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QPushButton>
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

// Common video extensions and the audio-only list, for the file dialog.
QString SupportedFilesFilter() {
  QStringList patterns;
  for (const char* ext : {"avi", "mp4", "m4v", "mov", "mkv", "webm", "wmv", "asf", "flv", "mpg",
                          "mpeg", "vob", "ts", "m2ts", "mts", "3gp", "3g2", "ogv", "rm", "rmvb",
                          "dv", "nut"})
    patterns << QString("*.") + ext;
  for (const QString& ext : QString(AudioOnlyExtensions).split(' ', Qt::SkipEmptyParts))
    patterns << "*" + ext;
  return "All Supported Files (" + patterns.join(' ') + ");;All Files (*)";
}

QLabel* Link(QWidget* parent, const QString& text, int x, int y) {
  auto* label = new QLabel("<a href=\"#\">" + text + "</a>", parent);
  label->move(x, y);
  label->adjustSize();
  return label;
}

} // namespace

TfrmMain::TfrmMain(TDialogs& dialogs, const QString& appFolder, QWidget* parent)
    : QWidget(parent), AppFolder(appFolder), Dialogs(dialogs) {
  setFixedSize(771, 571);
  setWindowFlags(Qt::Dialog | Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                 Qt::WindowCloseButtonHint);
  QFont font("Verdana");
  font.setPointSize(9);
  setFont(font);
  setAcceptDrops(true);

  auto* header = new QLabel(this);
  header->setGeometry(5, 32, 761, 100);
  header->setPixmap(DrawHeaderPicture(QSize(761, 100), ProductName));
  header->setCursor(Qt::PointingHandCursor);
  header->installEventFilter(this);
  header->setObjectName("Image1");

  QLabel* more = Link(this, "More Software", 350, 177);
  connect(more, &QLabel::linkActivated, this, [this] { ShowLibraries(); });
  QLabel* website = Link(this, "Website", 608, 177);
  connect(website, &QLabel::linkActivated, this, [this] { Dialogs.OpenUrl(ProductWebsite); });

  btnOpen = new QPushButton("Add...", this);
  btnOpen->setGeometry(5, 145, 94, 72);
  btnOpen->setToolTip("Open one or more videos to the list");
  connect(btnOpen, &QPushButton::clicked, this, [this] { btnOpenClick(); });

  btnConvert = new QPushButton("Convert!", this);
  btnConvert->setGeometry(125, 145, 94, 72);
  btnConvert->setToolTip("Convert all the videos from the list");
  connect(btnConvert, &QPushButton::clicked, this, [this] { btnConvertClick(); });

  auto* formatLabel = new QLabel("Output Format:", this);
  formatLabel->move(241, 152);
  selFormat = new QComboBox(this);
  selFormat->setGeometry(350, 149, 415, 24);

  lvFiles = new QTreeWidget(this);
  lvFiles->setGeometry(5, 232, 760, 269);
  lvFiles->setHeaderLabels({"Source", "Status", "Path"});
  lvFiles->setRootIsDecorated(false);
  lvFiles->setUniformRowHeights(true);
  lvFiles->setSelectionBehavior(QAbstractItemView::SelectRows);
  lvFiles->setEditTriggers(QAbstractItemView::NoEditTriggers);
  lvFiles->setAlternatingRowColors(true);
  lvFiles->setStyleSheet("QTreeView::item { height: 22px; }");
  lvFiles->header()->resizeSection(ColSource, 333);
  lvFiles->header()->resizeSection(ColStatus, 199);
  lvFiles->header()->setStretchLastSection(true);
  lvFiles->setItemDelegateForColumn(ColStatus, new TStatusDelegate(lvFiles));
  lvFiles->setContextMenuPolicy(Qt::ActionsContextMenu);
  auto* addFiles = new QAction("Add File(s)", lvFiles);
  connect(addFiles, &QAction::triggered, this, [this] { btnOpenClick(); });
  lvFiles->addAction(addFiles);
  auto* separator = new QAction(lvFiles);
  separator->setSeparator(true);
  lvFiles->addAction(separator);

  auto* outputLabel = new QLabel("Output Folder:", this);
  outputLabel->move(5, 524);
  txtOutput = new QLineEdit(this);
  txtOutput->setGeometry(108, 522, 428, 22);
  txtOutput->setReadOnly(true);
  txtOutput->installEventFilter(this);
  btnFolderChange = new QPushButton("Change", this);
  btnFolderChange->setGeometry(558, 520, 94, 26);
  connect(btnFolderChange, &QPushButton::clicked, this, [this] { btnFolderChangeClick(); });
  btnBrowse = new QPushButton("Browse", this);
  btnBrowse->setGeometry(671, 520, 94, 26);
  connect(btnBrowse, &QPushButton::clicked, this, [this] { btnBrowseClick(); });
  chkSameFolder = new QCheckBox("Use the same directory to the source file", this);
  chkSameFolder->move(125, 550);
  lblStatus = new QLabel(this);
  lblStatus->setGeometry(5, 503, 760, 17);
  lblStatus->setStyleSheet("color: #b00000;");
  lblStatus->hide();
  chkSameFolder->hide();
  chkSameFolder->setEnabled(false);
  connect(chkSameFolder, &QCheckBox::clicked, this, [this] { chkSameFolderClick(); });

  QxAVC.SetLogLevel(llQuiet);
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
  txtOutput->setText(Settings.Output);
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

void TfrmMain::closeEvent(QCloseEvent* event) {
  Settings.Output = txtOutput->text();
  Settings.SameFolder = chkSameFolder->isChecked();
  Settings.Format = selFormat->currentText();
  Settings.Save();
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

void TfrmMain::AddRow(const QString& path) {
  const QFileInfo info(path);
  auto* row = new QTreeWidgetItem(lvFiles);
  row->setText(ColSource, info.fileName());
  row->setText(ColStatus, ReadyText);
  row->setText(ColPath, QDir::toNativeSeparators(info.absolutePath() + "/"));
}

void TfrmMain::AddStartFiles(const QStringList& files) {
  if (!QxAVC.LoadLibraries(LibFolder().toStdString(), true)) {
    Dialogs.Message(this, "Error: Lib cannot be loaded.", BaseCaption, TDialogs::Error);
    return;
  }
  const QStringList refused = AddFiles(files);
  if (!refused.isEmpty())
    Dialogs.Message(this, "These files were not added:\n" + refused.join('\n'), BaseCaption,
                    TDialogs::Warning);
}

QStringList TfrmMain::AddFiles(const QStringList& files) {
  if (QxAVC.JobCount() == 0 || UserStopped) {
    lvFiles->clear();
    QxAVC.ClearJobs();
    JobRows.clear();
    UserStopped = false;
  }
  QStringList refused;
  int n = 0;
  for (const QString& file : files) {
    ++n;
    if (const std::string problem = CheckSource(QxAVC.Probe, file.toStdString());
        !problem.empty()) {
      refused << QString::fromStdString(problem); // not a file the libraries can read
      continue;
    }
    SetCaption(" [Loading File " + QString::number(n) + "...]");
    AddRow(file);
    TInputOptions input;
    InitInputOptions(input);
    input.FileName = QFileInfo(file).absoluteFilePath().toStdString();
    const int row = lvFiles->topLevelItemCount() - 1;
    if (QxAVC.AddInput(input.FileName, &input) >= 0) {
      JobRows.push_back(row);
    } else {
      lvFiles->topLevelItem(row)->setText(ColStatus, FailedText);
      lvFiles->topLevelItem(row)->setToolTip(ColStatus, QString::fromStdString(QxAVC.LastError));
    }
  }
  if (lvFiles->topLevelItemCount() > 0)
    SetCaption(" [Ready]");
  selFormat->setFocus();
  return refused;
}

void TfrmMain::DoLoadFromList() {
  if (!QxAVC.LoadLibraries(LibFolder().toStdString(), true)) {
    Dialogs.Message(this, "Error: Lib cannot be loaded.", BaseCaption, TDialogs::Error);
    return;
  }
  JobRows.clear();
  for (int row = 0; row < lvFiles->topLevelItemCount(); ++row) {
    QTreeWidgetItem* item = lvFiles->topLevelItem(row);
    const QString path = QDir::fromNativeSeparators(item->text(ColPath)) + item->text(ColSource);
    item->setToolTip(ColStatus, QString());
    if (const std::string problem = CheckSource(QxAVC.Probe, path.toStdString());
        !problem.empty()) {
      item->setText(ColStatus, FailedText);
      item->setToolTip(ColStatus, QString::fromStdString(problem));
      continue;
    }
    SetCaption(" [Loading File " + QString::number(row + 1) + "...]");
    item->setText(ColStatus, ReadyText);
    TInputOptions input;
    InitInputOptions(input);
    input.FileName = path.toStdString();
    if (QxAVC.AddInput(input.FileName, &input) >= 0) {
      JobRows.push_back(row);
    } else {
      item->setText(ColStatus, FailedText);
      item->setToolTip(ColStatus, QString::fromStdString(QxAVC.LastError));
    }
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
  if (QxAVC.JobCount() == 0 || UserStopped) {
    if (format == LastConvertedFormat &&
        !Dialogs.AskYesNo(this,
                          "File(s) from the list was already converted to this format\r\n" +
                              format + "\r\n" + "Do you wish to convert agin?",
                          "Information"))
      return;
    QxAVC.ClearJobs();
    UserStopped = false;
    DoLoadFromList();
  }

  const TPresetRow* row = PresetTable.Find(format.toStdString());
  if (!row) // the list holds the table's rows only
    return;
  const bool sameFolder = chkSameFolder->isChecked();
  // Workers open the sources anew; one that can be read only once was read
  // when it was added, so such a batch stays inside the window.
  Runner.reset(); // the last batch's, ended
  const bool inWorkers = !WorkerPath.isEmpty() && !HasReadOnceSource(QxAVC);
  if (row->SizeLimitBytes > 0 && !inWorkers) {
    Dialogs.Message(this,
                    "This format keeps each file within a size, which needs the conversion "
                    "program kestroconvert beside this one and files that can be read again.",
                    "Information", TDialogs::Information);
    return;
  }
  std::vector<TWorkerJob> workerJobs;
  for (int job = 0; job < QxAVC.JobCount();) {
    const std::string source = QxAVC.JobInputContext(job)->url;
    TSizeFit fit;
    TOutputPlan plan =
        row->SizeLimitBytes > 0 && inWorkers
            ? PlanSizedOutput(*row, row->SizeLimitBytes, source, sameFolder,
                              txtOutput->text().toStdString(), QxAVC.Jobs(job).Probe, {}, fit)
            : PlanOutput(*row, source, sameFolder, txtOutput->text().toStdString(),
                         QxAVC.Jobs(job).Probe);
    if (inWorkers && !fit.Error.empty()) { // fails its row with the reason when its turn comes
      workerJobs.push_back({source, "", {}, {}, -1, false, fit});
      ++job;
    } else if (inWorkers) { // its worker sets the output up, and a failure there fails its row
      workerJobs.push_back(
          MakeWorkerJob(source, QxAVC.Jobs(job).InputOptions, plan.FileName, plan.Options));
      workerJobs.back().Fit = fit;
      btnConvert->setFocus();
      ++job;
    } else if (QxAVC.SetOutput(job, plan.FileName, &plan.Options)) {
      btnConvert->setFocus();
      ++job;
    } else {
      RemoveJob(job);
      Dialogs.Message(this, "Error found", BaseCaption, TDialogs::Error);
    }
    QxAVC.Probe.Close();
  }
  if (QxAVC.JobCount() == 0) {
    // Nothing could be set up: there is no batch to wait for.
    SetCaption(" [Done]");
    return;
  }
  if (inWorkers) {
    Runner = MakeRunner(WorkerPath.toStdString(), QxAVC);
    Runner->Start(std::move(workerJobs), 1);
  } else {
    QxAVC.StartJobs(1);
  }
  UserStopped = false;
  SetCaption(" [Converting...]");
  SetBusy(true);
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
  selFormat->setEnabled(!busy);
  chkSameFolder->setEnabled(!busy && chkSameFolder->isVisible());
  txtOutput->setEnabled(!busy && !chkSameFolder->isChecked());
  btnFolderChange->setEnabled(txtOutput->isEnabled());
}

void TfrmMain::QxAVCProgress(int AIndex, int ACurrentDuration, int ATotalOutputDuration) {
  const int row = RowOfJob(AIndex);
  if (row < 0)
    return;
  // An unknown total shows an empty bar rather than dividing by zero.
  int percent = 0;
  if (ATotalOutputDuration > 0)
    percent = int(std::clamp<int64_t>(int64_t(ACurrentDuration) * 100 / ATotalOutputDuration, 0, 100));
  lvFiles->topLevelItem(row)->setText(ColStatus, TStatusDelegate::ProgressText(percent));
}

void TfrmMain::QxAVCTerminate(int AIndex, bool, bool AException, const QString& AMessage) {
  if (UserStopped) {
    SetCaption(" [Job Canceled]");
    SetBusy(false);
    for (int row = 0; row < lvFiles->topLevelItemCount(); ++row) {
      QTreeWidgetItem* item = lvFiles->topLevelItem(row);
      if (item->text(ColStatus) != DoneText && item->text(ColStatus) != FailedText)
        item->setText(ColStatus, CanceledText);
    }
    if (AIndex == -1)
      emit BatchFinished();
    return;
  }
  if (AIndex == -1) {
    SetCaption(" [Done]");
    SetBusy(false);
    QxAVC.ClearJobs();
    JobRows.clear();
    LastConvertedFormat = selFormat->currentText();
    emit BatchFinished();
    return;
  }
  const int row = RowOfJob(AIndex);
  if (row < 0)
    return;
  QTreeWidgetItem* item = lvFiles->topLevelItem(row);
  item->setText(ColStatus, AException ? FailedText : DoneText);
  item->setToolTip(ColStatus, AException ? AMessage : QString());
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
