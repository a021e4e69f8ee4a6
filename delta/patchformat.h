#pragma once

#include <QtGlobal>

/**
 * @file
 * The patch format: an approximate-match difference in three streams.
 *
 * Header, little-endian: the magic "UPDPATCH", one byte each for the codec of
 * the control, difference and extra streams, five bytes zero, then the sizes
 * (64-bit) of the result and of the three streams as stored. The streams follow.
 *
 * Decoded, the control stream is triples of signed 64-bit numbers (add, copy,
 * seek): add bytes of the result are the difference stream's next bytes added
 * to the base from the current base position, copy bytes come from the extra
 * stream as they are, then the base position moves by add + seek. Only the
 * first step may write nothing (add and copy zero, a move to where the first
 * match starts); appliers refuse any later one. The difference stream is
 * mostly zeros where the base and the result agree, so it compresses to
 * almost nothing.
 */
namespace PatchFormat {
constexpr char magic[8] = {'U', 'P', 'D', 'P', 'A', 'T', 'C', 'H'};
constexpr int headerSize = 8 + 8 + 4 * 8;
enum Codec : quint8 { Raw = 0, Zstd = 1, Xz = 2 };
/// What a stream's decoder may hold: windows of up to 8 MiB, so applying stays small.
constexpr int zstdWindowLog = 23;
constexpr quint32 xzDictionarySize = 8u << 20;
}
