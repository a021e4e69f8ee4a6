#include "manifestcopy.h"

#include "atomicfile.h"
#include "filenames.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>

namespace {
constexpr qint64 infoMaxBytes = 64 * 1024;

QString infoName()
{
    return FileNames::manifestCopy + QLatin1String(".info");
}
}

std::optional<ManifestCopy> ManifestCopy::load(const HeldFolder &install, const QString &url)
{
    QFile info;
    QFile body;
    if (!install.openFile(info, infoName(), QIODevice::ReadOnly, HeldFolder::Owner::Self, infoMaxBytes)
            || !install.openFile(body, FileNames::manifestCopy, QIODevice::ReadOnly, HeldFolder::Owner::Self, HttpPolicy::manifestMaxBytes))
        return std::nullopt;
    // url, condition header, condition, length, SHA-256, signature and (since it
    // was kept with it) the SHA-256 of update.ini: one per line.
    const QList<QByteArray> lines = info.read(infoMaxBytes).split('\n');
    if (lines.size() < 6 || QString::fromUtf8(lines.at(0)) != url)
        return std::nullopt;
    ManifestCopy copy;
    copy.url = url;
    copy.validator = {lines.at(1), lines.at(2)};
    copy.manifest = body.read(HttpPolicy::manifestMaxBytes);
    copy.signature = QByteArray::fromBase64(lines.at(5));
    copy.descriptionDigest = lines.value(6);
    const QByteArray &header = copy.validator.conditionHeader;
    const bool knownHeader = header.isEmpty() || header == "If-None-Match" || header == "If-Modified-Since";
    if (!knownHeader || !HttpPolicy::isPrintableAscii(copy.validator.value) || lines.at(3) != QByteArray::number(copy.manifest.size())
            || lines.at(4) != QCryptographicHash::hash(copy.manifest, QCryptographicHash::Sha256).toHex())
        return std::nullopt;
    return copy;
}

bool ManifestCopy::save(const HeldFolder &install) const
{
    // The bytes first: an info that names them is written only once they are whole.
    const QByteArray info = url.toUtf8() + '\n' + validator.conditionHeader + '\n' + validator.value + '\n'
            + QByteArray::number(manifest.size()) + '\n'
            + QCryptographicHash::hash(manifest, QCryptographicHash::Sha256).toHex() + '\n' + signature.toBase64() + '\n'
            + descriptionDigest + '\n';
    return writeFileAtomically(install, FileNames::manifestCopy, manifest) && writeFileAtomically(install, infoName(), info);
}
