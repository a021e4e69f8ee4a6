#include "hostilepatch.h"

#include "executableimage.h"
#include "patchformat.h"

#include <QtEndian>

#include <lzma.h>
#include <zstd.h>

#include <memory>

namespace {

QByteArray littleEndian(qint64 value)
{
    uchar bytes[8];
    qToLittleEndian<qint64>(value, bytes);
    return QByteArray(reinterpret_cast<const char *>(bytes), 8);
}

QByteArray controlStep(qint64 add, qint64 copy, qint64 seek)
{
    return littleEndian(add) + littleEndian(copy) + littleEndian(seek);
}

// @p pattern repeated @p count times, stored with @p codec, without ever holding the whole in memory.
QByteArray storedStream(const QByteArray &pattern, qint64 count, quint8 codec, qint64 rawLimit)
{
    QByteArray piece;
    while (piece.size() < 1024 * 1024 && piece.size() / pattern.size() < count)
        piece += pattern;
    const qint64 total = count * pattern.size();
    if (codec == PatchFormat::Raw) {
        QByteArray raw;
        while (raw.size() < qMin(total, rawLimit))
            raw += piece;
        return raw.left(int(qMin(total, rawLimit)));
    }
    QByteArray out;
    lzma_stream xz = LZMA_STREAM_INIT;
    lzma_options_lzma options;
    lzma_lzma_preset(&options, 0);
    const lzma_filter filters[] = {{LZMA_FILTER_LZMA2, &options}, {LZMA_VLI_UNKNOWN, nullptr}};
    std::unique_ptr<ZSTD_CCtx, decltype(&ZSTD_freeCCtx)> zstd(ZSTD_createCCtx(), &ZSTD_freeCCtx);
    if (codec == PatchFormat::Xz && lzma_stream_encoder(&xz, filters, LZMA_CHECK_CRC32) != LZMA_OK)
        return {};
    QByteArray buffer(1024 * 1024, Qt::Uninitialized);
    const auto feed = [&](const char *data, size_t size, bool last) {
        if (codec == PatchFormat::Zstd) {
            ZSTD_inBuffer input{data, size, 0};
            for (;;) {
                ZSTD_outBuffer output{buffer.data(), size_t(buffer.size()), 0};
                const size_t left = ZSTD_compressStream2(zstd.get(), &output, &input, last ? ZSTD_e_end : ZSTD_e_continue);
                out.append(buffer.constData(), int(output.pos));
                if (last ? left == 0 : input.pos == input.size)
                    return;
            }
        }
        xz.next_in = reinterpret_cast<const uint8_t *>(data);
        xz.avail_in = size;
        for (;;) {
            xz.next_out = reinterpret_cast<uint8_t *>(buffer.data());
            xz.avail_out = size_t(buffer.size());
            const lzma_ret result = lzma_code(&xz, last ? LZMA_FINISH : LZMA_RUN);
            out.append(buffer.constData(), buffer.size() - int(xz.avail_out));
            if (last ? result == LZMA_STREAM_END : xz.avail_in == 0)
                return;
        }
    };
    for (qint64 fed = 0; fed < total; fed += piece.size())
        feed(piece.constData(), size_t(qMin<qint64>(piece.size(), total - fed)), false);
    feed(nullptr, 0, true);
    lzma_end(&xz);
    return out;
}

QByteArray littleEndian32(quint32 value)
{
    return littleEndian(value).left(4);
}

QByteArray hostileReferencePatch(Hostile kind, quint8 codec, qint64 resultSize)
{
    const auto stored = [codec](const QByteArray &stream) {
        return stream.isEmpty() ? stream : storedStream(stream, 1, codec, stream.size());
    };
    QByteArray moves = littleEndian32(0);
    if (kind == Hostile::MoveBeyondTheImage)
        moves = littleEndian32(1) + littleEndian32(0xfffff000) + littleEndian32(0) + littleEndian32(0x2000);
    if (kind == Hostile::MoveBeyondTheResult)
        moves = littleEndian32(1) + littleEndian32(0x1000) + littleEndian32(0xf0000000) + littleEndian32(64);
    if (kind == Hostile::MoveCountsDisagree)
        moves = littleEndian32(5) + littleEndian32(0x1000) + littleEndian32(16) + littleEndian32(64);
    const QByteArray control = stored(controlStep(resultSize, 0, 0));
    QByteArray difference = storedStream(QByteArray(1, '\0'), resultSize, codec, resultSize / 4);
    if (kind == Hostile::TruncatedStream)
        difference.chop(difference.size() / 2);
    const QByteArray extra = stored(QByteArray());
    const QByteArray movesStream = stored(moves);
    QByteArray patch(PatchFormat::referenceMagic, sizeof PatchFormat::referenceMagic);
    patch += QByteArray(4, char(codec)) + char(ExecutableImage::extractorVersion + (kind == Hostile::UnknownRules ? 1 : 0)) + QByteArray(3, '\0')
            + littleEndian(resultSize) + littleEndian(control.size()) + littleEndian(difference.size())
            + littleEndian(extra.size()) + littleEndian(movesStream.size()) + control + difference + extra + movesStream;
    return patch;
}

}

QByteArray hostilePatch(Hostile kind, quint8 codec, qint64 resultSize)
{
    constexpr qint64 jump = 1024 * 1024;
    QByteArray control;
    QByteArray difference;
    QByteArray extra;
    // Stored raw, a patch must stay smaller than the file to be chosen.
    const qint64 rawLimit = resultSize / 4;
    switch (kind) {
    case Hostile::ZeroSteps:
        control = storedStream(controlStep(0, 0, 0), 10 * 1000 * 1000, codec, rawLimit);
        break;
    case Hostile::JumpsBackAndForth:
        control = storedStream(controlStep(1, 0, jump) + controlStep(1, 0, -jump), resultSize / 2, codec, rawLimit);
        difference = storedStream(QByteArray(1, '\0'), resultSize, codec, rawLimit);
        break;
    case Hostile::FarBeyondTheResult:
        control = storedStream(controlStep(0, 1, 0), 2 * resultSize, codec, rawLimit);
        extra = storedStream(QByteArray(1, 'x'), resultSize, codec, rawLimit);
        break;
    case Hostile::None:
        break;
    default:
        return hostileReferencePatch(kind, codec, resultSize);
    }
    QByteArray patch(PatchFormat::magic, sizeof PatchFormat::magic);
    patch += QByteArray(3, char(codec)) + QByteArray(5, '\0') + littleEndian(resultSize) + littleEndian(control.size())
            + littleEndian(difference.size()) + littleEndian(extra.size()) + control + difference + extra;
    return patch;
}
