#include "artifactdecoder.h"

#include "patchformat.h"

#include <QtEndian>

#include <lzma.h>
#include <zstd.h>

#include <cstring>
#include <memory>

namespace {

// The next bytes of one decoded stream, exactly as many as asked.
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
            m_usable = lzma_stream_decoder(&m_xz, 4 * PatchFormat::xzDictionarySize, 0) == LZMA_OK;
            m_xz.next_in = data;
            m_xz.avail_in = size;
        } else {
            m_usable = codec == PatchFormat::Raw;
        }
    }
    ~StreamReader() { lzma_end(&m_xz); }
    StreamReader(const StreamReader &) = delete;
    StreamReader &operator=(const StreamReader &) = delete;

    bool read(uchar *out, size_t length)
    {
        if (!m_usable)
            return false;
        switch (m_codec) {
        case PatchFormat::Raw:
            if (length > m_size - m_position)
                return false;
            std::memcpy(out, m_data + m_position, length);
            m_position += length;
            return true;
        case PatchFormat::Zstd: {
            ZSTD_outBuffer output{out, length, 0};
            ZSTD_inBuffer input{m_data, m_size, m_position};
            while (output.pos < output.size) {
                const size_t written = output.pos;
                const size_t taken = input.pos;
                // No progress means the stream ended, or was cut, before the bytes asked for.
                if (ZSTD_isError(ZSTD_decompressStream(m_zstd.get(), &output, &input))
                        || (output.pos == written && input.pos == taken))
                    return m_usable = false;
            }
            m_position = input.pos;
            return true;
        }
        default:
            m_xz.next_out = out;
            m_xz.avail_out = length;
            while (m_xz.avail_out > 0) {
                const lzma_ret result = lzma_code(&m_xz, LZMA_RUN);
                if (result == LZMA_STREAM_END && m_xz.avail_out == 0)
                    break;
                if (result != LZMA_OK)
                    return m_usable = false;   // the end of the stream before the bytes asked for, or damage
            }
            return true;
        }
    }

private:
    struct ZstdFree
    {
        void operator()(ZSTD_DCtx *context) const { ZSTD_freeDCtx(context); }
    };

    quint8 m_codec;
    const uchar *m_data;
    size_t m_size;
    size_t m_position = 0;
    std::unique_ptr<ZSTD_DCtx, ZstdFree> m_zstd;
    lzma_stream m_xz = LZMA_STREAM_INIT;
    bool m_usable = false;
};

QString decodeCompressed(const uchar *artifact, qint64 artifactSize, uchar *out, qint64 outSize)
{
    // One call into the whole output: its bytes serve as the window, so even a
    // 128 MiB window costs no memory of its own.
    std::unique_ptr<ZSTD_DCtx, decltype(&ZSTD_freeDCtx)> context(ZSTD_createDCtx(), &ZSTD_freeDCtx);
    if (!context || ZSTD_isError(ZSTD_DCtx_setParameter(context.get(), ZSTD_d_windowLogMax, 30)))
        return QStringLiteral("no decoder");
    const size_t written = ZSTD_decompressDCtx(context.get(), out, size_t(outSize), artifact, size_t(artifactSize));
    if (ZSTD_isError(written))
        return QString::fromLatin1(ZSTD_getErrorName(written));
    return qint64(written) == outSize ? QString() : QStringLiteral("short result");
}

QString applyPatch(const uchar *patch, qint64 patchSize, const uchar *base, qint64 baseSize, uchar *out, qint64 outSize)
{
    using namespace PatchFormat;
    if (patchSize < headerSize || std::memcmp(patch, magic, sizeof magic) != 0)
        return QStringLiteral("not a patch");
    const quint64 resultSize = qFromLittleEndian<quint64>(patch + 16);
    const quint64 lengths[3] = {qFromLittleEndian<quint64>(patch + 24), qFromLittleEndian<quint64>(patch + 32),
                                qFromLittleEndian<quint64>(patch + 40)};
    if (resultSize != quint64(outSize) || lengths[0] > quint64(patchSize - headerSize)
            || lengths[1] > quint64(patchSize - headerSize) - lengths[0]
            || lengths[2] > quint64(patchSize - headerSize) - lengths[0] - lengths[1])
        return QStringLiteral("patch header does not fit");
    const uchar *stream = patch + headerSize;
    StreamReader control(patch[8], stream, lengths[0]);
    StreamReader difference(patch[9], stream + lengths[0], lengths[1]);
    StreamReader extra(patch[10], stream + lengths[0] + lengths[1], lengths[2]);

    qint64 written = 0;
    qint64 basePosition = 0;
    while (written < outSize) {
        uchar triple[24];
        if (!control.read(triple, sizeof triple))
            return QStringLiteral("control stream damaged");
        const qint64 add = qFromLittleEndian<qint64>(triple);
        const qint64 copy = qFromLittleEndian<qint64>(triple + 8);
        const qint64 seek = qFromLittleEndian<qint64>(triple + 16);
        if (add < 0 || copy < 0 || add > outSize - written || copy > outSize - written - add
                || qAbs(seek) > baseSize + outSize)
            return QStringLiteral("control stream leads outside the result");
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
        if (qAbs(basePosition) > baseSize + outSize)
            return QStringLiteral("control stream leads outside the base");
    }
    return QString();
}

} // namespace

QString decodeArtifact(Artifact::Kind kind, const uchar *artifact, qint64 artifactSize,
                       const uchar *base, qint64 baseSize, uchar *out, qint64 outSize)
{
    return kind == Artifact::Kind::Compressed ? decodeCompressed(artifact, artifactSize, out, outSize)
                                              : applyPatch(artifact, artifactSize, base, baseSize, out, outSize);
}
