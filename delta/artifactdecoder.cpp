#include "artifactdecoder.h"

#include "executableimage.h"
#include "patchformat.h"
#include "referenceprojection.h"

#include <QtEndian>

#include <lzma.h>
#define ZSTD_STATIC_LINKING_ONLY   // ZSTD_d_stableOutBuffer: the mapped result is the window
#include <zstd.h>

#include <cstring>
#include <memory>
#include <vector>

namespace {

// How much of a compressed stream is decoded at a time, and of a compressed copy's input.
constexpr size_t pieceSize = 64 * 1024;
constexpr size_t copyInputPiece = 1024 * 1024;

bool isCancelled(const std::atomic_bool *cancel)
{
    return cancel && cancel->load(std::memory_order_relaxed);
}

struct ZstdFree
{
    void operator()(ZSTD_DCtx *context) const { ZSTD_freeDCtx(context); }
};
using ZstdContext = std::unique_ptr<ZSTD_DCtx, ZstdFree>;

// The next bytes of one stream, exactly as many as asked. A compressed stream is
// decoded a piece at a time into a buffer of its own, so many small reads (a
// control step is 24 bytes) cost a copy each, not a call into the decoder.
class StreamReader
{
public:
    StreamReader(quint8 codec, const uchar *data, size_t size)
        : m_codec(codec), m_data(data), m_size(size)
    {
        if (codec == PatchFormat::Zstd) {
            m_zstd.reset(ZSTD_createDCtx());
            m_usable = m_zstd && !ZSTD_isError(ZSTD_DCtx_setParameter(m_zstd.get(), ZSTD_d_windowLogMax,
                                                                      PatchFormat::zstdWindowLog));
        } else if (codec == PatchFormat::Xz) {
            // The dictionary a patch declares, and no more: what it holds counts as memory.
            m_usable = lzma_stream_decoder(&m_xz, PatchFormat::xzDictionarySize + (1u << 20), 0) == LZMA_OK;
            m_xz.next_in = data;
            m_xz.avail_in = size;
        } else {
            m_usable = codec == PatchFormat::Raw;
        }
        if (codec != PatchFormat::Raw)
            m_buffer.resize(pieceSize);
    }
    ~StreamReader() { lzma_end(&m_xz); }
    StreamReader(const StreamReader &) = delete;
    StreamReader &operator=(const StreamReader &) = delete;

    bool read(uchar *out, size_t length)
    {
        if (!m_usable)
            return false;
        if (m_codec == PatchFormat::Raw) {
            if (length > m_size - m_position)
                return m_usable = false;
            std::memcpy(out, m_data + m_position, length);
            m_position += length;
            return true;
        }
        while (length > 0) {
            if (m_begin == m_end && !decodePiece())
                return m_usable = false;
            const size_t taken = qMin(length, m_end - m_begin);
            std::memcpy(out, m_buffer.data() + m_begin, taken);
            m_begin += taken;
            out += taken;
            length -= taken;
        }
        return true;
    }

private:
    // False at the end of the stream, or at damage.
    bool decodePiece()
    {
        m_begin = 0;
        m_end = 0;
        if (m_codec == PatchFormat::Zstd) {
            ZSTD_outBuffer output{m_buffer.data(), m_buffer.size(), 0};
            ZSTD_inBuffer input{m_data, m_size, m_position};
            while (output.pos == 0) {
                const size_t taken = input.pos;
                const size_t result = ZSTD_decompressStream(m_zstd.get(), &output, &input);
                if (ZSTD_isError(result) || (output.pos == 0 && (input.pos == taken || result == 0)))
                    return false;
            }
            m_position = input.pos;
            m_end = output.pos;
            return true;
        }
        m_xz.next_out = m_buffer.data();
        m_xz.avail_out = m_buffer.size();
        while (m_xz.avail_out == m_buffer.size()) {
            const lzma_ret result = lzma_code(&m_xz, LZMA_RUN);
            if (result != LZMA_OK && result != LZMA_STREAM_END)
                return false;
            if (result == LZMA_STREAM_END)
                break;
        }
        m_end = m_buffer.size() - m_xz.avail_out;
        return m_end > 0;
    }

    quint8 m_codec;
    const uchar *m_data;
    size_t m_size;
    size_t m_position = 0;
    ZstdContext m_zstd;
    lzma_stream m_xz = LZMA_STREAM_INIT;
    std::vector<uchar> m_buffer;
    size_t m_begin = 0;
    size_t m_end = 0;
    bool m_usable = false;
};

QString decodeCompressed(const uchar *artifact, qint64 artifactSize, uchar *out, qint64 outSize,
                         const std::atomic_bool *cancel)
{
    // The whole output is the window: even a 128 MiB window costs no memory of
    // its own. The input goes in a piece at a time, so a cancel is seen soon.
    ZstdContext context(ZSTD_createDCtx());
    if (!context || ZSTD_isError(ZSTD_DCtx_setParameter(context.get(), ZSTD_d_windowLogMax, 30))
            || ZSTD_isError(ZSTD_DCtx_setParameter(context.get(), ZSTD_d_stableOutBuffer, 1)))
        return QStringLiteral("no decoder");
    ZSTD_outBuffer output{out, size_t(outSize), 0};
    size_t consumed = 0;
    for (;;) {
        if (isCancelled(cancel))
            return QStringLiteral("cancelled");
        const size_t piece = qMin(copyInputPiece, size_t(artifactSize) - consumed);
        ZSTD_inBuffer input{artifact + consumed, piece, 0};
        const size_t result = ZSTD_decompressStream(context.get(), &output, &input);
        if (ZSTD_isError(result))
            return QString::fromLatin1(ZSTD_getErrorName(result));
        consumed += input.pos;
        if (result == 0)
            break;   // the frame is complete
        if (input.pos == 0 && (consumed == size_t(artifactSize) || output.pos == output.size))
            return QStringLiteral("short result");
    }
    return qint64(output.pos) == outSize && consumed == size_t(artifactSize) ? QString() : QStringLiteral("short result");
}

// A reference patch's own moves: their count, then each as the distance of its
// base from the previous one's, the distance it moves and its length. They
// must be in order, not overlapping, inside the base image, and few enough.
QString readMoves(StreamReader &stream, const ExecutableImage &baseImage, std::vector<AddressMove> &moves)
{
    uchar number[12];
    if (!stream.read(number, 4))
        return QStringLiteral("moves stream damaged");
    const quint32 count = qFromLittleEndian<quint32>(number);
    if (count > quint32(PatchFormat::maxStretches))
        return QStringLiteral("moves stream holds more moves than a reference patch may");
    moves.reserve(count);
    quint64 previous = 0;
    quint64 free = 0;
    for (quint32 i = 0; i < count; ++i) {
        if (!stream.read(number, 12))
            return QStringLiteral("moves stream damaged");
        const quint64 base = previous + qFromLittleEndian<quint32>(number);
        const quint32 length = qFromLittleEndian<quint32>(number + 8);
        if (base < free || length == 0 || base + length > baseImage.imageSize())
            return QStringLiteral("moves stream leads outside the base");
        moves.push_back({quint32(base), quint32(base) + qFromLittleEndian<quint32>(number + 4), length});
        previous = base;
        free = base + length;
    }
    return QString();
}

// Adds to the result the predicted bytes of the base's references that the
// stretches carried (the plain pass added the base's own bytes there).
QString correctReferences(const ExecutableImage &baseImage, const uchar *base, qint64 baseSize,
                          const std::vector<PatchStretch> &stretches, std::vector<AddressMove> moves, uchar *out,
                          qint64 outSize, const std::atomic_bool *cancel)
{
    ExecutableImage resultImage;
    if (!resultImage.readLayout(out, outSize))
        return QStringLiteral("the result is not an executable");
    for (const AddressMove &move : moves) {
        if (quint64(move.result) + move.length > resultImage.imageSize())
            return QStringLiteral("moves stream leads outside the result");
    }
    const ImageReferences references = baseImage.references(base, baseSize);
    if (isCancelled(cancel))
        return QStringLiteral("cancelled");
    ReferenceProjection(baseImage, resultImage, stretches, std::move(moves))
            .forEach(references, base, [&](const ImageReference &, size_t stretch, qint64 offset, const uchar *delta,
                                           int width) {
                uchar *at = out + stretches[stretch].result + offset;
                for (int i = 0; i < width; ++i)
                    at[i] = uchar(at[i] + delta[i]);
            });
    return QString();
}

QString applyPatch(bool references, const uchar *patch, qint64 patchSize, const uchar *base, qint64 baseSize, uchar *out,
                   qint64 outSize, const std::atomic_bool *cancel)
{
    using namespace PatchFormat;
    const int streamCount = references ? 4 : 3;
    const qint64 header = 24 + 8 * streamCount;
    if (patchSize < header || std::memcmp(patch, references ? referenceMagic : magic, sizeof magic) != 0)
        return QStringLiteral("not a patch");
    ExecutableImage baseImage;
    if (references && patch[12] != ExecutableImage::extractorVersion)
        return QStringLiteral("made by rules for references this version does not know");
    if (references && !baseImage.readLayout(base, baseSize))
        return QStringLiteral("the base is not an executable");
    const quint64 resultSize = qFromLittleEndian<quint64>(patch + 16);
    quint64 offsets[5] = {quint64(header)};
    for (int i = 0; i < streamCount; ++i) {
        const quint64 length = qFromLittleEndian<quint64>(patch + 24 + 8 * i);
        if (length > quint64(patchSize) - offsets[i])
            return QStringLiteral("patch header does not fit");
        offsets[i + 1] = offsets[i] + length;
    }
    if (resultSize != quint64(outSize))
        return QStringLiteral("patch header does not fit");
    const auto streamAt = [&](int i) { return StreamReader(patch[8 + i], patch + offsets[i], offsets[i + 1] - offsets[i]); };
    StreamReader control = streamAt(0);
    StreamReader difference = streamAt(1);
    StreamReader extra = streamAt(2);
    std::vector<AddressMove> moves;
    if (references) {
        StreamReader movesStream = streamAt(3);
        const QString problem = readMoves(movesStream, baseImage, moves);
        if (!problem.isEmpty())
            return problem;
    }

    // Every step but a first one (which may only move to where the first match
    // starts) writes at least one byte: the steps, and the work, are bounded by
    // the result's size, whatever the streams hold.
    const qint64 reach = baseSize + outSize;
    std::vector<PatchStretch> stretches;
    qint64 written = 0;
    qint64 basePosition = 0;
    for (bool first = true; written < outSize; first = false) {
        if (isCancelled(cancel))
            return QStringLiteral("cancelled");
        uchar triple[24];
        if (!control.read(triple, sizeof triple))
            return QStringLiteral("control stream damaged");
        const qint64 add = qFromLittleEndian<qint64>(triple);
        const qint64 copy = qFromLittleEndian<qint64>(triple + 8);
        const qint64 seek = qFromLittleEndian<qint64>(triple + 16);
        if (add < 0 || copy < 0 || add > outSize - written || copy > outSize - written - add)
            return QStringLiteral("control stream leads outside the result");
        if (add == 0 && copy == 0 && !first)
            return QStringLiteral("control stream holds a step that writes nothing");
        if (seek < -reach || seek > reach)
            return QStringLiteral("control stream leads outside the base");
        if (references && add > 0) {
            if (stretches.size() == size_t(maxStretches))
                return QStringLiteral("control stream holds more steps than a reference patch may");
            stretches.push_back({basePosition, written, add});
        }
        if (!difference.read(out + written, size_t(add)))
            return QStringLiteral("difference stream damaged");
        // Bytes beyond the base add nothing, as where the patch was made.
        const qint64 from = qBound<qint64>(0, basePosition, baseSize);
        const qint64 to = qBound<qint64>(0, basePosition + add, baseSize);
        for (qint64 i = from; i < to; ++i)
            out[written + i - basePosition] += base[i];
        written += add;
        if (!extra.read(out + written, size_t(copy)))
            return QStringLiteral("extra stream damaged");
        written += copy;
        basePosition += add + seek;
        if (basePosition < -reach || basePosition > reach)
            return QStringLiteral("control stream leads outside the base");
    }
    return references ? correctReferences(baseImage, base, baseSize, stretches, std::move(moves), out, outSize, cancel)
                      : QString();
}

} // namespace

bool decodeArtifact(Artifact::Kind kind, const uchar *artifact, qint64 artifactSize,
                    const uchar *base, qint64 baseSize, uchar *out, qint64 outSize, QString *error,
                    const std::atomic_bool *cancel)
{
    *error = kind == Artifact::Kind::Compressed
            ? decodeCompressed(artifact, artifactSize, out, outSize, cancel)
            : applyPatch(kind == Artifact::Kind::ReferencePatch, artifact, artifactSize, base, baseSize, out, outSize, cancel);
    return error->isEmpty();
}
