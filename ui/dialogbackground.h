#pragma once

class QWidget;

/// Paints the updater's background picture ":/update_bg" over the whole of @p dialog.
void paintDialogBackground(QWidget *dialog);
