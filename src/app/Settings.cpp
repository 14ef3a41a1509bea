#include "Settings.h"

#include "BatchRules.h"

#include <QDir>
#include <QFileInfo>
#include <QSettings>
#include <QStandardPaths>

#include <algorithm>

namespace {

QString UserConfigFile() {
  return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
         "/KestroVideo/conf.ini";
}

bool FolderWritable(const QString& folder) {
  const QFileInfo info(folder);
  return info.isDir() && info.isWritable();
}

} // namespace

QString TSettings::DefaultOutput() {
  return QString::fromStdString(kestro::DefaultOutputFolder());
}

void TSettings::Load(const QString& appFolder) {
  const QString beside = QDir(appFolder).filePath("conf.ini");
  const QString user = UserConfigFile();
  if (QFileInfo::exists(beside) && QFileInfo(beside).isWritable())
    FilePath = beside;
  else if (QFileInfo::exists(user))
    FilePath = user;
  else
    FilePath = FolderWritable(appFolder) ? beside : user;
  QSettings ini(FilePath, QSettings::IniFormat);
  Output = ini.value("Main/strOutput", DefaultOutput()).toString();
  // Stored as "1" or "0"; any non-zero number reads as true.
  SameFolder = ini.value("Main/booSameFolder", "0").toString().toInt() != 0;
  Format = ini.value("Main/strFormat").toString();
  Jobs = std::max(0, ini.value("Main/intJobs", "0").toString().toInt());
  MaxSize = ini.value("Main/strMaxSize").toString();
  Width = ini.value("Main/intWidth", "0").toString().toInt();
  Height = ini.value("Main/intHeight", "0").toString().toInt();
  Columns.clear();
  for (const QString& width : ini.value("Main/strColumns").toString().split(' ', Qt::SkipEmptyParts))
    if (const int value = width.toInt(); value > 0)
      Columns << value;
}

bool TSettings::Save() const {
  QDir().mkpath(QFileInfo(FilePath).absolutePath());
  QSettings ini(FilePath, QSettings::IniFormat);
  ini.setValue("Main/strOutput", Output);
  ini.setValue("Main/booSameFolder", SameFolder ? "1" : "0");
  if (!Format.isEmpty())
    ini.setValue("Main/strFormat", Format);
  ini.setValue("Main/intJobs", QString::number(Jobs));
  ini.setValue("Main/strMaxSize", MaxSize);
  if (Width > 0 && Height > 0) {
    ini.setValue("Main/intWidth", QString::number(Width));
    ini.setValue("Main/intHeight", QString::number(Height));
  }
  QStringList columns;
  for (const int width : Columns)
    columns << QString::number(width);
  if (!columns.isEmpty())
    ini.setValue("Main/strColumns", columns.join(' '));
  ini.sync();
  return ini.status() == QSettings::NoError;
}
