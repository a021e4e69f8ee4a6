#include "cupdateerror.h"
#include "ui_cupdateerror.h"

#include "dialogbackground.h"

#include <QAction>
#include <QClipboard>
#include <QDesktopServices>
#include <QGuiApplication>
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

    // The line shows what fits; the whole message is in its tooltip and copies
    // from its context menu or with the usual copy keys.
    auto *copy = new QAction(tr("复制"), ui->error);
    copy->setShortcut(QKeySequence::Copy);
    copy->setShortcutContext(Qt::WindowShortcut);
    connect(copy, &QAction::triggered, this, &CUpdateError::copyMessage);
    ui->error->addAction(copy);
    ui->error->setContextMenuPolicy(Qt::ActionsContextMenu);
}

CUpdateError::~CUpdateError() = default;

void CUpdateError::setMessage(const QString &title, const QString &message, bool showButtons)
{
    ui->label->setText(title);
    fullMessage = message;
    ui->error->setText(ui->error->fontMetrics().elidedText(message, Qt::ElideMiddle, ui->error->width()));
    ui->error->setToolTip(message);
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

void CUpdateError::copyMessage()
{
    QGuiApplication::clipboard()->setText(fullMessage);
}

void CUpdateError::openDownloadUrl()
{
    QDesktopServices::openUrl(QUrl(downloadUrl, QUrl::TolerantMode));
}
