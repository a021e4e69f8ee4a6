#include "cupdatenotice.h"
#include "ui_cupdatenotice.h"

#include "dialogbackground.h"

CUpdateNotice::CUpdateNotice(QWidget *parent)
    : QDialog(parent)
    , ui(new Ui::CUpdateNoticeClass)
{
    ui->setupUi(this);
    setWindowFlags(windowFlags() | Qt::FramelessWindowHint);
    connect(ui->update, &QPushButton::clicked, this, &QDialog::accept);
    connect(ui->skip, &QPushButton::clicked, this, &QDialog::reject);
}

CUpdateNotice::~CUpdateNotice() = default;

void CUpdateNotice::setVersion(const QString &version)
{
    ui->version->setText(tr("发现新版本：%1").arg(version));
}

void CUpdateNotice::paintEvent(QPaintEvent *)
{
    paintDialogBackground(this);
}
