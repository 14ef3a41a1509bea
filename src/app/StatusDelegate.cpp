#include "StatusDelegate.h"

#include "RowProgress.h"

#include <QApplication>
#include <QPainter>
#include <QStyleOptionProgressBar>

int TStatusDelegate::ProgressOf(const QString& text) {
  TRowProgress progress;
  return TRowProgress::Parse(text, progress) ? progress.Percent : -1;
}

QString TStatusDelegate::ProgressText(int percent) { return TRowProgress{percent}.Text(); }

void TStatusDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option,
                            const QModelIndex& index) const {
  TRowProgress progress;
  if (!TRowProgress::Parse(index.data().toString(), progress)) {
    QStyledItemDelegate::paint(painter, option, index);
    return;
  }
  QStyleOptionProgressBar bar;
  bar.rect = option.rect.adjusted(2, 3, -2, -3);
  bar.minimum = 0;
  bar.maximum = 100;
  bar.progress = std::clamp(progress.Percent, 0, 100);
  progress.Percent = bar.progress;
  bar.text = progress.Caption();
  bar.textVisible = true;
  bar.state = option.state | QStyle::State_Horizontal;
  QApplication::style()->drawControl(QStyle::CE_ProgressBar, &bar, painter);
}
