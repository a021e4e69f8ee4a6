#pragma once

#include <QtGlobal>

#include <algorithm>
#include <deque>
#include <vector>

/**
 * @file
 * The places where an x86-64 executable (PE32+, PE32, ELF64) refers to
 * addresses inside itself, read the same way by whoever makes a reference
 * patch and whoever applies it. Any change to these rules changes
 * `ExecutableImage::extractorVersion`: an applier refuses a patch made under
 * other rules rather than guess.
 */

/// How one kind of reference keeps its target in its bytes.
enum class ReferenceKind : quint8 {
    /// A 32-bit displacement from the end of its instruction; the number is the
    /// count of instruction bytes after the displacement (an immediate).
    Relative = 0,
    RelativeTail1 = 1,
    RelativeTail4 = 4,
    /// The image's base address plus the target, 64 bits.
    Absolute64 = 8,
    /// The same in 32 bits.
    Absolute32 = 9,
    /// The target's address relative to the image's base, 32 bits.
    ImageRelative32 = 10,
};

/// A reference: at the file offset @c location, bytes that name the image address @c target.
struct ImageReference
{
    quint32 location;
    quint32 target;
    ReferenceKind kind;
};

/// The width in bytes of a reference of @p kind.
int referenceWidth(ReferenceKind kind);

/**
 * An image's references by location, none overlapping another: those of its
 * tables and those of its code, held as two runs in chunks and read as one, so
 * that finding them holds 12 bytes per reference and no copy.
 */
class ImageReferences
{
public:
    size_t size() const { return m_tables.size() + m_code.size(); }
    /// The reference at @p location exactly, or null.
    const ImageReference *find(qint64 location) const;
    /// Calls @p visit for each reference whose bytes lie in [from, to), by location.
    template<typename Visit>
    void forEachWithin(qint64 from, qint64 to, Visit visit) const;
    template<typename Visit>
    void forEach(Visit visit) const { forEachWithin(0, qint64(1) << 40, visit); }

private:
    friend class ExecutableImage;
    using Run = std::deque<ImageReference>;
    static Run::const_iterator firstAt(const Run &run, qint64 location);

    Run m_tables;
    Run m_code;
};

template<typename Visit>
void ImageReferences::forEachWithin(qint64 from, qint64 to, Visit visit) const
{
    auto table = firstAt(m_tables, from);
    auto code = firstAt(m_code, from);
    const auto fits = [to](Run::const_iterator it, const Run &run) {
        return it != run.cend() && qint64(it->location) + referenceWidth(it->kind) <= to;
    };
    for (;;) {
        const bool tableFits = fits(table, m_tables);
        const bool codeFits = fits(code, m_code);
        if (!tableFits && !codeFits)
            return;
        // Neither run overlaps the other: whichever comes first, and past the end of the range, nothing more.
        if (tableFits && (!codeFits || table->location < code->location))
            visit(*table++);
        else
            visit(*code++);
    }
}

/**
 * The layout of an executable as its headers give it: which file offsets are
 * loaded at which addresses. Read from the first headerSize() bytes only, so it
 * can be read from a result whose later bytes are still being written.
 */
class ExecutableImage
{
public:
    static constexpr quint8 extractorVersion = 1;

    struct Segment
    {
        quint32 offset;
        quint32 size;
        quint32 address;
        bool executable;
    };

    /// Reads the headers; false (and an invalid image) when it is not an x86-64 PE or ELF image this reads.
    bool readLayout(const uchar *data, qint64 size);
    bool isValid() const { return !m_segments.empty(); }

    quint64 imageBase() const { return m_imageBase; }
    /// Every address of the image is below it.
    quint32 imageSize() const { return m_imageSize; }
    /// The bytes the layout was read from, [0, headerSize()).
    quint32 headerSize() const { return m_headerSize; }
    const std::vector<Segment> &segments() const { return m_segments; }

    /// The segment holding file offset @p offset, or null.
    const Segment *segmentAtOffset(qint64 offset) const;
    /// The segment loaded at @p address, or null (addresses without file bytes have none).
    const Segment *segmentAtAddress(quint32 address) const;

    /**
     * Every reference of the image: the relocation tables' absolute addresses,
     * the exception table's, ELF's relative relocations, and the rel32 and
     * RIP-relative forms of x86-64 code. @p data is the whole file the layout
     * was read from.
     */
    ImageReferences references(const uchar *data, qint64 size) const;

private:
    bool readPe(const uchar *data, qint64 size, quint32 peOffset);
    bool readElf(const uchar *data, qint64 size);
    bool sortSegments();
    void addPeTables(const uchar *data, qint64 size, std::deque<ImageReference> &found) const;
    void addElfTables(const uchar *data, qint64 size, std::deque<ImageReference> &found) const;
    void scanCode(const uchar *data, const std::deque<ImageReference> &tables, std::deque<ImageReference> &found) const;
    bool isInImage(qint64 address) const { return address >= 0 && address < qint64(m_imageSize); }

    bool m_pe = false;
    bool m_64 = true;
    quint64 m_imageBase = 0;
    quint32 m_imageSize = 0;
    quint32 m_headerSize = 0;
    std::vector<Segment> m_segments;
    // PE's data directories of the relocations and the exception table: address and size.
    quint32 m_relocations[2] = {0, 0};
    quint32 m_exceptions[2] = {0, 0};
};
