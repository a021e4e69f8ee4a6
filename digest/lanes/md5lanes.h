#pragma once

#include <QByteArray>
#include <QtGlobal>

/**
 * Eight MD5 computations advanced together, one per 32-bit lane of the vector
 * unit (SSE2 on x86; plain loops elsewhere). MD5 is one long chain of dependent
 * steps, so scalar code leaves most of a core idle: eight independent chains in
 * lock step hash eight files in far less time than eight times one.
 *
 * Each lane is fed whole 64-byte blocks; lastBlocks() pads the end of a stream.
 */
class Md5Lanes
{
public:
    static constexpr int count = 8;
    static constexpr int blockSize = 64;

    Md5Lanes();

    /// Starts @p lane on a new stream.
    void restart(int lane);
    /// Compresses one block into each lane. A lane given a null pointer is idle:
    /// its state turns meaningless until restart().
    void compress(const uchar *const blocks[count]);
    /// Compresses @p blockCount consecutive blocks into @p lane alone, in scalar
    /// code: the faster way once too few streams are left to share the vector unit.
    void compressAlone(int lane, const uchar *blocks, qint64 blockCount);
    /// The raw 16-byte MD5 digest of @p lane (its state words, little-endian), once its last blocks have been compressed.
    QByteArray digest(int lane) const;

    /**
     * Writes the padded last blocks of a stream of @p totalLength bytes whose
     * final @p tailLength bytes (fewer than one block) are at @p tail into
     * @p out, and returns how many blocks that is (1 or 2).
     */
    static int lastBlocks(const char *tail, int tailLength, quint64 totalLength, uchar out[2 * blockSize]);

private:
    // Word-major so that each state word of every lane loads as one vector.
    alignas(16) quint32 m_state[4][count];
};
