#include "laneworker.h"

#include "hashqueue.h"

#include <cstring>

namespace {
// Bytes read at a time into each lane's buffer: large enough that eight files
// read side by side cost a spinning disk no more seeking per byte than one file
// read at a time in the same chunks.
constexpr int chunkSize = 1024 * 1024;
// Below this many busy lanes, scalar code one file after another outruns the
// shared vector pass.
constexpr int fewestSharedLanes = 4;
}

LaneWorker::LaneWorker(HashQueue &queue)
    : m_queue(queue)
    // Only the pages the files fill are ever touched, and all go back with the worker.
    , m_buffers(Md5Lanes::count * chunkSize, Qt::Uninitialized)
{
    for (int lane = 0; lane < Md5Lanes::count; ++lane)
        m_streams[lane].buffer = m_buffers.data() + lane * chunkSize;
}

void LaneWorker::run()
{
    for (;;) {
        const uchar *blocks[Md5Lanes::count] = {};
        int busy = 0;
        for (int lane = 0; lane < Md5Lanes::count; ++lane) {
            blocks[lane] = nextBlock(lane);
            busy += blocks[lane] != nullptr;
        }
        if (busy == 0)
            return;
        if (busy < fewestSharedLanes && m_queue.isEmpty()) {
            for (int lane = 0; lane < Md5Lanes::count; ++lane) {
                if (blocks[lane])
                    compressAlone(lane, blocks[lane]);
            }
            continue;
        }
        m_lanes.compress(blocks);
        for (int lane = 0; lane < Md5Lanes::count; ++lane) {
            if (blocks[lane])
                advance(lane, 1);
        }
    }
}

// The lane's next block, refilling its buffer or starting its next file as
// needed; null once the queue has nothing left for it.
const uchar *LaneWorker::nextBlock(int lane)
{
    Stream &stream = m_streams[lane];
    for (;;) {
        if (!stream.isBusy() && !start(lane))
            return nullptr;
        if (stream.wholeBlocks() > 0)
            return reinterpret_cast<const uchar *>(stream.buffer + stream.begin);
        if (stream.lastTaken < stream.lastCount)
            return stream.last + stream.lastTaken * Md5Lanes::blockSize;
        refill(lane);
    }
}

bool LaneWorker::start(int lane)
{
    Stream &stream = m_streams[lane];
    for (;;) {
        const int index = m_queue.take();
        if (index < 0)
            return false;
        // A file that is not opened keeps no digest.
        if (m_queue.file(index).open(stream.file)) {
            stream.index = index;
            stream.begin = stream.end = 0;
            stream.length = 0;
            stream.lastCount = stream.lastTaken = 0;
            m_lanes.restart(lane);
            return true;
        }
    }
}

void LaneWorker::refill(int lane)
{
    Stream &stream = m_streams[lane];
    const int left = stream.end - stream.begin;
    std::memmove(stream.buffer, stream.buffer + stream.begin, size_t(left));
    stream.begin = 0;
    stream.end = left;
    const qint64 read = stream.file.read(stream.buffer + left, chunkSize - left);
    if (read < 0) {
        finish(lane, QByteArray());
    } else if (read == 0) {
        stream.lastCount = Md5Lanes::lastBlocks(stream.buffer, left, stream.length, stream.last);
        stream.begin = stream.end = 0;
    } else {
        stream.end += int(read);
        stream.length += quint64(read);
    }
}

void LaneWorker::compressAlone(int lane, const uchar *firstBlock)
{
    const int blocks = m_streams[lane].pendingBlocks();
    m_lanes.compressAlone(lane, firstBlock, blocks);
    advance(lane, blocks);
}

void LaneWorker::advance(int lane, int blocks)
{
    Stream &stream = m_streams[lane];
    if (stream.lastCount == 0) {
        stream.begin += blocks * Md5Lanes::blockSize;
        return;
    }
    stream.lastTaken += blocks;
    if (stream.lastTaken == stream.lastCount)
        finish(lane, m_lanes.digest(lane));
}

void LaneWorker::finish(int lane, const QByteArray &digest)
{
    Stream &stream = m_streams[lane];
    m_queue.setDigest(stream.index, digest);
    stream.file.close();
    stream.index = -1;
}
