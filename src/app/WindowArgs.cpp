#include "WindowArgs.h"

#include "MainWindow.h"

#include <QTimer>
#include <QUrl>

const char* const WindowUsage =
    "Usage: kestrovideo [OPTIONS] [FILE...]\n"
    "Opens the converter's window with every FILE in its list.\n"
    "\n"
    "      --in-process   run the jobs inside the window, not in kestroconvert workers\n"
    "  -h, --help         print this and exit\n"
    "      --version      print the version and the worker program the window uses\n"
    "  --                 what follows is a file, even when it begins with \"-\"\n";

TWindowArgs ParseWindowArgs(const QStringList& arguments) {
  TWindowArgs args;
  bool options = true;
  for (qsizetype i = 1; i < arguments.size(); ++i) {
    const QString& arg = arguments[i];
    if (options && arg == "--") {
      options = false;
    } else if (options && arg.size() > 1 && arg.startsWith('-')) {
      if (arg == "--in-process")
        args.InProcess = true;
      else if (arg == "-h" || arg == "--help")
        args.Help = true;
      else if (arg == "--version")
        args.Version = true;
      else if (args.Error.isEmpty())
        args.Error = "unknown option '" + arg + "'";
    } else if (arg.startsWith("file://")) {
      // Some launchers pass addresses even for local files.
      args.Files << QUrl(arg).toLocalFile();
    } else {
      args.Files << arg;
    }
  }
  return args;
}

void ShowWithFiles(TfrmMain& window, const QStringList& files) {
  window.show();
  if (!files.isEmpty())
    QTimer::singleShot(0, &window, [&window, files] { window.AddStartFiles(files); });
}
