#include "windowsnames.h"

QString nameThisSystemRefuses(const ManifestMap &)
{
    return QString();
}
