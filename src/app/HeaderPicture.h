// The banner at the top of the window, drawn by the program itself.
#pragma once

#include <QPixmap>
#include <QSize>
#include <QString>

QPixmap DrawHeaderPicture(const QSize& size, const QString& productName);
