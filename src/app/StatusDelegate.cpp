#include "StatusDelegate.h"

#include <QApplication>
#include <QPainter>
#include <QStyleOptionProgressBar>

int TStatusDelegate::ProgressOf(const QString& text) {
  if (!text.startsWith("{|"))
    return -1;
  bool ok = false;
  const int value = text.mid(2).toInt(&ok);
  return ok ? value : -1;
}

QString TStatusDelegate::ProgressText(int percent) { return "{|" + QString::number(percent); }

void TStatusDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option,
                            const QModelIndex& index) const {
  const int percent = ProgressOf(index.data().toString());
  if (percent < 0) {
    QStyledItemDelegate::paint(painter, option, index);
    return;
  }
  QStyleOptionProgressBar bar;
  bar.rect = option.rect.adjusted(2, 3, -2, -3);
  bar.minimum = 0;
  bar.maximum = 100;
  bar.progress = std::clamp(percent, 0, 100);
  bar.text = QString::number(bar.progress) + "%";
  bar.textVisible = true;
  bar.state = option.state | QStyle::State_Horizontal;
  QApplication::style()->drawControl(QStyle::CE_ProgressBar, &bar, painter);
}
