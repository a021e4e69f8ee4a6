#include "heldfolder.h"

#include <QDir>
#include <QFileInfo>


namespace {
// A name below a held folder is one component that leads nowhere else.
bool isPlainName(const QString &name)
{
    return !name.isEmpty() && name != QLatin1String(".") && name != QLatin1String("..")
            && !name.contains(QLatin1Char('/')) && !name.contains(QLatin1Char('\\'));
}
}

bool openRegularFile(QFile &file, const QString &path, QIODevice::OpenMode mode, qint64 maxSize)
{
    const QFileInfo target(QFileInfo(path).canonicalFilePath());
    return !target.filePath().isEmpty()
            && HeldFolder::open(target.absolutePath()).openFile(file, target.fileName(), mode, HeldFolder::Owner::Any, maxSize);
}

HeldFolder::HeldFolder() = default;
HeldFolder::~HeldFolder() = default;
HeldFolder::HeldFolder(const HeldFolder &other) = default;
HeldFolder &HeldFolder::operator=(const HeldFolder &other) = default;

bool HeldFolder::isValid() const
{
    return m_handle != nullptr;
}

QString HeldFolder::filePath(const QString &name) const
{
    return m_path + QLatin1Char('/') + name;
}

HeldFolder HeldFolder::folder(const QString &relative, Make make, Links links) const
{
    HeldFolder current = *this;
    for (const QString &part : relative.split(QLatin1Char('/'), Qt::SkipEmptyParts)) {
        if (!current.isValid())
            break;
        if (!isPlainName(part)) {
            current.m_handle.reset();
            current.m_error = QStringLiteral("%1 is not a name of a folder below %2").arg(part, current.m_path);
            break;
        }
        HeldFolder next = current.openChild(part, links);
        if (!next.isValid() && make != Make::Nothing && current.kindOf(part) == Kind::Missing
                && (current.makeFolder(part, make == Make::Private) || current.kindOf(part) == Kind::Folder)) {
            if (make == Make::Private)
                current.openChild(part, links).makePrivate();
            next = current.openChild(part, links);
        }
        if (!next.isValid())
            next.m_error = current.m_error;
        current = next;
    }
    m_error = current.m_error;
    return current;
}

bool HeldFolder::remove(const QString &name) const
{
    if (!isPlainName(name))
        return false;
    const Kind kind = kindOf(name);
    if (kind == Kind::Missing)
        return true;
    // Another user's folder is theirs: never emptied, whatever stood at its name a moment ago.
    if (kind == Kind::Folder && !isOwnedBySelf(name)) {
        m_error = QStringLiteral("%1 is another user's folder").arg(filePath(name));
        return false;
    }
    if (kind == Kind::Folder) {
        // Emptied through the folder itself: a link inside is removed, never followed.
        const HeldFolder inside = openChild(name, Links::Refuse);
        if (inside.isValid()) {
            for (const QString &entry : inside.entries())
                inside.remove(entry);
        }
    }
    removeEntry(name, kind);
    return kindOf(name) == Kind::Missing;
}
