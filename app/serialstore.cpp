#include "serialstore.h"

#include "atomicfile.h"
#include "safeopen.h"

#include <QFile>
#include <QMap>

namespace {
// Lines of "serial TAB update URL"; a handful of URLs at most.
constexpr qint64 storeMaxBytes = 64 * 1024;

QMap<QString, qint64> readStore(const QString &path)
{
    QMap<QString, qint64> serials;
    QFile file;
    if (!openRegularFile(file, path, QIODevice::ReadOnly, Links::Refuse, storeMaxBytes))
        return serials;
    for (const QByteArray &line : file.read(storeMaxBytes).split('\n')) {
        const int tab = line.indexOf('\t');
        bool isNumber = false;
        const qint64 serial = line.left(tab).toLongLong(&isNumber);
        if (tab > 0 && isNumber && serial >= 0)
            serials.insert(QString::fromUtf8(line.mid(tab + 1)), serial);
    }
    return serials;
}
}

SerialStore::SerialStore(const QString &path)
    : m_path(path)
{
}

std::optional<qint64> SerialStore::seen(const QString &updateUrl) const
{
    const QMap<QString, qint64> serials = readStore(m_path);
    const auto found = serials.constFind(updateUrl);
    return found == serials.cend() ? std::nullopt : std::optional<qint64>(*found);
}

bool SerialStore::record(const QString &updateUrl, qint64 serial) const
{
    QMap<QString, qint64> serials = readStore(m_path);
    if (serials.value(updateUrl, -1) >= serial)
        return true;
    serials.insert(updateUrl, serial);
    QByteArray text;
    for (auto it = serials.cbegin(); it != serials.cend(); ++it)
        text += QByteArray::number(it.value()) + '\t' + it.key().toUtf8() + '\n';
    return writeFileAtomically(m_path, text);
}
