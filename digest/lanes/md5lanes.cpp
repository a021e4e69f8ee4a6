#include "md5lanes.h"


#include <QtEndian>

#include <cstring>

// MD5_LANES_PORTABLE builds the plain loops of other processors on x86 too, so
// that the tests run them.
#if !defined(MD5_LANES_PORTABLE) \
        && (defined(__SSE2__) || defined(_M_X64) || (defined(_M_IX86_FP) && _M_IX86_FP >= 2))
#include <emmintrin.h>
#define MD5_LANES_SSE2
#endif

namespace {

static_assert(Md5Lanes::count == 8, "the vector words below hold eight lanes");

#ifdef MD5_LANES_SSE2
// One 32-bit word of every lane, in two SSE2 registers. Operating on both halves
// at once also gives the processor two independent chains to interleave.
struct LaneWords
{
    __m128i low;
    __m128i high;
};

inline LaneWords splat(quint32 value)
{
    const __m128i v = _mm_set1_epi32(int(value));
    return {v, v};
}
inline LaneWords load(const quint32 *words)
{
    return {_mm_load_si128(reinterpret_cast<const __m128i *>(words)),
            _mm_load_si128(reinterpret_cast<const __m128i *>(words + 4))};
}
inline void store(quint32 *words, LaneWords w)
{
    _mm_store_si128(reinterpret_cast<__m128i *>(words), w.low);
    _mm_store_si128(reinterpret_cast<__m128i *>(words + 4), w.high);
}
inline LaneWords operator+(LaneWords a, LaneWords b)
{
    return {_mm_add_epi32(a.low, b.low), _mm_add_epi32(a.high, b.high)};
}
inline LaneWords operator&(LaneWords a, LaneWords b)
{
    return {_mm_and_si128(a.low, b.low), _mm_and_si128(a.high, b.high)};
}
inline LaneWords operator|(LaneWords a, LaneWords b)
{
    return {_mm_or_si128(a.low, b.low), _mm_or_si128(a.high, b.high)};
}
inline LaneWords operator^(LaneWords a, LaneWords b)
{
    return {_mm_xor_si128(a.low, b.low), _mm_xor_si128(a.high, b.high)};
}
inline LaneWords operator~(LaneWords a)
{
    return a ^ splat(0xffffffffu);
}
template <int shift>
inline LaneWords rotateLeft(LaneWords a)
{
    return {_mm_or_si128(_mm_slli_epi32(a.low, shift), _mm_srli_epi32(a.low, 32 - shift)),
            _mm_or_si128(_mm_slli_epi32(a.high, shift), _mm_srli_epi32(a.high, 32 - shift))};
}
#else
// Without a known vector unit the compiler gets plain loops to vectorise if it can.
struct LaneWords
{
    quint32 lane[Md5Lanes::count];
};

inline LaneWords splat(quint32 value)
{
    LaneWords r;
    for (quint32 &word : r.lane)
        word = value;
    return r;
}
inline LaneWords load(const quint32 *words)
{
    LaneWords r;
    std::memcpy(r.lane, words, sizeof r.lane);
    return r;
}
inline void store(quint32 *words, LaneWords w)
{
    std::memcpy(words, w.lane, sizeof w.lane);
}
template <typename Operation>
inline LaneWords eachLane(LaneWords a, LaneWords b, Operation operation)
{
    for (int i = 0; i < Md5Lanes::count; ++i)
        a.lane[i] = operation(a.lane[i], b.lane[i]);
    return a;
}
inline LaneWords operator+(LaneWords a, LaneWords b) { return eachLane(a, b, [](quint32 x, quint32 y) { return x + y; }); }
inline LaneWords operator&(LaneWords a, LaneWords b) { return eachLane(a, b, [](quint32 x, quint32 y) { return x & y; }); }
inline LaneWords operator|(LaneWords a, LaneWords b) { return eachLane(a, b, [](quint32 x, quint32 y) { return x | y; }); }
inline LaneWords operator^(LaneWords a, LaneWords b) { return eachLane(a, b, [](quint32 x, quint32 y) { return x ^ y; }); }
inline LaneWords operator~(LaneWords a) { return a ^ splat(0xffffffffu); }
template <int shift>
inline LaneWords rotateLeft(LaneWords a)
{
    for (quint32 &word : a.lane)
        word = (word << shift) | (word >> (32 - shift));
    return a;
}
#endif

// The scalar word, for a lane that runs alone.
template <int shift>
inline quint32 rotateLeft(quint32 a)
{
    return (a << shift) | (a >> (32 - shift));
}

inline LaneWords addConstant(LaneWords a, quint32 constant)
{
    return a + splat(constant);
}
inline quint32 addConstant(quint32 a, quint32 constant)
{
    return a + constant;
}

// The four auxiliary functions, in forms that need no NOT where one can be saved.
struct F { template <typename W> W operator()(W b, W c, W d) const { return d ^ (b & (c ^ d)); } };
struct G { template <typename W> W operator()(W b, W c, W d) const { return c ^ (d & (b ^ c)); } };
struct H { template <typename W> W operator()(W b, W c, W d) const { return b ^ c ^ d; } };
struct I { template <typename W> W operator()(W b, W c, W d) const { return c ^ (b | ~d); } };

template <typename Function, int shift, typename W>
inline void step(W &a, W b, W c, W d, W word, quint32 constant)
{
    a = b + rotateLeft<shift>(addConstant(a + Function()(b, c, d) + word, constant));
}

// One MD5 block: the 64 steps of the four rounds over message words x[0..15].
template <typename W>
void compressBlock(W state[4], const W x[16])
{
    W a = state[0], b = state[1], c = state[2], d = state[3];

    step<F, 7>(a, b, c, d, x[0], 0xd76aa478);
    step<F, 12>(d, a, b, c, x[1], 0xe8c7b756);
    step<F, 17>(c, d, a, b, x[2], 0x242070db);
    step<F, 22>(b, c, d, a, x[3], 0xc1bdceee);
    step<F, 7>(a, b, c, d, x[4], 0xf57c0faf);
    step<F, 12>(d, a, b, c, x[5], 0x4787c62a);
    step<F, 17>(c, d, a, b, x[6], 0xa8304613);
    step<F, 22>(b, c, d, a, x[7], 0xfd469501);
    step<F, 7>(a, b, c, d, x[8], 0x698098d8);
    step<F, 12>(d, a, b, c, x[9], 0x8b44f7af);
    step<F, 17>(c, d, a, b, x[10], 0xffff5bb1);
    step<F, 22>(b, c, d, a, x[11], 0x895cd7be);
    step<F, 7>(a, b, c, d, x[12], 0x6b901122);
    step<F, 12>(d, a, b, c, x[13], 0xfd987193);
    step<F, 17>(c, d, a, b, x[14], 0xa679438e);
    step<F, 22>(b, c, d, a, x[15], 0x49b40821);

    step<G, 5>(a, b, c, d, x[1], 0xf61e2562);
    step<G, 9>(d, a, b, c, x[6], 0xc040b340);
    step<G, 14>(c, d, a, b, x[11], 0x265e5a51);
    step<G, 20>(b, c, d, a, x[0], 0xe9b6c7aa);
    step<G, 5>(a, b, c, d, x[5], 0xd62f105d);
    step<G, 9>(d, a, b, c, x[10], 0x02441453);
    step<G, 14>(c, d, a, b, x[15], 0xd8a1e681);
    step<G, 20>(b, c, d, a, x[4], 0xe7d3fbc8);
    step<G, 5>(a, b, c, d, x[9], 0x21e1cde6);
    step<G, 9>(d, a, b, c, x[14], 0xc33707d6);
    step<G, 14>(c, d, a, b, x[3], 0xf4d50d87);
    step<G, 20>(b, c, d, a, x[8], 0x455a14ed);
    step<G, 5>(a, b, c, d, x[13], 0xa9e3e905);
    step<G, 9>(d, a, b, c, x[2], 0xfcefa3f8);
    step<G, 14>(c, d, a, b, x[7], 0x676f02d9);
    step<G, 20>(b, c, d, a, x[12], 0x8d2a4c8a);

    step<H, 4>(a, b, c, d, x[5], 0xfffa3942);
    step<H, 11>(d, a, b, c, x[8], 0x8771f681);
    step<H, 16>(c, d, a, b, x[11], 0x6d9d6122);
    step<H, 23>(b, c, d, a, x[14], 0xfde5380c);
    step<H, 4>(a, b, c, d, x[1], 0xa4beea44);
    step<H, 11>(d, a, b, c, x[4], 0x4bdecfa9);
    step<H, 16>(c, d, a, b, x[7], 0xf6bb4b60);
    step<H, 23>(b, c, d, a, x[10], 0xbebfbc70);
    step<H, 4>(a, b, c, d, x[13], 0x289b7ec6);
    step<H, 11>(d, a, b, c, x[0], 0xeaa127fa);
    step<H, 16>(c, d, a, b, x[3], 0xd4ef3085);
    step<H, 23>(b, c, d, a, x[6], 0x04881d05);
    step<H, 4>(a, b, c, d, x[9], 0xd9d4d039);
    step<H, 11>(d, a, b, c, x[12], 0xe6db99e5);
    step<H, 16>(c, d, a, b, x[15], 0x1fa27cf8);
    step<H, 23>(b, c, d, a, x[2], 0xc4ac5665);

    step<I, 6>(a, b, c, d, x[0], 0xf4292244);
    step<I, 10>(d, a, b, c, x[7], 0x432aff97);
    step<I, 15>(c, d, a, b, x[14], 0xab9423a7);
    step<I, 21>(b, c, d, a, x[5], 0xfc93a039);
    step<I, 6>(a, b, c, d, x[12], 0x655b59c3);
    step<I, 10>(d, a, b, c, x[3], 0x8f0ccc92);
    step<I, 15>(c, d, a, b, x[10], 0xffeff47d);
    step<I, 21>(b, c, d, a, x[1], 0x85845dd1);
    step<I, 6>(a, b, c, d, x[8], 0x6fa87e4f);
    step<I, 10>(d, a, b, c, x[15], 0xfe2ce6e0);
    step<I, 15>(c, d, a, b, x[6], 0xa3014314);
    step<I, 21>(b, c, d, a, x[13], 0x4e0811a1);
    step<I, 6>(a, b, c, d, x[4], 0xf7537e82);
    step<I, 10>(d, a, b, c, x[11], 0xbd3af235);
    step<I, 15>(c, d, a, b, x[2], 0x2ad7d2bb);
    step<I, 21>(b, c, d, a, x[9], 0xeb86d391);

    state[0] = state[0] + a;
    state[1] = state[1] + b;
    state[2] = state[2] + c;
    state[3] = state[3] + d;
}

#ifdef MD5_LANES_SSE2
// Four rows of four words each turned into four columns.
inline void transpose(__m128i &r0, __m128i &r1, __m128i &r2, __m128i &r3)
{
    const __m128i t0 = _mm_unpacklo_epi32(r0, r1);
    const __m128i t1 = _mm_unpackhi_epi32(r0, r1);
    const __m128i t2 = _mm_unpacklo_epi32(r2, r3);
    const __m128i t3 = _mm_unpackhi_epi32(r2, r3);
    r0 = _mm_unpacklo_epi64(t0, t2);
    r1 = _mm_unpackhi_epi64(t0, t2);
    r2 = _mm_unpacklo_epi64(t1, t3);
    r3 = _mm_unpackhi_epi64(t1, t3);
}

// x[k] gets word k of every lane's block (x86 is little-endian, as MD5 is).
void gatherMessage(const uchar *const blocks[Md5Lanes::count], LaneWords x[16])
{
    for (int column = 0; column < 4; ++column) {
        __m128i rows[Md5Lanes::count];
        for (int lane = 0; lane < Md5Lanes::count; ++lane)
            rows[lane] = _mm_loadu_si128(reinterpret_cast<const __m128i *>(blocks[lane] + 16 * column));
        transpose(rows[0], rows[1], rows[2], rows[3]);
        transpose(rows[4], rows[5], rows[6], rows[7]);
        for (int k = 0; k < 4; ++k)
            x[4 * column + k] = {rows[k], rows[4 + k]};
    }
}
#else
void gatherMessage(const uchar *const blocks[Md5Lanes::count], LaneWords x[16])
{
    for (int k = 0; k < 16; ++k) {
        for (int lane = 0; lane < Md5Lanes::count; ++lane)
            x[k].lane[lane] = qFromLittleEndian<quint32>(blocks[lane] + 4 * k);
    }
}
#endif

constexpr quint32 initialState[4] = {0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476};

} // namespace

Md5Lanes::Md5Lanes()
{
    for (int lane = 0; lane < count; ++lane)
        restart(lane);
}

void Md5Lanes::restart(int lane)
{
    for (int word = 0; word < 4; ++word)
        m_state[word][lane] = initialState[word];
}

void Md5Lanes::compress(const uchar *const blocks[count])
{
    static const uchar idleBlock[blockSize] = {};
    const uchar *lanes[count];
    for (int lane = 0; lane < count; ++lane)
        lanes[lane] = blocks[lane] ? blocks[lane] : idleBlock;
    LaneWords x[16];
    gatherMessage(lanes, x);
    LaneWords state[4];
    for (int word = 0; word < 4; ++word)
        state[word] = load(m_state[word]);

    compressBlock(state, x);

    for (int word = 0; word < 4; ++word)
        store(m_state[word], state[word]);
}

void Md5Lanes::compressAlone(int lane, const uchar *blocks, qint64 blockCount)
{
    quint32 state[4];
    for (int word = 0; word < 4; ++word)
        state[word] = m_state[word][lane];
    quint32 x[16];
    for (qint64 i = 0; i < blockCount; ++i, blocks += blockSize) {
        for (int k = 0; k < 16; ++k)
            x[k] = qFromLittleEndian<quint32>(blocks + 4 * k);
        compressBlock(state, x);
    }
    for (int word = 0; word < 4; ++word)
        m_state[word][lane] = state[word];
}

QByteArray Md5Lanes::digest(int lane) const
{
    QByteArray raw(16, Qt::Uninitialized);
    for (int word = 0; word < 4; ++word)
        qToLittleEndian<quint32>(m_state[word][lane], raw.data() + 4 * word);
    return raw;
}

int Md5Lanes::lastBlocks(const char *tail, int tailLength, quint64 totalLength, uchar out[2 * blockSize])
{
    Q_ASSERT(tailLength >= 0 && tailLength < blockSize);
    const int blocks = tailLength < blockSize - 8 ? 1 : 2;
    std::memset(out, 0, size_t(blocks * blockSize));
    std::memcpy(out, tail, size_t(tailLength));
    out[tailLength] = 0x80;
    qToLittleEndian<quint64>(totalLength * 8, out + blocks * blockSize - 8);
    return blocks;
}
