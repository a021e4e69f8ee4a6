#pragma once

#include <QDialog>

#include <memory>

namespace Ui {
class CUpdateNoticeClass;
}

/**
 * Frameless dialog that announces a new version and asks whether to update
 * now: "立即更新" (the default button) accepts, "以后再说" and Escape reject.
 */
class CUpdateNotice : public QDialog
{
    Q_OBJECT

public:
    explicit CUpdateNotice(QWidget *parent = nullptr);
    ~CUpdateNotice() override;

    /// Shows "发现新版本：<version>".
    void setVersion(const QString &version);

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    std::unique_ptr<Ui::CUpdateNoticeClass> ui;
};
