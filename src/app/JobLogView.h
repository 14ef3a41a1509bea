// One job's log, shown to be read or copied into a problem report: the
// row's state and reason first, then the lines its job logged.
#pragma once

#include <QDialog>

class QPlainTextEdit;
class QPushButton;

class TJobLogView : public QDialog {
  Q_OBJECT
public:
  explicit TJobLogView(QWidget* parent);
  // Shows `text` under `title`, keeping the reader's place when the same
  // job's log only grew.
  void Show(const QString& title, const QString& text);
  QString Text() const;

  QPlainTextEdit* txtLog = nullptr;
  QPushButton* btnCopy = nullptr; // the whole log to the clipboard
};
