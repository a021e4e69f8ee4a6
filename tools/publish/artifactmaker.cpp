#include "artifactmaker.h"

#include "patchformat.h"

#include <QThread>
#include <QtEndian>

#include <divsufsort.h>
#include <lzma.h>
#include <zstd.h>

#include <cstring>
#include <memory>
#include <vector>

namespace {

using Bytes = const uchar *;

QByteArray zstdCompress(const QByteArray &bytes, int windowLog, bool longDistance)
{
    std::unique_ptr<ZSTD_CCtx, decltype(&ZSTD_freeCCtx)> context(ZSTD_createCCtx(), &ZSTD_freeCCtx);
    if (!context)
        return {};
    ZSTD_CCtx_setParameter(context.get(), ZSTD_c_compressionLevel, 19);
    ZSTD_CCtx_setParameter(context.get(), ZSTD_c_windowLog, windowLog);
    ZSTD_CCtx_setParameter(context.get(), ZSTD_c_enableLongDistanceMatching, longDistance ? 1 : 0);
    ZSTD_CCtx_setParameter(context.get(), ZSTD_c_checksumFlag, 0);
    // Ignored where the library was built without threads.
    ZSTD_CCtx_setParameter(context.get(), ZSTD_c_nbWorkers, QThread::idealThreadCount());
    QByteArray out(int(ZSTD_compressBound(size_t(bytes.size()))), Qt::Uninitialized);
    const size_t written = ZSTD_compress2(context.get(), out.data(), size_t(out.size()), bytes.constData(), size_t(bytes.size()));
    if (ZSTD_isError(written))
        return {};
    out.truncate(int(written));
    return out;
}

QByteArray xzCompress(const QByteArray &bytes)
{
    lzma_options_lzma options;
    if (lzma_lzma_preset(&options, 9 | LZMA_PRESET_EXTREME))
        return {};
    options.dict_size = PatchFormat::xzDictionarySize;
    const lzma_filter filters[] = {{LZMA_FILTER_LZMA2, &options}, {LZMA_VLI_UNKNOWN, nullptr}};
    QByteArray out(int(lzma_stream_buffer_bound(size_t(bytes.size()))), Qt::Uninitialized);
    size_t written = 0;
    if (lzma_stream_buffer_encode(const_cast<lzma_filter *>(filters), LZMA_CHECK_CRC32, nullptr,
                                  reinterpret_cast<Bytes>(bytes.constData()), size_t(bytes.size()),
                                  reinterpret_cast<uchar *>(out.data()), &written, size_t(out.size())) != LZMA_OK)
        return {};
    out.truncate(int(written));
    return out;
}

// The smaller of zstd and xz, with the windows the applying side allows.
QByteArray compressStream(const QByteArray &stream, quint8 &codec)
{
    const QByteArray zstd = zstdCompress(stream, PatchFormat::zstdWindowLog, false);
    const QByteArray xz = xzCompress(stream);
    if (!xz.isEmpty() && (zstd.isEmpty() || xz.size() < zstd.size())) {
        codec = PatchFormat::Xz;
        return xz;
    }
    codec = zstd.isEmpty() ? PatchFormat::Raw : PatchFormat::Zstd;
    return zstd.isEmpty() ? stream : zstd;
}

qint64 matchLength(Bytes a, qint64 aLength, Bytes b, qint64 bLength)
{
    qint64 i = 0;
    while (i < aLength && i < bLength && a[i] == b[i])
        ++i;
    return i;
}

// The longest match of target's start among the base's suffixes, by binary search.
qint64 longestMatch(const std::vector<saidx_t> &suffixes, Bytes base, qint64 baseSize, Bytes target,
                    qint64 targetSize, qint64 &position)
{
    qint64 low = 0;
    qint64 high = baseSize - 1;
    while (high - low >= 2) {
        const qint64 middle = low + (high - low) / 2;
        const qint64 start = suffixes[size_t(middle)];
        if (std::memcmp(base + start, target, size_t(qMin(baseSize - start, targetSize))) < 0)
            low = middle;
        else
            high = middle;
    }
    const qint64 lowLength = matchLength(base + suffixes[size_t(low)], baseSize - suffixes[size_t(low)], target, targetSize);
    const qint64 highLength = matchLength(base + suffixes[size_t(high)], baseSize - suffixes[size_t(high)], target, targetSize);
    position = suffixes[size_t(lowLength > highLength ? low : high)];
    return qMax(lowLength, highLength);
}

void appendNumber(QByteArray &to, qint64 value)
{
    uchar bytes[8];
    qToLittleEndian<qint64>(value, bytes);
    to.append(reinterpret_cast<const char *>(bytes), 8);
}

} // namespace

QByteArray compressWhole(const QByteArray &bytes)
{
    return zstdCompress(bytes, 27, true);
}

QByteArray makePatch(const QByteArray &baseBytes, const QByteArray &targetBytes)
{
    const auto *base = reinterpret_cast<Bytes>(baseBytes.constData());
    const auto *target = reinterpret_cast<Bytes>(targetBytes.constData());
    const qint64 baseSize = baseBytes.size();
    const qint64 targetSize = targetBytes.size();
    if (baseSize < 2 || baseSize > maxPatchedFileSize)
        return {};
    std::vector<saidx_t> suffixes(static_cast<size_t>(baseSize));
    if (divsufsort(base, suffixes.data(), saidx_t(baseSize)) != 0)
        return {};

    QByteArray control;
    QByteArray difference;
    QByteArray extra;
    difference.reserve(int(targetSize));
    qint64 scan = 0;
    qint64 length = 0;
    qint64 position = 0;
    qint64 lastScan = 0;
    qint64 lastPosition = 0;
    qint64 lastOffset = 0;
    while (scan < targetSize) {
        // Find the next place where an exact match beats, by more than a few
        // bytes, simply carrying on with the current alignment.
        qint64 oldScore = 0;
        for (qint64 scored = scan += length; scan < targetSize; ++scan) {
            length = longestMatch(suffixes, base, baseSize, target + scan, targetSize - scan, position);
            for (; scored < scan + length; ++scored) {
                if (scored + lastOffset < baseSize && base[scored + lastOffset] == target[scored])
                    ++oldScore;
            }
            if ((length == oldScore && length != 0) || length > oldScore + 8)
                break;
            if (scan + lastOffset < baseSize && base[scan + lastOffset] == target[scan])
                --oldScore;
        }
        if (length == oldScore && scan != targetSize)
            continue;

        // Stretch the previous alignment forward and the new one backward, as
        // far as each still matches more than half its bytes.
        qint64 forward = 0;
        for (qint64 i = 0, matches = 0, best = 0; lastScan + i < scan && lastPosition + i < baseSize;) {
            if (base[lastPosition + i] == target[lastScan + i])
                ++matches;
            ++i;
            if (matches * 2 - i > best * 2 - forward) {
                best = matches;
                forward = i;
            }
        }
        qint64 backward = 0;
        if (scan < targetSize) {
            for (qint64 i = 1, matches = 0, best = 0; scan >= lastScan + i && position >= i; ++i) {
                if (base[position - i] == target[scan - i])
                    ++matches;
                if (matches * 2 - i > best * 2 - backward) {
                    best = matches;
                    backward = i;
                }
            }
        }
        // Where the two overlap, split at the point that keeps the most matches.
        if (lastScan + forward > scan - backward) {
            const qint64 overlap = (lastScan + forward) - (scan - backward);
            qint64 split = 0;
            for (qint64 i = 0, score = 0, best = 0; i < overlap; ++i) {
                if (target[lastScan + forward - overlap + i] == base[lastPosition + forward - overlap + i])
                    ++score;
                if (target[scan - backward + i] == base[position - backward + i])
                    --score;
                if (score > best) {
                    best = score;
                    split = i + 1;
                }
            }
            forward += split - overlap;
            backward -= split;
        }

        for (qint64 i = 0; i < forward; ++i)
            difference.append(char(target[lastScan + i] - base[lastPosition + i]));
        const qint64 copied = (scan - backward) - (lastScan + forward);
        extra.append(reinterpret_cast<const char *>(target + lastScan + forward), int(copied));
        const qint64 seek = (position - backward) - (lastPosition + forward);
        if (forward == 0 && copied == 0 && !control.isEmpty()) {
            // Appliers refuse a step that writes nothing after the first: the
            // move joins the step before.
            const qint64 before = qFromLittleEndian<qint64>(control.constData() + control.size() - 8);
            control.chop(8);
            appendNumber(control, before + seek);
        } else {
            appendNumber(control, forward);
            appendNumber(control, copied);
            appendNumber(control, seek);
        }

        lastScan = scan - backward;
        lastPosition = position - backward;
        lastOffset = position - scan;
    }

    quint8 codecs[3];
    const QByteArray streams[3] = {compressStream(control, codecs[0]), compressStream(difference, codecs[1]),
                                   compressStream(extra, codecs[2])};
    QByteArray patch(PatchFormat::magic, sizeof PatchFormat::magic);
    patch.append(reinterpret_cast<const char *>(codecs), 3);
    patch.append(5, '\0');
    appendNumber(patch, targetSize);
    for (const QByteArray &stream : streams)
        appendNumber(patch, stream.size());
    for (const QByteArray &stream : streams)
        patch += stream;
    return patch;
}
