#include "installer.h"

#include "atomicfile.h"
#include "enginelog.h"
#include "safeopen.h"


Installer::Installer(const HeldFolder &files, const HeldFolder &install)
    : m_files(files)
    , m_install(install)
{
}

Installer::Outcome Installer::install(const ManifestEntry &entry)
{
    Outcome outcome;
    const QString name = relativeName(entry.path);
    const HeldFolder source = m_files.folder(relativeFolder(entry.path));
    // Another user may write the host's tree: a link in it is never written through.
    const HeldFolder target = m_install.folder(relativeFolder(entry.path), HeldFolder::Make::Shared);
    if (!target.isValid()) {
        outcome.folderMade = false;
        return outcome;
    }
    carryPermissionsOver(target, name, source, name);
    outcome.replacement = replaceFile(source, name, target, name);
    if (outcome.replacement == Replacement::Done)
        m_installed.append({target, name});
    if (outcome.replacement == Replacement::TargetAside)
        recordSetAside(entry.path);
    return outcome;
}

namespace {
const QLatin1String setAsideRecord("update_restore.info");
constexpr qint64 recordMaxBytes = 64 * 1024;
}

void Installer::recordSetAside(const QString &path)
{
    QFile record;
    QByteArray text;
    if (m_install.openFile(record, setAsideRecord, QIODevice::ReadOnly, HeldFolder::Owner::Self, recordMaxBytes))
        text = record.readAll();
    record.close();
    if (!writeFileAtomically(m_install, setAsideRecord, text + path.toUtf8() + '\n'))
        qCInfo(lcInstall).noquote() << "the target set aside could not be recorded:" << path;
}

void Installer::restoreSetAside(const HeldFolder &install)
{
    QFile record;
    if (!install.openFile(record, setAsideRecord, QIODevice::ReadOnly, HeldFolder::Owner::Self, recordMaxBytes))
        return;
    bool restored = true;
    for (const QByteArray &line : record.readAll().split('\n')) {
        const QString path = QString::fromUtf8(line);
        if (!isSafeManifestPath(path))
            continue;
        const HeldFolder folder = install.folder(relativeFolder(path));
        const QString name = relativeName(path);
        const QString backup = backupNameOf(name);
        if (folder.kindOf(name) != HeldFolder::Kind::Missing || folder.kindOf(backup) != HeldFolder::Kind::File)
            continue;
        const bool back = folder.rename(backup, folder, name);
        qCInfo(lcInstall).noquote() << path << (back ? "put back from its backup" : "could not be put back from its backup yet");
        restored = restored && back;
    }
    record.close();
    if (restored)
        install.remove(setAsideRecord);
}

bool Installer::makeDurable(QString *failedPath)
{
    // One call covers the data of every file on the volume and every rename
    // into its folders, the copies across volumes included.
    if (m_install.syncVolume()) {
        qCInfo(lcInstall).noquote() << "synced the install volume";
        return true;
    }
    for (const auto &installed : qAsConst(m_installed)) {
        if (!installed.first.syncFile(installed.second) || !installed.first.sync()) {
            *failedPath = installed.first.filePath(installed.second);
            return false;
        }
    }
    qCInfo(lcInstall).noquote() << "synced" << m_installed.size() << "installed files";
    return true;
}
