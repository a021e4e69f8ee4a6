#pragma once

#include "hasher.h"
#include "heldfolder.h"

#include <QFile>
#include <QString>

#include <atomic>
#include <functional>

/**
 * Takes one download's body as it arrives: writes it to a scratch file while
 * counting its length and computing its digests (the digest text, and the
 * SHA-256 when asked for, from the same bytes). commit() puts it in place
 * of the cache file. A receiver destroyed without a successful commit removes
 * the scratch file, so the cache keeps exactly what it held before, unless
 * keepPartial() asked to keep it for a later resume.
 *
 * Both files live in held folders of the cache's private folder. The scratch
 * file is created anew (whatever stood at its name is removed first, never
 * written through); a kept one is continued only when it is a regular file of
 * the updater's user. Every write is checked.
 */
class BodyReceiver
{
public:
    /**
     * @param files the folder of the cache file, @p cacheName in it
     * @param partial the folder of the scratch file, @p scratchName in it
     * @param resume continue the body already in the scratch file: its bytes
     *        are counted and hashed first, and new bytes are appended to them
     * @param withSha256 compute the SHA-256 too
     */
    BodyReceiver(const HeldFolder &files, const QString &cacheName, const HeldFolder &partial, const QString &scratchName,
                 bool resume = false, bool withSha256 = false);
    ~BodyReceiver();
    BodyReceiver(const BodyReceiver &) = delete;
    BodyReceiver &operator=(const BodyReceiver &) = delete;

    /// Counts, hashes and writes; false once anything could not be written.
    bool append(const char *data, qint64 length);
    /// Drops everything received so far and starts the body anew.
    void restart();
    /// Keeps the scratch file when the receiver goes without a commit.
    void keepPartial() { m_keep = true; }
    /// Bytes received so far.
    quint64 size() const { return m_size; }
    /// Digests of everything received.
    Digests digests() { return m_hasher.result(); }
    /**
     * Makes the body @p size bytes long and has @p decode write all of it in
     * place, in the mapped scratch file; the bytes are then counted and hashed
     * as if they had arrived. @p decode, like this, returns false with what
     * went wrong in @p error. When @p cancel is set, the hashing stops soon too.
     */
    bool decodeInto(quint64 size, const std::function<bool(uchar *out, QString *error)> &decode, QString *error,
                    const std::atomic_bool *cancel = nullptr);
    /// Ends the writing: everything is in the scratch file, or false.
    bool finishWriting();
    /// Puts the complete body in place of the cache file; false when it could not be written.
    bool commit();

private:
    HeldFolder m_files;
    QString m_cacheName;
    HeldFolder m_partial;
    QString m_scratchName;
    QFile m_scratch;
    Hasher m_hasher;
    quint64 m_size = 0;
    bool m_writable = false;
    bool m_committed = false;
    bool m_keep = false;
};
