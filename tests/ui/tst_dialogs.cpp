#include "cdownloadthread.h"
#include "cupdateerror.h"
#include "cupdatenotice.h"
#include "cupdateprogress.h"
#include "filehash.h"
#include "testhttpserver.h"

#include <QAction>
#include <QClipboard>
#include <QDesktopServices>
#include <QGuiApplication>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <functional>
#include <memory>

namespace {

std::unique_ptr<QDialog> makeDialog(const QString &form, CDownloadThread *engine)
{
    if (form == QLatin1String("CUpdateError"))
        return std::make_unique<CUpdateError>();
    if (form == QLatin1String("CUpdateNoticeClass"))
        return std::make_unique<CUpdateNotice>();
    return std::make_unique<CUpdateProgress>(engine);
}

template<typename T>
T *child(QWidget *dialog, const char *name)
{
    return dialog->findChild<T *>(QLatin1String(name));
}

// Runs @p dialog modally; @p interact runs once it is shown. Returns exec()'s result.
int execWith(QDialog &dialog, const std::function<void()> &interact)
{
    QTimer::singleShot(0, &dialog, interact);
    return dialog.exec();
}

}

// Receives the URLs that QDesktopServices would open.
class UrlCatcher : public QObject
{
    Q_OBJECT
public:
    QList<QUrl> urls;
public slots:
    void open(const QUrl &url) { urls << url; }
};

class DialogsTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();

    void window_data();
    void window();
    void forms_data();
    void forms();

    void errorButtons_data();
    void errorButtons();
    void errorLongMessage();
    void errorEnterWithoutButtons();
    void errorRetryAccepts();
    void errorDownloadOpensPage();

    void noticeVersionAndResults_data();
    void noticeVersionAndResults();

    void progressFileCount_data();
    void progressFileCount();
    void progressZeroTotal();
    void progressBytes();
    void progressFailureText();
    void progressClosesOnlyWhenFinished_data();
    void progressClosesOnlyWhenFinished();

private:
    std::unique_ptr<CDownloadThread> finishedEngine();

    QTemporaryDir m_dir;
};

void DialogsTest::initTestCase()
{
    qRegisterMetaType<QFileInfo>();
}

void DialogsTest::cleanup()
{
    QDesktopServices::unsetUrlHandler(QStringLiteral("http"));
}

std::unique_ptr<CDownloadThread> DialogsTest::finishedEngine()
{
    return std::make_unique<CDownloadThread>(QStringLiteral("http://127.0.0.1:1/"), QDir(m_dir.path()),
                                             QDir(m_dir.path()), UpdateList());
}

void DialogsTest::window_data()
{
    QTest::addColumn<QString>("form");
    QTest::addColumn<QString>("title");
    QTest::newRow("error") << "CUpdateError" << "CUpdateError";
    QTest::newRow("notice") << "CUpdateNoticeClass" << "CUpdateNotice";
    QTest::newRow("progress") << "CUpdateProgress" << "";
}

void DialogsTest::window()
{
    QFETCH(QString, form);
    QFETCH(QString, title);
    auto engine = finishedEngine();
    auto dialog = makeDialog(form, engine.get());
    QCOMPARE(dialog->objectName(), form);
    QCOMPARE(dialog->size(), QSize(640, 455));
    QCOMPARE(dialog->windowTitle(), title);
    QVERIFY(dialog->windowFlags() & Qt::FramelessWindowHint);
    QCOMPARE(dialog->windowType(), Qt::Dialog);
    QVERIFY(!dialog->layout());
}

void DialogsTest::forms_data()
{
    QTest::addColumn<QString>("form");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QRect>("geometry");
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("large");
    QTest::addColumn<bool>("isDefault");

    QTest::newRow("error retry") << "CUpdateError" << "retry" << QRect(380, 400, 100, 30) << "再试一次" << false << true;
    QTest::newRow("error download") << "CUpdateError" << "download" << QRect(510, 400, 100, 30) << "官网下载" << false << false;
    QTest::newRow("error label") << "CUpdateError" << "label" << QRect(30, 300, 580, 40) << "更新失败" << true << false;
    QTest::newRow("error error") << "CUpdateError" << "error" << QRect(30, 370, 580, 24) << "网络错误：10012" << false << false;
    QTest::newRow("notice update") << "CUpdateNoticeClass" << "update" << QRect(380, 400, 100, 30) << "立即更新" << false << true;
    QTest::newRow("notice skip") << "CUpdateNoticeClass" << "skip" << QRect(510, 400, 100, 30) << "以后再说" << false << false;
    QTest::newRow("notice version") << "CUpdateNoticeClass" << "version" << QRect(30, 280, 580, 40) << "发现新版本：3.0.2.0" << true << false;
    QTest::newRow("progress label") << "CUpdateProgress" << "label" << QRect(30, 280, 580, 40) << "正在更新" << true << false;
    QTest::newRow("progress total") << "CUpdateProgress" << "total" << QRect(30, 330, 580, 5) << "" << false << false;
    QTest::newRow("progress progress") << "CUpdateProgress" << "progress" << QRect(30, 370, 580, 5) << "" << false << false;
    QTest::newRow("progress desc") << "CUpdateProgress" << "desc" << QRect(30, 340, 580, 24) << "正在下载更新文件" << false << false;
    QTest::newRow("progress cancel") << "CUpdateProgress" << "cancel" << QRect(510, 400, 100, 30) << "取消" << false << false;
}

void DialogsTest::forms()
{
    QFETCH(QString, form);
    QFETCH(QString, name);
    QFETCH(QRect, geometry);
    QFETCH(QString, text);
    QFETCH(bool, large);
    QFETCH(bool, isDefault);

    auto engine = finishedEngine();
    auto dialog = makeDialog(form, engine.get());
    QWidget *widget = dialog->findChild<QWidget *>(name);
    QVERIFY(widget);
    QCOMPARE(widget->parentWidget(), dialog.get());
    QCOMPARE(widget->geometry(), geometry);
    QCOMPARE(widget->font().pointSize(), large ? 15 : QFont().pointSize());
    if (auto *label = qobject_cast<QLabel *>(widget)) {
        QCOMPARE(label->text(), text);
        QVERIFY(!label->wordWrap());
    } else if (auto *button = qobject_cast<QPushButton *>(widget)) {
        QCOMPARE(button->text(), text);
        QCOMPARE(button->isDefault(), isDefault);
    } else {
        auto *bar = qobject_cast<QProgressBar *>(widget);
        QVERIFY(bar);
        QCOMPARE(bar->minimum(), 0);
        QCOMPARE(bar->maximum(), 100);
        QVERIFY(!bar->isTextVisible());
        QCOMPARE(bar->alignment(), Qt::AlignJustify | Qt::AlignVCenter);
    }
}

void DialogsTest::errorButtons_data()
{
    QTest::addColumn<QString>("downloadUrl");
    QTest::addColumn<int>("showButtons");   // -1: no setMessage at all
    QTest::addColumn<bool>("retryVisible");
    QTest::addColumn<bool>("downloadVisible");
    QTest::newRow("fresh") << "" << -1 << true << false;
    QTest::newRow("fresh with address") << "http://example.invalid/" << -1 << true << true;
    QTest::newRow("buttons, no address") << "" << 1 << true << false;
    QTest::newRow("buttons and address") << "http://example.invalid/" << 1 << true << true;
    QTest::newRow("no buttons") << "http://example.invalid/" << 0 << false << false;
}

void DialogsTest::errorButtons()
{
    QFETCH(QString, downloadUrl);
    QFETCH(int, showButtons);
    QFETCH(bool, retryVisible);
    QFETCH(bool, downloadVisible);

    CUpdateError dialog;
    dialog.setDownloadUrl(downloadUrl);
    if (showButtons >= 0)
        dialog.setMessage(QStringLiteral("标题"), QStringLiteral("消息 \"x\""), showButtons == 1);
    dialog.show();
    QCOMPARE(child<QPushButton>(&dialog, "retry")->isVisible(), retryVisible);
    QCOMPARE(child<QPushButton>(&dialog, "download")->isVisible(), downloadVisible);
    if (showButtons >= 0) {
        QCOMPARE(child<QLabel>(&dialog, "label")->text(), QStringLiteral("标题"));
        QCOMPARE(child<QLabel>(&dialog, "error")->text(), QStringLiteral("消息 \"x\""));
    }
}

void DialogsTest::errorLongMessage()
{
    const QString message = QStringLiteral("下载升级描述文件失败:Error transferring http://updates.example.com/"
                                           "a/long/path/to/the/product/channel//update.ini - server replied: Not Found");
    CUpdateError dialog;
    dialog.setMessage(QStringLiteral("更新失败"), message, true);
    const QLabel *line = child<QLabel>(&dialog, "error");
    const QString shown = line->text();
    QVERIFY2(shown.contains(QChar(0x2026)) && shown.startsWith(QStringLiteral("下载升级")) && shown.endsWith(QStringLiteral("Not Found")),
             qPrintable(shown));
    QVERIFY(line->fontMetrics().horizontalAdvance(shown) <= line->width());
    QCOMPARE(line->toolTip(), message);
    QGuiApplication::clipboard()->clear();
    QCOMPARE(line->actions().size(), 1);
    line->actions().first()->trigger();
    QCOMPARE(QGuiApplication::clipboard()->text(), message);
}

void DialogsTest::errorEnterWithoutButtons()
{
    CUpdateError dialog;
    dialog.setMessage(QStringLiteral("配置错误"), QStringLiteral("升级地址不合法:"), false);
    bool stillOpenAfterEnter = false;
    const int result = execWith(dialog, [&] {
        QTest::keyClick(&dialog, Qt::Key_Return);
        QTest::keyClick(&dialog, Qt::Key_Enter);
        stillOpenAfterEnter = dialog.isVisible();
        QTest::keyClick(&dialog, Qt::Key_Escape);
    });
    QVERIFY(stillOpenAfterEnter);
    QCOMPARE(result, int(QDialog::Rejected));
}

void DialogsTest::errorRetryAccepts()
{
    CUpdateError dialog;
    dialog.setMessage(QStringLiteral("更新失败"), QStringLiteral("x"), true);
    QCOMPARE(execWith(dialog, [&] { child<QPushButton>(&dialog, "retry")->click(); }), int(QDialog::Accepted));
    QCOMPARE(execWith(dialog, [&] { QTest::keyClick(&dialog, Qt::Key_Return); }), int(QDialog::Accepted));
    QCOMPARE(execWith(dialog, [&] { dialog.close(); }), int(QDialog::Rejected));
}

void DialogsTest::errorDownloadOpensPage()
{
    UrlCatcher catcher;
    QDesktopServices::setUrlHandler(QStringLiteral("http"), &catcher, "open");
    CUpdateError dialog;
    dialog.setDownloadUrl(QStringLiteral("http://example.invalid/download page"));
    dialog.setMessage(QStringLiteral("更新失败"), QStringLiteral("x"), true);
    bool openAfterClicks = false;
    const int result = execWith(dialog, [&] {
        child<QPushButton>(&dialog, "download")->click();
        child<QPushButton>(&dialog, "download")->click();
        openAfterClicks = dialog.isVisible();
        QTest::keyClick(&dialog, Qt::Key_Escape);
    });
    QVERIFY(openAfterClicks);
    QCOMPARE(result, int(QDialog::Rejected));
    QCOMPARE(catcher.urls.size(), 2);
    QCOMPARE(catcher.urls.first(), QUrl(QStringLiteral("http://example.invalid/download%20page")));
}

void DialogsTest::noticeVersionAndResults_data()
{
    QTest::addColumn<QString>("version");
    QTest::addColumn<int>("key");        // 0: click "skip"
    QTest::addColumn<int>("result");
    QTest::newRow("Enter accepts") << "2.0.1" << int(Qt::Key_Return) << int(QDialog::Accepted);
    QTest::newRow("Escape declines") << "2.0.1" << int(Qt::Key_Escape) << int(QDialog::Rejected);
    QTest::newRow("skip declines") << "" << 0 << int(QDialog::Rejected);
}

void DialogsTest::noticeVersionAndResults()
{
    QFETCH(QString, version);
    QFETCH(int, key);
    QFETCH(int, result);
    CUpdateNotice dialog;
    dialog.setVersion(version);
    QCOMPARE(child<QLabel>(&dialog, "version")->text(), QStringLiteral("发现新版本：") + version);
    QCOMPARE(execWith(dialog, [&] {
                 if (key)
                     QTest::keyClick(&dialog, Qt::Key(key));
                 else
                     child<QPushButton>(&dialog, "skip")->click();
             }),
             result);
}

void DialogsTest::progressFileCount_data()
{
    QTest::addColumn<int>("current");
    QTest::addColumn<int>("total");
    QTest::addColumn<int>("percent");
    QTest::newRow("first of 3") << 0 << 3 << 0;
    QTest::newRow("last of 3") << 2 << 3 << 66;
    QTest::newRow("last of 7") << 6 << 7 << 85;
    QTest::newRow("only file") << 0 << 1 << 0;
}

void DialogsTest::progressFileCount()
{
    QFETCH(int, current);
    QFETCH(int, total);
    QFETCH(int, percent);
    auto engine = finishedEngine();
    CUpdateProgress dialog(engine.get());
    dialog.onDownloadProgress(40, 100);
    dialog.onDownloadStarted(QFileInfo(QStringLiteral("/cache/bin/a.dll")), current, total);
    QCOMPARE(child<QProgressBar>(&dialog, "total")->value(), percent);
    QCOMPARE(child<QProgressBar>(&dialog, "progress")->value(), 0);
    QCOMPARE(child<QLabel>(&dialog, "desc")->text(), QStringLiteral("正在下载更新文件a.dll"));
}

void DialogsTest::progressZeroTotal()
{
    auto engine = finishedEngine();
    CUpdateProgress dialog(engine.get());
    QCOMPARE(child<QProgressBar>(&dialog, "total")->value(), -1);
    dialog.onDownloadStarted(QFileInfo(QStringLiteral("/cache/a.dll")), 1, 4);
    dialog.onDownloadProgress(30, 100);
    dialog.onDownloadStarted(QFileInfo(QStringLiteral("/cache/b.dll")), 0, 0);
    QCOMPARE(child<QLabel>(&dialog, "desc")->text(), QStringLiteral("total为0"));
    QCOMPARE(child<QProgressBar>(&dialog, "total")->value(), 25);
    QCOMPARE(child<QProgressBar>(&dialog, "progress")->value(), 30);
}

void DialogsTest::progressBytes()
{
    auto engine = finishedEngine();
    CUpdateProgress dialog(engine.get());
    auto *bar = child<QProgressBar>(&dialog, "progress");
    auto *desc = child<QLabel>(&dialog, "desc");
    dialog.onDownloadStarted(QFileInfo(QStringLiteral("/cache/a.dll")), 0, 2);
    dialog.onDownloadProgress(int64_t(3) << 32, int64_t(4) << 32);
    QCOMPARE(bar->value(), 75);
    dialog.onDownloadProgress(150, 100);
    QCOMPARE(bar->value(), 75);
    QCOMPARE(desc->text(), QStringLiteral("正在下载更新文件a.dll"));
    dialog.onDownloadProgress(10, -1);
    QCOMPARE(desc->text(), QStringLiteral("bytesTotal为0"));
    QCOMPARE(bar->value(), 75);
    dialog.onDownloadProgress(10, 0);
    QCOMPARE(desc->text(), QStringLiteral("bytesTotal为0"));
}

void DialogsTest::progressFailureText()
{
    auto engine = finishedEngine();
    CUpdateProgress dialog(engine.get());
    dialog.onDownloadStarted(QFileInfo(QStringLiteral("/cache/a.dll")), 1, 2);
    dialog.onDownloadFail(QFileInfo(QStringLiteral("/cache/a.dll")), QStringLiteral("更新文件a.dll校验不对"));
    QCOMPARE(child<QLabel>(&dialog, "desc")->text(), QStringLiteral("更新文件a.dll校验不对"));
    QCOMPARE(child<QProgressBar>(&dialog, "total")->value(), 50);
}

void DialogsTest::progressClosesOnlyWhenFinished_data()
{
    QTest::addColumn<int>("how");
    QTest::newRow("cancel button") << 0;
    QTest::newRow("Escape") << 1;
    QTest::newRow("window close") << 2;
}

void DialogsTest::progressClosesOnlyWhenFinished()
{
    QFETCH(int, how);
    TestHttpServer server;
    TestHttpServer::Response silent;
    silent.end = TestHttpServer::BodyEnd::NoAnswer;
    server.setResponse("/a.dll", silent);
    CDownloadThread engine(server.url(QStringLiteral("/")), QDir(m_dir.path()), QDir(m_dir.path()),
                           {ManifestEntry{QStringLiteral("a.dll"), 3, md5Text("abc")}});
    CUpdateProgress dialog(&engine);
    QSignalSpy finished(&engine, &QThread::finished);
    bool openRightAfter = false;
    const int result = execWith(dialog, [&] {
        if (how == 0)
            child<QPushButton>(&dialog, "cancel")->click();
        else if (how == 1)
            QTest::keyClick(&dialog, Qt::Key_Escape);
        else
            dialog.close();
        openRightAfter = dialog.isVisible();
    });
    QVERIFY(openRightAfter);
    QCOMPARE(finished.count(), 1);
    QCOMPARE(result, int(QDialog::Accepted));
    QVERIFY(!engine.isSuccess());
}

QTEST_MAIN(DialogsTest)
#include "tst_dialogs.moc"
