// kestrovideo: the converter's window.
#include "MainWindow.h"
#include "WindowArgs.h"
#include "WorkerBatch.h"

#include <QApplication>

#include <iostream>
#include <memory>

namespace {

TWindowArgs RawArgs(int argc, char* argv[]) {
  QStringList arguments;
  for (int i = 0; i < argc; ++i)
    arguments << QString::fromLocal8Bit(argv[i]);
  return ParseWindowArgs(arguments);
}

} // namespace

int main(int argc, char* argv[]) {
  // --help and --version answer on the terminal, so they need no display.
  const TWindowArgs raw = RawArgs(argc, argv);
  std::unique_ptr<QCoreApplication> app;
  if (raw.Help || raw.Version)
    app = std::make_unique<QCoreApplication>(argc, argv);
  else
    app = std::make_unique<QApplication>(argc, argv);
  // The toolkit has taken its own options out by now.
  const TWindowArgs args = ParseWindowArgs(QCoreApplication::arguments());
  if (args.Help) {
    std::cout << WindowUsage;
    return 0;
  }
  if (args.Version) {
    const std::string worker =
        kestro::FindWorkerProgram(QCoreApplication::applicationDirPath().toStdString());
    std::cout << "kestrovideo " KESTRO_VERSION "\nWorker program: "
              << (worker.empty() ? "none, kestroconvert is not beside kestrovideo" : worker)
              << "\n";
    return 0;
  }
  if (!args.Error.isEmpty()) {
    std::cerr << "kestrovideo: " << args.Error.toStdString()
              << "\nTry 'kestrovideo --help'.\n";
    return 2;
  }
  QApplication::setApplicationName(ProductName);
  // Lets the desktop match the window to its entry and icon.
  QGuiApplication::setDesktopFileName(KESTRO_APP_ID);
  TQtDialogs dialogs;
  TfrmMain window(dialogs);
  ShowWithFiles(window, args.Files);
  return app->exec();
}
