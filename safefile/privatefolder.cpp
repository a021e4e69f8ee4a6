#include "privatefolder.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QRandomGenerator>


Q_LOGGING_CATEGORY(lcCache, "updater.cache", QtWarningMsg)

const QLatin1String PrivateFolder::name(".updater");

namespace {
QString text(const char *source)
{
    return QCoreApplication::translate("PrivateFolder", source);
}

}

bool PrivateFolder::fail(const QString &error)
{
    m_folder = HeldFolder();
    m_error = error;
    return false;
}

PrivateFolder PrivateFolder::open(const QString &cacheDir)
{
    PrivateFolder opened;
    const QFileInfo cache(cacheDir);
    opened.m_cache = HeldFolder::openTrusted(cacheDir);
    if (!opened.m_cache.isValid()) {
        opened.fail(text("the cache folder %1 cannot be opened: %2").arg(cache.absoluteFilePath(), opened.m_cache.errorString()));
        return opened;
    }
    if (!opened.m_cache.isTrusted()) {
        opened.fail(text("the cache folder %1 belongs to another user").arg(cache.absoluteFilePath()));
        return opened;
    }
    opened.m_folder = opened.m_cache.folder(name);
    if (opened.m_folder.isPrivate())
        return opened;
    // Let go of what failed the check: Windows renames and removes nothing held.
    opened.m_folder = HeldFolder();
    const HeldFolder::Kind standing = opened.m_cache.kindOf(name);
    if (standing != HeldFolder::Kind::Missing)
        qCInfo(lcCache).noquote() << opened.m_cache.filePath(name) << "is not a private folder of this user; it is made anew";
    // A link, or another user's folder, is moved aside whole: nothing is removed
    // through a link (Wine even removes what a link leads to), nor written into
    // what belongs to somebody else.
    // Nothing there a moment ago: whatever appeared since makes the folder's making fail.
    const bool cleared = standing == HeldFolder::Kind::Missing
            || (standing == HeldFolder::Kind::Link || (standing == HeldFolder::Kind::Folder && !opened.m_cache.isOwnedBySelf(name))
                        ? opened.m_cache.rename(name, opened.m_cache, name + QLatin1Char('.')
                                                + QString::number(QRandomGenerator::global()->generate(), 16)
                                                + QLatin1String(".foreign"))
                        : opened.m_cache.remove(name));
    if (!cleared || !opened.m_cache.makeFolder(name)) {
        opened.fail(text("%1 cannot be made a private folder: %2").arg(opened.m_cache.filePath(name), opened.m_cache.errorString()));
        return opened;
    }
    opened.m_folder = opened.m_cache.folder(name);
    if (!opened.m_folder.makePrivate() || !opened.m_folder.isPrivate())
        opened.fail(text("%1 cannot be made a private folder").arg(opened.m_cache.filePath(name)));
    return opened;
}
