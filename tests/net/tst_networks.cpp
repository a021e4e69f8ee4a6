#include "cdownloadthread.h"
#include "expectedreports.h"
#include "filehash.h"
#include "nginxserver.h"
#include "testfiles.h"
#include "testhttpserver.h"
#include "undo.h"
#include "updatersandbox.h"

#include <QDir>
#include <QElapsedTimer>
#include <QSignalSpy>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>


#include <algorithm>

#include <unistd.h>

namespace {

quint16 freePort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

const QByteArray oldA("old a");
const QByteArray newA("new a, over a managed network");

}

/**
 * The real updater on the networks of companies and schools: a site served over
 * HTTPS, and requests that must go through a proxy.
 */
class NetworksTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void https_data();
    void https();
    void proxies_data();
    void proxies();
    void http2_data();
    void http2();

private:
    bool makeCertificate(const QString &name, const QString &issuer);
    void publishSite(const QString &dir) const;

    QTemporaryDir m_dir;
    QString m_trustedCa;
};

bool NetworksTest::makeCertificate(const QString &name, const QString &issuer)
{
    // A certificate for 127.0.0.1, signed by the CA named @p issuer (made here too).
    const QString ca = m_dir.filePath(issuer);
    const QString cert = m_dir.filePath(name);
    if (!QFile::exists(ca + QStringLiteral(".pem"))
            && !runCommand("openssl", {"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
                                "-subj", "/CN=Updater test " + issuer, "-keyout", ca + ".key", "-out", ca + ".pem"}))
        return false;
    writeTestFile(m_dir.filePath(QStringLiteral("san.cnf")), "subjectAltName=IP:127.0.0.1\n");
    return runCommand("openssl", {"req", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=127.0.0.1",
                           "-keyout", cert + ".key", "-out", cert + ".csr"})
            && runCommand("openssl", {"x509", "-req", "-in", cert + ".csr", "-CA", ca + ".pem", "-CAkey", ca + ".key",
                               "-CAcreateserial", "-days", "2", "-extfile", m_dir.filePath("san.cnf"),
                               "-out", cert + ".pem"});
}

void NetworksTest::initTestCase()
{
    QVERIFY(makeCertificate(QStringLiteral("server"), QStringLiteral("trusted-ca")));
    QVERIFY(makeCertificate(QStringLiteral("stranger"), QStringLiteral("unknown-ca")));
    // Qt 5 reads trusted CAs only from the system store (SSL_CERT_FILE and
    // SSL_CERT_DIR are not read), so the test CA goes there for the test's time.
    qInfo("Adding the test CA to the system trust store for this test; it is removed at the end.");
    m_trustedCa = QStringLiteral("/usr/local/share/ca-certificates/updater-test-%1.crt").arg(getpid());
    QVERIFY(QFile::copy(m_dir.filePath(QStringLiteral("trusted-ca.pem")), m_trustedCa));
    QVERIFY(runCommand("update-ca-certificates", {}));
}

void NetworksTest::cleanupTestCase()
{
    // --fresh also drops the links to the removed file, which a plain run leaves behind.
    if (!m_trustedCa.isEmpty() && QFile::remove(m_trustedCa))
        runCommand("update-ca-certificates", {"--fresh"});
}

// Version 2 replaces a.dll.
void NetworksTest::publishSite(const QString &dir) const
{
    writeTestFile(dir + QStringLiteral("/update.ini"), "[Version]\nFolder=v2\n");
    writeTestFile(dir + QStringLiteral("/v2/md5.txt"), manifestLine(newA, "a.dll"));
    writeTestFile(dir + QStringLiteral("/v2/a.dll"), newA);
}

void NetworksTest::https_data()
{
    QTest::addColumn<QString>("certificate");
    QTest::addColumn<QByteArray>("redirectToHttp");   // a path of a.dll's redirect, or empty
    QTest::addColumn<QByteArray>("failure");          // the start of the failure report, or empty
    QTest::newRow("trusted certificate") << "server" << QByteArray() << QByteArray();
    QTest::newRow("certificate of an unknown CA") << "stranger" << QByteArray()
            << QByteArray(R"({"errormsg":"下载升级描述文件失败:SSL handshake failed: The issuer certificate)");
    QTest::newRow("redirect from HTTPS to HTTP") << "server" << QByteArray("/v2/a.dll")
            << QByteArray(R"({"errormsg":"","success":true,"update":true}{"errormsg":"下载更新文件a.dll网络错误：)");
}

void NetworksTest::https()
{
    QFETCH(QString, certificate);
    QFETCH(QByteArray, redirectToHttp);
    QFETCH(QByteArray, failure);

    QTemporaryDir site;
    publishSite(site.path());
    TestHttpServer plain;
    plain.setFile("/v2/a.dll", newA);
    const QByteArray redirect = redirectToHttp.isEmpty() ? QByteArray()
            : "location = " + redirectToHttp + " { return 302 " + plain.url(QString::fromLatin1(redirectToHttp)).toLatin1() + "; }\n";
    NginxServer nginx;
    QVERIFY2(nginx.start(site.path(), m_dir.filePath(certificate + ".pem"), m_dir.filePath(certificate + ".key"), redirect),
             qPrintable(nginx.errorString()));

    UpdaterSandbox sandbox;
    sandbox.installHost(QStringLiteral("Host.exe"));
    sandbox.writeFile(QStringLiteral("a.dll"), oldA);
    sandbox.writeConfig({{"URL", nginx.url(QStringLiteral("/"))}});
    const UpdaterSandbox::Result result = sandbox.run({"console"});
    if (failure.isEmpty()) {
        QCOMPARE(result.output, updateDueReport);
        QCOMPARE(sandbox.readFile(QStringLiteral("a.dll")), newA);
        return;
    }
    QVERIFY2(result.output.startsWith(failure), result.output.constData());
    QCOMPARE(result.exitCode, 1);
    QCOMPARE(sandbox.readFile(QStringLiteral("a.dll")), oldA);
    QVERIFY(QDir(sandbox.path(QStringLiteral("update"))).entryList(QDir::Files).value(0) != QLatin1String("a.dll"));
    QVERIFY(plain.requests().isEmpty());
}

void NetworksTest::proxies_data()
{
    QTest::addColumn<QString>("proxySetting");   // "@" stands for the proxy's port
    QTest::addColumn<QString>("httpProxyVariable");   // "@" as above; empty: not set
    QTest::addColumn<bool>("throughProxy");
    QTest::addColumn<QByteArray>("failure");     // the start of the failure report, or empty
    const QString proxyUrl = QStringLiteral("http://127.0.0.1:@");
    QTest::newRow("named by Proxy") << proxyUrl << QString() << true << QByteArray();
    QTest::newRow("named by http_proxy") << QString() << proxyUrl << true << QByteArray();
    QTest::newRow("direct despite http_proxy") << "direct" << proxyUrl << false << QByteArray();
    QTest::newRow("proxy that refuses") << "http://127.0.0.1:1" << QString() << false
                                        << QByteArray(R"({"errormsg":"下载升级描述文件失败:)");
    QTest::newRow("unusable Proxy") << "socks5://127.0.0.1:1080" << QString() << false
                                    << failureReport(QStringLiteral("代理地址不合法:socks5://127.0.0.1:1080"));
    QTest::newRow("unusable http_proxy") << QString() << "127.0.0.1:abc" << false
                                         << failureReport(QStringLiteral("代理地址不合法:127.0.0.1:abc"));
}

void NetworksTest::proxies()
{
    QFETCH(QString, proxySetting);
    QFETCH(QString, httpProxyVariable);
    QFETCH(bool, throughProxy);
    QFETCH(QByteArray, failure);

    const QString tinyproxy = QStandardPaths::findExecutable(QStringLiteral("tinyproxy"));
    QVERIFY2(!tinyproxy.isEmpty(), "tinyproxy is not installed");
    const quint16 proxyPort = freePort();
    const QString config = m_dir.filePath(QStringLiteral("tinyproxy.conf"));
    writeTestFile(config, "Port " + QByteArray::number(proxyPort) + "\nListen 127.0.0.1\nAllow 127.0.0.1\n"
                          "Timeout 30\nMaxClients 20\nLogLevel Error\n"
                  + (geteuid() == 0 ? QByteArray("User root\nGroup root\n") : QByteArray()));
    QProcess proxy;
    proxy.setProcessChannelMode(QProcess::MergedChannels);
    proxy.start(tinyproxy, {"-d", "-c", config});
    const Undo stopProxy([&proxy] { proxy.kill(); proxy.waitForFinished(5000); });
    QTRY_VERIFY_WITH_TIMEOUT([proxyPort] {
        QTcpSocket probe;
        probe.connectToHost(QHostAddress::LocalHost, proxyPort);
        return probe.waitForConnected(100);
    }(), 10000);

    TestHttpServer origin;
    QTemporaryDir site;
    publishSite(site.path());
    origin.setFile("/up//update.ini", readTestFile(site.filePath(QStringLiteral("update.ini"))));
    origin.setFile("/up/v2//md5.txt", readTestFile(site.filePath(QStringLiteral("v2/md5.txt"))));
    origin.setFile("/up/v2/a.dll", newA);
    UpdaterSandbox sandbox;
    sandbox.installHost(QStringLiteral("Host.exe"));
    sandbox.writeFile(QStringLiteral("a.dll"), oldA);
    proxySetting.replace(QLatin1Char('@'), QString::number(proxyPort));
    httpProxyVariable.replace(QLatin1Char('@'), QString::number(proxyPort));
    sandbox.writeConfig({{"URL", origin.url(QStringLiteral("/up/"))}, {"Proxy", proxySetting}});
    QProcessEnvironment environment;
    if (!httpProxyVariable.isEmpty())
        environment.insert(QStringLiteral("http_proxy"), httpProxyVariable);
    const UpdaterSandbox::Result result = sandbox.run({"console"}, 120000, QString(), environment);

    if (!failure.isEmpty()) {
        QVERIFY2(result.output.startsWith(failure), result.output.constData());
        QVERIFY(origin.requests().isEmpty());
        return;
    }
    QCOMPARE(result.output, updateDueReport);
    QCOMPARE(sandbox.readFile(QStringLiteral("a.dll")), newA);
    QCOMPARE(origin.requests().size(), 4);   // update.ini, md5.txt, the artifact index, a.dll
    for (const TestHttpServer::Request &request : origin.requests())
        QCOMPARE(request.header("Via").contains("tinyproxy"), throughProxy);
}

void NetworksTest::http2_data()
{
    // Files of 2 KiB (200 unless the row says otherwise) and two of 2 MiB over
    // HTTPS, with Connections=64 unless the row says otherwise.
    QTest::addColumn<bool>("offered");           // the server offers HTTP/2
    QTest::addColumn<QByteArray>("serverConfig");
    QTest::addColumn<QList<int>>("damaged");     // small files served with other bytes
    QTest::addColumn<bool>("cancelled");         // the engine is cancelled with its streams in flight
    QTest::addColumn<int>("smallFiles");
    QTest::addColumn<int>("connections");
    QTest::addColumn<QString>("failure");        // empty: installed
    // The server's every write comes late, its settings too: the updater's first
    // requests are out before it learns how many streams it may open.
    QTest::addColumn<bool>("lateServer");
    QTest::newRow("server with HTTP/2") << true << QByteArray() << QList<int>() << false << 200 << 64 << QString() << false;
    QTest::newRow("server without HTTP/2") << false << QByteArray() << QList<int>() << false << 200 << 64 << QString() << false;
    QTest::newRow("GOAWAY after 50 requests") << true << QByteArray("keepalive_requests 50;\n") << QList<int>() << false << 200 << 64 << QString() << false;
    // Streams past a GOAWAY were never processed: sent again, never counted as failures.
    QTest::newRow("one stream per connection") << true << QByteArray("keepalive_requests 1;\n") << QList<int>() << false << 12 << 4 << QString() << false;
    // A server that takes no stream at all fails the update at the stall clock,
    // however often the refused requests are sent again.
    QTest::newRow("no stream ever processed") << true << QByteArray("http2_max_concurrent_streams 0;\n") << QList<int>() << false << 12 << 4
                                              << QStringLiteral("下载更新文件f000.bin网络错误：0-网络超时") << true;
    QTest::newRow("five streams per connection") << true << QByteArray("keepalive_requests 5;\n") << QList<int>() << false << 40 << 20 << QString() << false;
    QTest::newRow("failures among multiplexed files") << true << QByteArray() << QList<int>{150, 100} << false << 200 << 64
                                                      << QStringLiteral("更新文件f100.bin校验不对") << false;
    QTest::newRow("cancel with 64 streams in flight") << true << QByteArray("limit_rate 256;\n") << QList<int>() << true << 200 << 64 << QString() << false;
}

void NetworksTest::http2()
{
    QFETCH(bool, offered);
    QFETCH(QByteArray, serverConfig);
    QFETCH(QList<int>, damaged);
    QFETCH(bool, cancelled);
    QFETCH(int, smallFiles);
    QFETCH(int, connections);
    QFETCH(QString, failure);
    QFETCH(bool, lateServer);

    QTemporaryDir site;
    QByteArray manifest;
    UpdateList list;
    const auto publish = [&](const QString &name, const QByteArray &bytes, bool damage) {
        writeTestFile(site.filePath(QStringLiteral("v2/") + name), damage ? QByteArray(bytes).replace(0, 1, "#") : bytes);
        manifest += manifestLine(bytes, name.toUtf8());
        list << ManifestEntry{name, quint64(bytes.size()), md5Text(bytes)};
    };
    for (const char *name : {"big1.bin", "big2.bin"})
        publish(QLatin1String(name), QByteArray(2 * 1024 * 1024, name[3]), false);
    for (int i = 0; i < smallFiles; ++i)
        publish(QStringLiteral("f%1.bin").arg(i, 3, 10, QLatin1Char('0')), QByteArray(2048, char('a' + i % 26)) + QByteArray::number(i),
                damaged.contains(i));
    writeTestFile(site.filePath(QStringLiteral("update.ini")), "[Version]\nFolder=v2\n");
    writeTestFile(site.filePath(QStringLiteral("v2/md5.txt")), manifest);
    NginxServer nginx;
    nginx.setHttp2(offered);
    if (lateServer)
        nginx.setLauncher({"strace", "-f", "-o", "/dev/null", "-e", "trace=write", "-e", "inject=write:delay_enter=100000"});
    QVERIFY2(nginx.start(site.path(), m_dir.filePath(QStringLiteral("server.pem")), m_dir.filePath(QStringLiteral("server.key")),
                         serverConfig), qPrintable(nginx.errorString()));

    if (cancelled) {
        QTemporaryDir folders;
        const QDir cache(folders.filePath(QStringLiteral("cache")));
        const QDir install(folders.filePath(QStringLiteral("install")));
        QVERIFY(QDir().mkpath(install.path()));
        CDownloadThread engine(nginx.url(QStringLiteral("/v2/")), cache, install, list.mid(2), {64, {}});
        QSignalSpy finished(&engine, &QThread::finished);
        engine.start();
        QTest::qWait(1000);
        QElapsedTimer timer;
        timer.start();
        engine.quit();
        QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, 5000);
        // A cancel ends the run in a few milliseconds when idle.
        qInfo("ended %lld ms after the cancel", timer.elapsed());
        QVERIFY2(timer.elapsed() < 1000, qPrintable(QString::number(timer.elapsed())));
        QVERIFY(!engine.isSuccess());
        QVERIFY(install.entryList(QDir::Files).isEmpty());
        return;
    }

    UpdaterSandbox sandbox;
    sandbox.installHost(QStringLiteral("Host.exe"));
    sandbox.writeConfig({{"URL", nginx.url(QStringLiteral("/"))}, {"Connections", QString::number(connections)}});
    QElapsedTimer timer;
    timer.start();
    // Ten times the updater's 30 s stall clock, which ends the slowest row.
    const UpdaterSandbox::Result result = sandbox.run({"console"}, 300000);
    qInfo("the update ended after %lld ms", timer.elapsed());
    const QList<QByteArray> lines = nginx.requestLines();
    if (!failure.isEmpty()) {
        // The first failing file in list order is the one reported, and nothing is installed.
        QCOMPARE(QString::fromUtf8(result.output), QString::fromUtf8(updateDueReport + failureReport(failure)));
        QVERIFY(!QFileInfo::exists(sandbox.path(QStringLiteral("f000.bin"))));
        return;
    }
    QCOMPARE(result.output, updateDueReport);
    for (const ManifestEntry &entry : list)
        QVERIFY2(md5Text(sandbox.readFile(entry.path)) == entry.md5, qPrintable(entry.path));
    // Small files share HTTP/2 where it is offered; large ones stay on HTTP/1.1.
    for (const QByteArray &line : lines) {
        if (line.contains("/v2/f"))
            QVERIFY2(line.endsWith(offered ? "HTTP/2.0" : "HTTP/1.1"), line.constData());
        if (line.contains("/v2/big"))
            QVERIFY2(line.endsWith("HTTP/1.1"), line.constData());
    }
    QVERIFY(std::count_if(lines.cbegin(), lines.cend(), [](const QByteArray &line) { return line.contains("/v2/f"); }) >= smallFiles);
}

QTEST_GUILESS_MAIN(NetworksTest)
#include "tst_networks.moc"
