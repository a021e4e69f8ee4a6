#include "manifest.h"

Qt::CaseSensitivity fileNameCase()
{
    return Qt::CaseSensitive;
}
