#include "windowsnames.h"

#include <QSet>
#include <QStringList>

namespace {

bool isReservedDeviceName(const QString &segment)
{
    // The device is named whatever the extension: "con.txt" is CON too.
    const QString base = segment.section(QLatin1Char('.'), 0, 0).trimmed().toUpper();
    static const QSet<QString> devices = [] {
        QSet<QString> names{QStringLiteral("CON"), QStringLiteral("PRN"), QStringLiteral("AUX"), QStringLiteral("NUL"),
                            QStringLiteral("CONIN$"), QStringLiteral("CONOUT$")};
        for (int digit = 1; digit <= 9; ++digit) {
            names << QStringLiteral("COM%1").arg(digit) << QStringLiteral("LPT%1").arg(digit);
        }
        return names;
    }();
    return devices.contains(base);
}

bool windowsCanHold(const QString &segment)
{
    if (segment.endsWith(QLatin1Char('.')) || segment.endsWith(QLatin1Char(' ')) || isReservedDeviceName(segment))
        return false;
    static const QString refused = QStringLiteral("<>\"|?*");
    for (const QChar c : segment) {
        if (c.unicode() < 0x20 || refused.contains(c))
            return false;
    }
    return true;
}

}

QString nameWindowsRefuses(const ManifestMap &manifest)
{
    // What each path is on Windows: every file, and every folder on the way.
    QSet<QString> files;
    QSet<QString> folders;
    for (const ManifestEntry &entry : manifest) {
        const QStringList segments = entry.path.split(QLatin1Char('/'));
        for (const QString &segment : segments) {
            if (!windowsCanHold(segment))
                return entry.path;
        }
        const QString folded = entry.path.toCaseFolded();
        if (files.contains(folded) || folders.contains(folded))
            return entry.path;
        files.insert(folded);
        for (int i = folded.indexOf(QLatin1Char('/')); i >= 0; i = folded.indexOf(QLatin1Char('/'), i + 1))
            folders.insert(folded.left(i));
    }
    // A file named as a folder another entry goes into.
    for (const ManifestEntry &entry : manifest) {
        if (folders.contains(entry.path.toCaseFolded()))
            return entry.path;
    }
    return QString();
}
