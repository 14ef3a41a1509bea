#include "JobLogView.h"

#include <QClipboard>
#include <QFontDatabase>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QTextCursor>
#include <QVBoxLayout>

TJobLogView::TJobLogView(QWidget* parent) : QDialog(parent) {
  setModal(false);
  resize(640, 360);
  auto* layout = new QVBoxLayout(this);
  txtLog = new QPlainTextEdit(this);
  txtLog->setReadOnly(true);
  txtLog->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
  txtLog->setLineWrapMode(QPlainTextEdit::NoWrap);
  txtLog->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
  layout->addWidget(txtLog, 1);
  auto* buttons = new QHBoxLayout;
  btnCopy = new QPushButton("Copy", this);
  btnCopy->setToolTip("Copy the whole log, to paste it into a problem report");
  connect(btnCopy, &QPushButton::clicked, this,
          [this] { QGuiApplication::clipboard()->setText(Text()); });
  auto* close = new QPushButton("Close", this);
  connect(close, &QPushButton::clicked, this, &QDialog::close);
  buttons->addStretch();
  buttons->addWidget(btnCopy);
  buttons->addWidget(close);
  layout->addLayout(buttons);
}

void TJobLogView::Show(const QString& title, const QString& text) {
  const QString shown = txtLog->toPlainText();
  QScrollBar* bar = txtLog->verticalScrollBar();
  const bool atEnd = bar->value() == bar->maximum();
  if (windowTitle() == title && text.startsWith(shown)) {
    // Only what is new: the reader's selection and place stay.
    QTextCursor end(txtLog->document());
    end.movePosition(QTextCursor::End);
    end.insertText(text.mid(shown.size()));
  } else {
    setWindowTitle(title);
    txtLog->setPlainText(text);
  }
  if (atEnd)
    bar->setValue(bar->maximum());
  show();
  raise();
}

QString TJobLogView::Text() const { return txtLog->toPlainText(); }
