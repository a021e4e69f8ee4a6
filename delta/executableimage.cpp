#include "executableimage.h"

#include <QtEndian>

#include <algorithm>
#include <cstring>

namespace {

quint16 u16(const uchar *p) { return qFromLittleEndian<quint16>(p); }
quint32 u32(const uchar *p) { return qFromLittleEndian<quint32>(p); }
quint64 u64(const uchar *p) { return qFromLittleEndian<quint64>(p); }

// True when [offset, offset + length) lies within [0, size).
bool fits(quint64 offset, quint64 length, quint64 size)
{
    return offset <= size && length <= size - offset;
}

// What follows the ModRM byte of the x86-64 opcodes whose RIP-relative forms
// are read: -1 for opcodes not read, otherwise the immediate's length.
struct OpcodeTable
{
    signed char oneByte[256];
    signed char twoByte[256];
    constexpr OpcodeTable() : oneByte(), twoByte()
    {
        for (signed char &c : oneByte)
            c = -1;
        for (signed char &c : twoByte)
            c = -1;
        // ALU forms with a register (add, or, adc, sbb, and, sub, xor, cmp), mov, lea, test, xchg, movsxd.
        for (int op : {0x00, 0x01, 0x02, 0x03, 0x08, 0x09, 0x0a, 0x0b, 0x10, 0x11, 0x12, 0x13, 0x18, 0x19, 0x1a, 0x1b,
                       0x20, 0x21, 0x22, 0x23, 0x28, 0x29, 0x2a, 0x2b, 0x30, 0x31, 0x32, 0x33, 0x38, 0x39, 0x3a, 0x3b,
                       0x63, 0x84, 0x85, 0x86, 0x87, 0x88, 0x89, 0x8a, 0x8b, 0x8d, 0xd0, 0xd1, 0xd3, 0xfe})
            oneByte[op] = 0;
        for (int op : {0x80, 0x83, 0xc0, 0xc1, 0xc6, 0x6b})
            oneByte[op] = 1;
        for (int op : {0x81, 0xc7, 0x69})
            oneByte[op] = 4;
        // SSE moves and arithmetic, movzx/movsx, imul, cmov, setcc, prefetch and nop.
        for (int op : {0x10, 0x11, 0x12, 0x13, 0x14, 0x15, 0x16, 0x17, 0x18, 0x1f, 0x28, 0x29, 0x2a, 0x2c, 0x2d, 0x2e,
                       0x2f, 0x51, 0x54, 0x55, 0x56, 0x57, 0x58, 0x59, 0x5a, 0x5b, 0x5c, 0x5d, 0x5e, 0x5f, 0x6e, 0x6f,
                       0x7e, 0x7f, 0xaf, 0xb6, 0xb7, 0xbe, 0xbf, 0xd6, 0xdb, 0xef, 0xfe, 0xd4, 0xfa, 0xfb})
            twoByte[op] = 0;
        for (int op = 0x40; op <= 0x4f; ++op)
            twoByte[op] = 0;
        for (int op = 0x90; op <= 0x9f; ++op)
            twoByte[op] = 0;
        for (int op : {0xba, 0x70, 0xc2, 0xc6})
            twoByte[op] = 1;
    }
};
constexpr OpcodeTable opcodes;

} // namespace

int referenceWidth(ReferenceKind kind)
{
    return kind == ReferenceKind::Absolute64 ? 8 : 4;
}

bool ExecutableImage::readLayout(const uchar *data, qint64 size)
{
    *this = ExecutableImage();
    if (size < 64 || size > qint64(0xffffffffLL))
        return false;
    bool read = false;
    if (data[0] == 'M' && data[1] == 'Z')
        read = readPe(data, size, u32(data + 0x3c));
    else if (std::memcmp(data, "\x7f" "ELF", 4) == 0)
        read = readElf(data, size);
    if (read && sortSegments())
        return true;
    *this = ExecutableImage();
    return false;
}

bool ExecutableImage::readPe(const uchar *data, qint64 size, quint32 peOffset)
{
    if (!fits(peOffset, 24, quint64(size)) || std::memcmp(data + peOffset, "PE\0\0", 4) != 0)
        return false;
    const uchar *coff = data + peOffset + 4;
    const quint16 machine = u16(coff);
    const quint32 sections = u16(coff + 2);
    const quint32 optionalSize = u16(coff + 16);
    const quint64 optional = quint64(peOffset) + 24;
    if (!fits(optional, optionalSize, quint64(size)) || optionalSize < 96)
        return false;
    const uchar *header = data + optional;
    quint32 directories = 0;
    quint32 directoryCount = 0;
    if (u16(header) == 0x20b && machine == 0x8664 && optionalSize >= 112) {
        m_imageBase = u64(header + 24);
        directoryCount = u32(header + 108);
        directories = 112;
    } else if (u16(header) == 0x10b && machine == 0x14c) {
        m_64 = false;
        m_imageBase = u32(header + 28);
        directoryCount = u32(header + 92);
        directories = 96;
    } else {
        return false;
    }
    m_pe = true;
    m_imageSize = u32(header + 56);
    m_headerSize = u32(header + 60);
    const quint64 table = optional + optionalSize;
    if (sections == 0 || m_headerSize > quint64(size) || !fits(table, 40ull * sections, m_headerSize))
        return false;
    const auto directory = [&](quint32 index, quint32 *entry) {
        const quint64 at = directories + 8ull * index;
        if (index < directoryCount && at + 8 <= optionalSize) {
            entry[0] = u32(header + at);
            entry[1] = u32(header + at + 4);
        }
    };
    directory(3, m_exceptions);
    directory(5, m_relocations);
    for (quint32 i = 0; i < sections; ++i) {
        const uchar *section = data + table + 40 * i;
        const quint32 virtualSize = u32(section + 8);
        const quint32 address = u32(section + 12);
        const quint32 rawSize = u32(section + 16);
        const quint32 offset = u32(section + 20);
        quint32 fileSize = virtualSize ? qMin(virtualSize, rawSize) : rawSize;
        if (offset == 0 || fileSize == 0 || offset >= quint64(size))
            continue;
        fileSize = quint32(qMin<quint64>(fileSize, quint64(size) - offset));
        if (!fits(address, fileSize, m_imageSize))
            return false;
        m_segments.push_back({offset, fileSize, address, (u32(section + 36) & 0x20000020u) != 0});
    }
    return true;
}

bool ExecutableImage::readElf(const uchar *data, qint64 size)
{
    if (data[4] != 2 || data[5] != 1 || u16(data + 18) != 62)
        return false;
    const quint64 programHeaders = u64(data + 32);
    const quint32 entrySize = u16(data + 54);
    const quint32 count = u16(data + 56);
    if (entrySize < 56 || count == 0 || !fits(programHeaders, quint64(entrySize) * count, quint64(size)))
        return false;
    m_headerSize = quint32(qMax<quint64>(64, programHeaders + quint64(entrySize) * count));
    for (quint32 i = 0; i < count; ++i) {
        const uchar *header = data + programHeaders + quint64(entrySize) * i;
        if (u32(header) != 1)   // PT_LOAD
            continue;
        const quint64 offset = u64(header + 8);
        const quint64 address = u64(header + 16);
        quint64 fileSize = u64(header + 32);
        const quint64 memorySize = u64(header + 40);
        if (!fits(address, memorySize, 0xffffffffull) || fileSize > memorySize)
            return false;
        m_imageSize = quint32(qMax<quint64>(m_imageSize, address + memorySize));
        if (fileSize == 0 || offset >= quint64(size))
            continue;
        fileSize = qMin(fileSize, quint64(size) - offset);
        m_segments.push_back({quint32(offset), quint32(fileSize), quint32(address), (u32(header + 4) & 1) != 0});
    }
    return true;
}

bool ExecutableImage::sortSegments()
{
    // Offsets and addresses in one order, neither overlapping: a lookup either way is a binary search.
    std::sort(m_segments.begin(), m_segments.end(), [](const Segment &a, const Segment &b) { return a.offset < b.offset; });
    for (size_t i = 1; i < m_segments.size(); ++i) {
        const Segment &before = m_segments[i - 1];
        if (quint64(before.offset) + before.size > m_segments[i].offset
                || quint64(before.address) + before.size > m_segments[i].address)
            return false;
    }
    return !m_segments.empty();
}

const ExecutableImage::Segment *ExecutableImage::segmentAtOffset(qint64 offset) const
{
    auto it = std::upper_bound(m_segments.cbegin(), m_segments.cend(), offset,
                               [](qint64 value, const Segment &s) { return value < qint64(s.offset); });
    if (it == m_segments.cbegin())
        return nullptr;
    --it;
    return offset < qint64(it->offset) + it->size ? &*it : nullptr;
}

const ExecutableImage::Segment *ExecutableImage::segmentAtAddress(quint32 address) const
{
    auto it = std::upper_bound(m_segments.cbegin(), m_segments.cend(), address,
                               [](quint32 value, const Segment &s) { return value < s.address; });
    if (it == m_segments.cbegin())
        return nullptr;
    --it;
    return quint64(address) < quint64(it->address) + it->size ? &*it : nullptr;
}

ImageReferences::Run::const_iterator ImageReferences::firstAt(const Run &run, qint64 location)
{
    return std::lower_bound(run.cbegin(), run.cend(), location,
                            [](const ImageReference &r, qint64 at) { return qint64(r.location) < at; });
}

const ImageReference *ImageReferences::find(qint64 location) const
{
    for (const Run *run : {&m_tables, &m_code}) {
        const auto it = firstAt(*run, location);
        if (it != run->cend() && qint64(it->location) == location)
            return &*it;
    }
    return nullptr;
}

ImageReferences ExecutableImage::references(const uchar *data, qint64 size) const
{
    ImageReferences found;
    std::deque<ImageReference> &tables = found.m_tables;
    if (m_pe)
        addPeTables(data, size, tables);
    else
        addElfTables(data, size, tables);
    std::sort(tables.begin(), tables.end(), [](const ImageReference &a, const ImageReference &b) {
        return a.location < b.location;
    });
    // The first of two that overlap stays.
    size_t kept = 0;
    for (const ImageReference &reference : tables) {
        if (kept == 0 || quint64(tables[kept - 1].location) + referenceWidth(tables[kept - 1].kind) <= reference.location)
            tables[kept++] = reference;
    }
    tables.resize(kept);
    scanCode(data, tables, found.m_code);
    return found;
}

void ExecutableImage::addPeTables(const uchar *data, qint64 size, std::deque<ImageReference> &found) const
{
    Q_UNUSED(size)
    // A table's bytes: those of the segment its address is in, no further.
    const auto tableBytes = [this](const quint32 *entry, quint32 *offset, quint32 *length) {
        const Segment *segment = segmentAtAddress(entry[0]);
        if (!segment || entry[1] == 0)
            return false;
        *offset = segment->offset + (entry[0] - segment->address);
        *length = qMin(entry[1], segment->size - (entry[0] - segment->address));
        return true;
    };
    // A reference whose bytes lie in one segment and whose target lies in the image.
    const auto add = [&](quint32 address, ReferenceKind kind, bool atOffset) {
        quint32 offset = address;
        if (!atOffset) {
            const Segment *segment = segmentAtAddress(address);
            if (!segment || !fits(address - segment->address, quint64(referenceWidth(kind)), segment->size))
                return;
            offset = segment->offset + (address - segment->address);
        }
        const quint64 value = kind == ReferenceKind::Absolute64 ? u64(data + offset) : u32(data + offset);
        const quint64 target = kind == ReferenceKind::ImageRelative32 ? value : value - m_imageBase;
        if (isInImage(qint64(target)))
            found.push_back({offset, quint32(target), kind});
    };
    quint32 offset = 0;
    quint32 length = 0;
    if (tableBytes(m_relocations, &offset, &length)) {
        for (quint32 block = 0; block + 8 <= length;) {
            const quint32 page = u32(data + offset + block);
            const quint32 blockSize = u32(data + offset + block + 4);
            if (blockSize < 8 || blockSize > length - block)
                break;
            for (quint32 entry = block + 8; entry + 2 <= block + blockSize; entry += 2) {
                const quint16 value = u16(data + offset + entry);
                if (value >> 12 == 10 && m_64)
                    add(page + (value & 0xfff), ReferenceKind::Absolute64, false);
                else if (value >> 12 == 3)
                    add(page + (value & 0xfff), ReferenceKind::Absolute32, false);
            }
            block += blockSize;
        }
    }
    if (m_64 && tableBytes(m_exceptions, &offset, &length)) {
        // Begin, end and unwind information of each function, as image-relative addresses.
        for (quint32 entry = 0; entry < length - length % 12; entry += 4)
            add(offset + entry, ReferenceKind::ImageRelative32, true);
    }
}

void ExecutableImage::addElfTables(const uchar *data, qint64 size, std::deque<ImageReference> &found) const
{
    const quint64 sectionHeaders = u64(data + 40);
    const quint32 entrySize = u16(data + 58);
    const quint32 count = u16(data + 60);
    if (entrySize < 64 || !fits(sectionHeaders, quint64(entrySize) * count, quint64(size)))
        return;
    const auto isLoaded = [this](quint64 offset, quint64 width) {
        const Segment *segment = segmentAtOffset(qint64(offset));
        return segment && offset + width <= quint64(segment->offset) + segment->size;
    };
    const auto add = [&](quint64 offset, quint64 target) {
        if (isLoaded(offset, 8) && isInImage(qint64(target)))
            found.push_back({quint32(offset), quint32(target), ReferenceKind::Absolute64});
    };
    for (quint32 i = 0; i < count; ++i) {
        const uchar *section = data + sectionHeaders + quint64(entrySize) * i;
        const quint64 offset = u64(section + 24);
        const quint64 length = u64(section + 32);
        if (u32(section + 4) != 4 || u64(section + 56) != 24 || !isLoaded(offset, length))   // loaded SHT_RELA
            continue;
        for (quint64 entry = offset; entry + 24 <= offset + length; entry += 24) {
            const quint64 place = u64(data + entry);
            const quint32 type = quint32(u64(data + entry + 8));
            const quint64 addend = u64(data + entry + 16);
            add(entry, place);
            if (type != 8 && type != 37)   // R_X86_64_RELATIVE, R_X86_64_IRELATIVE
                continue;
            add(entry + 16, addend);
            // The place itself holds the address too where the linker wrote it there.
            if (place < 0xffffffffull) {
                const Segment *segment = segmentAtAddress(quint32(place));
                if (segment && fits(place - segment->address, 8, segment->size)
                        && u64(data + segment->offset + (place - segment->address)) == addend)
                    add(segment->offset + (place - segment->address), addend);
            }
        }
    }
}

void ExecutableImage::scanCode(const uchar *data, const std::deque<ImageReference> &tables,
                               std::deque<ImageReference> &found) const
{
    auto table = tables.cbegin();
    for (const Segment &segment : m_segments) {
        if (!segment.executable)
            continue;
        const qint64 end = qint64(segment.offset) + segment.size;
        const auto accept = [&](qint64 field, int tail, bool toCode) {
            if (field + 4 + tail > end)
                return false;
            const qint64 address = qint64(segment.address) + (field - segment.offset);
            const qint64 target = address + 4 + tail + qint32(u32(data + field));
            if (!isInImage(target))
                return false;
            if (toCode) {
                const Segment *to = segmentAtAddress(quint32(target));
                if (!to || !to->executable)
                    return false;
            }
            while (table != tables.cend() && quint64(table->location) + referenceWidth(table->kind) <= quint64(field))
                ++table;
            if (table != tables.cend() && table->location < field + 4)
                return false;
            found.push_back({quint32(field), quint32(target), ReferenceKind(tail)});
            return true;
        };
        for (qint64 p = qMax<qint64>(segment.offset, m_headerSize); p + 5 <= end;) {
            const uchar op = data[p];
            qint64 field = -1;
            int tail = 0;
            bool toCode = false;
            if (op == 0xe8 || op == 0xe9) {
                field = p + 1;
                toCode = true;
            } else if (op == 0x0f && (data[p + 1] & 0xf0) == 0x80) {
                field = p + 2;
                toCode = true;
            } else if (!m_64) {
                // 32-bit code names other places by absolute addresses, which the relocations give.
            } else if (op == 0xff && (data[p + 1] == 0x15 || data[p + 1] == 0x25)) {
                field = p + 2;
            } else {
                qint64 q = (op & 0xf0) == 0x40 ? p + 1 : p;   // a REX prefix
                const bool twoByte = data[q] == 0x0f;
                const int immediate = twoByte ? opcodes.twoByte[data[q + 1]] : opcodes.oneByte[data[q]];
                q += twoByte ? 2 : 1;
                if (immediate >= 0 && q < end && (data[q] & 0xc7) == 0x05) {
                    field = q + 1;
                    tail = immediate;
                }
            }
            if (field >= 0 && accept(field, tail, toCode))
                p = field + 4 + tail;
            else
                ++p;
        }
    }
}
