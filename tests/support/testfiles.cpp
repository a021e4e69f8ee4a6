#include "testfiles.h"

#include "filehash.h"
#include "manifest.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

bool writeTestFile(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size();
}

QByteArray readTestFile(const QString &path, const QByteArray &whenMissing)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : whenMissing;
}

QByteArray manifestLine(const QByteArray &content, const QByteArray &path)
{
    return formatManifestLine(ManifestEntry{QString(), quint64(content.size()), md5Text(content)}, path);
}
