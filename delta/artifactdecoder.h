#pragma once

#include "artifactindex.h"

#include <QString>

#include <atomic>

/**
 * Decodes an artifact into the file it gives. Every buffer is the caller's,
 * typically mapped files: the artifact, the base of a patch, and @p out, which
 * is exactly the size of the file to give. Nothing is written past @p out, and
 * the decoders hold at most their bounded windows (8 MiB for each stream of a
 * patch; a compressed copy uses @p out as its window). The work is bounded by
 * the result's size: a patch step that writes nothing is refused, so a hostile
 * artifact can grow neither the result nor memory nor time.
 * The caller still checks the result's digest: a wrong base or a lying index
 * gives wrong bytes, not a failure here.
 *
 * @param error receives what was wrong when it returns false
 * @param cancel when given and set (from another thread), the decode stops soon
 */
bool decodeArtifact(Artifact::Kind kind, const uchar *artifact, qint64 artifactSize,
                    const uchar *base, qint64 baseSize, uchar *out, qint64 outSize, QString *error,
                    const std::atomic_bool *cancel = nullptr);
