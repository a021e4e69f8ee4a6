#include "outcomereport.h"

#include "checklog.h"
#include "httppolicy.h"
#include "installid.h"

#include <QCryptographicHash>
#include <QEventLoop>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QTimer>

OutcomeReport::OutcomeReport(QNetworkAccessManager &network, const QUrl &reportUrl, const HeldFolder &install,
                             const QList<QDir> &privateFolders)
    : m_network(network)
    , m_reportUrl(reportUrl)
    , m_install(install)
    , m_folders(privateFolders)
{
}

QString OutcomeReport::withoutFolders(QString message) const
{
    // The install folder first: its files are named relative to it; any other folder of this machine by a mark.
    for (int i = 0; i < m_folders.size(); ++i) {
        const QString mark = i == 0 ? QString() : QStringLiteral("<folder>/");
        for (const QString &path : {m_folders.at(i).absolutePath(), QDir::toNativeSeparators(m_folders.at(i).absolutePath())}) {
            message.replace(path + (path.contains(QLatin1Char('\\')) ? QLatin1Char('\\') : QLatin1Char('/')), mark);
            message.replace(path, i == 0 ? QStringLiteral(".") : QStringLiteral("<folder>"));
        }
    }
    return message;
}

QUrl OutcomeReport::requestFor(const Pass &pass) const
{
    QByteArray id;
    QString error;
    QByteArray releaseId;
    if (InstallId(m_install).take(&id, &error))
        releaseId = QCryptographicHash::hash(id + pass.folder.toUtf8(), QCryptographicHash::Sha256).toHex();
    else
        qCInfo(lcRun).noquote() << "the report goes without an id:" << error;
    QByteArray query = m_reportUrl.query(QUrl::FullyEncoded).toLatin1();
    const auto add = [&query](const char *key, const QString &value) {
        query += (query.isEmpty() ? "" : "&") + QByteArray(key) + '=' + QUrl::toPercentEncoding(value);
    };
    add("id", QString::fromLatin1(releaseId));
    add("folder", pass.folder);
    add("outcome", pass.success ? QStringLiteral("success") : QStringLiteral("failure"));
    add("message", withoutFolders(pass.message));
    add("msecs", QString::number(pass.msecs));
    QUrl url = m_reportUrl;
    url.setQuery(QString::fromLatin1(query), QUrl::StrictMode);
    return url;
}

void OutcomeReport::send(const Pass &pass)
{
    const QUrl url = requestFor(pass);
    QNetworkReply *reply = HttpPolicy::get(m_network, HttpPolicy::request(url, HttpPolicy::Kind::List));
    if (!reply)
        return;
    QEventLoop loop;
    QTimer deadline;
    deadline.setSingleShot(true);
    // A coarse timer may fire 5 % late: the bound is firm.
    deadline.setTimerType(Qt::PreciseTimer);
    QObject::connect(&deadline, &QTimer::timeout, &loop, &QEventLoop::quit);
    QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    deadline.start(timeoutMsecs);
    if (!reply->isFinished())
        loop.exec();
    qCInfo(lcRun).noquote() << "outcome reported to" << url.toDisplayString(QUrl::RemovePassword | QUrl::RemoveQuery)
                            << (reply->isFinished() ? QStringLiteral("status %1").arg(
                                        reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt())
                                                    : QStringLiteral("without an answer in time"));
    reply->abort();
    reply->deleteLater();
}
