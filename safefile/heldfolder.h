#pragma once

#include "safeopen.h"

#include <QFile>
#include <QString>
#include <QStringList>

#include <memory>

/// The folder part of a relative path: "a/b" of "a/b/c", empty for "c".
inline QString relativeFolder(const QString &path)
{
    return path.left(qMax(0, path.lastIndexOf(QLatin1Char('/'))));
}

/// The last part of a relative path: "c" of "a/b/c".
inline QString relativeName(const QString &path)
{
    return path.mid(path.lastIndexOf(QLatin1Char('/')) + 1);
}

/**
 * Opens the file at @p path in a tree nobody else steers (the publisher's
 * release and site), links on the way and at the name followed, into @p file
 * only when it is a regular file: a FIFO is never waited on and a device never
 * read (see HeldFolder::openFile()).
 * @param maxSize the largest size accepted, or -1 for any
 */
bool openRegularFile(QFile &file, const QString &path, QIODevice::OpenMode mode, qint64 maxSize = -1);

/**
 * A folder opened once and held while it is in use. Every create, open,
 * rename, removal and listing below it goes through the held folder, never
 * through a path rebuilt from text, so nobody can swap the folder (or put a
 * link in its place) between a check and a use. Names below it are taken one
 * component at a time; a link or junction at any of them is refused, never
 * followed, and no removal descends through one.
 *
 * POSIX: a descriptor and the *at() calls with O_NOFOLLOW and
 * AT_SYMLINK_NOFOLLOW. Windows: a handle held without FILE_SHARE_DELETE, so the
 * folder can be neither renamed nor removed while held; entries are opened by
 * their long path (\\?\…) with FILE_FLAG_OPEN_REPARSE_POINT and refused when
 * they are reparse points, and moved by handle.
 *
 * Copies share the one open folder. path() is for messages only.
 */
class HeldFolder
{
    struct Handle;

public:
    /// What stands at a name, seen without following it.
    enum class Kind { Missing, File, Folder, Link, Other };
    /// Whether links on the way are followed (a trusted tree) or refused.
    enum class Links { Follow, Refuse };
    /// Whose files are taken: only the updater's user's (where others could plant one), or anybody's.
    enum class Owner { Self, Any };
    /// Whether missing folders are made, and how: only the updater's user may use a private one.
    enum class Make { Nothing, Private, Shared };

    /// An invalid folder.
    HeldFolder();
    ~HeldFolder();
    HeldFolder(const HeldFolder &other);
    HeldFolder &operator=(const HeldFolder &other);

    /**
     * Opens the folder at @p path. Links on the way to it, and a link at it,
     * are followed: the folder is one a setting names.
     */
    static HeldFolder open(const QString &path);
    /**
     * Opens the folder at @p path as open() does, links on the way followed,
     * but a link at its own name only when it is the updater's user's or the
     * system's and the folder holding it lets nobody else replace its entries
     * (POSIX; on Windows links and junctions are the administrators' to make,
     * and are followed): another user's link there leads nothing of the
     * updater's elsewhere.
     */
    static HeldFolder openTrusted(const QString &path);

    /**
     * The folder @p relative ("a" or "a/b") below this one, component by
     * component; missing ones are made as @p make says (Make::Private: mode
     * 0700; Make::Shared: as the umask allows, as a host's own folders are).
     */
    HeldFolder folder(const QString &relative, Make make = Make::Nothing, Links links = Links::Refuse) const;

    bool isValid() const;
    /// True when both are valid and hold the very same folder, whatever its names.
    bool isSameFolderAs(const HeldFolder &other) const;
    /// The folder's path, for messages and diagnostics.
    QString path() const { return m_path; }
    /// @p name below the folder, for messages and diagnostics.
    QString filePath(const QString &name) const;
    /**
     * A path to @p relative that leads through the held folder itself, for
     * what only takes a path (QSettings, hashing on worker threads): on Linux
     * through /proc/self/fd, so that a folder swapped in at the name is never
     * read; elsewhere filePath(), where the held folder keeps its name.
     */
    QString pathThroughHandle(const QString &relative) const;
    /// Why the last call on this folder failed, in the system's words.
    QString errorString() const { return m_error; }

    Kind kindOf(const QString &name) const;
    QStringList entries() const;

    /**
     * Opens the regular file @p name into @p file, never through a link and
     * never a FIFO or device; with Owner::Self only a file of the updater's
     * user (POSIX). @param maxSize the largest size accepted, or -1 for any
     */
    bool openFile(QFile &file, const QString &name, QIODevice::OpenMode mode, Owner owner = Owner::Self,
                  qint64 maxSize = -1) const;
    /// Creates @p name anew, unbuffered for reading and writing; fails when anything stands there.
    bool createFile(QFile &file, const QString &name) const;
    /**
     * Opens the lock file @p name into @p file, making it when missing (nobody
     * else may open it: mode 0600; a DACL of the user, Administrators and
     * SYSTEM), and takes it for this process alone, without waiting: an
     * exclusive flock (POSIX), an open that shares nothing (Windows). The lock
     * lasts until @p file is closed, or the process ends however it ends. A
     * link, a folder or another user's file at the name is never opened or
     * followed. On failure lastFailureWasInUse() tells whether something
     * occupies the name (another holder, or an entry someone else put there)
     * or the folder cannot hold a lock at all (read-only).
     */
    bool lockFile(const QString &name, QFile &file) const;
    /**
     * Makes the folder @p name; @p privately as a private folder (POSIX: mode
     * 0700 as the umask allows, see makePrivate(); Windows: with a protected
     * DACL of the user, Administrators and SYSTEM, given as it is made).
     */
    bool makeFolder(const QString &name, bool privately = true) const;

    /**
     * Renames @p name to @p toName in @p to, replacing a file (or a link, never
     * what it leads to) that stands there, in one step.
     */
    bool rename(const QString &name, const HeldFolder &to, const QString &toName) const;
    /**
     * Swaps @p name and @p otherName of @p other in one step, so that each name
     * holds one of the two at every instant (Linux, macOS); false where the
     * system has no such call (Windows).
     */
    bool exchange(const QString &name, const HeldFolder &other, const QString &otherName) const;
    /// True when the last rename failed because the two folders lie on different volumes.
    bool lastRenameCrossedVolumes() const { return m_crossedVolumes; }
    /**
     * True when the last call failed because another process held the name
     * (Windows: a sharing or lock violation, or access denied, as from an
     * antivirus scanning a new file); never on POSIX, where nothing holds a name.
     */
    bool lastFailureWasInUse() const { return m_inUse; }
    /**
     * Removes whatever stands at @p name: a file, a link (never what it leads
     * to), or a folder of the updater's user with all it holds, never
     * descending through a link; another user's folder is left alone. True
     * when nothing is left there.
     */
    bool remove(const QString &name) const;

    /// True when @p name, not followed, belongs to the updater's user (POSIX) or its user, Administrators or SYSTEM (Windows).
    bool isOwnedBySelf(const QString &name) const;
    /// The permissions of the file @p name, read without following a link.
    QFileDevice::Permissions permissions(const QString &name) const;
    /**
     * Makes the data of the file @p name durable (fsync; FlushFileBuffers).
     * The updater's user's files only, as openFile() with Owner::Self.
     */
    bool syncFile(const QString &name) const;
    /// Makes the folder's entries durable, so a rename into it survives a power cut (POSIX).
    bool sync() const;
    /**
     * Makes everything written to the folder's volume durable: the data of its
     * files and its folders' entries (Linux: syncfs). False where there is no
     * such call; then each file and folder is synced on its own.
     */
    bool syncVolume() const;

    /**
     * True when only the updater's user can use the folder: owned by that user,
     * mode 0700 (POSIX); a DACL that grants only that user, Administrators and
     * SYSTEM, nothing inherited (Windows).
     */
    bool isPrivate() const;
    /// True when the folder is owned by the updater's user or the system (root; Administrators, SYSTEM, TrustedInstaller).
    bool isTrusted() const;
    /// Sets a folder made privately to exactly mode 0700, whatever the umask took (POSIX).
    bool makePrivate() const;

#ifndef Q_OS_WIN   // Windows sets a file aside to keep it: a file in use can be renamed, not linked and replaced
    /// Makes @p linkName a second name (a hard link) of the file @p name.
    bool link(const QString &name, const QString &linkName) const;
#else

    /**
     * A file or folder of a held folder opened to be renamed. While it is
     * held nobody else can open it without sharing its deletion, so no
     * scanner or indexer can take it between the renames of a replacement,
     * and a rename by it renames what was opened, never what a link put at
     * its name meanwhile leads to.
     */
    class Entry
    {
    public:
        bool isValid() const { return m_handle != nullptr; }
        /// Which file it is on its volume, whatever name leads to it (an 8.3 alias, say).
        QByteArray identity() const;

    private:
        friend class HeldFolder;
        std::shared_ptr<Handle> m_handle;
    };
    /// Holds @p name to rename it (never through a link); invalid on failure, lastFailureWasInUse() telling why.
    Entry hold(const QString &name) const;
    /// Renames the held @p entry to @p toName in @p to, replacing a file that stands there, in one step.
    bool rename(const Entry &entry, const HeldFolder &to, const QString &toName) const;
#endif

private:
    HeldFolder openChild(const QString &name, Links links) const;
    void removeEntry(const QString &name, Kind kind) const;
    bool fail() const;

    std::shared_ptr<Handle> m_handle;
    QString m_path;
    mutable QString m_error;
    mutable bool m_crossedVolumes = false;
    mutable bool m_inUse = false;
};
