#include "cupdateerror.h"
#include "ui_cupdateerror.h"

#include "dialogbackground.h"

#include <QDesktopServices>
#include <QUrl>

CUpdateError::CUpdateError(QWidget *parent)
    : QDialog(parent)
    , ui(new Ui::CUpdateError)
{
    ui->setupUi(this);
    setWindowFlags(windowFlags() | Qt::FramelessWindowHint);
    ui->download->hide();
    connect(ui->retry, &QPushButton::clicked, this, &QDialog::accept);
    connect(ui->download, &QPushButton::clicked, this, &CUpdateError::openDownloadUrl);
}

CUpdateError::~CUpdateError() = default;

void CUpdateError::setMessage(const QString &title, const QString &message, bool showButtons)
{
    ui->label->setText(title);
    ui->error->setText(message);
    ui->retry->setVisible(showButtons);
    ui->download->setVisible(showButtons && !downloadUrl.isEmpty());
}

void CUpdateError::setDownloadUrl(const QString &url)
{
    downloadUrl = url;
    ui->download->setVisible(!downloadUrl.isEmpty());
}

void CUpdateError::paintEvent(QPaintEvent *)
{
    paintDialogBackground(this);
}

void CUpdateError::openDownloadUrl()
{
    QDesktopServices::openUrl(QUrl(downloadUrl, QUrl::TolerantMode));
}
