#pragma once

#include <QByteArray>
#include <QtEndian>

#include <cstdio>

/**
 * @file
 * The digest text: the 32 lowercase hexadecimal characters of an MD5 digest
 * read as four little-endian 32-bit words, each written as "%08x". Every
 * comparison of file contents in the updater goes through this form, and this
 * is where it is written.
 */

/// Digest text of the four state words of a finished MD5 computation.
inline QByteArray digestTextOfWords(quint32 a, quint32 b, quint32 c, quint32 d)
{
    char text[33];
    std::snprintf(text, sizeof text, "%08x%08x%08x%08x", a, b, c, d);
    return QByteArray(text, 32);
}

/// Digest text of a raw 16-byte MD5 digest, whose bytes are the state words in little-endian order.
inline QByteArray digestText(const QByteArray &md5Digest)
{
    Q_ASSERT(md5Digest.size() == 16);
    const auto *raw = reinterpret_cast<const uchar *>(md5Digest.constData());
    return digestTextOfWords(qFromLittleEndian<quint32>(raw), qFromLittleEndian<quint32>(raw + 4),
                             qFromLittleEndian<quint32>(raw + 8), qFromLittleEndian<quint32>(raw + 12));
}
