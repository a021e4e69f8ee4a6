#include "serialstore.h"

#include "atomicfile.h"
#include "filenames.h"

#include <QFile>
#include <QMap>
#include <QUrl>

namespace {
// Lines of "serial TAB update URL"; a handful of sites at most. Beyond this
// only what fits counts: a damaged store must not cost unbounded memory.
constexpr qint64 storeMaxBytes = 64 * 1024;

struct StoredSerials
{
    QMap<QString, qint64> serials;   // canonical site -> highest serial
    QByteArray text;                 // as read
};

StoredSerials readStore(const HeldFolder &folder)
{
    StoredSerials store;
    QFile file;
    if (!folder.openFile(file, FileNames::acceptedSerials, QIODevice::ReadOnly))
        return store;
    store.text = file.read(storeMaxBytes);
    QList<QByteArray> lines = store.text.split('\n');
    // A store cut at the bound ends in part of a line, which is not read.
    if (file.size() > storeMaxBytes)
        lines.removeLast();
    for (QByteArray line : qAsConst(lines)) {
        if (line.endsWith('\r'))
            line.chop(1);
        const int tab = line.indexOf('\t');
        bool isNumber = false;
        const qint64 serial = line.left(tab).toLongLong(&isNumber);
        if (tab <= 0 || !isNumber || serial < 0)
            continue;
        const QString site = SerialStore::canonicalSiteUrl(QString::fromUtf8(line.mid(tab + 1)));
        if (serial > store.serials.value(site, -1))
            store.serials.insert(site, serial);
    }
    return store;
}

// RFC 3986's removal of dot segments, on a path whose slashes are already folded.
QString withoutDotSegments(const QString &path)
{
    const QStringList segments = path.split(QLatin1Char('/'));
    QStringList kept;
    for (int i = 1; i < segments.size(); ++i) {
        const QString &segment = segments.at(i);
        const bool last = i == segments.size() - 1;
        if (segment == QLatin1String(".") || segment == QLatin1String("..")) {
            if (segment == QLatin1String("..") && !kept.isEmpty())
                kept.removeLast();
            if (last)
                kept.append(QString());   // "a/b/.." names the folder "a/"
            continue;
        }
        kept.append(segment);
    }
    return QLatin1Char('/') + kept.join(QLatin1Char('/'));
}
}

SerialStore::SerialStore(const HeldFolder &folder)
    : m_folder(folder)
{
}

QString SerialStore::canonicalSiteUrl(const QString &updateUrl)
{
    // QUrl lowers the scheme and the host and decodes unreserved characters.
    QUrl url(updateUrl.trimmed(), QUrl::TolerantMode);
    if (!url.isValid())
        return updateUrl;
    // Who logs in is not which site it is, and a password is never stored.
    url.setUserInfo(QString());
    // "example.com." is the same host as "example.com".
    QString host = url.host(QUrl::FullyEncoded);
    while (host.endsWith(QLatin1Char('.')))
        host.chop(1);
    url.setHost(host, QUrl::StrictMode);
    if ((url.scheme() == QLatin1String("http") && url.port() == 80)
            || (url.scheme() == QLatin1String("https") && url.port() == 443))
        url.setPort(-1);
    QString path = url.path(QUrl::FullyEncoded);
    while (path.contains(QLatin1String("//")))
        path.replace(QLatin1String("//"), QLatin1String("/"));
    if (path.startsWith(QLatin1Char('/')))
        path = withoutDotSegments(path);
    url.setPath(path, QUrl::StrictMode);
    return url.toString(QUrl::FullyEncoded);
}

std::optional<qint64> SerialStore::seen(const QString &updateUrl) const
{
    const QMap<QString, qint64> serials = readStore(m_folder).serials;
    const auto found = serials.constFind(canonicalSiteUrl(updateUrl));
    return found == serials.cend() ? std::nullopt : std::optional<qint64>(*found);
}

bool SerialStore::record(const QString &updateUrl, qint64 serial) const
{
    StoredSerials store = readStore(m_folder);
    const QString site = canonicalSiteUrl(updateUrl);
    if (serial > store.serials.value(site, -1))
        store.serials.insert(site, serial);
    QByteArray text;
    for (auto it = store.serials.cbegin(); it != store.serials.cend(); ++it)
        text += QByteArray::number(it.value()) + '\t' + it.key().toUtf8() + '\n';
    return text == store.text || writeFileAtomically(m_folder, FileNames::acceptedSerials, text);
}
