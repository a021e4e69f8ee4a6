#include "windowsnames.h"

QString nameThisSystemRefuses(const ManifestMap &manifest)
{
    return nameWindowsRefuses(manifest);
}
