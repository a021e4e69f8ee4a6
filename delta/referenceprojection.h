#pragma once

#include "executableimage.h"

#include <vector>

/// Bytes of a patch's result built from the base: @c length bytes at result offset @c result, from base offset @c base.
struct PatchStretch
{
    qint64 base;
    qint64 result;
    qint64 length;
};

/// Addresses [base, base + length) of the base image that are [result, result + length) in the result.
struct AddressMove
{
    quint32 base;
    quint32 result;
    quint32 length;
};

/**
 * Predicts the references of a patch's result from the base's. When code
 * moves, every reference across the move changes its bytes though its target
 * did not change; a reference of the base that a stretch carries into the
 * result is predicted to name, from its new place, its target carried as the
 * bytes around that target were carried. A patch may add moves of its own for
 * targets whose bytes did not come along (data without file bytes, targets
 * that moved with changed code): they take precedence. A reference patch
 * stores only where the result differs from the prediction, mostly nothing.
 *
 * Holds 12 bytes per piece of a stretch within one segment of each image, and
 * per move of the patch's own.
 */
class ReferenceProjection
{
public:
    /// @param moves the patch's own moves, by base address, not overlapping
    ReferenceProjection(const ExecutableImage &base, const ExecutableImage &result,
                        const std::vector<PatchStretch> &stretches, std::vector<AddressMove> moves = {});

    /**
     * Calls @p predicted(reference, stretch, offsetInStretch, delta, width) for
     * each of the base's @p references (by location) that a stretch carries
     * whole into the result past its headers: @p delta holds, byte by byte, the
     * predicted bytes less the base's.
     */
    template<typename Predicted>
    void forEach(const ImageReferences &references, const uchar *base, Predicted predicted) const;

    /// Where the base's address @p address is predicted to be in the result.
    quint32 project(quint32 address) const;

private:
    void keepLongest();
    bool predict(const ImageReference &reference, qint64 resultOffset, const uchar *base, uchar *delta) const;

    const ExecutableImage &m_result;
    const std::vector<PatchStretch> &m_stretches;
    std::vector<AddressMove> m_pieces;   // by base address, not overlapping
    std::vector<AddressMove> m_moves;
};

template<typename Predicted>
void ReferenceProjection::forEach(const ImageReferences &references, const uchar *base, Predicted predicted) const
{
    for (size_t index = 0; index < m_stretches.size(); ++index) {
        const PatchStretch &stretch = m_stretches[index];
        references.forEachWithin(stretch.base, stretch.base + stretch.length, [&](const ImageReference &reference) {
            const qint64 offset = qint64(reference.location) - stretch.base;
            uchar delta[8];
            if (predict(reference, stretch.result + offset, base, delta))
                predicted(reference, index, offset, delta, referenceWidth(reference.kind));
        });
    }
}
