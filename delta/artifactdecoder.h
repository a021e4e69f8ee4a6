#pragma once

#include "artifactindex.h"

#include <QString>

/**
 * Decodes an artifact into the file it gives. Every buffer is the caller's,
 * typically mapped files: the artifact, the base of a patch, and @p out, which
 * is exactly the size of the file to give. Nothing is written past @p out and
 * nothing is allocated beyond the decoders' bounded windows (under 20 MiB), so
 * a damaged or hostile artifact can neither grow the result nor memory.
 * The caller still checks the result's digest: a wrong base or a lying index
 * gives wrong bytes, not a failure here.
 *
 * @return an empty text on success, otherwise what was wrong
 */
QString decodeArtifact(Artifact::Kind kind, const uchar *artifact, qint64 artifactSize,
                       const uchar *base, qint64 baseSize, uchar *out, qint64 outSize);
