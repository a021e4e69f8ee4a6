#include "privatefolder.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QRandomGenerator>

#ifndef Q_OS_WIN
#include <sys/stat.h>
#include <unistd.h>
#endif

Q_LOGGING_CATEGORY(lcCache, "updater.cache", QtWarningMsg)

const QLatin1String PrivateFolder::name(".updater");

namespace {
QString text(const char *source)
{
    return QCoreApplication::translate("PrivateFolder", source);
}

#ifndef Q_OS_WIN
// A link at the cache folder's name is taken only when it is the owner's or the
// system's, and the folder holding it lets nobody else replace its entries.
bool mayFollowLinkAt(const QString &cacheDir)
{
    struct stat link;
    struct stat parent;
    const QFileInfo cache(cacheDir);
    return ::lstat(QFile::encodeName(cache.absoluteFilePath()).constData(), &link) == 0
            && ::stat(QFile::encodeName(cache.absolutePath()).constData(), &parent) == 0
            && (link.st_uid == ::geteuid() || link.st_uid == 0)
            && ((parent.st_mode & (S_IWGRP | S_IWOTH)) == 0 || (parent.st_mode & S_ISVTX)) 
            && (parent.st_uid == ::geteuid() || parent.st_uid == 0);
}
#endif
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
    const HeldFolder parent = HeldFolder::open(cache.absolutePath());
#ifdef Q_OS_WIN
    const HeldFolder::Links atName = HeldFolder::Links::Follow;
#else
    const HeldFolder::Links atName = parent.kindOf(cache.fileName()) == HeldFolder::Kind::Link && mayFollowLinkAt(cacheDir)
            ? HeldFolder::Links::Follow : HeldFolder::Links::Refuse;
#endif
    opened.m_cache = parent.folder(cache.fileName(), HeldFolder::Make::Nothing, atName);
    if (!opened.m_cache.isValid()) {
        opened.fail(text("the cache folder %1 cannot be opened: %2").arg(cache.absoluteFilePath(), parent.errorString()));
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
    const bool cleared = standing == HeldFolder::Kind::Link
                    || (standing == HeldFolder::Kind::Folder && !opened.m_cache.isOwnedBySelf(name))
            ? opened.m_cache.rename(name, opened.m_cache, name + QLatin1Char('.')
                                    + QString::number(QRandomGenerator::global()->generate(), 16) + QLatin1String(".foreign"))
            : opened.m_cache.remove(name);
    if (!cleared || !opened.m_cache.makeFolder(name)) {
        opened.fail(text("%1 cannot be made a private folder: %2").arg(opened.m_cache.filePath(name), opened.m_cache.errorString()));
        return opened;
    }
    opened.m_folder = opened.m_cache.folder(name);
    if (!opened.m_folder.makePrivate() || !opened.m_folder.isPrivate())
        opened.fail(text("%1 cannot be made a private folder").arg(opened.m_cache.filePath(name)));
    return opened;
}
