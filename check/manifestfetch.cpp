#include "manifestfetch.h"

#include "checklog.h"
#include "checkfetcher.h"
#include "httppolicy.h"
#include "signatureverifier.h"
#include "updatedescription.h"

namespace {
// Request headers that ask every cache on the way to check with the server.
HttpHeaders noCache()
{
    return {{"Cache-Control", "no-cache"}, {"Pragma", "no-cache"}};
}
}

ManifestFetch::ManifestFetch(CheckFetcher &fetcher, const HeldFolder &install)
    : m_fetcher(fetcher)
    , m_install(install)
{
}

std::optional<ManifestCopy> ManifestFetch::keptFor(const QString &address, const UpdateDescription &description,
                                                   const ManifestCopy &copy, HttpHeaders &headers)
{
    // A kept copy is used only when whole, from this very address, and, on a
    // signed site, with a signature that still verifies.
    std::optional<ManifestCopy> kept = ManifestCopy::load(m_install, address);
    const SignatureVerifier *verifier = m_fetcher.verifier();
    if (kept && verifier && !verifier->verify(kept->manifest, kept->signature))
        kept.reset();
    if (kept && description.namesAManifest() && !description.names(kept->manifest)) {
        // update.ini names another manifest: this one is stale, not worth asking about.
        kept.reset();
    } else if (kept && !description.namesAManifest() && kept->descriptionDigest != copy.descriptionDigest) {
        // update.ini changed since the copy was kept, a new publication perhaps,
        // without saying which md5.txt it wants: a cache on the way may still
        // hold, and vouch for, the previous one.
        qCInfo(lcRun) << "update.ini changed since md5.txt was kept; asking without caches";
        kept.reset();
        headers = noCache();
    }
    if (kept && kept->validator.isValid())
        headers.set(kept->validator.conditionHeader, kept->validator.value);
    return kept;
}

bool ManifestFetch::take(const QString &address, const UpdateDescription &description, ManifestCopy &copy,
                         bool &unchanged, QString *error)
{
    HttpHeaders headers;
    const std::optional<ManifestCopy> kept = keptFor(address, description, copy, headers);
    // The copy that has the digest update.ini names needs no request at all.
    if (kept && description.namesAManifest()) {
        qCInfo(lcRun) << "md5.txt as kept: update.ini names its digest";
        copy = *kept;
        unchanged = true;
        return true;
    }
    int status = 0;
    if (!request(address, headers, kept, copy, unchanged, error, status))
        return false;
    if (description.names(copy.manifest))
        return true;
    // A cache on the way (a CDN's edge, a proxy) answered with another md5.txt
    // than the one update.ini names: once more, past every cache. A 304 to that
    // request, which asked nothing, is the stale manifest vouched for once more.
    qCInfo(lcRun) << "md5.txt is not the one update.ini names; asking again without caches";
    if (!request(address, noCache(), std::nullopt, copy, unchanged, error, status) && status != 304)
        return false;
    if (status != 304 && description.names(copy.manifest))
        return true;
    qCInfo(lcRun) << "md5.txt is still not the one update.ini names";
    error->clear();
    return false;
}

bool ManifestFetch::request(const QString &address, const HttpHeaders &headers, const std::optional<ManifestCopy> &kept,
                            ManifestCopy &copy, bool &unchanged, QString *error, int &status)
{
    HttpHeaders answer;
    QByteArray body;
    const bool fetched = m_fetcher.fetch(QUrl(address, QUrl::TolerantMode), HttpPolicy::manifestMaxBytes, body, error,
                                         headers, &answer);
    status = answer.status();
    if (fetched) {
        unchanged = false;
        copy.url = address;
        copy.manifest = body;
        copy.signature.clear();
        copy.validator = HttpPolicy::Validator::of(answer);
        return true;
    }
    // Not modified counts only as the answer to a question that was asked.
    if (status == 304 && kept && kept->validator.isValid()) {
        qCInfo(lcRun) << "md5.txt not modified: the kept copy is used";
        copy = *kept;
        unchanged = true;
        return true;
    }
    return false;
}
