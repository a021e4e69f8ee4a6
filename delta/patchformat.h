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
 *
 * A reference patch of an executable has the magic "UPDREFPT", four streams
 * (codecs at bytes 8-11, sizes after the result's), and at byte 12 the version
 * of the rules that find an executable's references (executableimage.h). Its
 * steps are those between the two executables with every reference's bytes
 * zeroed, so code that only moved is one long step. Its add bytes are added not
 * to the base's bytes but to a prediction: each reference of the base that an
 * add step carries whole into the result is predicted to name its target as
 * the steps carry that target (referenceprojection.h). Where the prediction
 * holds, the difference stream is zeros. The fourth stream holds the patch's
 * own moves of targets: a 32-bit count, then for each the distance of its base
 * address from the previous one's, the distance it moves and its length, 32
 * bits each.
 */
namespace PatchFormat {
constexpr char magic[8] = {'U', 'P', 'D', 'P', 'A', 'T', 'C', 'H'};
constexpr char referenceMagic[8] = {'U', 'P', 'D', 'R', 'E', 'F', 'P', 'T'};
enum Codec : quint8 { Raw = 0, Zstd = 1, Xz = 2 };
/// What a stream's decoder may hold: windows of up to 8 MiB, so applying stays small.
constexpr int zstdWindowLog = 23;
constexpr quint32 xzDictionarySize = 8u << 20;
/// The most add steps, and moves, a reference patch may have: an applier holds them all (at most 72 bytes each, with their pieces).
constexpr int maxStretches = 1 << 17;
}
