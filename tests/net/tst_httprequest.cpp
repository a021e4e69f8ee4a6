#include "httprequest.h"
#include "testhttpserver.h"

#include <QElapsedTimer>
#include <QNetworkAccessManager>
#include <QTcpServer>
#include <QTest>

Q_DECLARE_METATYPE(TestHttpServer::Response)

class HttpRequestTest : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void statusDecides_data();
    void statusDecides();
    void noAnswerTimesOut();
    void zeroTimeoutWaits();
    void serverBehaviours_data();
    void serverBehaviours();
    void connectionRefused();
    void requestHeadersInNameOrder();
    void responseHeaders();
    void repeatedHeaderKeepsLaterValue();

private:
    bool get(const QByteArray &path, int timeout, HttpHeaders *responseHeaders = nullptr,
             const HttpHeaders &headers = {});

    TestHttpServer *m_server = nullptr;
    QNetworkAccessManager *m_network = nullptr;
    QByteArray m_response;
    QString m_error;
};

void HttpRequestTest::init()
{
    m_server = new TestHttpServer(this);
    m_network = new QNetworkAccessManager(this);
    m_response = "earlier";
    m_error = QStringLiteral("unset");
}

void HttpRequestTest::cleanup()
{
    delete m_network;
    delete m_server;
}

bool HttpRequestTest::get(const QByteArray &path, int timeout, HttpHeaders *responseHeaders,
                          const HttpHeaders &headers)
{
    return httpRequest(m_network, QUrl(m_server->url(QString::fromLatin1(path))), m_response, m_error,
                       timeout, headers, "GET", {}, responseHeaders);
}

void HttpRequestTest::statusDecides_data()
{
    QTest::addColumn<int>("status");
    QTest::addColumn<bool>("success");
    QTest::addColumn<QString>("errorPart");
    QTest::newRow("200") << 200 << true << QString();
    QTest::newRow("404") << 404 << false << QStringLiteral("Not Found");
    QTest::newRow("500") << 500 << false << QStringLiteral("Internal Server Error");
    QTest::newRow("204") << 204 << false << QString();
    QTest::newRow("206") << 206 << false << QString();
    QTest::newRow("301 not followed") << 301 << false << QString();
    QTest::newRow("302 not followed") << 302 << false << QString();
}

void HttpRequestTest::statusDecides()
{
    QFETCH(int, status);
    QFETCH(bool, success);
    QFETCH(QString, errorPart);

    TestHttpServer::Response response;
    response.status = status;
    response.body = status == 204 ? QByteArray() : QByteArray("payload");
    if (status == 301 || status == 302)
        response.headers = {{"Location", m_server->url(QStringLiteral("/target")).toLatin1()}};
    m_server->setResponse("/file", response);
    m_server->setFile("/target", "target body");

    QCOMPARE(get("/file", 5), success);
    QCOMPARE(m_server->requestPaths(), QList<QByteArray>{"/file"});
    if (success) {
        QCOMPARE(m_response, QByteArray("payload"));
        QCOMPARE(m_error, QStringLiteral("unset"));
    } else {
        QCOMPARE(m_response, QByteArray("earlier"));
        QVERIFY(m_error != QStringLiteral("unset"));
        QVERIFY2(m_error.contains(errorPart), qPrintable(m_error));
    }
}

void HttpRequestTest::noAnswerTimesOut()
{
    TestHttpServer::Response response;
    response.end = TestHttpServer::BodyEnd::NoAnswer;
    m_server->setResponse("/silent", response);
    QElapsedTimer timer;
    timer.start();
    QVERIFY(!get("/silent", 1));
    QCOMPARE(m_error, QStringLiteral("网络超时"));
    QCOMPARE(m_response, QByteArray("earlier"));
    // The server stays silent on purpose: never before the time-out, and at most ten
    // times it (about 1 s when idle), however busy the machine.
    const qint64 elapsed = timer.elapsed();
    qInfo("timed out after %lld ms", elapsed);
    QVERIFY2(elapsed >= 900 && elapsed < 10000, qPrintable(QString::number(elapsed)));
}

void HttpRequestTest::zeroTimeoutWaits()
{
    TestHttpServer::Response response;
    response.body = "late";
    response.delayMsecs = 1500;
    m_server->setResponse("/late", response);
    QVERIFY(get("/late", 0));
    QCOMPARE(m_response, QByteArray("late"));
}

void HttpRequestTest::serverBehaviours_data()
{
    QTest::addColumn<TestHttpServer::Response>("response");
    QTest::addColumn<int>("timeout");
    QTest::addColumn<qint64>("maxBytes");
    QTest::addColumn<QString>("error");     // empty: success with the whole body

    const QByteArray body = QByteArray(300, 'a') + QByteArray(700, 'b');
    TestHttpServer::Response dropped;
    dropped.body = body;
    dropped.end = TestHttpServer::BodyEnd::Close;
    dropped.cutAt = 400;
    QTest::newRow("connection dropped part-way") << dropped << 5 << qint64(0) << QStringLiteral("Connection closed");

    TestHttpServer::Response stalled = dropped;
    stalled.end = TestHttpServer::BodyEnd::Stall;
    QTest::newRow("partial body at the time-out") << stalled << 1 << qint64(0) << QStringLiteral("网络超时");

    TestHttpServer::Response endless;
    endless.end = TestHttpServer::BodyEnd::Endless;
    QTest::newRow("endless") << endless << 5 << qint64(1024 * 1024) << QStringLiteral("文件过大");

    TestHttpServer::Response oversize;
    oversize.body = QByteArray(1024 * 1024 + 1, 'o');
    QTest::newRow("one byte over the limit") << oversize << 5 << qint64(1024 * 1024) << QStringLiteral("文件过大");
    oversize.body.chop(1);
    QTest::newRow("exactly the limit") << oversize << 5 << qint64(1024 * 1024) << QString();

    // 64 MiB of zeros in 64 KiB, sent compressed although the plain body was asked for.
    TestHttpServer::Response bomb;
    bomb.body = qCompress(QByteArray(64 * 1024 * 1024, '\0'), 9).mid(4);
    bomb.headers = {{"Content-Encoding", "deflate"}};
    QTest::newRow("compression bomb") << bomb << 5 << qint64(1024 * 1024) << QStringLiteral("不支持的内容编码:deflate");

    // Five seconds in all, more than twice the idle limit, never more than a
    // tenth of it without data.
    TestHttpServer::Response steady;
    steady.body = body;
    steady.end = TestHttpServer::BodyEnd::Trickle;
    steady.trickleBytes = 40;
    steady.trickleMsecs = 200;
    QTest::newRow("slow but steady") << steady << 2 << qint64(0) << QString();
}

void HttpRequestTest::serverBehaviours()
{
    QFETCH(TestHttpServer::Response, response);
    QFETCH(int, timeout);
    QFETCH(qint64, maxBytes);
    QFETCH(QString, error);
    m_server->setResponse("/file", response);
    const bool success = httpRequest(m_network, QUrl(m_server->url(QStringLiteral("/file"))), m_response, m_error,
                                     timeout, {}, "GET", {}, nullptr, maxBytes);
    QCOMPARE(m_error, error.isEmpty() ? QStringLiteral("unset") : error);
    QCOMPARE(success, error.isEmpty());
    QCOMPARE(m_server->requests().value(0).headers.contains({"Accept-Encoding", "identity"}), true);
    if (success)
        QCOMPARE(m_response, response.body);
    else
        QCOMPARE(m_response, QByteArray("earlier"));
}

void HttpRequestTest::connectionRefused()
{
    QTcpServer closed;
    QVERIFY(closed.listen(QHostAddress::LocalHost, 0));
    const quint16 port = closed.serverPort();
    closed.close();
    QVERIFY(!httpRequest(m_network, QUrl(QStringLiteral("http://127.0.0.1:%1/x").arg(port)), m_response,
                         m_error, 5, {}, "GET", {}, nullptr));
    QVERIFY2(m_error.contains(QStringLiteral("refused"), Qt::CaseInsensitive), qPrintable(m_error));
}

void HttpRequestTest::requestHeadersInNameOrder()
{
    m_server->setFile("/h", "ok");
    QVERIFY(get("/h", 5, nullptr, {{"X-b", "2"}, {"X-a", "1"}}));
    QList<QByteArray> names;
    for (const auto &header : m_server->requests().value(0).headers) {
        if (header.first.startsWith("X-"))
            names << header.first + '=' + header.second;
    }
    QCOMPARE(names, (QList<QByteArray>{"X-a=1", "X-b=2"}));
}

void HttpRequestTest::responseHeaders()
{
    TestHttpServer::Response response;
    response.body = "ok";
    response.headers = {{"X-Twice", "first"}, {"X-Once", "one"}, {"X-Twice", "second"}};
    m_server->setResponse("/h", response);
    HttpHeaders received{{"X-Kept", "before"}};
    QVERIFY(get("/h", 5, &received));
    // Qt hands a repeated header over as one joined pair.
    QCOMPARE(received.value("X-Twice"), QByteArray("first, second"));
    QCOMPARE(received.value("X-Once"), QByteArray("one"));
    QCOMPARE(received.value("X-Kept"), QByteArray("before"));
    QCOMPARE(received.value("Content-Length"), QByteArray("2"));
}

void HttpRequestTest::repeatedHeaderKeepsLaterValue()
{
    // Field names are one name in any letter case.
    HttpHeaders headers{{"Kept", "k"}};
    for (const auto &field : QList<HttpHeaders::Field>{{"A", "1"}, {"B", "2"}, {"A", "3"}, {"a", "4"}})
        headers.set(field.first, field.second);
    QCOMPARE(headers, (HttpHeaders{{"Kept", "k"}, {"a", "4"}, {"B", "2"}}));
    QCOMPARE(headers.value("A"), QByteArray("4"));
    QCOMPARE(headers.value("kEPT"), QByteArray("k"));
}

QTEST_GUILESS_MAIN(HttpRequestTest)
#include "tst_httprequest.moc"
