// corlap._alignments: the 5' ends of the reads of an indexed BAM file, by
// region, without a Python object per read; and the corrected signal of
// their insertions (correct_interval, at the end of this file).
//
// A BAM file is a series of BGZF blocks (gzip members of at most 64 KiB of
// data each, their compressed size in an extra field), holding a header and
// then the alignment records, sorted by reference and position.  Its index
// (.bai, or .csi) maps bins of positions to "chunks" of virtual offsets
// (the block's file offset << 16 | the offset within its data).  A query
// starts at the first chunk that can hold a read overlapping the region
// and reads on until the records leave the region: the reads seen are
// those an index query of htslib returns, and a few more that do not
// overlap (those are passed over).
//
// Everything after the arguments runs without the GIL.  One reader may be
// used by several threads: reads go through pread, each query keeps its
// own buffers, and close waits for the queries under way.
//
// Not part of corlap's public interface: corlap.reads uses it for BAM
// files and goes through pysam for everything else.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <zlib.h>

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#endif

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace {

// A file that cannot be read as it should: its message becomes an OSError.
struct ReadError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

uint16_t le16(const uint8_t* p) { return uint16_t(p[0] | p[1] << 8); }
uint32_t le32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
uint64_t le64(const uint8_t* p) { return uint64_t(le32(p)) | uint64_t(le32(p + 4)) << 32; }
int32_t sle32(const uint8_t* p) { return int32_t(le32(p)); }

// --- files ------------------------------------------------------------------

class File {
public:
    explicit File(const std::string& path) {
        do {
            fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        } while (fd_ < 0 && errno == EINTR);
        if (fd_ < 0) throw ReadError(std::string(std::strerror(errno)));
        struct stat status;
        if (::fstat(fd_, &status) != 0) {
            int error = errno;
            ::close(fd_);
            throw ReadError(std::string(std::strerror(error)));
        }
        size_ = uint64_t(status.st_size);
    }
    File(const File&) = delete;
    File& operator=(const File&) = delete;
    ~File() {
        if (fd_ >= 0) ::close(fd_);
    }

    uint64_t size() const { return size_; }

    // Up to n bytes from offset; fewer only at the end of the file.
    size_t read_at(uint64_t offset, uint8_t* into, size_t n) const {
        size_t done = 0;
        while (done < n) {
            ssize_t got = ::pread(fd_, into + done, n - done, off_t(offset + done));
            if (got < 0) {
                if (errno == EINTR) continue;
                throw ReadError(std::string(std::strerror(errno)));
            }
            if (got == 0) break;
            done += size_t(got);
        }
        return done;
    }

private:
    int fd_ = -1;
    uint64_t size_ = 0;
};

// --- CRC32 ---------------------------------------------------------------------
//
// Every block's data is checked against its CRC32, as htslib checks it: a
// corrupt file must fail, not give numbers.  zlib computes it a byte or so
// per cycle, a quarter of the time of reading a well-compressed file; on
// x86-64 with carry-less multiplication it is folded 64 bytes at a time
// (Gopal et al., "Fast CRC computation for generic polynomials using
// PCLMULQDQ", Intel, 2009; constants of the bit-reflected gzip polynomial).

#if defined(__x86_64__) && defined(__GNUC__)
#define CRC_TARGET __attribute__((target("pclmul,sse4.1")))

CRC_TARGET inline __m128i load16(const uint8_t* p) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

// `into` carried over 128 bits and added to `next`.
CRC_TARGET inline __m128i fold16(__m128i into, __m128i next, __m128i k) {
    __m128i low = _mm_clmulepi64_si128(into, k, 0x00);
    __m128i high = _mm_clmulepi64_si128(into, k, 0x11);
    return _mm_xor_si128(_mm_xor_si128(high, next), low);
}

// The CRC register (not inverted) after `length` bytes, length >= 64 and
// a multiple of 16.
CRC_TARGET uint32_t crc32_folded(const uint8_t* data,
                                                                 size_t length,
                                                                 uint32_t crc) {
    alignas(16) static const uint64_t k1k2[] = {0x0154442bd4, 0x01c6e41596};
    alignas(16) static const uint64_t k3k4[] = {0x01751997d0, 0x00ccaa009e};
    alignas(16) static const uint64_t k5k0[] = {0x0163cd6124, 0x0000000000};
    alignas(16) static const uint64_t poly[] = {0x01db710641, 0x01f7011641};
    __m128i x1 = load16(data), x2 = load16(data + 16), x3 = load16(data + 32), x4 = load16(data + 48);
    x1 = _mm_xor_si128(x1, _mm_cvtsi32_si128(int(crc)));
    __m128i k = _mm_load_si128(reinterpret_cast<const __m128i*>(k1k2));
    data += 64;
    length -= 64;
    while (length >= 64) {
        __m128i y1 = _mm_clmulepi64_si128(x1, k, 0x00), y2 = _mm_clmulepi64_si128(x2, k, 0x00);
        __m128i y3 = _mm_clmulepi64_si128(x3, k, 0x00), y4 = _mm_clmulepi64_si128(x4, k, 0x00);
        x1 = _mm_clmulepi64_si128(x1, k, 0x11);
        x2 = _mm_clmulepi64_si128(x2, k, 0x11);
        x3 = _mm_clmulepi64_si128(x3, k, 0x11);
        x4 = _mm_clmulepi64_si128(x4, k, 0x11);
        x1 = _mm_xor_si128(_mm_xor_si128(x1, y1), load16(data));
        x2 = _mm_xor_si128(_mm_xor_si128(x2, y2), load16(data + 16));
        x3 = _mm_xor_si128(_mm_xor_si128(x3, y3), load16(data + 32));
        x4 = _mm_xor_si128(_mm_xor_si128(x4, y4), load16(data + 48));
        data += 64;
        length -= 64;
    }
    // Four lanes folded into one, then the remaining 16-byte pieces.
    k = _mm_load_si128(reinterpret_cast<const __m128i*>(k3k4));
    x1 = fold16(x1, x2, k);
    x1 = fold16(x1, x3, k);
    x1 = fold16(x1, x4, k);
    while (length >= 16) {
        x1 = fold16(x1, load16(data), k);
        data += 16;
        length -= 16;
    }
    // 128 bits to 64, then Barrett reduction to 32.
    __m128i mask = _mm_setr_epi32(~0, 0, ~0, 0);
    x2 = _mm_clmulepi64_si128(x1, k, 0x10);
    x1 = _mm_xor_si128(_mm_srli_si128(x1, 8), x2);
    k = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(k5k0));
    x2 = _mm_srli_si128(x1, 4);
    x1 = _mm_xor_si128(_mm_clmulepi64_si128(_mm_and_si128(x1, mask), k, 0x00), x2);
    k = _mm_load_si128(reinterpret_cast<const __m128i*>(poly));
    x2 = _mm_clmulepi64_si128(_mm_and_si128(x1, mask), k, 0x10);
    x2 = _mm_clmulepi64_si128(_mm_and_si128(x2, mask), k, 0x00);
    x1 = _mm_xor_si128(x1, x2);
    return uint32_t(_mm_extract_epi32(x1, 1));
}

const bool can_fold = __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse4.1");
#endif

// The gzip CRC32 of `length` bytes.
uint32_t crc32_of(const uint8_t* data, size_t length) {
    uint32_t crc = 0;
#if defined(__x86_64__) && defined(__GNUC__)
    if (can_fold && length >= 64) {
        size_t folded = length & ~size_t(15);
        crc = ~crc32_folded(data, folded, ~crc);
        data += folded;
        length -= folded;
    }
#endif
    return uint32_t(crc32_z(crc, data, length));
}

// --- BGZF ---------------------------------------------------------------------

constexpr size_t block_data_max = 65536;
// Compressed bytes read from the file at once.
constexpr size_t window_size = 1 << 20;

class Inflater {
public:
    Inflater() {
        std::memset(&stream_, 0, sizeof stream_);
        if (inflateInit2(&stream_, -15) != Z_OK) throw std::bad_alloc();
    }
    Inflater(const Inflater&) = delete;
    Inflater& operator=(const Inflater&) = delete;
    ~Inflater() { inflateEnd(&stream_); }

    // Raw deflate data into exactly `expected` bytes; false when it is not that.
    bool inflate_block(const uint8_t* data, size_t size, uint8_t* into, size_t expected) {
        if (inflateReset(&stream_) != Z_OK) return false;
        stream_.next_in = const_cast<Bytef*>(data);
        stream_.avail_in = uInt(size);
        stream_.next_out = into;
        stream_.avail_out = uInt(expected);
        int status = inflate(&stream_, Z_FINISH);
        return status == Z_STREAM_END && stream_.avail_out == 0;
    }

private:
    z_stream stream_;
};

// The data of a BGZF file, read on from a virtual offset.
class BgzfReader {
public:
    explicit BgzfReader(const File& file) : file_(file), window_(window_size) {}

    void seek(uint64_t virtual_offset) {
        next_block_ = virtual_offset >> 16;
        data_.clear();
        at_ = 0;
        size_t within = size_t(virtual_offset & 0xffff);
        if (!next() && within > 0) throw ReadError(where("an index points past the end"));
        if (within > data_.size()) throw ReadError(where("an index points outside a block"));
        at_ = within;
    }

    // n bytes into `into`; false at a clean end (no byte left at all).
    bool read(uint8_t* into, size_t n) {
        size_t done = 0;
        while (done < n) {
            if (at_ == data_.size()) {
                if (!next()) {
                    if (done == 0) return false;
                    throw ReadError(where("truncated: it ends inside a record"));
                }
                continue;
            }
            size_t take = std::min(n - done, data_.size() - at_);
            std::memcpy(into + done, data_.data() + at_, take);
            at_ += take;
            done += take;
        }
        return true;
    }

    void skip(size_t n) {
        while (n > 0) {
            if (at_ == data_.size()) {
                if (!next()) throw ReadError(where("truncated: it ends inside a record"));
                continue;
            }
            size_t take = std::min(n, data_.size() - at_);
            at_ += take;
            n -= take;
        }
    }

    std::string where(const char* what) const {
        return std::string(what) + " (BGZF block at byte " + std::to_string(block_start_) + ")";
    }

private:
    // The compressed bytes [offset, offset + n) of the file, from the window.
    const uint8_t* bytes(uint64_t offset, size_t n) {
        if (offset < window_start_ || offset + n > window_start_ + window_length_) {
            window_start_ = offset;
            window_length_ = file_.read_at(offset, window_.data(), window_.size());
            if (window_length_ < n) return nullptr;
        }
        return window_.data() + (offset - window_start_);
    }

    // Loads the next block holding data; false at the end of the file.
    bool next() {
        for (;;) {
            block_start_ = next_block_;
            if (next_block_ >= file_.size()) return false;
            const uint8_t* head = bytes(next_block_, 18);
            if (head == nullptr) throw ReadError(where("truncated BGZF block header"));
            if (head[0] != 31 || head[1] != 139 || head[2] != 8 || (head[3] & 4) == 0)
                throw ReadError(where("not a BGZF block"));
            size_t extra = le16(head + 10);
            head = bytes(next_block_, 12 + extra);
            if (head == nullptr) throw ReadError(where("truncated BGZF block header"));
            size_t block_size = 0;
            for (size_t k = 12; k + 4 <= 12 + extra;) {
                size_t length = le16(head + k + 2);
                if (head[k] == 'B' && head[k + 1] == 'C' && length == 2) {
                    block_size = size_t(le16(head + k + 4)) + 1;
                    break;
                }
                k += 4 + length;
            }
            if (block_size < 12 + extra + 8) throw ReadError(where("not a BGZF block"));
            const uint8_t* block = bytes(next_block_, block_size);
            if (block == nullptr) throw ReadError(where("truncated BGZF block"));
            uint32_t crc = le32(block + block_size - 8);
            size_t size = le32(block + block_size - 4);
            if (size > block_data_max) throw ReadError(where("corrupt BGZF block"));
            data_.resize(size);
            at_ = 0;
            const uint8_t* compressed = block + 12 + extra;
            size_t compressed_size = block_size - 12 - extra - 8;
            if (!inflater_.inflate_block(compressed, compressed_size, data_.data(), size))
                throw ReadError(where("corrupt BGZF block (it does not inflate)"));
            if (crc32_of(data_.data(), size) != crc)
                throw ReadError(where("corrupt BGZF block (CRC32 mismatch)"));
            next_block_ += block_size;
            if (size > 0) return true;
        }
    }

    const File& file_;
    std::vector<uint8_t> window_;
    uint64_t window_start_ = 0;
    size_t window_length_ = 0;
    uint64_t next_block_ = 0;
    uint64_t block_start_ = 0;
    std::vector<uint8_t> data_;
    size_t at_ = 0;
    Inflater inflater_;
};

// --- index --------------------------------------------------------------------

struct Chunk {
    uint64_t begin, end;
};

struct Bin {
    int64_t first, last;        // positions first..last-1
    std::vector<Chunk> chunks;
};

struct Reference {
    std::vector<Bin> bins;
    std::vector<uint64_t> linear;  // .bai: smallest offset per 16 kbp window
};

struct Index {
    int min_shift = 14;
    int depth = 5;
    std::vector<Reference> references;
};

class Cursor {
public:
    Cursor(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    const uint8_t* take(size_t n) {
        if (n > size_ - at_) throw ReadError("index truncated");
        const uint8_t* p = data_ + at_;
        at_ += n;
        return p;
    }
    uint32_t u32() { return le32(take(4)); }
    int32_t i32() { return sle32(take(4)); }
    uint64_t u64() { return le64(take(8)); }

private:
    const uint8_t* data_;
    size_t size_;
    size_t at_ = 0;
};

// Positions covered by a bin of the binning scheme.
Bin bin_span(uint32_t bin, int min_shift, int depth) {
    int64_t first_of_level = 0;
    for (int level = 0; level <= depth; ++level) {
        int64_t count = int64_t(1) << (3 * level);
        if (bin < first_of_level + count) {
            int shift = min_shift + 3 * (depth - level);
            int64_t k = int64_t(bin) - first_of_level;
            return Bin{k << shift, (k + 1) << shift, {}};
        }
        first_of_level += count;
    }
    return Bin{0, 0, {}};   // the pseudo-bin of metadata: overlaps nothing
}

Index parse_index(const std::vector<uint8_t>& raw) {
    Cursor in(raw.data(), raw.size());
    Index index;
    const uint8_t* magic = in.take(4);
    bool csi = std::memcmp(magic, "CSI\1", 4) == 0;
    if (!csi && std::memcmp(magic, "BAI\1", 4) != 0) throw ReadError("not a BAI or CSI index");
    if (csi) {
        index.min_shift = in.i32();
        index.depth = in.i32();
        int32_t aux = in.i32();
        if (index.min_shift < 1 || index.min_shift > 30 || index.depth < 1 ||
            index.depth > 10 || aux < 0)
            throw ReadError("malformed CSI index");
        in.take(size_t(aux));
    }
    int32_t references = in.i32();
    if (references < 0) throw ReadError("malformed index");
    index.references.resize(size_t(references));
    for (Reference& reference : index.references) {
        int32_t bins = in.i32();
        if (bins < 0) throw ReadError("malformed index");
        reference.bins.reserve(size_t(bins));
        for (int32_t b = 0; b < bins; ++b) {
            uint32_t number = in.u32();
            if (csi) in.u64();     // the bin's smallest offset: not needed
            int32_t chunks = in.i32();
            if (chunks < 0) throw ReadError("malformed index");
            Bin bin = bin_span(number, index.min_shift, index.depth);
            bin.chunks.resize(size_t(chunks));
            for (Chunk& chunk : bin.chunks) {
                chunk.begin = in.u64();
                chunk.end = in.u64();
            }
            if (bin.last > bin.first) reference.bins.push_back(std::move(bin));
        }
        if (!csi) {
            int32_t windows = in.i32();
            if (windows < 0) throw ReadError("malformed index");
            reference.linear.resize(size_t(windows));
            for (uint64_t& offset : reference.linear) offset = in.u64();
        }
    }
    return index;
}

std::vector<uint8_t> read_index_file(const std::string& path) {
    File file(path);
    std::vector<uint8_t> compressed(file.size());
    if (file.read_at(0, compressed.data(), compressed.size()) != compressed.size())
        throw ReadError("index truncated");
    // A .bai is plain; a .csi is BGZF, i.e. gzip members one after another.
    if (compressed.size() < 2 || compressed[0] != 31 || compressed[1] != 139)
        return compressed;
    std::vector<uint8_t> raw;
    z_stream stream;
    std::memset(&stream, 0, sizeof stream);
    if (inflateInit2(&stream, 15 + 32) != Z_OK) throw std::bad_alloc();
    stream.next_in = compressed.data();
    stream.avail_in = uInt(compressed.size());
    std::vector<uint8_t> buffer(1 << 16);
    for (;;) {
        stream.next_out = buffer.data();
        stream.avail_out = uInt(buffer.size());
        int status = inflate(&stream, Z_NO_FLUSH);
        raw.insert(raw.end(), buffer.data(), buffer.data() + (buffer.size() - stream.avail_out));
        if (status == Z_STREAM_END) {
            if (stream.avail_in == 0) break;
            inflateReset(&stream);      // the next member
            continue;
        }
        if (status != Z_OK) {
            inflateEnd(&stream);
            throw ReadError("corrupt index");
        }
    }
    inflateEnd(&stream);
    return raw;
}

// --- records --------------------------------------------------------------------

constexpr uint16_t flag_unmapped = 0x4;
constexpr uint16_t flag_reverse = 0x10;
// Unmapped, secondary, QC-failed, duplicate, supplementary.
constexpr uint16_t flags_left_out = 0x4 | 0x100 | 0x200 | 0x400 | 0x800;
constexpr size_t record_fixed = 32;

struct Ends {
    std::vector<int64_t> starts;    // reference starts of the forward reads taken
    std::vector<int64_t> ends;      // reference ends of the reverse reads taken
    int64_t left_out = 0;
};

// Bases of the reference an alignment covers: the lengths of its M, D, N,
// = and X operations (htslib's bam_cigar2rlen).
int64_t reference_length(const uint8_t* cigar, size_t operations) {
    int64_t length = 0;
    for (size_t k = 0; k < operations; ++k) {
        uint32_t op = le32(cigar + 4 * k);
        uint32_t kind = op & 0xf;
        if (kind == 0 || kind == 2 || kind == 3 || kind == 7 || kind == 8) length += op >> 4;
    }
    return length;
}

class BamFile {
public:
    BamFile(const std::string& path, const std::string& index_path)
        : file_(path), index_(parse_index(read_index_file(index_path))) {
        BgzfReader reader(file_);
        reader.seek(0);
        uint8_t head[8];
        if (!reader.read(head, 8) || std::memcmp(head, "BAM\1", 4) != 0)
            throw ReadError("not a BAM file");
        reader.skip(size_t(le32(head + 4)));
        uint8_t count[4];
        if (!reader.read(count, 4)) throw ReadError("truncated header");
        int32_t references = sle32(count);
        if (references < 0) throw ReadError("malformed header");
        for (int32_t k = 0; k < references; ++k) {
            uint8_t length[4];
            if (!reader.read(length, 4)) throw ReadError("truncated header");
            uint32_t name_length = le32(length);
            if (name_length == 0 || name_length > (1u << 20)) throw ReadError("malformed header");
            std::string name(name_length, '\0');
            if (!reader.read(reinterpret_cast<uint8_t*>(name.data()), name_length) ||
                !reader.read(length, 4))
                throw ReadError("truncated header");
            name.resize(name_length - 1);   // its NUL
            numbers_.emplace(name, k);
            names_.push_back(std::move(name));
            lengths_.push_back(sle32(length));
        }
    }

    const std::vector<std::string>& names() const { return names_; }
    const std::vector<int64_t>& lengths() const { return lengths_; }
    int number(const std::string& name) const {
        auto found = numbers_.find(name);
        return found == numbers_.end() ? -1 : found->second;
    }

    // The reads of reference `tid` overlapping first..last-1 (as an index
    // query of htslib finds them), through the filters.
    Ends ends(int tid, int64_t first, int64_t last, int min_mapq) const {
        Ends found;
        if (tid < 0 || size_t(tid) >= index_.references.size() || first >= last) return found;
        const Reference& reference = index_.references[size_t(tid)];
        uint64_t least = 0;
        if (!reference.linear.empty()) {
            size_t window = size_t(std::min<int64_t>(first >> index_.min_shift,
                                                      int64_t(reference.linear.size()) - 1));
            least = reference.linear[window];
        }
        uint64_t start = std::numeric_limits<uint64_t>::max();
        for (const Bin& bin : reference.bins) {
            if (bin.first >= last || bin.last <= first) continue;
            for (const Chunk& chunk : bin.chunks)
                if (chunk.end > least) start = std::min(start, chunk.begin);
        }
        if (start == std::numeric_limits<uint64_t>::max()) return found;
        BgzfReader reader(file_);
        reader.seek(start);
        std::vector<uint8_t> record(record_fixed);
        std::vector<uint8_t> cigar;
        for (;;) {
            uint8_t size_bytes[4];
            if (!reader.read(size_bytes, 4)) break;
            uint32_t size = le32(size_bytes);
            if (size < record_fixed) throw ReadError(reader.where("malformed record"));
            if (!reader.read(record.data(), record_fixed))
                throw ReadError(reader.where("truncated: it ends inside a record"));
            const uint8_t* r = record.data();
            int32_t ref = sle32(r);
            int64_t pos = sle32(r + 4);
            size_t name_length = r[8];
            int mapq = r[9];
            size_t operations = le16(r + 12);
            uint16_t flag = le16(r + 14);
            size_t rest = size - record_fixed;
            if (name_length + 4 * operations > rest)
                throw ReadError(reader.where("malformed record"));
            if (ref != tid || pos >= last) break;   // sorted: nothing further is in the region
            reader.skip(name_length);
            cigar.resize(4 * operations);
            if (operations > 0 && !reader.read(cigar.data(), 4 * operations))
                throw ReadError(reader.where("truncated: it ends inside a record"));
            reader.skip(rest - name_length - 4 * operations);
            int64_t covered = (flag & flag_unmapped) ? 0 : reference_length(cigar.data(), operations);
            int64_t end = pos + std::max<int64_t>(covered, 1);
            if (end <= first) continue;             // before the region
            if ((flag & flags_left_out) || mapq < min_mapq) {
                ++found.left_out;
            } else if (flag & flag_reverse) {
                if (operations == 0)
                    ++found.left_out;   // no alignment: no 5' end to place
                else
                    found.ends.push_back(end);
            } else {
                found.starts.push_back(pos);
            }
        }
        return found;
    }

private:
    File file_;
    Index index_;
    std::vector<std::string> names_;
    std::vector<int64_t> lengths_;
    std::unordered_map<std::string, int> numbers_;
};

// --- the Python type ------------------------------------------------------------

struct Reader {
    PyObject_HEAD
    BamFile* bam;
    // Queries hold it shared; close takes it whole, so a file is never
    // closed under a query.
    std::shared_mutex* in_use;
    PyObject* references;
    PyObject* lengths;
    PyObject* filename;
};

PyObject* read_error(const char* what) {
    PyErr_SetString(PyExc_OSError, what);
    return nullptr;
}

PyObject* Reader_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"path", "index_path", nullptr};
    PyObject* path_object = nullptr;
    PyObject* index_object = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O&O&:BamReader",
                                     const_cast<char**>(keywords), PyUnicode_FSConverter,
                                     &path_object, PyUnicode_FSConverter, &index_object))
        return nullptr;
    std::string path(PyBytes_AS_STRING(path_object), size_t(PyBytes_GET_SIZE(path_object)));
    std::string index_path(PyBytes_AS_STRING(index_object),
                           size_t(PyBytes_GET_SIZE(index_object)));
    Py_DECREF(index_object);
    BamFile* bam = nullptr;
    std::string failure;
    bool no_memory = false;
    Py_BEGIN_ALLOW_THREADS
    try {
        bam = new BamFile(path, index_path);
    } catch (const ReadError& error) {
        failure = error.what();
    } catch (const std::bad_alloc&) {
        no_memory = true;
    }
    Py_END_ALLOW_THREADS
    if (bam == nullptr) {
        Py_DECREF(path_object);
        if (no_memory) return PyErr_NoMemory();
        return read_error(failure.c_str());
    }
    Reader* self = reinterpret_cast<Reader*>(type->tp_alloc(type, 0));
    if (self == nullptr) {
        delete bam;
        Py_DECREF(path_object);
        return nullptr;
    }
    self->bam = bam;
    self->filename = path_object;
    self->in_use = new (std::nothrow) std::shared_mutex();
    self->references = PyTuple_New(Py_ssize_t(bam->names().size()));
    self->lengths = PyTuple_New(Py_ssize_t(bam->names().size()));
    if (self->in_use == nullptr || self->references == nullptr || self->lengths == nullptr) {
        Py_DECREF(self);
        return PyErr_NoMemory();
    }
    for (size_t k = 0; k < bam->names().size(); ++k) {
        PyObject* name = PyUnicode_DecodeFSDefaultAndSize(bam->names()[k].data(),
                                                          Py_ssize_t(bam->names()[k].size()));
        PyObject* length = PyLong_FromLongLong(bam->lengths()[k]);
        if (name == nullptr || length == nullptr) {
            Py_XDECREF(name);
            Py_XDECREF(length);
            Py_DECREF(self);
            return nullptr;
        }
        PyTuple_SET_ITEM(self->references, Py_ssize_t(k), name);
        PyTuple_SET_ITEM(self->lengths, Py_ssize_t(k), length);
    }
    return reinterpret_cast<PyObject*>(self);
}

void close_file(Reader* self) {
    if (self->bam == nullptr) return;
    BamFile* bam = self->bam;
    self->bam = nullptr;
    Py_BEGIN_ALLOW_THREADS
    { std::unique_lock<std::shared_mutex> whole(*self->in_use); }
    Py_END_ALLOW_THREADS
    delete bam;
}

void Reader_dealloc(Reader* self) {
    if (self->in_use != nullptr)
        close_file(self);
    else
        delete self->bam;
    delete self->in_use;
    Py_XDECREF(self->references);
    Py_XDECREF(self->lengths);
    Py_XDECREF(self->filename);
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
}

PyObject* bytes_of(const std::vector<int64_t>& values) {
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(values.data()),
                                     Py_ssize_t(values.size() * sizeof(int64_t)));
}

PyObject* Reader_ends(Reader* self, PyObject* args) {
    const char* name;
    long long first, last;
    int min_mapq;
    if (!PyArg_ParseTuple(args, "sLLi:ends", &name, &first, &last, &min_mapq)) return nullptr;
    // Held before the GIL is let go: close (which clears `bam` under the
    // GIL, then waits for the lock whole) cannot free the file under us.
    std::shared_lock<std::shared_mutex> held(*self->in_use);
    BamFile* bam = self->bam;
    if (bam == nullptr) return read_error("the reads file is closed");
    int tid = bam->number(name);
    Ends found;
    std::string failure;
    bool no_memory = false;
    Py_BEGIN_ALLOW_THREADS
    try {
        found = bam->ends(tid, first, last, min_mapq);
    } catch (const ReadError& error) {
        failure = error.what();
    } catch (const std::bad_alloc&) {
        no_memory = true;
    }
    held.unlock();
    Py_END_ALLOW_THREADS
    if (no_memory) return PyErr_NoMemory();
    if (!failure.empty()) return read_error(failure.c_str());
    PyObject* starts = bytes_of(found.starts);
    PyObject* ends = bytes_of(found.ends);
    PyObject* result = (starts && ends) ? Py_BuildValue("(OOL)", starts, ends,
                                                        (long long)found.left_out)
                                        : nullptr;
    Py_XDECREF(starts);
    Py_XDECREF(ends);
    return result;
}

PyObject* Reader_close(Reader* self, PyObject*) {
    close_file(self);
    Py_RETURN_NONE;
}

PyObject* Reader_enter(Reader* self, PyObject*) { return Py_NewRef(self); }

PyObject* Reader_exit(Reader* self, PyObject*) {
    close_file(self);
    Py_RETURN_FALSE;
}

PyMethodDef reader_methods[] = {
    {"ends", reinterpret_cast<PyCFunction>(Reader_ends), METH_VARARGS,
     "ends(name, first, last, min_mapq) -> (starts, ends, left_out)\n\n"
     "The reads of sequence `name` overlapping positions first..last-1, as an\n"
     "index query finds them.  Of those that are mapped, primary, not\n"
     "QC-failed, not duplicates and of mapping quality min_mapq or more:\n"
     "the reference starts of the forward reads and the reference ends of\n"
     "the reverse ones (that have an alignment), each as bytes of native\n"
     "int64 in file order; and the number of the others."},
    {"close", reinterpret_cast<PyCFunction>(Reader_close), METH_NOARGS, "Close the file."},
    {"__enter__", reinterpret_cast<PyCFunction>(Reader_enter), METH_NOARGS, nullptr},
    {"__exit__", reinterpret_cast<PyCFunction>(Reader_exit), METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef reader_members[] = {
    {"references", Py_T_OBJECT_EX, offsetof(Reader, references), Py_READONLY,
     "Names of the file's sequences, in its order."},
    {"lengths", Py_T_OBJECT_EX, offsetof(Reader, lengths), Py_READONLY,
     "Their lengths."},
    {"filename", Py_T_OBJECT_EX, offsetof(Reader, filename), Py_READONLY,
     "The file's path, as bytes."},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot reader_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(Reader_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(Reader_dealloc)},
    {Py_tp_methods, reader_methods},
    {Py_tp_members, reader_members},
    {Py_tp_doc, const_cast<char*>(
        "BamReader(path, index_path): a BAM file and its .bai or .csi index,\n"
        "read by region.")},
    {0, nullptr},
};

PyType_Spec reader_spec = {
    "corlap._alignments.BamReader", sizeof(Reader), 0, Py_TPFLAGS_DEFAULT, reader_slots,
};

// --- the corrected signal of an interval ----------------------------------------
//
// The float64 operations of corlap.correct's formulas, one position at a
// time, in the order that makes values independent of the chunks: each
// window sum of weights is the suffix of one block of 2h+1 positions
// (blocks laid from position 0) plus the prefix of the next, each summed
// from the block's edge inward.

struct Buffer {
    Py_buffer view{};
    bool held = false;
    ~Buffer() {
        if (held) PyBuffer_Release(&view);
    }
    bool take(PyObject* object, const char* name, char kind, bool writable) {
        if (PyObject_GetBuffer(object, &view,
                               PyBUF_C_CONTIGUOUS | PyBUF_FORMAT |
                                   (writable ? PyBUF_WRITABLE : 0)) != 0)
            return false;
        held = true;
        const char* format = view.format;
        if (format != nullptr && (*format == '=' || *format == '<' || *format == '@')) ++format;
        bool fits = view.itemsize == 8 && format != nullptr &&
                    (kind == 'd' ? std::strcmp(format, "d") == 0
                                 : (std::strcmp(format, "q") == 0 || std::strcmp(format, "l") == 0));
        if (!fits) {
            PyErr_Format(PyExc_TypeError, "%s must be a contiguous %s array", name,
                         kind == 'd' ? "float64" : "int64");
            return false;
        }
        return true;
    }
    Py_ssize_t size() const { return view.len / 8; }
    template <class T> T* data() const { return static_cast<T*>(view.buf); }
};

// The block sums of `padded` (positions base..top-1, blocks of `span` from
// base): suffix[k] sums k to its block's end, prefix[k] its block's start
// to k, except at a block's last position, where it is 0 (a window
// starting on a block's first position is that block alone).
void block_sums(const double* padded, size_t size, size_t span, double* suffix,
                double* prefix) {
    // Each block's sums are a chain of dependent additions; four blocks
    // side by side keep the adder busy, each summed in its own order.
    constexpr size_t lanes = 4;
    const size_t blocks = size / span;
    for (size_t first = 0; first < blocks; first += lanes) {
        const size_t count = std::min(lanes, blocks - first);
        double running[lanes];
        for (size_t j = 0; j < count; ++j) {
            size_t block = (first + j) * span;
            running[j] = padded[block];
            prefix[block] = running[j];
        }
        for (size_t k = 1; k < span; ++k)
            for (size_t j = 0; j < count; ++j) {
                size_t at = (first + j) * span + k;
                running[j] = running[j] + padded[at];
                prefix[at] = running[j];
            }
        for (size_t j = 0; j < count; ++j) {
            size_t last = (first + j) * span + span - 1;
            prefix[last] = 0.0;
            running[j] = padded[last];
            suffix[last] = running[j];
        }
        for (size_t k = span - 1; k-- > 0;)
            for (size_t j = 0; j < count; ++j) {
                size_t at = (first + j) * span + k;
                running[j] = running[j] + padded[at];
                suffix[at] = running[j];
            }
    }
}

PyObject* correct_interval(PyObject*, PyObject* args) {
    PyObject *plus_weights, *minus_weights, *plus_positions, *minus_positions;
    PyObject *observed_object, *expected_object, *corrected_object;
    long long lo, start, end, half;
    if (!PyArg_ParseTuple(args, "OOOOLLLLOOO:correct_interval", &plus_weights, &minus_weights,
                          &plus_positions, &minus_positions, &lo, &start, &end, &half,
                          &observed_object, &expected_object, &corrected_object))
        return nullptr;
    Buffer weights[2], positions[2], observed, expected, corrected;
    if (!weights[0].take(plus_weights, "weights", 'd', false) ||
        !weights[1].take(minus_weights, "weights", 'd', false) ||
        !positions[0].take(plus_positions, "positions", 'q', false) ||
        !positions[1].take(minus_positions, "positions", 'q', false) ||
        !observed.take(observed_object, "observed", 'd', true) ||
        !expected.take(expected_object, "expected", 'd', true) ||
        !corrected.take(corrected_object, "corrected", 'd', true))
        return nullptr;
    const int64_t hi = lo + weights[0].size();
    if (half < 0 || start < lo || end < start || end > hi || weights[1].size() != hi - lo ||
        observed.size() != end - start || expected.size() != end - start ||
        corrected.size() != end - start) {
        PyErr_SetString(PyExc_ValueError, "correct_interval: sizes do not agree");
        return nullptr;
    }
    for (const Buffer& strand : positions)
        for (Py_ssize_t k = 0; k < strand.size(); ++k) {
            int64_t q = strand.data<int64_t>()[k];
            if (q < lo || q >= hi) {
                PyErr_Format(PyExc_ValueError, "correct_interval: insertion at %lld outside "
                             "%lld..%lld", (long long)q, lo, (long long)(hi - 1));
                return nullptr;
            }
        }
    const size_t width = size_t(hi - lo), inner = size_t(end - start);
    // Blocks of 2h+1 positions laid from position 0, covering every window.
    const int64_t span = 2 * int64_t(half) + 1;
    auto floor_div = [](int64_t a, int64_t b) { return a >= 0 ? a / b : -((-a + b - 1) / b); };
    const int64_t base = floor_div(start - half, span) * span;
    const int64_t top = (floor_div(end - 1 + half, span) + 1) * span;
    bool no_memory = false;
    Py_BEGIN_ALLOW_THREADS
    try {
        double* obs = observed.data<double>();
        double* exp = expected.data<double>();
        const size_t size = size_t(top - base);
        // Every element below is written before it is read: no zeroing
        // passes beyond the counts.
        std::unique_ptr<unsigned char[]> weighted(new unsigned char[inner]);
        std::unique_ptr<int64_t[]> counts(new int64_t[width]);
        // Over base..top-1: the weights (0 where none), running totals of the
        // counts of weighted positions (integers: exact), block sums.
        std::unique_ptr<double[]> padded(new double[size]), suffix(new double[size]),
            prefix(new double[size]);
        std::unique_ptr<int64_t[]> running(new int64_t[size + 1]);
        // Positions before base or from top on lie in no window of the interval.
        const int64_t shift = lo - base;
        for (int s = 0; s < 2; ++s) {
            const double* w = weights[s].data<double>();
            std::fill(counts.get(), counts.get() + width, 0);
            const int64_t* at = positions[s].data<int64_t>();
            for (Py_ssize_t k = 0; k < positions[s].size(); ++k) ++counts[size_t(at[k] - lo)];
            running[0] = 0;
            for (size_t k = 0; k < size; ++k) {
                int64_t q = int64_t(k) - shift;
                bool has = q >= 0 && q < int64_t(width) && !std::isnan(w[q]);
                padded[k] = has ? w[q] : 0.0;
                running[k + 1] = running[k] + (has ? counts[size_t(q)] : 0);
            }
            block_sums(padded.get(), size, size_t(span), suffix.get(), prefix.get());
            for (size_t i = 0; i < inner; ++i) {
                size_t q = size_t(start - lo) + i;
                // The first strand's value is 0.0 + x: x itself (never -0.0).
                double count = double(counts[q]);
                obs[i] = s == 0 ? count : obs[i] + count;
                if (std::isnan(w[q])) {
                    if (s == 0) weighted[i] = 0;
                    continue;
                }
                size_t left = size_t(start - half - base) + i;     // p - h
                int64_t local = running[left + size_t(span)] - running[left];
                double share = local > 0
                    ? double(local) * w[q] / (suffix[left] + prefix[left + size_t(span) - 1])
                    : 0.0;
                if (s == 0 || !weighted[i]) {
                    exp[i] = share;
                    weighted[i] = 1;
                } else {
                    exp[i] = exp[i] + share;
                }
            }
        }
        double* cor = corrected.data<double>();
        for (size_t i = 0; i < inner; ++i) {
            if (!weighted[i]) exp[i] = std::numeric_limits<double>::quiet_NaN();
            cor[i] = obs[i] - exp[i];
        }
    } catch (const std::bad_alloc&) {
        no_memory = true;
    }
    Py_END_ALLOW_THREADS
    if (no_memory) return PyErr_NoMemory();
    Py_RETURN_NONE;
}

// For the tests: the CRC32 of a bytes-like object, as blocks are checked.
PyObject* block_crc32(PyObject*, PyObject* arg) {
    Py_buffer view;
    if (PyObject_GetBuffer(arg, &view, PyBUF_SIMPLE) != 0) return nullptr;
    uint32_t crc = crc32_of(static_cast<const uint8_t*>(view.buf), size_t(view.len));
    PyBuffer_Release(&view);
    return PyLong_FromUnsignedLong(crc);
}

PyMethodDef module_functions[] = {
    {"_block_crc32", block_crc32, METH_O, "CRC32 of a buffer, as BGZF blocks are checked (tests)."},
    {"correct_interval", correct_interval, METH_VARARGS,
     "correct_interval(plus_weights, minus_weights, plus_positions, minus_positions,\n"
     "                 lo, start, end, half, observed, expected, corrected)\n\n"
     "Fill observed, expected and corrected (float64, positions start..end-1)\n"
     "from the bias weights 2 ** score of each strand over lo..lo+len-1 (NaN:\n"
     "no weight) and the insertion positions of each strand (int64, in that\n"
     "range), with windows of half-width `half`."},
    {nullptr, nullptr, 0, nullptr},
};

int exec_module(PyObject* module) {
    PyObject* type = PyType_FromModuleAndSpec(module, &reader_spec, nullptr);
    if (type == nullptr) return -1;
    int status = PyModule_AddObjectRef(module, "BamReader", type);
    Py_DECREF(type);
    return status;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "_alignments",
    "The 5' ends of the reads of an indexed BAM file, by region (private).",
    0, module_functions, module_slots, nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__alignments(void) { return PyModuleDef_Init(&module_def); }
