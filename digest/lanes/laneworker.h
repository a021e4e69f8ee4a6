#pragma once

#include "md5lanes.h"

#include <QByteArray>
#include <QFile>

class HashQueue;

/**
 * Hashes files from a HashQueue on the calling thread, eight at a time through
 * Md5Lanes, until the queue has none left. Each lane reads its file in chunks
 * into its own buffer, so memory stays flat whatever the sizes. When the queue is
 * empty and only a few lanes are still busy, those finish one after the other
 * in scalar code, which is then the faster way.
 */
class LaneWorker
{
public:
    explicit LaneWorker(HashQueue &queue);
    LaneWorker(const LaneWorker &) = delete;
    LaneWorker &operator=(const LaneWorker &) = delete;

    void run();

private:
    // One file passing through a lane: its bytes through the lane's buffer, and
    // its padded end through 'last'.
    struct Stream
    {
        int index = -1; // in the queue; -1 while the lane is free
        QFile file;
        char *buffer = nullptr;
        int begin = 0;
        int end = 0;
        quint64 length = 0;
        uchar last[2 * Md5Lanes::blockSize];
        int lastCount = 0;
        int lastTaken = 0;

        bool isBusy() const { return index >= 0; }
        int wholeBlocks() const { return (end - begin) / Md5Lanes::blockSize; }
        /// Blocks ready in a row: the buffer's whole blocks, or else the padded end's.
        int pendingBlocks() const { return lastCount == 0 ? wholeBlocks() : lastCount - lastTaken; }
    };

    const uchar *nextBlock(int lane);
    bool start(int lane);
    void refill(int lane);
    void compressAlone(int lane, const uchar *firstBlock);
    void advance(int lane, int blocks);
    void finish(int lane, const QByteArray &digest);

    HashQueue &m_queue;
    QByteArray m_buffers;
    Md5Lanes m_lanes;
    Stream m_streams[Md5Lanes::count];
};
