#pragma once

#include <QDialog>
#include <QFileInfo>

#include <cstdint>
#include <memory>

class CDownloadThread;

namespace Ui {
class CUpdateProgress;
}

/**
 * Frameless modal window that follows a CDownloadThread: an overall bar by
 * files, a bar for the bytes of the current file, a status line and "取消".
 * The constructor connects the engine's signals and starts its thread; the
 * dialog accepts itself when that thread has finished, and only then.
 * "取消", Escape and the window system's close all stop the engine.
 */
class CUpdateProgress : public QDialog
{
    Q_OBJECT

public:
    CUpdateProgress(CDownloadThread *thread, QWidget *parent = nullptr);
    ~CUpdateProgress() override;

    /// Stops the engine instead of closing: the dialog closes when its thread ends.
    void reject() override;

    void onDownloadStarted(const QFileInfo &filename, int current, int total);
    void onDownloadProgress(int64_t bytesReceived, int64_t bytesTotal);
    void onDownloadFail(const QFileInfo &filename, const QString &errormsg);

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    std::unique_ptr<Ui::CUpdateProgress> ui;
};
