// Every question and message the window puts to the user goes through this,
// so tests can answer without a person.
#pragma once

#include <QString>
#include <QStringList>

#include <memory>

class QSystemTrayIcon;
class QWidget;

class TDialogs {
public:
  enum TIcon { Information, Warning, Error };
  virtual ~TDialogs() = default;
  virtual void Message(QWidget* parent, const QString& text, const QString& title, TIcon icon) = 0;
  virtual bool AskYesNo(QWidget* parent, const QString& text, const QString& title) = 0;
  virtual QStringList OpenFiles(QWidget* parent, const QString& filter) = 0;
  virtual QString PickFolder(QWidget* parent, const QString& title) = 0;
  virtual void OpenUrl(const QString& url) = 0;
  // A desktop notification beside the window; none by default.
  virtual void Notify(QWidget* window, const QString& title, const QString& text);
};

// The real dialogs.
class TQtDialogs : public TDialogs {
public:
  TQtDialogs();
  ~TQtDialogs() override;
  void Message(QWidget* parent, const QString& text, const QString& title, TIcon icon) override;
  bool AskYesNo(QWidget* parent, const QString& text, const QString& title) override;
  QStringList OpenFiles(QWidget* parent, const QString& filter) override;
  QString PickFolder(QWidget* parent, const QString& title) override;
  void OpenUrl(const QString& url) override;
  // A message from a tray icon where the desktop has a tray, else the
  // window asks for attention in the task bar.
  void Notify(QWidget* window, const QString& title, const QString& text) override;

private:
  std::unique_ptr<QSystemTrayIcon> Tray;
};
