// Draws a Status cell holding a progress text (see TRowProgress) as a bar.
#pragma once

#include <QStyledItemDelegate>

class TStatusDelegate : public QStyledItemDelegate {
public:
  using QStyledItemDelegate::QStyledItemDelegate;
  void paint(QPainter* painter, const QStyleOptionViewItem& option,
             const QModelIndex& index) const override;

  // The percentage of a progress text, or -1 when the text is not one.
  static int ProgressOf(const QString& text);
  static QString ProgressText(int percent);
};
