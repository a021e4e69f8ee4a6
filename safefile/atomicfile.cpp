#include "atomicfile.h"

#include "patience.h"
#include "safeopen.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QRandomGenerator>

namespace {
constexpr int renamePatienceMsecs = 5000;
}

AtomicFile::AtomicFile(const HeldFolder &folder, const QString &name)
    : m_folder(folder)
    , m_name(name)
{
}

AtomicFile::~AtomicFile()
{
    if (m_committed || m_temporaryName.isEmpty())
        return;
    m_file.close();
    m_folder.remove(m_temporaryName);
}

bool AtomicFile::open()
{
    if (!m_folder.isValid())
        return failWith(m_folder.errorString());
    // A fresh name each time: a leftover or a planted file is never reused.
    for (int attempt = 0; attempt < 16; ++attempt) {
        const QString candidate = QLatin1Char('.') + m_name + QLatin1Char('.')
                + QString::number(QRandomGenerator::global()->generate(), 16) + QLatin1String(".tmp");
        if (m_folder.createFile(m_file, candidate)) {
            m_temporaryName = candidate;
            return true;
        }
        if (m_folder.kindOf(candidate) == HeldFolder::Kind::Missing)
            break;
    }
    return failWith(m_folder.errorString());
}

bool AtomicFile::write(const char *data, qint64 length)
{
    if (m_failed || !m_file.isOpen())
        return false;
    if (!writeAll(m_file, data, length))
        return failWith(m_file.errorString());
    return true;
}

bool AtomicFile::setPermissions(QFileDevice::Permissions permissions)
{
    return m_file.isOpen() && setFilePermissions(m_file, permissions);
}

bool AtomicFile::commit()
{
    if (m_failed || !m_file.isOpen())
        return false;
    // Nothing vouches for the new name before its data is on the disk; the
    // close may still report what the system could not store.
    if (!m_file.flush() || !syncFile(m_file))
        return failWith(m_file.errorString());
    m_file.close();
    if (m_file.error() != QFileDevice::NoError)
        return failWith(m_file.errorString());
    // A file just written is what an antivirus opens for a moment on Windows.
    QDeadlineTimer deadline(renamePatienceMsecs);
    if (!patiently(deadline, m_folder, [this] { return m_folder.rename(m_temporaryName, m_folder, m_name); }, [](int) {})
            || !m_folder.sync())
        return failWith(m_folder.errorString());
    m_committed = true;
    return true;
}

bool AtomicFile::failWith(const QString &error)
{
    m_failed = true;
    m_error = error;
    return false;
}

bool writeFileAtomically(const HeldFolder &folder, const QString &name, const QByteArray &bytes, QString *error)
{
    AtomicFile file(folder, name);
    if (file.open() && file.write(bytes) && file.commit())
        return true;
    if (error)
        *error = file.errorString();
    return false;
}

bool writeFileAtomically(const QString &path, const QByteArray &bytes, QString *error)
{
    const QFileInfo target(path);
    return writeFileAtomically(HeldFolder::open(target.absolutePath()), target.fileName(), bytes, error);
}

bool copyFileAtomically(const HeldFolder &source, const QString &sourceName, const HeldFolder &target,
                        const QString &targetName, QString *error)
{
    QFile in;
    AtomicFile out(target, targetName);
    const auto failed = [error](const QString &reason) {
        if (error)
            *error = reason;
        return false;
    };
    if (!source.openFile(in, sourceName, QIODevice::ReadOnly, HeldFolder::Owner::Any))
        return failed(QCoreApplication::translate("AtomicFile", "%1 is not a readable regular file").arg(source.filePath(sourceName)));
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
    if (!out.setPermissions(source.permissions(sourceName)) || !out.commit())
        return failed(out.errorString());
    return true;
}
