#pragma once

#include "heldfolder.h"
#include "manifestcopy.h"

#include <QString>

#include <optional>

class CheckFetcher;
struct UpdateDescription;

/**
 * md5.txt for an update.ini: the copy kept from the last check when update.ini
 * names its digest (no request at all), or when the server answers the kept
 * validator with 304; otherwise fetched whole. When update.ini names the
 * manifest nothing else is taken: a kept copy with another digest is not asked
 * about, and an answer with another one (a cache on the way vouching for an
 * older md5.txt) is asked for once more past every cache, then refused.
 * Without those keys, a kept copy that came with another update.ini is not
 * asked about either, and the fetch goes past every cache.
 */
class ManifestFetch
{
public:
    /// @param install the held install folder, where the copy is kept
    ManifestFetch(CheckFetcher &fetcher, const HeldFolder &install);

    /**
     * Takes the md5.txt at @p address for @p description into @p copy (with
     * its descriptionDigest set by the caller); @p unchanged tells that it is
     * the kept copy. False when it could not be fetched (@p error says why), or
     * is not the one @p description names (@p error empty).
     */
    bool take(const QString &address, const UpdateDescription &description, ManifestCopy &copy, bool &unchanged,
              QString *error);

private:
    /// The kept copy worth using or asking about for @p description, with the headers to ask with.
    std::optional<ManifestCopy> keptFor(const QString &address, const UpdateDescription &description,
                                        const ManifestCopy &copy, HttpHeaders &headers);
    /// One request with @p headers; a 304 stands for @p kept when a condition was asked.
    bool request(const QString &address, const HttpHeaders &headers, const std::optional<ManifestCopy> &kept,
                 ManifestCopy &copy, bool &unchanged, QString *error, int &status);

    CheckFetcher &m_fetcher;
    HeldFolder m_install;
};
