#include "Dialogs.h"

#include <QApplication>
#include <QDesktopServices>
#include <QSystemTrayIcon>
#include <QFileDialog>
#include <QMessageBox>
#include <QUrl>

void TQtDialogs::Message(QWidget* parent, const QString& text, const QString& title, TIcon icon) {
  switch (icon) {
  case Information:
    QMessageBox::information(parent, title, text);
    break;
  case Warning:
    QMessageBox::warning(parent, title, text);
    break;
  case Error:
    QMessageBox::critical(parent, title, text);
    break;
  }
}

bool TQtDialogs::AskYesNo(QWidget* parent, const QString& text, const QString& title) {
  return QMessageBox::question(parent, title, text, QMessageBox::Yes | QMessageBox::No) ==
         QMessageBox::Yes;
}

QStringList TQtDialogs::OpenFiles(QWidget* parent, const QString& filter) {
  return QFileDialog::getOpenFileNames(parent, QString(), QString(), filter);
}

QString TQtDialogs::PickFolder(QWidget* parent, const QString& title) {
  return QFileDialog::getExistingDirectory(parent, title, QString(), QFileDialog::ShowDirsOnly);
}

void TQtDialogs::OpenUrl(const QString& url) { QDesktopServices::openUrl(QUrl(url)); }

void TDialogs::Notify(QWidget*, const QString&, const QString&) {}

TQtDialogs::TQtDialogs() = default;
TQtDialogs::~TQtDialogs() = default;

void TQtDialogs::Notify(QWidget* window, const QString& title, const QString& text) {
  if (QSystemTrayIcon::isSystemTrayAvailable() && QSystemTrayIcon::supportsMessages()) {
    if (!Tray) {
      Tray = std::make_unique<QSystemTrayIcon>(window->windowIcon());
      QObject::connect(Tray.get(), &QSystemTrayIcon::messageClicked, window, [window] {
        window->showNormal();
        window->activateWindow();
      });
    }
    Tray->show();
    Tray->showMessage(title, text, QSystemTrayIcon::Information, 10000);
    return;
  }
  QApplication::alert(window);
}
