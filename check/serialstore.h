#pragma once

#include "heldfolder.h"

#include <QString>

#include <optional>

/**
 * The highest serial of a signed update.ini this install has accepted, per
 * update site, kept beside update_md5.info: a replay of an older description
 * is refused once a newer one was seen. What it stores never goes down.
 *
 * A site is its update URL in canonical form (see canonicalSiteUrl()), so a
 * system.cfg that spells the same URL another way keeps the protection.
 * Reading is tolerant: CR LF line ends, repeated lines (the highest serial
 * wins), keys stored in another spelling by an earlier version, and a store
 * grown beyond its bound (what can be read of it counts). The next record()
 * writes it anew in canonical, compact form. A store that cannot be read at
 * all (damaged, a link, no file) knows nothing.
 */
class SerialStore
{
public:
    /// The store "update_serial.info" in the held @p folder (the install folder).
    explicit SerialStore(const HeldFolder &folder);

    /// The highest serial accepted from the site of @p updateUrl, if the store can tell.
    std::optional<qint64> seen(const QString &updateUrl) const;
    /**
     * Records @p serial for the site of @p updateUrl unless a higher one is
     * stored, and rewrites a store that is not in compact form; false when it
     * cannot be written.
     */
    bool record(const QString &updateUrl, qint64 serial) const;

    /**
     * The one spelling of an update URL: scheme and host in lower case, without
     * user name and password, the host without a trailing dot, the scheme's
     * default port dropped, percent-encoded unreserved characters decoded,
     * runs of slashes folded into one and "." and ".." segments resolved.
     * Different hosts stay different sites, even when they name the same
     * machine ("localhost" and "127.0.0.1").
     */
    static QString canonicalSiteUrl(const QString &updateUrl);

private:
    HeldFolder m_folder;
};
