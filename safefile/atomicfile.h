#pragma once

#include "heldfolder.h"

#include <QFile>
#include <QString>

/**
 * Replaces a file as a whole: the new content goes to a fresh temporary file
 * beside the target in its held folder (created anew, never opened through
 * what stands there), every write is checked, and commit() makes the data
 * durable, renames it over the target and makes the rename durable too. A
 * reader of the target sees the old content or the complete new one, never a
 * short file, whatever the disk, the process or the power does in between.
 * Unlike QSaveFile, a failed write can never be followed by a successful
 * commit, and a link at the target is replaced, not written through.
 *
 * Destroyed without a successful commit, it removes its temporary file.
 */
class AtomicFile
{
public:
    /// Replaces @p name in @p folder.
    AtomicFile(const HeldFolder &folder, const QString &name);
    ~AtomicFile();
    AtomicFile(const AtomicFile &) = delete;
    AtomicFile &operator=(const AtomicFile &) = delete;

    /// Creates the temporary file; false when it cannot.
    bool open();
    /// Appends; false, and every later write and commit fails, when not all bytes were written.
    bool write(const char *data, qint64 length);
    bool write(const QByteArray &bytes) { return write(bytes.constData(), bytes.size()); }
    /// Gives the new file exactly these permissions.
    bool setPermissions(QFileDevice::Permissions permissions);
    /// Puts the complete, durable file in place of the target; false when anything failed.
    bool commit();
    /// Why the last step failed, in the system's words.
    QString errorString() const { return m_error; }

private:
    bool failWith(const QString &error);

    HeldFolder m_folder;
    QString m_name;
    QString m_temporaryName;
    QFile m_file;
    QString m_error;
    bool m_failed = false;
    bool m_committed = false;
};

/**
 * Replaces @p name in @p folder by @p bytes through an AtomicFile; on failure
 * @p error tells why.
 */
bool writeFileAtomically(const HeldFolder &folder, const QString &name, const QByteArray &bytes, QString *error = nullptr);

/// As above, for a file in a folder nobody else can steer (the install folder, the publisher's site).
bool writeFileAtomically(const QString &path, const QByteArray &bytes, QString *error = nullptr);

/**
 * Copies the regular file @p sourceName of @p source, with its permissions,
 * over @p targetName in @p target through an AtomicFile; on failure @p error
 * tells why and the target is as it was.
 */
bool copyFileAtomically(const HeldFolder &source, const QString &sourceName, const HeldFolder &target,
                        const QString &targetName, QString *error = nullptr);
