// kestrovideo: the converter's window.
#include "MainWindow.h"

#include <QApplication>

int main(int argc, char* argv[]) {
  QApplication app(argc, argv);
  QApplication::setApplicationName(ProductName);
  TQtDialogs dialogs;
  TfrmMain window(dialogs);
  window.show();
  return app.exec();
}
