#pragma once

#include "md5hasher.h"

#include <QFile>
#include <QString>

/**
 * Takes one download's body as it arrives: writes it to a temporary file beside
 * the cache file while counting its length and computing its digest text.
 * commit() replaces the cache file with it. A receiver destroyed without a
 * successful commit removes the temporary file, so the cache keeps exactly what
 * it held before, unless keepPartial() asked to keep it for a later resume.
 */
class BodyReceiver
{
public:
    /**
     * @param resume continue the body already in @p temporaryPath: its bytes are
     *        counted and hashed first, and new bytes are appended to them
     */
    BodyReceiver(const QString &cachePath, const QString &temporaryPath, bool resume = false);
    ~BodyReceiver();
    BodyReceiver(const BodyReceiver &) = delete;
    BodyReceiver &operator=(const BodyReceiver &) = delete;

    void append(const char *data, qint64 length);
    /// Drops everything received so far and starts the body anew.
    void restart();
    /// Keeps the temporary file when the receiver goes without a commit.
    void keepPartial() { m_keep = true; }
    /// Bytes received so far.
    quint64 size() const { return m_size; }
    /// Digest text of everything received.
    QByteArray digestText() { return m_hasher.text(); }
    /// Puts the complete body in place of the cache file; false when it could not be written.
    bool commit();

private:
    QString m_cachePath;
    QFile m_temporary;
    Md5Hasher m_hasher;
    quint64 m_size = 0;
    bool m_writable = false;
    bool m_committed = false;
    bool m_keep = false;
};
