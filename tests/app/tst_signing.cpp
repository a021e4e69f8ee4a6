#include "dialogscript.h"
#include "expectedreports.h"
#include "releasepublisher.h"
#include "releasesigner.h"
#include "serialstore.h"
#include "signatureverifier.h"
#include "testfiles.h"
#include "testhttpserver.h"
#include "updatedescription.h"
#include "updatedriver.h"
#include "updatersandbox.h"

#include <QDateTime>
#include <QDir>

#include <algorithm>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <sstream>

class SigningTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void verifier_data();
    void verifier();
    void signedSiteUpdates();
    void badSignatureStopsTheUpdate_data();
    void badSignatureStopsTheUpdate();
    void badSignatureOffersRetryInWindowMode();
    void withoutKeyNoSignatureIsRequested();
    void unusableKeyIsReportedFirst_data();
    void unusableKeyIsReportedFirst();
    void artifactsBetweenClientsAndSites_data();
    void artifactsBetweenClientsAndSites();
    void attacksOnASignedSite_data();
    void attacksOnASignedSite();
    void canonicalSiteUrl_data();
    void canonicalSiteUrl();

private:
    void serveSite(const QByteArray &prefix = "/up/") { m_server->serveSite(m_site->path(), prefix); }
    QByteArray publicKey(const QString &name) const { return readTestFile(m_keys.filePath(name + QStringLiteral(".pub"))).trimmed(); }
    void configure(const QByteArray &key);
    void verifyUntouched() const;

    QTemporaryDir m_keys;
    QTemporaryDir *m_site = nullptr;
    TestHttpServer *m_server = nullptr;
    UpdaterSandbox *m_sandbox = nullptr;
};

void SigningTest::initTestCase()
{
    QString error;
    QVERIFY2(ReleaseSigner::generateKeys(m_keys.filePath(QStringLiteral("release.pem")),
                                         m_keys.filePath(QStringLiteral("release.pub")), &error), qPrintable(error));
    QVERIFY(ReleaseSigner::generateKeys(m_keys.filePath(QStringLiteral("other.pem")),
                                        m_keys.filePath(QStringLiteral("other.pub")), &error));
}

void SigningTest::init()
{
    m_site = new QTemporaryDir;
    m_server = new TestHttpServer;
    m_sandbox = new UpdaterSandbox;
    QVERIFY(m_sandbox->isValid());
    m_sandbox->installHost(QStringLiteral("Host.exe"));
    m_sandbox->writeFile(QStringLiteral("a.dll"), "old a");

    QTemporaryDir release;
    QVERIFY(writeTestFile(release.filePath(QStringLiteral("a.dll")), "new a"));
    QVERIFY(writeTestFile(release.filePath(QStringLiteral("sub/b.dll")), "new b"));
    ReleaseSigner signer(m_keys.filePath(QStringLiteral("release.pem")));
    QVERIFY(signer.isValid());
    ReleasePublisher::Options options;
    options.releaseDir = release.path();
    options.siteDir = m_site->path();
    options.version = QStringLiteral("2.0");
    options.signer = &signer;
    ReleasePublisher publisher(options);
    QVERIFY2(publisher.publish(), qPrintable(publisher.errors().join(QLatin1Char('\n'))));
}

void SigningTest::cleanup()
{
    delete m_sandbox;
    delete m_server;
    delete m_site;
}

void SigningTest::configure(const QByteArray &key)
{
    m_sandbox->writeConfig({{"URL", m_server->url(QStringLiteral("/up/"))}, {"PublicKey", QString::fromLatin1(key)},
                            {"DownLoadUrl", "http://example.invalid/"}});
}

void SigningTest::verifyUntouched() const
{
    QCOMPARE(m_sandbox->readFile(QStringLiteral("a.dll")), QByteArray("old a"));
    QVERIFY(!QFileInfo::exists(m_sandbox->path(QStringLiteral("sub/b.dll"))));
    QVERIFY(!QFileInfo::exists(m_sandbox->path(QStringLiteral("a.dll.old"))));
    QVERIFY(!QFileInfo::exists(m_sandbox->path(QStringLiteral("update_md5.info"))));
    for (const QByteArray &path : m_server->requestPaths())
        QVERIFY2(!path.endsWith(".dll"), path.constData());
}

void SigningTest::verifier_data()
{
    QTest::addColumn<QString>("key");
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<bool>("valid");
    QTest::newRow("signed data") << "release" << QByteArray("[Version]\nFolder=2.0\n") << true;
    QTest::newRow("one byte more") << "release" << QByteArray("[Version]\nFolder=2.0\n\n") << false;
    QTest::newRow("another key") << "other" << QByteArray("[Version]\nFolder=2.0\n") << false;
}

void SigningTest::verifier()
{
    QFETCH(QString, key);
    QFETCH(QByteArray, data);
    QFETCH(bool, valid);
    const QByteArray signature = ReleaseSigner(m_keys.filePath(QStringLiteral("release.pem"))).sign("[Version]\nFolder=2.0\n");
    SignatureVerifier verifier(publicKey(key));
    QVERIFY(verifier.isValid());
    QCOMPARE(verifier.verify(data, signature), valid);
    QVERIFY(!verifier.verify(data, signature.left(20)));
    QVERIFY(!verifier.verify(data, QByteArray()));
}

void SigningTest::signedSiteUpdates()
{
    serveSite();
    configure(publicKey(QStringLiteral("release")));
    const UpdaterSandbox::Result result = m_sandbox->run({"console"});
    QCOMPARE(result.output, updateDueReport);
    QCOMPARE(result.exitCode, 0);
    QCOMPARE(m_sandbox->readFile(QStringLiteral("a.dll")), QByteArray("new a"));
    QCOMPARE(m_sandbox->readFile(QStringLiteral("sub/b.dll")), QByteArray("new b"));
    QCOMPARE(m_server->requestPaths().mid(0, 4),
             (QList<QByteArray>{"/up//update.ini", "/up//update.ini.sig", "/up/2.0//md5.txt", "/up/2.0//md5.txt.sig"}));
}

void SigningTest::badSignatureStopsTheUpdate_data()
{
    QTest::addColumn<QString>("change");
    QTest::addColumn<QString>("configuredKey");
    QTest::addColumn<QString>("message");
    QTest::newRow("md5.txt changed after signing") << "append:2.0/md5.txt" << "release" << "更新列表文件签名无效";
    QTest::newRow("md5.txt.sig missing") << "remove:2.0/md5.txt.sig" << "release" << "更新列表文件签名无效";
    QTest::newRow("update.ini changed after signing") << "append:update.ini" << "release" << "升级描述文件签名无效";
    QTest::newRow("update.ini.sig missing") << "remove:update.ini.sig" << "release" << "升级描述文件签名无效";
    QTest::newRow("signed by another key") << "" << "other" << "升级描述文件签名无效";
}

void SigningTest::badSignatureStopsTheUpdate()
{
    QFETCH(QString, change);
    QFETCH(QString, configuredKey);
    QFETCH(QString, message);
    const QString file = m_site->filePath(change.section(QLatin1Char(':'), 1));
    if (change.startsWith(QLatin1String("append:")))
        QVERIFY(writeTestFile(file, readTestFile(file) + "0123456789abcdef0123456789abcdef\t0100000000000000\tevil.exe\n"));
    else if (change.startsWith(QLatin1String("remove:")))
        QVERIFY(QFile::remove(file));
    serveSite();
    configure(publicKey(configuredKey));

    const UpdaterSandbox::Result result = m_sandbox->run({"console"});
    QCOMPARE(QString::fromUtf8(result.output), QString::fromUtf8(failureReport(message)));
    QCOMPARE(result.exitCode, 1);
    verifyUntouched();
}

void SigningTest::badSignatureOffersRetryInWindowMode()
{
    QVERIFY(QFile::remove(m_site->filePath(QStringLiteral("2.0/md5.txt.sig"))));
    serveSite();
    configure(publicKey(QStringLiteral("release")));
    DialogScript script({&DialogScript::accept, &DialogScript::pressEscape});
    std::ostringstream reports;
    UpdateDriver driver(m_sandbox->updaterPath(), QString(), reports);
    QCOMPARE(driver.run(), 1);
    const QString shown = QStringLiteral("CUpdateError|更新失败|更新列表文件签名无效|retry,download");
    QCOMPARE(script.shown(), QStringList({shown, shown}));
    QCOMPARE(m_server->requestPaths().count("/up//update.ini"), 2);
    verifyUntouched();
    QCOMPARE(m_sandbox->hostStarts().size(), 1);
}

void SigningTest::withoutKeyNoSignatureIsRequested()
{
    serveSite();
    configure(QByteArray());
    QCOMPARE(m_sandbox->run({"console"}).exitCode, 0);
    QCOMPARE(m_sandbox->readFile(QStringLiteral("a.dll")), QByteArray("new a"));
    for (const QByteArray &path : m_server->requestPaths())
        QVERIFY2(!path.endsWith(".sig"), path.constData());
}

void SigningTest::unusableKeyIsReportedFirst_data()
{
    QTest::addColumn<QByteArray>("key");
    QTest::newRow("not base64") << QByteArray("not a key!");
    QTest::newRow("31 bytes") << QByteArray(31, 'k').toBase64();
    QTest::newRow("a signature, not a key") << QByteArray(64, 's').toBase64();
}

void SigningTest::unusableKeyIsReportedFirst()
{
    QFETCH(QByteArray, key);
    serveSite();
    configure(key);
    const UpdaterSandbox::Result result = m_sandbox->run({"console"});
    QCOMPARE(QString::fromUtf8(result.output), QString::fromUtf8(failureReport(QStringLiteral("升级公钥不合法:") + QString::fromLatin1(key))));
    QCOMPARE(result.exitCode, 1);
    QVERIFY(m_server->requests().isEmpty());
    verifyUntouched();
}

void SigningTest::artifactsBetweenClientsAndSites_data()
{
    QTest::addColumn<bool>("signedSite");
    QTest::addColumn<bool>("siteHasArtifacts");     // published with them, or with --no-delta as sites were before
    QTest::addColumn<bool>("clientWantsArtifacts"); // false: Delta=off, a client that knows nothing of them
    QTest::addColumn<bool>("indexSignatureRemoved");
    QTest::addColumn<bool>("patched");               // big.bin came as a patch, not whole
    QTest::newRow("new client, new site") << false << true << true << false << true;
    QTest::newRow("new client, old site") << false << false << true << false << false;
    QTest::newRow("old client, new site") << false << true << false << false << false;
    QTest::newRow("signed site, signed index") << true << true << true << false << true;
    QTest::newRow("signed site, unsigned index") << true << true << true << true << false;
}

void SigningTest::artifactsBetweenClientsAndSites()
{
    QFETCH(bool, signedSite);
    QFETCH(bool, siteHasArtifacts);
    QFETCH(bool, clientWantsArtifacts);
    QFETCH(bool, indexSignatureRemoved);
    QFETCH(bool, patched);

    // Version 1.0 holds big.bin; 2.0 changes a few bytes of it, so a patch from 1.0 is small.
    const QByteArray big = numberedLines(300000, "of a text that compresses and patches well");
    QByteArray big2 = big;
    big2.replace(150000, 7, "CHANGED");
    QVERIFY(QDir(m_site->path()).removeRecursively() && QDir().mkpath(m_site->path()));
    ReleaseSigner signer(m_keys.filePath(QStringLiteral("release.pem")));
    for (const QString &version : {QStringLiteral("1.0"), QStringLiteral("2.0")}) {
        QTemporaryDir release;
        QVERIFY(writeTestFile(release.filePath(QStringLiteral("big.bin")), version == QLatin1String("1.0") ? big : big2));
        QVERIFY(writeTestFile(release.filePath(QStringLiteral("a.dll")), "new a"));
        ReleasePublisher::Options options;
        options.releaseDir = release.path();
        options.siteDir = m_site->path();
        options.version = version;
        options.signer = signedSite ? &signer : nullptr;
        options.artifacts = siteHasArtifacts;
        ReleasePublisher publisher(options);
        QVERIFY2(publisher.publish(), qPrintable(publisher.errors().join(QLatin1Char('\n'))));
    }
    if (indexSignatureRemoved)
        QVERIFY(QFile::remove(m_site->filePath(QStringLiteral("2.0/.artifacts/index.sig"))));
    serveSite();
    m_sandbox->writeFile(QStringLiteral("big.bin"), big);
    m_sandbox->writeConfig({{"URL", m_server->url(QStringLiteral("/up/"))},
                            {"PublicKey", signedSite ? QString::fromLatin1(publicKey(QStringLiteral("release"))) : QString()},
                            {"Delta", clientWantsArtifacts ? QStringLiteral("on") : QStringLiteral("off")}});

    const UpdaterSandbox::Result result = m_sandbox->run({"console"});
    QCOMPARE(result.output, updateDueReport);
    QCOMPARE(result.exitCode, 0);
    QCOMPARE(m_sandbox->readFile(QStringLiteral("big.bin")), big2);
    QCOMPARE(m_sandbox->readFile(QStringLiteral("a.dll")), QByteArray("new a"));
    const QList<QByteArray> requests = m_server->requestPaths();
    QCOMPARE(requests.contains("/up/2.0/.artifacts/index"), clientWantsArtifacts);
    QCOMPARE(requests.contains("/up/2.0/big.bin"), !patched);
    QCOMPARE(std::count_if(requests.cbegin(), requests.cend(), [](const QByteArray &path) { return path.endsWith(".patch"); }),
             patched ? 1 : 0);
}

void SigningTest::attacksOnASignedSite_data()
{
    QTest::addColumn<QString>("attack");
    QTest::addColumn<QString>("message");   // empty: the update is accepted and installed
    QTest::newRow("replay of an older update.ini") << "replay" << "升级描述文件版本回退";
    QTest::newRow("fresh update.ini, older signed md5.txt and files") << "older manifest" << "更新列表文件签名无效";
    QTest::newRow("expired") << "expired" << "升级描述文件已过期";
    QTest::newRow("expired a minute ago: the clock's slack") << "just expired" << QString();
    QTest::newRow("re-signed by an unknown key") << "unknown key" << "升级描述文件签名无效";
    QTest::newRow("signed by the second of two keys") << "second key" << QString();
    QTest::newRow("site without serials") << "no serials" << QString();
    QTest::newRow("serial removed after it was seen") << "serial removed" << "升级描述文件版本回退";
    QTest::newRow("stored serial damaged") << "store damaged" << QString();
    QTest::newRow("stored serial replaced by a link") << "store is a link" << QString();
    // The same site spelt another way in system.cfg, or its store grown odd: the replay is still one.
    QTest::newRow("replay, URL with a trailing //") << "replay respelt:{url}/" << "升级描述文件版本回退";
    QTest::newRow("replay, URL with an upper-case scheme") << "replay respelt:HTTP:{rest}" << "升级描述文件版本回退";
    QTest::newRow("replay, URL with %2E/") << "replay respelt:{url}%2E/" << "升级描述文件版本回退";
    QTest::newRow("replay, URL with ./ and ../") << "replay respelt:{url}./v/../" << "升级描述文件版本回退";
    QTest::newRow("replay, store over its bound") << "replay store:oversized" << "升级描述文件版本回退";
    QTest::newRow("replay, store with CR LF") << "replay store:crlf" << "升级描述文件版本回退";
    QTest::newRow("replay, store repeats the site lower") << "replay store:repeated" << "升级描述文件版本回退";
    QTest::newRow("replay, store written by an older updater") << "replay store:old spelling" << "升级描述文件版本回退";
}

void SigningTest::attacksOnASignedSite()
{
    QFETCH(QString, attack);
    QFETCH(QString, message);

    // init() published 2.0 signed, with serial 1. An attacker holds no private key,
    // but can serve anything the site ever served, in any combination.
    const QString description = m_site->filePath(QStringLiteral("update.ini"));
    const auto signDescription = [&](const UpdateDescription &text, const QString &key) {
        const QByteArray bytes = text.text();
        QVERIFY(writeTestFile(description, bytes));
        QVERIFY(writeTestFile(description + QStringLiteral(".sig"),
                              ReleaseSigner(m_keys.filePath(key + QStringLiteral(".pem"))).sign(bytes)));
    };
    const auto republish = [&] {
        QTemporaryDir release;
        QVERIFY(writeTestFile(release.filePath(QStringLiteral("a.dll")), "newer a"));
        ReleaseSigner signer(m_keys.filePath(QStringLiteral("release.pem")));
        ReleasePublisher::Options options;
        options.releaseDir = release.path();
        options.siteDir = m_site->path();
        options.version = QStringLiteral("2.0");
        options.signer = &signer;
        QVERIFY(ReleasePublisher(options).publish());
    };
    const QString store = m_sandbox->path(QStringLiteral("update_serial.info"));
    const QString url = m_server->url(QStringLiteral("/up/"));
    configure(publicKey(QStringLiteral("release")) + (attack == QLatin1String("second key") ? " " + publicKey(QStringLiteral("other")) : QByteArray()));

    // What the client saw before: the publication of init(), serial 1.
    const bool replay = attack.startsWith(QLatin1String("replay"));
    if (replay || attack == QLatin1String("serial removed")) {
        serveSite();
        QCOMPARE(m_sandbox->run({"console"}).exitCode, 0);
        QCOMPARE(readTestFile(store), "1\t" + url.toUtf8() + '\n');
        m_server->clearLog();
    }
    UpdateDescription current = UpdateDescription::fromFile(description);
    QByteArray prefix = "/up/";
    if (replay) {
        const QByteArray oldText = readTestFile(description);
        const QByteArray oldSignature = readTestFile(description + QStringLiteral(".sig"));
        republish();
        serveSite();
        QCOMPARE(m_sandbox->run({"console"}).exitCode, 0);   // the client has seen serial 2
        QCOMPARE(readTestFile(store), "2\t" + url.toUtf8() + '\n');
        m_server->clearLog();
        QVERIFY(writeTestFile(description, oldText));
        QVERIFY(writeTestFile(description + QStringLiteral(".sig"), oldSignature));
        const QString respelt = attack.section(QLatin1String("respelt:"), 1);
        const QString damage = attack.section(QLatin1String("store:"), 1);
        if (!respelt.isEmpty()) {
            // {url} the URL as configured, {rest} the URL without its scheme.
            const QString spelling = QString(respelt).replace(QLatin1String("{url}"), url)
                                             .replace(QLatin1String("{rest}"), url.mid(url.indexOf(QLatin1Char(':')) + 1));
            m_sandbox->writeConfig({{"URL", spelling}, {"PublicKey", QString::fromLatin1(publicKey(QStringLiteral("release")))}});
            // The path as Qt sends it.
            prefix = QUrl(spelling, QUrl::TolerantMode).adjusted(QUrl::NormalizePathSegments).path(QUrl::FullyEncoded).toUtf8();
        } else if (damage == QLatin1String("oversized")) {
            QByteArray text = readTestFile(store);
            for (int site = 0; text.size() < 200 * 1024; ++site)
                text += "1\thttp://elsewhere.invalid/" + QByteArray::number(site) + "/\n";
            QVERIFY(writeTestFile(store, text));
        } else if (damage == QLatin1String("crlf")) {
            QVERIFY(writeTestFile(store, readTestFile(store).replace("\n", "\r\n")));
        } else if (damage == QLatin1String("repeated")) {
            QVERIFY(writeTestFile(store, readTestFile(store) + "1\t" + url.toUtf8() + '\n'));
        } else if (damage == QLatin1String("old spelling")) {
            QVERIFY(writeTestFile(store, "2\t" + url.toUtf8().replace("http:", "HTTP:") + "/\n"));
        }
    } else if (attack == QLatin1String("older manifest")) {
        const QByteArray oldManifest = readTestFile(m_site->filePath(QStringLiteral("2.0/md5.txt")));
        const QByteArray oldSignature = readTestFile(m_site->filePath(QStringLiteral("2.0/md5.txt.sig")));
        republish();
        QVERIFY(writeTestFile(m_site->filePath(QStringLiteral("2.0/md5.txt")), oldManifest));
        QVERIFY(writeTestFile(m_site->filePath(QStringLiteral("2.0/md5.txt.sig")), oldSignature));
        QVERIFY(writeTestFile(m_site->filePath(QStringLiteral("2.0/a.dll")), "new a"));
    } else if (attack == QLatin1String("expired") || attack == QLatin1String("just expired")) {
        current.expires = QDateTime::currentDateTimeUtc().addSecs(attack == QLatin1String("expired") ? -3600 : -60);
        signDescription(current, QStringLiteral("release"));
    } else if (attack == QLatin1String("unknown key")) {
        signDescription(current, QStringLiteral("other"));
    } else if (attack == QLatin1String("second key")) {
        signDescription(current, QStringLiteral("other"));
    } else if (attack == QLatin1String("no serials") || attack == QLatin1String("serial removed")) {
        current.serial = -1;
        current.manifestSize = -1;
        current.manifestSha256.clear();
        signDescription(current, QStringLiteral("release"));
    } else if (attack == QLatin1String("store damaged")) {
        QVERIFY(writeTestFile(store, "\xff\x00 not a serial\n"));
    } else if (attack == QLatin1String("store is a link")) {
        QVERIFY(writeTestFile(m_sandbox->path(QStringLiteral("planted")), "99\t" + url.toUtf8() + '\n'));
        QVERIFY(QFile::link(m_sandbox->path(QStringLiteral("planted")), store));
    }
    // Qt may send a respelt path as it is or resolved: the site answers both.
    serveSite();
    serveSite(prefix);

    const UpdaterSandbox::Result result = m_sandbox->run({"console"});
    if (!message.isEmpty()) {
        QCOMPARE(result.output, failureReport(message));
        QCOMPARE(result.exitCode, 1);
        for (const QByteArray &path : m_server->requestPaths())
            QVERIFY2(!path.endsWith(".dll"), path.constData());
        return;
    }
    QCOMPARE(result.output, updateDueReport);
    QCOMPARE(result.exitCode, 0);
    QCOMPARE(m_sandbox->readFile(QStringLiteral("a.dll")), QByteArray("new a"));
    // An accepted serial is stored; a store that could not be read is replaced, a link by a file.
    QVERIFY(!QFileInfo(store).isSymLink());
    QCOMPARE(readTestFile(store, QByteArray()), attack == QLatin1String("no serials") ? QByteArray() : "1\t" + url.toUtf8() + '\n');
}

void SigningTest::canonicalSiteUrl_data()
{
    QTest::addColumn<QString>("spelling");
    QTest::addColumn<QString>("canonical");
    const QString site = QStringLiteral("http://updates.example.com/app/");
    QTest::newRow("canonical already") << site << site;
    QTest::newRow("upper-case scheme and host") << "HTTP://Updates.Example.COM/app/" << site;
    QTest::newRow("default port") << "http://updates.example.com:80/app/" << site;
    QTest::newRow("runs of slashes") << "http://updates.example.com//app///" << site;
    QTest::newRow("dot segments") << "http://updates.example.com/x/../app/./" << site;
    QTest::newRow("percent-encoded unreserved") << "http://updates.example.com/%61pp/%2E/" << site;
    QTest::newRow("HTTPS default port") << "https://updates.example.com:443/app/" << "https://updates.example.com/app/";
    // Different sites stay different.
    QTest::newRow("another port") << "http://updates.example.com:8080/app/" << "http://updates.example.com:8080/app/";
    QTest::newRow("HTTP's port over HTTPS") << "https://updates.example.com:80/app/" << "https://updates.example.com:80/app/";
    QTest::newRow("no trailing slash") << "http://updates.example.com/app" << "http://updates.example.com/app";
    QTest::newRow("path case") << "http://updates.example.com/App/" << "http://updates.example.com/App/";
    QTest::newRow("reserved character kept encoded") << "http://updates.example.com/a%2Fb/" << "http://updates.example.com/a%2Fb/";
    QTest::newRow("localhost is not 127.0.0.1") << "http://LOCALHOST/app/" << "http://localhost/app/";
}

void SigningTest::canonicalSiteUrl()
{
    QFETCH(QString, spelling);
    QFETCH(QString, canonical);
    QCOMPARE(SerialStore::canonicalSiteUrl(spelling), canonical);
    // A serial recorded under one spelling is seen under the other, and the
    // store is written in the one spelling.
    const QString store = m_sandbox->path(QStringLiteral("update_serial.info"));
    QVERIFY(SerialStore(store).record(spelling, 7));
    QCOMPARE(SerialStore(store).seen(canonical), std::optional<qint64>(7));
    QCOMPARE(readTestFile(store), "7\t" + canonical.toUtf8() + '\n');
}

QTEST_MAIN(SigningTest)
#include "tst_signing.moc"
