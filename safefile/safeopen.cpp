#include "safeopen.h"

bool writeAll(QFile &file, const char *data, qint64 length)
{
    // Unbuffered, so a full disk shows here and not in some later flush.
    return file.write(data, length) == length && file.error() == QFileDevice::NoError;
}
