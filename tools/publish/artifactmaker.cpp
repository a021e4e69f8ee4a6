#include "artifactmaker.h"

#include "executableimage.h"
#include "patchformat.h"
#include "referenceprojection.h"

#include <QThread>
#include <QtEndian>

#include <divsufsort.h>
#include <lzma.h>
#include <zstd.h>

#include <algorithm>
#include <cstring>
#include <atomic>
#include <memory>
#include <thread>
#include <vector>

namespace {

using Bytes = const uchar *;

// How often the alignment tells how far it got.
constexpr qint64 progressStep = 1 << 20;

struct Step
{
    qint64 add;
    qint64 copy;
    qint64 seek;
};

// The previous alignment's start and the new one's, in the target and the base.
struct Alignments
{
    qint64 lastScan;
    qint64 lastPosition;
    qint64 scan;
    qint64 position;
};

// The three streams of a patch, as made.
struct Streams
{
    QByteArray control;
    QByteArray difference;
    QByteArray extra;
    QByteArray moves;   // a reference patch's only
};

QByteArray zstdCompress(const QByteArray &bytes, int windowLog, bool longDistance, int workers)
{
    std::unique_ptr<ZSTD_CCtx, decltype(&ZSTD_freeCCtx)> context(ZSTD_createCCtx(), &ZSTD_freeCCtx);
    if (!context)
        return {};
    ZSTD_CCtx_setParameter(context.get(), ZSTD_c_compressionLevel, 19);
    ZSTD_CCtx_setParameter(context.get(), ZSTD_c_windowLog, windowLog);
    ZSTD_CCtx_setParameter(context.get(), ZSTD_c_enableLongDistanceMatching, longDistance ? 1 : 0);
    ZSTD_CCtx_setParameter(context.get(), ZSTD_c_checksumFlag, 0);
    // Ignored where the library was built without threads.
    if (workers > 1)
        ZSTD_CCtx_setParameter(context.get(), ZSTD_c_nbWorkers, workers);
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
    // No larger than the input: a larger dictionary costs memory on both sides and finds nothing more.
    options.dict_size = quint32(qBound<qint64>(LZMA_DICT_SIZE_MIN, bytes.size(), PatchFormat::xzDictionarySize));
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

// Each stream in zstd and in xz, with the windows the applying side allows,
// the codings spread over the workers; the smaller of the two for each stream.
std::vector<std::pair<QByteArray, quint8>> compressStreams(const std::vector<const QByteArray *> &streams)
{
    std::vector<std::pair<size_t, quint8>> jobs;   // stream, codec: the largest streams first
    for (size_t i = 0; i < streams.size(); ++i) {
        jobs.emplace_back(i, PatchFormat::Zstd);
        jobs.emplace_back(i, PatchFormat::Xz);
    }
    std::stable_sort(jobs.begin(), jobs.end(), [&](const auto &a, const auto &b) {
        return streams[a.first]->size() > streams[b.first]->size();
    });
    std::vector<QByteArray> coded(jobs.size());
    std::atomic<size_t> next{0};
    const auto work = [&] {
        for (size_t job; (job = next++) < jobs.size();) {
            const QByteArray &stream = *streams[jobs[job].first];
            coded[job] = jobs[job].second == PatchFormat::Zstd ? zstdCompress(stream, PatchFormat::zstdWindowLog, false, 1)
                                                               : xzCompress(stream);
        }
    };
    std::vector<std::thread> helpers;
    for (int i = 1; i < publishingWorkers(); ++i)
        helpers.emplace_back(work);
    work();
    for (std::thread &helper : helpers)
        helper.join();
    std::vector<std::pair<QByteArray, quint8>> smallest(streams.size(), {QByteArray(), PatchFormat::Raw});
    for (size_t i = 0; i < streams.size(); ++i)
        smallest[i].first = *streams[i];
    for (size_t job = 0; job < jobs.size(); ++job) {
        auto &best = smallest[jobs[job].first];
        const bool better = !coded[job].isEmpty() && (coded[job].size() < best.first.size()
                || (coded[job].size() == best.first.size() && jobs[job].second < best.second));
        if (better)
            best = {coded[job], jobs[job].second};
    }
    return smallest;
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

// Stretches the previous alignment forward and the new one backward, as far
// as each still matches more than half its bytes; where the two overlap, splits
// at the point that keeps the most matches.
void extend(Bytes base, qint64 baseSize, Bytes target, qint64 targetSize, const Alignments &at, qint64 &forward,
            qint64 &backward)
{
    const qint64 lastScan = at.lastScan;
    const qint64 lastPosition = at.lastPosition;
    const qint64 scan = at.scan;
    const qint64 position = at.position;
    for (qint64 i = 0, matches = 0, best = 0; lastScan + i < scan && lastPosition + i < baseSize;) {
        if (base[lastPosition + i] == target[lastScan + i])
            ++matches;
        ++i;
        if (matches * 2 - i > best * 2 - forward) {
            best = matches;
            forward = i;
        }
    }
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

}

// Where the target follows the base: bsdiff's approximate matching over a
// suffix array of the base. Each step's add bytes follow the base, its copy
// bytes are new, then the base position moves by add + seek.
bool align(Bytes base, qint64 baseSize, Bytes target, qint64 targetSize, std::vector<Step> &steps,
           std::atomic<qint64> *progress)
{
    std::vector<saidx_t> suffixes(static_cast<size_t>(baseSize));
    if (divsufsort(base, suffixes.data(), saidx_t(baseSize)) != 0)
        return false;
    qint64 scan = 0;
    qint64 length = 0;
    qint64 position = 0;
    qint64 lastScan = 0;
    qint64 lastPosition = 0;
    qint64 lastOffset = 0;
    qint64 reported = 0;
    while (scan < targetSize) {
        if (progress && scan - reported >= progressStep) {
            *progress += scan - reported;
            reported = scan;
        }
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

        qint64 forward = 0;
        qint64 backward = 0;
        extend(base, baseSize, target, targetSize, {lastScan, lastPosition, scan, position}, forward, backward);
        const qint64 copied = (scan - backward) - (lastScan + forward);
        const qint64 seek = (position - backward) - (lastPosition + forward);
        if (forward == 0 && copied == 0 && !steps.empty())
            steps.back().seek += seek;   // appliers refuse a step that writes nothing after the first
        else
            steps.push_back({forward, copied, seek});

        lastScan = scan - backward;
        lastPosition = position - backward;
        lastOffset = position - scan;
    }
    if (progress)
        *progress += targetSize - reported;
    return true;
}

void appendNumber(QByteArray &to, qint64 value)
{
    uchar bytes[8];
    qToLittleEndian<qint64>(value, bytes);
    to.append(reinterpret_cast<const char *>(bytes), 8);
}

// The streams of @p steps: the add bytes as their difference from the base
// (bytes beyond the base add nothing), the copy bytes as they are.
Streams streamsOf(const std::vector<Step> &steps, Bytes base, qint64 baseSize, Bytes target)
{
    Streams streams;
    qint64 written = 0;
    qint64 basePosition = 0;
    for (const Step &step : steps) {
        appendNumber(streams.control, step.add);
        appendNumber(streams.control, step.copy);
        appendNumber(streams.control, step.seek);
        for (qint64 i = 0; i < step.add; ++i) {
            const qint64 from = basePosition + i;
            streams.difference.append(char(target[written + i] - (from >= 0 && from < baseSize ? base[from] : 0)));
        }
        written += step.add;
        streams.extra.append(reinterpret_cast<const char *>(target + written), int(step.copy));
        written += step.copy;
        basePosition += step.add + step.seek;
    }
    return streams;
}

// A patch's header, then its streams as compressed: a reference patch has the
// moves as a fourth stream and the extractor's version after the codecs.
QByteArray encode(bool references, const std::pair<QByteArray, quint8> *streams, qint64 targetSize)
{
    const int count = references ? 4 : 3;
    QByteArray patch(references ? PatchFormat::referenceMagic : PatchFormat::magic, sizeof PatchFormat::magic);
    for (int i = 0; i < count; ++i)
        patch.append(char(streams[i].second));
    if (references)
        patch.append(char(ExecutableImage::extractorVersion));
    patch.append(16 - patch.size(), '\0');
    appendNumber(patch, targetSize);
    for (int i = 0; i < count; ++i)
        appendNumber(patch, streams[i].first.size());
    for (int i = 0; i < count; ++i)
        patch += streams[i].first;
    return patch;
}

// Zeroes every reference's bytes in place while it lives, so that code which
// only moved matches where it was, and puts them back after: no copy of a
// large file is held.
class ZeroedReferences
{
public:
    ZeroedReferences(QByteArray &bytes, const ImageReferences &references)
        : m_bytes(bytes), m_references(references)
    {
        uchar *data = reinterpret_cast<uchar *>(bytes.data());
        references.forEach([&](const ImageReference &reference) {
            const int width = referenceWidth(reference.kind);
            m_saved.insert(m_saved.end(), data + reference.location, data + reference.location + width);
            std::memset(data + reference.location, 0, size_t(width));
        });
    }
    ~ZeroedReferences()
    {
        uchar *data = reinterpret_cast<uchar *>(m_bytes.data());
        size_t at = 0;
        m_references.forEach([&](const ImageReference &reference) {
            const int width = referenceWidth(reference.kind);
            std::memcpy(data + reference.location, m_saved.data() + at, size_t(width));
            at += size_t(width);
        });
    }
    ZeroedReferences(const ZeroedReferences &) = delete;
    ZeroedReferences &operator=(const ZeroedReferences &) = delete;

private:
    QByteArray &m_bytes;
    const ImageReferences &m_references;
    std::vector<uchar> m_saved;
};

// The moves a reference patch adds for the base's targets that the stretches
// alone carry elsewhere than the result's references say: for each target,
// the result's most frequent target at the places its references were carried
// to. Runs of such targets that moved alike make one move.
std::vector<AddressMove> targetMoves(const ExecutableImage &baseImage, const ExecutableImage &targetImage,
                                     const std::vector<PatchStretch> &stretches,
                                     const ImageReferences &references, const ImageReferences &targetReferences,
                                     Bytes base)
{
    const ReferenceProjection projection(baseImage, targetImage, stretches);
    std::vector<std::pair<quint32, quint32>> votes;   // base target, result target
    projection.forEach(references, base, [&](const ImageReference &reference, size_t stretch, qint64 offset,
                                             const uchar *, int) {
        const ImageReference *found = targetReferences.find(stretches[stretch].result + offset);
        if (found && found->kind == reference.kind)
            votes.emplace_back(reference.target, found->target);
    });
    std::sort(votes.begin(), votes.end());
    // A move costs about as much as the bytes of one reference it puts right:
    // it is kept only where it puts right more than one.
    std::vector<AddressMove> moves;
    qint64 rightened = 0;
    bool open = false;
    const auto close = [&] {
        if (open && rightened < 2)
            moves.pop_back();
        open = false;
    };
    for (size_t i = 0; i < votes.size();) {
        const quint32 from = votes[i].first;
        quint32 chosen = votes[i].second;
        size_t best = 0;
        size_t next = i;
        while (next < votes.size() && votes[next].first == from) {
            size_t same = next;
            while (same < votes.size() && votes[same] == votes[next])
                ++same;
            if (same - next > best) {
                best = same - next;
                chosen = votes[next].second;
            }
            next = same;
        }
        i = next;
        const bool right = projection.project(from) == chosen;
        if (open && chosen - from == moves.back().result - moves.back().base) {
            moves.back().length = from - moves.back().base + 1;
            rightened += right ? 0 : qint64(best);
            continue;
        }
        close();
        if (!right) {
            moves.push_back({from, chosen, 1});
            rightened = qint64(best);
            open = true;
        }
    }
    close();
    return moves;
}

void appendNumber32(QByteArray &to, quint32 value)
{
    uchar bytes[4];
    qToLittleEndian<quint32>(value, bytes);
    to.append(reinterpret_cast<const char *>(bytes), 4);
}

// The moves as a stream: their count, then each as the distance of its base from the previous
// one's, the distance it moves, and its length, 32 bits each.
QByteArray movesStream(const std::vector<AddressMove> &moves)
{
    QByteArray stream;
    appendNumber32(stream, quint32(moves.size()));
    quint32 previous = 0;
    for (const AddressMove &move : moves) {
        appendNumber32(stream, move.base - previous);
        appendNumber32(stream, move.result - move.base);
        appendNumber32(stream, move.length);
        previous = move.base;
    }
    return stream;
}

// A reference patch's streams: the steps, the difference from the predicted
// references, the new bytes and the moves; empty when an applier could not
// hold its steps or moves.
Streams referenceStreams(const std::vector<Step> &steps, const Streams &plain, const ExecutableImage &baseImage,
                         const ExecutableImage &targetImage, const ImageReferences &references,
                         const ImageReferences &targetReferences, Bytes base)
{
    std::vector<PatchStretch> stretches;
    std::vector<qint64> differenceAt;   // where each stretch's bytes start in the difference stream
    qint64 written = 0;
    qint64 basePosition = 0;
    qint64 added = 0;
    for (const Step &step : steps) {
        if (step.add > 0) {
            stretches.push_back({basePosition, written, step.add});
            differenceAt.push_back(added);
        }
        added += step.add;
        written += step.add + step.copy;
        basePosition += step.add + step.seek;
    }
    if (stretches.size() > size_t(PatchFormat::maxStretches))
        return {};
    std::vector<AddressMove> moves = targetMoves(baseImage, targetImage, stretches, references, targetReferences, base);
    if (moves.size() > size_t(PatchFormat::maxStretches))
        return {};
    Streams streams{plain.control, plain.difference, plain.extra, movesStream(moves)};
    uchar *difference = reinterpret_cast<uchar *>(streams.difference.data());
    ReferenceProjection(baseImage, targetImage, stretches, std::move(moves))
            .forEach(references, base, [&](const ImageReference &, size_t stretch, qint64 offset, const uchar *delta,
                                           int width) {
                for (int i = 0; i < width; ++i)
                    difference[differenceAt[stretch] + offset + i] -= delta[i];
            });
    return streams;
}

} // namespace

int publishingWorkers()
{
    return qBound(1, QThread::idealThreadCount(), 2);
}

QByteArray compressWhole(const QByteArray &bytes)
{
    return zstdCompress(bytes, 27, true, publishingWorkers());
}

Patches makePatches(QByteArray &baseBytes, QByteArray &targetBytes, std::atomic<qint64> *progress)
{
    const qint64 baseSize = baseBytes.size();
    if (baseSize < 2 || baseSize > maxPatchedFileSize)
        return {};
    ExecutableImage baseImage;
    ExecutableImage targetImage;
    const bool executables = baseImage.readLayout(reinterpret_cast<Bytes>(baseBytes.constData()), baseSize)
            && targetImage.readLayout(reinterpret_cast<Bytes>(targetBytes.constData()), targetBytes.size());
    ImageReferences references;
    ImageReferences targetReferences;
    if (executables) {
        references = baseImage.references(reinterpret_cast<Bytes>(baseBytes.constData()), baseSize);
        targetReferences = targetImage.references(reinterpret_cast<Bytes>(targetBytes.constData()), targetBytes.size());
    }
    // One alignment for both patches. Today's patch made from the executables'
    // alignment is an ordinary patch, often smaller than the one bytes alone
    // give, and found in a fraction of the time.
    std::vector<Step> steps;
    {
        const ZeroedReferences zeroedBase(baseBytes, references);
        const ZeroedReferences zeroedTarget(targetBytes, targetReferences);
        if (!align(reinterpret_cast<Bytes>(baseBytes.constData()), baseSize,
                   reinterpret_cast<Bytes>(targetBytes.constData()), targetBytes.size(), steps, progress))
            return {};
    }
    const auto *base = reinterpret_cast<Bytes>(baseBytes.constData());
    const auto *target = reinterpret_cast<Bytes>(targetBytes.constData());
    const Streams plain = streamsOf(steps, base, baseSize, target);
    Streams predicted;
    if (executables)
        predicted = referenceStreams(steps, plain, baseImage, targetImage, references, targetReferences, base);
    const bool both = !predicted.control.isEmpty();
    std::vector<const QByteArray *> parts = {&plain.control, &plain.difference, &plain.extra};
    if (both)
        parts.insert(parts.end(), {&predicted.control, &predicted.difference, &predicted.extra, &predicted.moves});
    const std::vector<std::pair<QByteArray, quint8>> coded = compressStreams(parts);
    Patches patches;
    patches.patch = encode(false, coded.data(), targetBytes.size());
    if (both)
        patches.referencePatch = encode(true, coded.data() + 3, targetBytes.size());
    return patches;
}
