#include "FileReader.h"

#include "AVProbe.h"
#include "BatchRules.h"
#include "SourceCheck.h"

#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QMetaObject>

QStringList TFileReader::MediaPatterns() {
  QStringList patterns;
  for (const char* ext : {"avi", "mp4", "m4v", "mov", "mkv", "webm", "wmv", "asf", "flv", "mpg",
                          "mpeg", "vob", "ts", "m2ts", "mts", "3gp", "3g2", "ogv", "rm", "rmvb",
                          "dv", "nut"})
    patterns << QString("*.") + ext;
  for (const QString& ext : QString(kestro::AudioOnlyExtensions).split(' ', Qt::SkipEmptyParts))
    patterns << "*" + ext;
  return patterns;
}

QStringList TFileReader::MediaFilesIn(const QString& folder) {
  QStringList patterns = MediaPatterns();
  for (const QString& pattern : MediaPatterns())
    patterns << pattern.toUpper();
  QStringList files;
  QDirIterator it(folder, patterns, QDir::Files | QDir::Readable, QDirIterator::Subdirectories);
  while (it.hasNext())
    files << it.next();
  files.sort(Qt::CaseInsensitive);
  return files;
}

TFileReader::~TFileReader() {
  Cancel();
  if (Thread.joinable())
    Thread.join();
}

void TFileReader::Read(const QStringList& paths) {
  Queue << paths;
  // One thread at a time keeps the rows in the order they were asked for.
  if (!Thread.joinable())
    StartNext();
}

void TFileReader::StartNext() {
  Thread = std::thread(&TFileReader::Run, this, Queue.takeFirst(), Cancelled);
}

void TFileReader::Cancel() {
  Cancelled->store(true);
  Cancelled = std::make_shared<std::atomic<bool>>(false);
  Queue.clear();
}

void TFileReader::Run(QStringList paths, std::shared_ptr<std::atomic<bool>> cancelled) {
  kestro::TAVProbe probe;
  probe.Enable();
  // Results are handed over queued, and dropped there when the reading was
  // given up meanwhile.
  auto post = [this, cancelled](std::function<void()> work) {
    QMetaObject::invokeMethod(
        this,
        [cancelled, work = std::move(work)] {
          if (!cancelled->load())
            work();
        },
        Qt::QueuedConnection);
  };
  // Handed over in small groups, a few times a second at most: each
  // hand-over costs the window's thread little, and a row shows soon.
  QList<std::pair<QString, QString>> results;
  auto handOver = [&] {
    post([this, results] {
      for (const auto& [file, error] : results)
        emit FileRead(file, error);
    });
    results.clear();
  };
  QElapsedTimer sinceHandOver;
  sinceHandOver.start();
  for (const QString& path : paths) {
    if (cancelled->load())
      break;
    const QStringList files = QFileInfo(path).isDir() ? MediaFilesIn(path) : QStringList{path};
    for (const QString& file : files) {
      if (cancelled->load())
        break;
      results.append({file, QString::fromStdString(kestro::CheckSource(probe, file.toStdString()))});
      if (sinceHandOver.elapsed() >= 20) {
        handOver();
        sinceHandOver.restart();
      }
    }
  }
  if (!results.isEmpty())
    handOver();
  // Told after a Cancel too, so that the next list can start.
  QMetaObject::invokeMethod(
      this,
      [this] {
        Thread.join();
        if (!Queue.isEmpty())
          StartNext();
        else
          emit Finished();
      },
      Qt::QueuedConnection);
}
