#pragma once

#include "heldfolder.h"
#include "httppolicy.h"

#include <QByteArray>
#include <QString>

#include <optional>

/**
 * The last md5.txt the updater fetched, kept in the install folder (never in
 * the cache, which another user may write) with what it takes to ask the
 * server whether it changed: the URL it came from, the response's validator
 * (ETag as If-None-Match, else Last-Modified as If-Modified-Since) and, on a
 * signed site, its signature. "update_md5.cache" holds the bytes,
 * "update_md5.cache.info" the rest with their length and SHA-256, and the
 * SHA-256 of the update.ini it came with: a copy that
 * does not match them, or is anything but a regular file of bounded size, is
 * not used.
 */
class ManifestCopy
{
public:
    QString url;
    /// What asks the server whether it changed; not valid when the response gave none.
    HttpPolicy::Validator validator;
    QByteArray manifest;
    QByteArray signature;
    /// SHA-256 (hexadecimal) of the update.ini it was fetched under; empty when not known.
    QByteArray descriptionDigest;

    /// The copy kept in the held @p install folder for @p url, when it is whole and usable.
    static std::optional<ManifestCopy> load(const HeldFolder &install, const QString &url);
    /// Keeps this copy in the held @p install folder; false when it could not be written.
    bool save(const HeldFolder &install) const;
};
