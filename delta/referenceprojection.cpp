#include "referenceprojection.h"

#include <QtEndian>

#include <algorithm>

namespace {
// Calls @p part(segment, offset, length) for each part of [offset, offset + length) inside a segment of @p image.
template<typename Part>
void forEachSegmentPart(const ExecutableImage &image, qint64 offset, qint64 length, Part part)
{
    const auto &segments = image.segments();
    auto it = std::upper_bound(segments.cbegin(), segments.cend(), offset,
                               [](qint64 at, const ExecutableImage::Segment &s) { return at < qint64(s.offset); });
    if (it != segments.cbegin())
        --it;
    for (; it != segments.cend() && qint64(it->offset) < offset + length; ++it) {
        const qint64 from = qMax<qint64>(offset, it->offset);
        const qint64 to = qMin<qint64>(offset + length, qint64(it->offset) + it->size);
        if (from < to)
            part(*it, from, to - from);
    }
}
}

ReferenceProjection::ReferenceProjection(const ExecutableImage &base, const ExecutableImage &result,
                                         const std::vector<PatchStretch> &stretches, std::vector<AddressMove> moves)
    : m_result(result)
    , m_stretches(stretches)
    , m_moves(std::move(moves))
{
    for (const PatchStretch &stretch : stretches) {
        forEachSegmentPart(base, stretch.base, stretch.length, [&](const ExecutableImage::Segment &from, qint64 offset,
                                                                   qint64 length) {
            const qint64 resultOffset = stretch.result + (offset - stretch.base);
            forEachSegmentPart(result, resultOffset, length, [&](const ExecutableImage::Segment &to, qint64 at, qint64 size) {
                const qint64 baseOffset = offset + (at - resultOffset);
                m_pieces.push_back({quint32(from.address + (baseOffset - from.offset)), quint32(to.address + (at - to.offset)),
                                    quint32(size)});
            });
        });
    }
    keepLongest();
}

void ReferenceProjection::keepLongest()
{
    // Where pieces overlap in the base (a common run of bytes reused), the
    // longest says where that part of the base went: short ones are chance
    // matches. A sweep over the base keeps, for every address, the longest
    // piece that covers it.
    std::sort(m_pieces.begin(), m_pieces.end(), [](const AddressMove &a, const AddressMove &b) {
        return a.base != b.base ? a.base < b.base : a.result != b.result ? a.result < b.result : a.length < b.length;
    });
    const auto shorter = [this](quint32 a, quint32 b) {
        const AddressMove &x = m_pieces[a];
        const AddressMove &y = m_pieces[b];
        return x.length != y.length ? x.length < y.length : a > b;
    };
    std::vector<quint32> covering;   // a heap of the pieces that start at or before the sweep
    std::vector<AddressMove> longest;
    quint64 at = 0;
    for (size_t next = 0; next < m_pieces.size() || !covering.empty();) {
        if (covering.empty())
            at = m_pieces[next].base;
        for (; next < m_pieces.size() && m_pieces[next].base <= at; ++next) {
            covering.push_back(quint32(next));
            std::push_heap(covering.begin(), covering.end(), shorter);
        }
        while (!covering.empty() && quint64(m_pieces[covering.front()].base) + m_pieces[covering.front()].length <= at) {
            std::pop_heap(covering.begin(), covering.end(), shorter);
            covering.pop_back();
        }
        if (covering.empty())
            continue;
        const AddressMove &top = m_pieces[covering.front()];
        quint64 end = quint64(top.base) + top.length;
        if (next < m_pieces.size())
            end = qMin<quint64>(end, m_pieces[next].base);
        const quint32 result = quint32(top.result + (at - top.base));
        if (!longest.empty() && quint64(longest.back().base) + longest.back().length == at
                && quint64(longest.back().result) + longest.back().length == result)
            longest.back().length += quint32(end - at);
        else
            longest.push_back({quint32(at), result, quint32(end - at)});
        at = end;
    }
    m_pieces.swap(longest);
}

quint32 ReferenceProjection::project(quint32 address) const
{
    const auto startsAfter = [](quint32 at, const AddressMove &move) { return at < move.base; };
    auto move = std::upper_bound(m_moves.cbegin(), m_moves.cend(), address, startsAfter);
    if (move != m_moves.cbegin() && quint64(address) < quint64((move - 1)->base) + (move - 1)->length)
        return quint32(address + ((move - 1)->result - (move - 1)->base));
    // Moved as the piece that starts nearest below it moved: inside a piece
    // exactly, past its end as the code and data around it did.
    if (m_pieces.empty())
        return address;
    auto it = std::upper_bound(m_pieces.cbegin(), m_pieces.cend(), address, startsAfter);
    if (it != m_pieces.cbegin())
        --it;
    return quint32(address + (it->result - it->base));
}

bool ReferenceProjection::predict(const ImageReference &reference, qint64 resultOffset, const uchar *base,
                                  uchar *delta) const
{
    const int width = referenceWidth(reference.kind);
    if (resultOffset < qint64(m_result.headerSize()))
        return false;
    const ExecutableImage::Segment *segment = m_result.segmentAtOffset(resultOffset);
    if (!segment || resultOffset + width > qint64(segment->offset) + segment->size)
        return false;
    const quint64 address = segment->address + quint64(resultOffset - segment->offset);
    const quint64 target = project(reference.target);
    quint64 value = 0;
    switch (reference.kind) {
    case ReferenceKind::Absolute64:
    case ReferenceKind::Absolute32:
        value = m_result.imageBase() + target;
        break;
    case ReferenceKind::ImageRelative32:
        value = target;
        break;
    default:
        value = target - (address + 4 + quint64(reference.kind));
        break;
    }
    uchar bytes[8];
    qToLittleEndian<quint64>(value, bytes);
    for (int i = 0; i < width; ++i)
        delta[i] = uchar(bytes[i] - base[reference.location + i]);
    return true;
}
