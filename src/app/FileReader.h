// Reads the files added to the window on a thread of its own, so that a
// long list or a slow disk never holds up the window: folders are walked
// for their media files, each file is checked by the media libraries, and
// every result comes back to the owner's thread as it is known.
#pragma once

#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>

#include <atomic>
#include <functional>
#include <memory>
#include <thread>

class TFileReader : public QObject {
  Q_OBJECT
public:
  explicit TFileReader(QObject* parent = nullptr) : QObject(parent) {}
  ~TFileReader() override; // gives up what is left and waits for the thread

  // Reads `paths` (files and folders) after those asked for before. The
  // media libraries must be loaded.
  void Read(const QStringList& paths);
  // Gives up the files not read yet: no result comes for them.
  void Cancel();
  bool Busy() const { return Thread.joinable() || !Queue.isEmpty(); }

  // The media files of `folder` and its subfolders, by their extensions, sorted.
  static QStringList MediaFilesIn(const QString& folder);
  // "*.avi *.mp4 ...": the extensions taken as media, for the file dialog too.
  static QStringList MediaPatterns();

signals:
  // `error` is empty when the file can be converted, else why not.
  void FileRead(const QString& path, const QString& error);
  void Finished(); // every path asked for has its result

private:
  void StartNext();
  void Run(QStringList paths, std::shared_ptr<std::atomic<bool>> cancelled);

  QList<QStringList> Queue; // lists asked for while another is read
  std::shared_ptr<std::atomic<bool>> Cancelled = std::make_shared<std::atomic<bool>>(false);
  std::thread Thread;
};
