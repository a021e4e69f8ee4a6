#pragma once

#include <QFile>
#include <QString>

/**
 * Replaces a file as a whole: the new content goes to a fresh temporary file
 * beside the target (created anew, never opened through what stands there),
 * every write is checked, and only commit() renames it over the target. A
 * reader of the target sees the old content or the complete new one, never a
 * short file, whatever the disk or the process does in between. Unlike
 * QSaveFile, a failed write can never be followed by a successful commit, and a
 * link at the target is replaced, not written through.
 *
 * Destroyed without a successful commit, it removes its temporary file.
 */
class AtomicFile
{
public:
    explicit AtomicFile(const QString &target);
    ~AtomicFile();
    AtomicFile(const AtomicFile &) = delete;
    AtomicFile &operator=(const AtomicFile &) = delete;

    /// Creates the temporary file; false when it cannot.
    bool open();
    /// Appends; false, and every later write and commit fails, when not all bytes were written.
    bool write(const char *data, qint64 length);
    bool write(const QByteArray &bytes) { return write(bytes.constData(), bytes.size()); }
    /// Gives the new file these permissions.
    bool setPermissions(QFileDevice::Permissions permissions);
    /// Puts the complete file in place of the target; false when anything failed.
    bool commit();
    /// Why the last step failed, in the system's words.
    QString errorString() const { return m_error; }

private:
    bool failWith(const QString &error);

    QString m_target;
    QString m_temporaryPath;
    QFile m_file;
    QString m_error;
    bool m_failed = false;
    bool m_committed = false;
};

/// Replaces @p path by @p bytes through an AtomicFile; on failure @p error tells why.
bool writeFileAtomically(const QString &path, const QByteArray &bytes, QString *error = nullptr);

/**
 * Copies the regular file @p source, with its permissions, over @p target through
 * an AtomicFile; on failure @p error tells why and the target is as it was.
 */
bool copyFileAtomically(const QString &source, const QString &target, QString *error = nullptr);
