#include "syntheticexecutable.h"

#include <QtEndian>

#include <initializer_list>
#include <random>
#include <vector>

namespace {
constexpr int functionCount = 1500;
constexpr int itemCount = 600;
constexpr int pointerCount = 500;
constexpr quint32 textAddress = 0x1000;
constexpr quint64 peImageBase = 0x140000000;

quint32 align(quint32 value, quint32 to) { return (value + to - 1) / to * to; }

void put(QByteArray &bytes, quint32 at, quint64 value, int width)
{
    for (int i = 0; i < width; ++i)
        bytes[int(at) + i] = char(value >> (8 * i));
}

// Header fields: where, what, how many bytes.
struct Field
{
    quint32 at;
    quint64 value;
    int width;
};

void put(QByteArray &bytes, std::initializer_list<Field> fields)
{
    for (const Field &field : fields)
        put(bytes, field.at, field.value, field.width);
}

// The code and data of a release, laid out from textAddress; pointers are image-relative.
struct Content
{
    QByteArray text;
    QByteArray data;           // the items, then the pointer table, then one unwind record
    std::vector<quint32> functions;   // image-relative starts, and the end after the last
    quint32 dataAddress = 0;
    quint32 pointersAt = 0;    // in data
    std::vector<quint32> pointers;    // image-relative targets
};

Content content(int release)
{
    std::vector<int> sizes;
    std::vector<std::vector<quint32>> bodies;   // per function: kind << 24 | operand
    for (int i = 0; i < functionCount; ++i) {
        std::mt19937 random{quint32(i)};
        std::vector<quint32> body(release > 1 && i % 40 == 3 ? 2 : 0, 2u << 24);
        for (int k = 0; k < 12; ++k) {
            const quint32 kind = random() % 4;
            body.push_back(kind << 24 | random() % functionCount);
        }
        int size = 1;
        for (const quint32 op : body)
            size += op >> 24 == 1 || op >> 24 == 3 ? 7 - (op >> 24 == 3) : op >> 24 == 2 ? 3 : 5;
        sizes.push_back(align(quint32(size), 16));
        bodies.push_back(body);
    }
    Content c;
    quint32 at = textAddress;
    for (int size : sizes) {
        c.functions.push_back(at);
        at += quint32(size);
    }
    c.functions.push_back(at);
    c.dataAddress = align(at, 0x1000);
    std::vector<quint32> items;
    quint32 dataSize = 0;
    for (int k = 0; k < itemCount; ++k) {
        items.push_back(c.dataAddress + dataSize);
        dataSize += release > 1 && k % 60 == 5 ? 32 : 24;
    }
    c.data = QByteArray(int(dataSize), '\x11');
    for (int k = 0; k < itemCount; ++k)
        put(c.data, items[size_t(k)] - c.dataAddress, quint64(k) * 2654435761u, 8);
    c.pointersAt = quint32(c.data.size());
    std::mt19937 random{7};
    for (int p = 0; p < pointerCount; ++p)
        c.pointers.push_back(p % 2 ? c.functions[random() % functionCount] : items[random() % itemCount]);
    c.data.append(pointerCount * 8 + 8, '\0');
    c.data[int(c.pointersAt) + pointerCount * 8] = 1;   // the unwind record the exception table names
    c.text = QByteArray(int(at - textAddress), '\xcc');
    for (int i = 0; i < functionCount; ++i) {
        quint32 p = c.functions[size_t(i)] - textAddress;
        for (const quint32 op : bodies[size_t(i)]) {
            const quint32 operand = op & 0xffffff;
            const auto rel = [&](quint32 field, int length, quint32 target) {
                put(c.text, field, target - (textAddress + field + 4), 4);
                p = field + 4 + quint32(length);
            };
            switch (op >> 24) {
            case 0:   // call
                c.text[int(p)] = '\xe8';
                rel(p + 1, 0, c.functions[operand % functionCount]);
                break;
            case 1:   // lea rax, [rip + item]
                put(c.text, p, 0x058d48, 3);
                rel(p + 3, 0, items[operand % itemCount]);
                break;
            case 2:   // mov rcx, rax
                put(c.text, p, 0xc18948, 3);
                p += 3;
                break;
            default:  // jne to the function's start
                put(c.text, p, 0x850f, 2);
                rel(p + 2, 0, c.functions[size_t(i)]);
                break;
            }
        }
        c.text[int(p)] = '\xc3';
    }
    return c;
}

QByteArray portableExecutable(const Content &c)
{
    const quint32 pdataAddress = align(c.dataAddress + quint32(c.data.size()), 0x1000);
    const quint32 pdataSize = functionCount * 12;
    const quint32 relocAddress = align(pdataAddress + pdataSize, 0x1000);
    // A block of relocations per page of the pointer table.
    QByteArray reloc;
    const auto slot = [&](int p) { return c.dataAddress + c.pointersAt + quint32(p) * 8; };
    for (int p = 0; p < pointerCount;) {
        const quint32 page = slot(p) & ~0xfffu;
        QByteArray block(8, '\0');
        for (; p < pointerCount && (slot(p) & ~0xfffu) == page; ++p) {
            block.append(2, '\0');
            put(block, quint32(block.size()) - 2, 0xa000 | (slot(p) & 0xfff), 2);
        }
        if (block.size() % 4)
            block.append(2, '\0');   // an entry that relocates nothing, as linkers pad
        put(block, 0, page, 4);
        put(block, 4, quint32(block.size()), 4);
        reloc += block;
    }
    const quint32 sizes[4] = {quint32(c.text.size()), quint32(c.data.size()), pdataSize, quint32(reloc.size())};
    const quint32 addresses[4] = {textAddress, c.dataAddress, pdataAddress, relocAddress};
    QByteArray image(0x400, '\0');
    // DOS header, PE signature, COFF header, then the optional header at 0x58.
    put(image, {{0, 0x5a4d, 2}, {0x3c, 0x40, 4}, {0x40, 0x4550, 4}, {0x44, 0x8664, 2}, {0x46, 4, 2}, {0x54, 240, 2},
                {0x58, 0x20b, 2}, {0x58 + 24, peImageBase, 8}, {0x58 + 56, align(relocAddress + sizes[3], 0x1000), 4},
                {0x58 + 60, 0x400, 4}, {0x58 + 108, 16, 4}, {0x58 + 112 + 3 * 8, pdataAddress, 4},
                {0x58 + 112 + 3 * 8 + 4, pdataSize, 4}, {0x58 + 112 + 5 * 8, relocAddress, 4},
                {0x58 + 112 + 5 * 8 + 4, sizes[3], 4}});
    QByteArray bodies[4] = {c.text, c.data, QByteArray(int(pdataSize), '\0'), reloc};
    for (int i = 0; i < functionCount; ++i) {
        put(bodies[2], quint32(i) * 12, c.functions[size_t(i)], 4);
        put(bodies[2], quint32(i) * 12 + 4, c.functions[size_t(i) + 1], 4);
        put(bodies[2], quint32(i) * 12 + 8, c.dataAddress + c.pointersAt + pointerCount * 8, 4);
    }
    for (int p = 0; p < pointerCount; ++p)
        put(bodies[1], c.pointersAt + quint32(p) * 8, peImageBase + c.pointers[size_t(p)], 8);
    for (int i = 0; i < 4; ++i) {
        const quint32 header = 0x58 + 240 + 40 * quint32(i);
        put(image, header + 8, sizes[i], 4);
        put(image, header + 12, addresses[i], 4);
        put(image, header + 16, align(sizes[i], 0x200), 4);
        put(image, header + 20, quint32(image.size()), 4);
        put(image, header + 36, i == 0 ? 0x60000020 : 0x40000040, 4);
        image += bodies[i] + QByteArray(int(align(sizes[i], 0x200) - sizes[i]), '\0');
    }
    return image;
}

QByteArray elfExecutable(const Content &c)
{
    const quint32 dataOffset = c.dataAddress;   // offsets equal addresses
    QByteArray rela(pointerCount * 24, '\0');
    QByteArray data = c.data;
    for (int p = 0; p < pointerCount; ++p) {
        const quint32 slot = c.dataAddress + c.pointersAt + quint32(p) * 8;
        put(rela, quint32(p) * 24, slot, 8);
        put(rela, quint32(p) * 24 + 8, 8, 8);   // R_X86_64_RELATIVE
        put(rela, quint32(p) * 24 + 16, c.pointers[size_t(p)], 8);
        put(data, c.pointersAt + quint32(p) * 8, c.pointers[size_t(p)], 8);
    }
    data += rela;
    QByteArray image(int(textAddress), '\0');
    image.replace(0, 4, "\x7f" "ELF");
    // 64-bit, little-endian, a shared object for x86-64, two program headers after the ELF header.
    put(image, {{4, 0x010102, 3}, {16, 3, 2}, {18, 62, 2}, {32, 64, 8}, {54, 56, 2}, {56, 2, 2}});
    const quint32 segments[2][3] = {{textAddress, quint32(c.text.size()), 5}, {dataOffset, quint32(data.size()), 6}};
    for (int i = 0; i < 2; ++i) {
        const quint32 header = 64 + 56 * quint32(i);
        put(image, header, 1, 4);
        put(image, header + 4, segments[i][2], 4);
        for (int field : {8, 16, 24})
            put(image, header + quint32(field), segments[i][0], 8);
        put(image, header + 32, segments[i][1], 8);
        put(image, header + 40, segments[i][1], 8);
    }
    image += c.text;
    image += QByteArray(int(dataOffset) - image.size(), '\0');
    image += data;
    // Section headers: the null one and the relocations.
    put(image, 40, quint64(image.size()), 8);
    put(image, 58, 64, 2);
    put(image, 60, 2, 2);
    QByteArray sections(128, '\0');
    put(sections, 64 + 4, 4, 4);
    put(sections, 64 + 24, dataOffset + quint32(c.data.size()), 8);
    put(sections, 64 + 32, quint32(rela.size()), 8);
    put(sections, 64 + 56, 24, 8);
    return image + sections;
}
}

QByteArray syntheticExecutable(ExecutableFormat format, int release)
{
    const Content c = content(release);
    return format == ExecutableFormat::Pe ? portableExecutable(c) : elfExecutable(c);
}
