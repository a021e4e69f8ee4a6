#include "cupdateprogress.h"
#include "ui_cupdateprogress.h"

#include "cdownloadthread.h"
#include "dialogbackground.h"

CUpdateProgress::CUpdateProgress(CDownloadThread *thread, QWidget *parent)
    : QDialog(parent)
    , ui(new Ui::CUpdateProgress)
{
    ui->setupUi(this);
    setWindowFlags(windowFlags() | Qt::FramelessWindowHint);
    connect(ui->cancel, &QPushButton::clicked, thread, &CDownloadThread::quit);
    connect(thread, &CDownloadThread::downloadStarted, this, &CUpdateProgress::onDownloadStarted);
    connect(thread, &CDownloadThread::downloadProgress, this, &CUpdateProgress::onDownloadProgress);
    connect(thread, &CDownloadThread::downloadFail, this, &CUpdateProgress::onDownloadFail);
    connect(thread, &QThread::finished, this, &QDialog::accept);
    thread->start(QThread::InheritPriority);
}

CUpdateProgress::~CUpdateProgress() = default;

void CUpdateProgress::reject()
{
    ui->cancel->click();
}

void CUpdateProgress::onDownloadStarted(const QFileInfo &filename, int current, int total)
{
    if (total > 0) {
        ui->total->setValue(current * 100 / total);
        ui->desc->setText(tr("正在下载更新文件%1").arg(filename.fileName()));
        ui->progress->setValue(0);
    } else {
        ui->desc->setText(QStringLiteral("total为0"));
    }
}

void CUpdateProgress::onDownloadProgress(int64_t bytesReceived, int64_t bytesTotal)
{
    if (bytesTotal > 0)
        ui->progress->setValue(int(bytesReceived * 100 / bytesTotal));
    else
        ui->desc->setText(QStringLiteral("bytesTotal为0"));
}

void CUpdateProgress::onDownloadFail(const QFileInfo &, const QString &errormsg)
{
    ui->desc->setText(errormsg);
}

void CUpdateProgress::paintEvent(QPaintEvent *)
{
    paintDialogBackground(this);
}
