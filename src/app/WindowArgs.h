// What kestrovideo is started with: a few options, then the files to list,
// as a file manager's "Open with" passes them.
#pragma once

#include <QString>
#include <QStringList>

struct TWindowArgs {
  bool InProcess = false; // the jobs run inside the window
  bool Help = false;
  bool Version = false;
  QStringList Files; // in the order given, file:// addresses made paths
  QString Error;     // the first bad option, for standard error
};

// `arguments` as the application object gives them, the program first.
TWindowArgs ParseWindowArgs(const QStringList& arguments);

extern const char* const WindowUsage;

class TfrmMain;

// Shows `window` and lists `files` once it is on screen, so that a long list
// is read with the window already there.
void ShowWithFiles(TfrmMain& window, const QStringList& files);
