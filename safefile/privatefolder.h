#pragma once

#include "heldfolder.h"

#include <QString>

/**
 * The cache folder and the updater's own folder inside it, ".updater", opened
 * once and held for a pass. The cache may be a folder that other users can
 * write, so whatever the updater keeps there (verified downloads, partial
 * bodies, their side files) lives in the private folder, which only the
 * updater's user can enter (see HeldFolder::isPrivate()).
 *
 * open() takes the cache folder only when it belongs to the updater's user or
 * the system, and (POSIX) a link at its name only when no other user could
 * have put it there; links further up (a redirected profile) are followed.
 * The private folder must be a real folder that passes the check; anything
 * else standing at its name is removed, never followed, and the folder made
 * anew.
 */
class PrivateFolder
{
public:
    /// The private folder's name in the cache folder.
    static const QLatin1String name;

    /// Opens the cache folder @p cacheDir and its private folder, making that anew when needed.
    static PrivateFolder open(const QString &cacheDir);

    bool isValid() const { return m_folder.isValid(); }
    /// Why open() failed.
    QString errorString() const { return m_error; }
    /// The cache folder itself.
    const HeldFolder &cache() const { return m_cache; }
    /// ".updater" in it.
    const HeldFolder &folder() const { return m_folder; }

private:
    bool fail(const QString &error);

    HeldFolder m_cache;
    HeldFolder m_folder;
    QString m_error;
};
