#include "testfiles.h"

#include "filehash.h"
#include "manifest.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>

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

bool runCommand(const QString &program, const QStringList &arguments)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, arguments);
    return process.waitForFinished(60000) && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
}

QByteArray numberedLines(int size, const QByteArray &text)
{
    QByteArray lines;
    for (int line = 0; lines.size() < size; ++line)
        lines += "line " + QByteArray::number(line) + ' ' + text + '\n';
    return lines;
}

QByteArray manifestLine(const QByteArray &content, const QByteArray &path)
{
    return formatManifestLine(ManifestEntry{QString(), quint64(content.size()), md5Text(content)}, path);
}
