#include "atomicfile.h"

#include "safeopen.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QRandomGenerator>

#include <cerrno>

AtomicFile::AtomicFile(const QString &target)
    : m_target(target)
{
}

AtomicFile::~AtomicFile()
{
    if (m_committed || m_temporaryPath.isEmpty())
        return;
    m_file.close();
    QFile::remove(m_temporaryPath);
}

bool AtomicFile::open()
{
    const QFileInfo target(m_target);
    // A fresh name each time: a leftover or a planted file is never reused.
    for (int attempt = 0; attempt < 16; ++attempt) {
        const QString candidate = target.absolutePath() + QLatin1String("/.") + target.fileName()
                + QLatin1Char('.') + QString::number(QRandomGenerator::global()->generate(), 16)
                + QLatin1String(".tmp");
        QString error;
        if (createNewFile(m_file, candidate, &error)) {
            m_temporaryPath = candidate;
            return true;
        }
        if (QFileInfo::exists(candidate) || QFileInfo(candidate).isSymLink())
            continue;
        return failWith(error);
    }
    return failWith(qt_error_string(EEXIST));
}

bool AtomicFile::write(const char *data, qint64 length)
{
    if (m_failed || !m_file.isOpen())
        return false;
    errno = 0;
    if (!writeAll(m_file, data, length))
        return failWith(errno ? qt_error_string(errno) : m_file.errorString());
    return true;
}

bool AtomicFile::setPermissions(QFileDevice::Permissions permissions)
{
    return m_file.isOpen() && QFile::setPermissions(m_temporaryPath, permissions);
}

bool AtomicFile::commit()
{
    if (m_failed || !m_file.isOpen())
        return false;
    // Unbuffered writes leave nothing behind in Qt, but the close may still
    // report what the system could not store.
    if (!m_file.flush())
        return failWith(m_file.errorString());
    m_file.close();
    if (m_file.error() != QFileDevice::NoError)
        return failWith(m_file.errorString());
    if (!renameOver(m_temporaryPath, m_target))
        return failWith(qt_error_string(errno));
    m_committed = true;
    return true;
}

bool AtomicFile::failWith(const QString &error)
{
    m_failed = true;
    m_error = error;
    return false;
}

bool writeFileAtomically(const QString &path, const QByteArray &bytes, QString *error)
{
    AtomicFile file(path);
    if (file.open() && file.write(bytes) && file.commit())
        return true;
    if (error)
        *error = file.errorString();
    return false;
}

bool copyFileAtomically(const QString &source, const QString &target, QString *error)
{
    QFile in;
    AtomicFile out(target);
    const auto failed = [error](const QString &reason) {
        if (error)
            *error = reason;
        return false;
    };
    if (!openRegularFile(in, source, QIODevice::ReadOnly))
        return failed(QCoreApplication::translate("AtomicFile", "%1 is not a readable regular file").arg(source));
    if (!out.open())
        return failed(out.errorString());
    QByteArray chunk(1024 * 1024, Qt::Uninitialized);
    for (;;) {
        const qint64 read = in.read(chunk.data(), chunk.size());
        if (read < 0)
            return failed(in.errorString());
        if (read == 0)
            break;
        if (!out.write(chunk.constData(), read))
            return failed(out.errorString());
    }
    if (!out.setPermissions(QFileInfo(source).permissions()) || !out.commit())
        return failed(out.errorString());
    return true;
}
