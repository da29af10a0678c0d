// A memo of dinucleotide window scores, keyed by the window's codes.
//
// A window's score is a pure function of its L codes (all in 0..3), of the
// per-call scoring tables (the ScoreSide of both sides) and of the
// processor's floating-point mode.  So a score computed once may be copied
// for every later window with the same codes, for as long as those stay the
// same bit for bit.  The memo records the tables and the mode it was filled
// under and is only consulted when both match exactly; anything else starts
// it afresh.
//
// Keys pack the codes 2 bits per base, first base highest, so they fit in 64
// bits for windows of up to `max_length` bases.  Storage:
// - a hash table (open addressing, linear probing) holding key + 1 (0 marks
//   an empty slot) and the score's bits, grown by doubling as distinct
//   windows arrive: a short call pays in proportion to its windows;
// - a direct table of 4^L entries indexed by the key, once the distinct
//   windows seen make it cheaper than the hash table and it fits the budget.
//   An entry holds the score's bits XOR `kEmptyBits`, so that zeroed memory
//   reads as "not seen"; a score whose bits equal `kEmptyBits` (a signalling
//   NaN, which arithmetic never returns) is simply not kept.
//
// The memo never fails a call: when memory runs out or the byte budget is
// reached it stops taking new windows and keeps serving the ones it has.
// Memory comes zeroed from the system, so pages of a large table are only
// paid for when touched.
#pragma once

#include <cfenv>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <utility>
#if defined(__linux__)
#include <sys/mman.h>
#endif
#if defined(__x86_64__) || defined(__i386__)
#include <xmmintrin.h>
#endif

namespace corlap::kernels {

// The floating-point mode that results depend on: the rounding direction and,
// where the processor has them, flush-to-zero and denormals-are-zero (a
// library built with fast-math may switch these on for the whole process).
// Status flags are left out: they record what happened, not how.
inline uint64_t floating_point_mode() {
    uint64_t mode = static_cast<uint64_t>(static_cast<unsigned>(std::fegetround()));
#if defined(__x86_64__) || defined(__i386__)
    mode |= static_cast<uint64_t>(_mm_getcsr() & ~0x3Fu) << 32;
#elif defined(__aarch64__)
    mode |= static_cast<uint64_t>(__builtin_aarch64_get_fpcr()) << 32;
#endif
    return mode;
}

// Zeroed memory from the C library (calloc hands out fresh system pages for
// large blocks without writing them); large blocks are advised onto huge
// pages, since lookups land anywhere in them.
class ZeroedBlock {
public:
    ZeroedBlock() = default;
    ZeroedBlock(const ZeroedBlock&) = delete;
    ZeroedBlock& operator=(const ZeroedBlock&) = delete;
    ~ZeroedBlock() { release(); }

    bool allocate(size_t bytes) {
        release();
        void* p = std::calloc(bytes, 1);
        if (p == nullptr) return false;
#if defined(__linux__) && defined(MADV_HUGEPAGE)
        const uintptr_t huge = uintptr_t{2} << 20;
        if (bytes >= 2 * huge) {
            const uintptr_t begin = reinterpret_cast<uintptr_t>(p);
            const uintptr_t first = (begin + huge - 1) & ~(huge - 1);
            const uintptr_t last = (begin + bytes) & ~(huge - 1);
            if (last > first) madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
        }
#endif
        data_ = p;
        bytes_ = bytes;
        return true;
    }
    void release() {
        std::free(data_);
        data_ = nullptr;
        bytes_ = 0;
    }
    void swap(ZeroedBlock& other) {
        std::swap(data_, other.data_);
        std::swap(bytes_, other.bytes_);
    }
    template <class T>
    T* as() const { return static_cast<T*>(data_); }
    size_t bytes() const { return bytes_; }

private:
    void* data_ = nullptr;
    size_t bytes_ = 0;
};

// One contiguous piece of the tables a memo was filled under.
struct TablePiece {
    const void* data;
    size_t bytes;
};

// Starts loading the cache line of `p`.  Written out, because GCC 12 drops
// a __builtin_prefetch that is the only thing under a condition.
inline void fetch_early(const void* p) {
#if defined(__x86_64__) || defined(__i386__)
    asm volatile("prefetcht0 %0" : : "m"(*static_cast<const char*>(p)));
#elif defined(__aarch64__)
    asm volatile("prfm pldl1keep, %0" : : "Q"(*static_cast<const char*>(p)));
#else
    __builtin_prefetch(p);
#endif
}

class WindowMemo {
public:
    // Longest window whose key leaves a spare value for "empty".
    static constexpr int64_t max_length = 31;
    // Longest window for which a direct table may be used: 4^12 entries of
    // 8 bytes are 128 MiB.
    static constexpr int64_t max_direct_length = 12;
    static constexpr uint64_t kEmptyBits = 0x7FF1234567890ABCull;

    WindowMemo() = default;
    WindowMemo(const WindowMemo&) = delete;
    WindowMemo& operator=(const WindowMemo&) = delete;
    ~WindowMemo() { release(); }

    // Was the memo filled under exactly these tables, length, mode and
    // budget?
    bool matches(int64_t length, const TablePiece (&pieces)[2], uint64_t mode,
                 size_t budget) const {
        if (tables_ == nullptr || length_ != length || mode_ != mode || budget_ != budget ||
            table_bytes_ != pieces[0].bytes + pieces[1].bytes) {
            return false;
        }
        return std::memcmp(tables_, pieces[0].data, pieces[0].bytes) == 0 &&
               std::memcmp(tables_ + pieces[0].bytes, pieces[1].data, pieces[1].bytes) == 0;
    }

    // Starts afresh for these tables, holding at most `budget` bytes of
    // scores, first sized for about `expected` distinct windows.  False
    // (and an empty memo) when even the tables cannot be copied.
    bool reset(int64_t length, const TablePiece (&pieces)[2], uint64_t mode, size_t budget,
               int64_t expected) {
        release();
        const size_t table_bytes = pieces[0].bytes + pieces[1].bytes;
        tables_ = static_cast<unsigned char*>(std::malloc(table_bytes));
        if (tables_ == nullptr) return false;
        std::memcpy(tables_, pieces[0].data, pieces[0].bytes);
        std::memcpy(tables_ + pieces[0].bytes, pieces[1].data, pieces[1].bytes);
        table_bytes_ = table_bytes;
        length_ = length;
        mode_ = mode;
        budget_ = budget;
        uint64_t slots = 64;
        while (slots < 2 * static_cast<uint64_t>(expected) && slots < (uint64_t{1} << 20) &&
               2 * slots * sizeof(Slot) <= budget) {
            slots *= 2;
        }
        if (!allocate_hash(slots)) {
            full_ = true;
        } else if (direct_pays()) {
            // A call with windows enough to fill the direct table's worth.
            grow();
        }
        return true;
    }

    // Frees everything; the next call starts afresh.
    void release() {
        std::free(tables_);
        tables_ = nullptr;
        table_bytes_ = 0;
        length_ = -1;
        hash_.release();
        direct_.release();
        slots_ = 0;
        hash_bits_ = 0;
        count_ = 0;
        at_limit_ = false;
        full_ = false;
    }

    // Bytes held for scores, and whether they are a direct table.
    size_t bytes() const { return hash_.bytes() + direct_.bytes(); }
    bool direct() const { return direct_.bytes() != 0; }

    // Asks for the memory a later find(key) reads.
    void prefetch(uint64_t key) const {
        if (direct_.bytes() != 0) {
            fetch_early(direct_.as<uint64_t>() + key);
        } else if (slots_ != 0) {
            fetch_early(hash_.as<Slot>() + slot_of(key));
        }
    }

    bool find(uint64_t key, double* score) const {
        if (direct_.bytes() != 0) {
            const uint64_t stored = direct_.as<uint64_t>()[key];
            if (stored == 0) return false;
            const uint64_t bits = stored ^ kEmptyBits;
            std::memcpy(score, &bits, sizeof bits);
            return true;
        }
        if (slots_ == 0) return false;
        const Slot* table = hash_.as<Slot>();
        const uint64_t mask = slots_ - 1;
        for (uint64_t s = slot_of(key);; s = (s + 1) & mask) {
            if (table[s].key == key + 1) {
                std::memcpy(score, &table[s].bits, sizeof(double));
                return true;
            }
            if (table[s].key == 0) return false;
        }
    }

    // Keeps the score of a window not found before.
    void insert(uint64_t key, double score) {
        if (full_) return;
        uint64_t bits;
        std::memcpy(&bits, &score, sizeof bits);
        if (direct_.bytes() == 0 && 2 * static_cast<uint64_t>(count_ + 1) > slots_ &&
            !at_limit_ && !grow()) {
            at_limit_ = true;
        }
        if (direct_.bytes() != 0) {
            if (bits == kEmptyBits) return;
            direct_.as<uint64_t>()[key] = bits ^ kEmptyBits;
            ++count_;
            return;
        }
        // At the limit the hash table fills up to three quarters, then stops.
        if (4 * static_cast<uint64_t>(count_ + 1) > 3 * slots_) {
            full_ = true;
            return;
        }
        put(hash_.as<Slot>(), slots_, key, bits);
        ++count_;
    }

private:
    struct Slot {
        uint64_t key;   // window key + 1; 0: empty
        uint64_t bits;  // the score's bits
    };

    uint64_t slot_of(uint64_t key) const {
        return (key * 0x9E3779B97F4A7C15ull) >> (64 - hash_bits_);
    }

    void put(Slot* table, uint64_t slots, uint64_t key, uint64_t bits) const {
        const uint64_t mask = slots - 1;
        uint64_t s = slot_of(key);
        while (table[s].key != 0) s = (s + 1) & mask;
        table[s].key = key + 1;
        table[s].bits = bits;
    }

    bool allocate_hash(uint64_t slots) {
        if (slots * sizeof(Slot) > budget_ || !hash_.allocate(slots * sizeof(Slot))) {
            return false;
        }
        slots_ = slots;
        hash_bits_ = 0;
        while ((uint64_t{1} << hash_bits_) < slots) ++hash_bits_;
        return true;
    }

    // Doubles the hash table, or moves to the direct table once that pays.
    // Old and new storage both exist while entries move, and both count
    // against the budget.
    size_t direct_bytes() const {
        return (size_t{1} << (2 * length_)) * sizeof(uint64_t);
    }

    // Would the direct table cost at most four times the doubled hash table,
    // and fit the budget beside the hash table while entries move?
    bool direct_pays() const {
        return length_ <= max_direct_length && 4 * 2 * hash_.bytes() >= direct_bytes() &&
               hash_.bytes() + direct_bytes() <= budget_;
    }

    bool grow() {
        const size_t old_bytes = hash_.bytes();
        if (direct_pays()) {
            ZeroedBlock table;
            if (!table.allocate(direct_bytes())) return false;
            uint64_t* entries = table.as<uint64_t>();
            const Slot* old = hash_.as<Slot>();
            for (uint64_t s = 0; s < slots_; ++s) {
                if (old[s].key != 0 && old[s].bits != kEmptyBits) {
                    entries[old[s].key - 1] = old[s].bits ^ kEmptyBits;
                }
            }
            direct_.swap(table);
            hash_.release();
            slots_ = 0;
            return true;
        }
        const uint64_t slots = 2 * slots_;
        if (old_bytes + slots * sizeof(Slot) > budget_) return false;
        ZeroedBlock table;
        if (!table.allocate(slots * sizeof(Slot))) return false;
        const Slot* old = hash_.as<Slot>();
        const uint64_t old_slots = slots_;
        hash_bits_ += 1;
        for (uint64_t s = 0; s < old_slots; ++s) {
            if (old[s].key != 0) put(table.as<Slot>(), slots, old[s].key - 1, old[s].bits);
        }
        hash_.swap(table);
        slots_ = slots;
        return true;
    }

    unsigned char* tables_ = nullptr;
    size_t table_bytes_ = 0;
    int64_t length_ = -1;
    uint64_t mode_ = 0;
    size_t budget_ = 0;
    ZeroedBlock hash_;
    ZeroedBlock direct_;
    uint64_t slots_ = 0;
    int hash_bits_ = 0;
    int64_t count_ = 0;
    bool at_limit_ = false;  // the storage will not grow any more
    bool full_ = false;      // no more windows are taken
};

}  // namespace corlap::kernels
