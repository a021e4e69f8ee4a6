#include "filehash.h"

#include <QCryptographicHash>
#include <QFile>
#include <QtEndian>

#include <cstdio>

QByteArray digestText(const QByteArray &md5Digest)
{
    Q_ASSERT(md5Digest.size() == 16);
    const auto *raw = reinterpret_cast<const uchar *>(md5Digest.constData());
    char text[33];
    std::snprintf(text, sizeof text, "%08x%08x%08x%08x",
                  qFromLittleEndian<quint32>(raw), qFromLittleEndian<quint32>(raw + 4),
                  qFromLittleEndian<quint32>(raw + 8), qFromLittleEndian<quint32>(raw + 12));
    return QByteArray(text, 32);
}

QByteArray md5Text(const QByteArray &bytes)
{
    return digestText(QCryptographicHash::hash(bytes, QCryptographicHash::Md5));
}

QByteArray fileMd5Text(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    QCryptographicHash hash(QCryptographicHash::Md5);
    if (!hash.addData(&file))
        return QByteArray();
    return digestText(hash.result());
}

bool fileMd5Equals(const QString &path, const QByteArray &md5)
{
    const QByteArray text = fileMd5Text(path);
    return !text.isEmpty() && text == md5;
}
