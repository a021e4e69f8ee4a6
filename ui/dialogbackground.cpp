#include "dialogbackground.h"

#include <QPainter>
#include <QPixmap>
#include <QPointF>
#include <QWidget>

void paintDialogBackground(QWidget *dialog)
{
    QPainter painter(dialog);
    painter.setRenderHint(QPainter::Antialiasing);
    // The picture has the dialog's size; a missing one leaves the default background.
    painter.drawPixmap(QPointF(0.0, 0.0), QPixmap(QStringLiteral(":/update_bg")));
}
