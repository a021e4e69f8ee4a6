#include "installid.h"

#include "atomicfile.h"
#include "filenames.h"

#include <QFile>
#include <QRandomGenerator>

namespace {
constexpr int idBytes = 16;
}

InstallId::InstallId(const HeldFolder &install)
    : m_install(install)
{
}

bool InstallId::take(QByteArray *id, QString *error) const
{
    QFile file;
    if (m_install.kindOf(FileNames::installId) != HeldFolder::Kind::Missing) {
        if (!m_install.openFile(file, FileNames::installId, QIODevice::ReadOnly, HeldFolder::Owner::Self, 4 * idBytes)) {
            *error = m_install.errorString();
            return false;
        }
        const QByteArray text = file.readAll().trimmed();
        *id = QByteArray::fromHex(text);
        if (text.size() != 2 * idBytes || id->size() != idBytes || id->toHex() != text.toLower()) {
            *error = QStringLiteral("%1 does not hold an id").arg(m_install.filePath(FileNames::installId));
            return false;
        }
        return true;
    }
    quint32 words[idBytes / 4];
    QRandomGenerator::system()->fillRange(words);
    *id = QByteArray(reinterpret_cast<const char *>(words), idBytes);
    return writeFileAtomically(m_install, FileNames::installId, id->toHex() + '\n', error);
}
