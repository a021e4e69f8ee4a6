#pragma once

#include <QDialog>

#include <memory>

namespace Ui {
class CUpdateError;
}

/**
 * Frameless dialog that reports a failure: a title line, a message line, and
 * the buttons "再试一次" (accepts: the caller retries) and "官网下载" (opens the
 * download page and stays open). One instance serves a whole run.
 */
class CUpdateError : public QDialog
{
    Q_OBJECT

public:
    explicit CUpdateError(QWidget *parent = nullptr);
    ~CUpdateError() override;

    /**
     * Shows @p title and @p message as given; a message too long for its line is
     * elided in the middle, and stays whole in the line's tooltip and in what
     * the copy action (context menu, copy keys) puts on the clipboard.
     * With @p showButtons, "再试一次"
     * shows, and "官网下载" too when a download address is set; without, both hide.
     */
    void setMessage(const QString &title, const QString &message, bool showButtons);

    /// Sets the download page; "官网下载" shows exactly when @p url is not empty.
    void setDownloadUrl(const QString &url);

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    void openDownloadUrl();
    void copyMessage();

    std::unique_ptr<Ui::CUpdateError> ui;
    QString downloadUrl;
    QString fullMessage;
};
