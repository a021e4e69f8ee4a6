#include "manifestcopy.h"

#include "atomicfile.h"
#include "filenames.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>

#include <algorithm>

namespace {
constexpr qint64 infoMaxBytes = 64 * 1024;
// As large as a fetched manifest may be.
constexpr qint64 manifestMaxBytes = 64 * 1024 * 1024;

bool isPrintableAscii(const QByteArray &text)
{
    return std::all_of(text.cbegin(), text.cend(), [](char c) { return c >= 0x20 && c <= 0x7e; });
}

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
            || !install.openFile(body, FileNames::manifestCopy, QIODevice::ReadOnly, HeldFolder::Owner::Self, manifestMaxBytes))
        return std::nullopt;
    // url, condition header, condition, length, SHA-256, signature and (since it
    // was kept with it) the SHA-256 of update.ini: one per line.
    const QList<QByteArray> lines = info.read(infoMaxBytes).split('\n');
    if (lines.size() < 6 || QString::fromUtf8(lines.at(0)) != url)
        return std::nullopt;
    ManifestCopy copy;
    copy.url = url;
    copy.conditionHeader = lines.at(1);
    copy.condition = lines.at(2);
    copy.manifest = body.read(manifestMaxBytes);
    copy.signature = QByteArray::fromBase64(lines.at(5));
    copy.descriptionDigest = lines.value(6);
    const bool knownHeader = copy.conditionHeader.isEmpty() || copy.conditionHeader == "If-None-Match"
            || copy.conditionHeader == "If-Modified-Since";
    if (!knownHeader || !isPrintableAscii(copy.condition) || lines.at(3) != QByteArray::number(copy.manifest.size())
            || lines.at(4) != QCryptographicHash::hash(copy.manifest, QCryptographicHash::Sha256).toHex())
        return std::nullopt;
    return copy;
}

bool ManifestCopy::save(const HeldFolder &install) const
{
    // The bytes first: an info that names them is written only once they are whole.
    const QByteArray info = url.toUtf8() + '\n' + conditionHeader + '\n' + condition + '\n'
            + QByteArray::number(manifest.size()) + '\n'
            + QCryptographicHash::hash(manifest, QCryptographicHash::Sha256).toHex() + '\n' + signature.toBase64() + '\n'
            + descriptionDigest + '\n';
    return writeFileAtomically(install, FileNames::manifestCopy, manifest) && writeFileAtomically(install, infoName(), info);
}

void ManifestCopy::setValidator(const QByteArray &etag, const QByteArray &lastModified)
{
    conditionHeader.clear();
    condition.clear();
    if (!etag.isEmpty() && isPrintableAscii(etag)) {
        conditionHeader = "If-None-Match";
        condition = etag;
    } else if (!lastModified.isEmpty() && isPrintableAscii(lastModified)) {
        conditionHeader = "If-Modified-Since";
        condition = lastModified;
    }
}
