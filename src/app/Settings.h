// The settings kept between runs, in "conf.ini", section "Main".
#pragma once

#include <QList>
#include <QString>

class TSettings {
public:
  // Reads the settings: beside the program when that file exists or the
  // folder is writable, else from the user's configuration folder.
  void Load(const QString& appFolder);
  // Writes them back; false when neither place can be written.
  bool Save() const;

  QString Output;
  bool SameFolder = false;
  QString Format; // the chosen preset's entry text; empty: none chosen yet
  int Jobs = 0;    // jobs at once; 0: automatic
  QString MaxSize; // as typed ("8M"); empty: no limit
  int Width = 0, Height = 0; // the window's last size; 0: the default
  QList<int> Columns;        // the list's column widths, left to right; empty: the default
  QString FilePath; // where they were read from and are written to

  static QString DefaultOutput();
};
