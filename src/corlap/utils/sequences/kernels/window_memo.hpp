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
//
// Given a directory, the direct table may instead be a file there that
// every process of the user scoring under the same tables and mode maps and
// fills together (see SharedBlock): worker processes then compute each
// distinct window about once between them instead of once each.
//
// A memo is used by one thread at a time (see MemoPool); the memos of a
// process draw their bytes from one MemoBudget, so that several of them
// together stay within the budget one alone may use.
#pragma once

#include <atomic>
#include <cfenv>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <utility>
#if defined(__unix__) || defined(__APPLE__)
#include <cerrno>
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#define CORLAP_SHARED_MEMO 1
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

// What a score's bits depend on besides the tables and the floating-point
// mode: the code that computes them and how it was compiled.  Raise
// CORLAP_KERNEL_ARITHMETIC with any change to the kernels that may move a
// score's last bit; the build passes the flags it compiles with
// (CORLAP_ARITHMETIC_FLAGS).  A shared memo file names all of it, so that
// two builds never serve each other's scores.
#define CORLAP_KERNEL_ARITHMETIC 1
#ifndef CORLAP_ARITHMETIC_FLAGS
#define CORLAP_ARITHMETIC_FLAGS "(flags not given)"
#endif
#define CORLAP_TEXT_OF(x) #x
#define CORLAP_TEXT(x) CORLAP_TEXT_OF(x)
inline constexpr char build_identity[] =
    "kernels " CORLAP_TEXT(CORLAP_KERNEL_ARITHMETIC) "; compiler " __VERSION__
    "; flags " CORLAP_ARITHMETIC_FLAGS "; float evaluation " CORLAP_TEXT(__FLT_EVAL_METHOD__)
#if defined(__FAST_MATH__)
    "; fast-math"
#endif
#if defined(__FP_FAST_FMA)
    "; fma"
#endif
#if defined(__x86_64__)
    "; x86_64"
#elif defined(__aarch64__)
    "; aarch64"
#endif
    ;

#if defined(CORLAP_SHARED_MEMO)
// A shared table's file may be cut short by another process while this one
// has it mapped (a cleaner, a user's truncate): touching a page past the
// file's new end raises SIGBUS, which would kill the scorer.  So the
// address range of every mapped table is listed here, and a SIGBUS inside
// one replaces that whole mapping, in place, with zeroed private memory:
// every entry then reads "not seen", the call computes those windows again
// (the same bits) and its memo is dropped when it is given back.  Any other
// SIGBUS goes to the handler that was there before, or ends the process as
// it would have.  The handler is installed with the first shared table, and
// put back before every later use of one: anything may install its own
// SIGBUS handler meanwhile (faulthandler.enable(), which pytest and many
// services call), and ours then goes in front of it, passing it on what is
// not ours.
class MappedTables {
public:
    static constexpr int size = 32;

    // The slot listing [base, base + bytes), or -1 (no room, or no handler).
    static int enter(void* base, size_t bytes) {
        if (!guard()) return -1;
        for (int i = 0; i < size; ++i) {
            Range& range = ranges_[i];
            bool expected = false;
            if (!range.taken.compare_exchange_strong(expected, true)) continue;
            range.replaced.store(false, std::memory_order_relaxed);
            range.end.store(reinterpret_cast<uintptr_t>(base) + bytes, std::memory_order_relaxed);
            range.begin.store(reinterpret_cast<uintptr_t>(base), std::memory_order_release);
            return i;
        }
        return -1;
    }

    static void leave(int slot) {
        Range& range = ranges_[slot];
        range.begin.store(0, std::memory_order_release);
        range.end.store(0, std::memory_order_relaxed);
        range.taken.store(false, std::memory_order_release);
    }

    // Was the table of `slot` cut short and replaced by private memory?
    static bool replaced(int slot) {
        return ranges_[slot].replaced.load(std::memory_order_acquire);
    }

    // Is our handler the one in place, put back in front of whichever
    // replaced it?  Called before each use of a mapped table.
    static bool guard() {
        if (!installed()) return false;
        struct sigaction current = {};
        if (::sigaction(SIGBUS, nullptr, &current) != 0) return false;
        if ((current.sa_flags & SA_SIGINFO) && current.sa_sigaction == on_sigbus) return true;
        static std::mutex mutex;
        std::lock_guard<std::mutex> lock(mutex);
        return install();
    }

private:
    // Zeroed as static storage is.
    struct Range {
        std::atomic<uintptr_t> begin;
        std::atomic<uintptr_t> end;
        std::atomic<bool> replaced;
        std::atomic<bool> taken;
    };

    static bool installed() {
        static const bool done = install();
        return done;
    }

    // Ours in place, in front of whatever was there (never ourselves: that
    // would loop).
    static bool install() {
        struct sigaction action = {};
        action.sa_sigaction = on_sigbus;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_RESTART;
        struct sigaction found = {};
        if (::sigaction(SIGBUS, &action, &found) != 0) return false;
        if (!((found.sa_flags & SA_SIGINFO) && found.sa_sigaction == on_sigbus)) {
            const int n = chained_.load(std::memory_order_relaxed);
            const int at = n < chain_size ? n : chain_size - 1;
            chain_[at] = found;
            chained_.store(at + 1, std::memory_order_release);
        }
        return true;
    }

    // Only async-signal-safe calls here (mmap, sigaction and sigpending are
    // system calls).
    static void on_sigbus(int signal, siginfo_t* info, void* context) {
        const uintptr_t address = reinterpret_cast<uintptr_t>(info->si_addr);
        if (info->si_code > 0) {  // a fault, not a signal someone sent
            for (Range& range : ranges_) {
                const uintptr_t begin = range.begin.load(std::memory_order_acquire);
                const uintptr_t end = range.end.load(std::memory_order_relaxed);
                if (begin == 0 || address < begin || address >= end) continue;
                void* fresh = ::mmap(reinterpret_cast<void*>(begin), end - begin,
                                     PROT_READ | PROT_WRITE,
                                     MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0);
                if (fresh != MAP_FAILED) {
                    range.replaced.store(true, std::memory_order_release);
                    return;  // the access runs again, on zeroed memory
                }
                break;
            }
        }
        // Not ours: to the handler found last.  One that passes it on
        // (raises it again: faulthandler, say, after its traceback) means
        // the handler it found, which is ours when we went in front of it
        // later: so the next one goes to the handler found before it, and
        // so on down to the default action, never round in a circle.
        const int at = chained_.load(std::memory_order_acquire) - 1 -
                       hops_.load(std::memory_order_relaxed);
        if (at >= 0) {
            const struct sigaction& previous = chain_[at];
            bool called = true;
            if (previous.sa_flags & SA_SIGINFO) {
                previous.sa_sigaction(signal, info, context);
            } else if (previous.sa_handler == SIG_IGN) {
                called = false;
            } else if (previous.sa_handler != SIG_DFL) {
                previous.sa_handler(signal);
            } else {
                called = false;
                default_action(signal, info);
            }
            if (called) {
                sigset_t pending;
                const bool again = ::sigpending(&pending) == 0 && sigismember(&pending, signal);
                hops_.store(again ? hops_.load(std::memory_order_relaxed) + 1 : 0,
                            std::memory_order_relaxed);
            }
            return;
        }
        default_action(signal, info);
    }

    // The default action: a fault comes again as the access runs again, a
    // signal someone sent is sent again (it is held until we return).
    static void default_action(int signal, siginfo_t* info) {
        struct sigaction fallback = {};
        fallback.sa_handler = SIG_DFL;
        sigemptyset(&fallback.sa_mask);
        ::sigaction(signal, &fallback, nullptr);
        if (info->si_code <= 0) ::raise(signal);
    }

    inline static Range ranges_[size];
    // The handlers found in place, oldest first (the last one is replaced
    // when it is full).
    static constexpr int chain_size = 8;
    inline static struct sigaction chain_[chain_size] = {};
    inline static std::atomic<int> chained_{0};
    // How many handlers down the chain the next SIGBUS not ours goes.
    inline static std::atomic<int> hops_{0};
};
#endif

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
    // Lets go of the block without freeing it (see WindowMemo::forget).
    void forget() {
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

// A direct table in a file that processes map together (MAP_SHARED).
//
// The file starts with a header naming everything the scores depend on
// (layout version, window length, floating-point mode, the tables' bytes),
// then, from the next page on, the entries.  Its name is a hash of the
// header; a process uses a file only if its header is byte for byte its
// own, so a hash collision or a file from another version is never served.
// A new file is written whole under a temporary name, its space reserved
// (a full file system fails here, not later as a fault on first touch) and
// then linked into place, so nobody maps half a file; whoever links first
// wins and the others map the winner's.  Only regular files of this user
// that nobody else may write are used, never through a symbolic link.  A
// file cut short while mapped costs recomputed windows, never a SIGBUS
// (see MappedTables); one cut short, replaced or removed between calls is
// seen before the next call uses it (intact).
// Entries are 8-byte words written and read whole (relaxed atomics), and
// equal windows always have equal scores, so processes racing on an entry
// store the same bits.
class SharedBlock {
public:
    SharedBlock() = default;
    SharedBlock(const SharedBlock&) = delete;
    SharedBlock& operator=(const SharedBlock&) = delete;
    ~SharedBlock() { release(); }

    bool attach(const std::string& directory, const unsigned char* header, size_t header_bytes,
                size_t entry_bytes) {
        release();
#if defined(CORLAP_SHARED_MEMO)
        const long page_size = sysconf(_SC_PAGESIZE);
        const size_t page = page_size > 0 ? static_cast<size_t>(page_size) : 4096;
        const size_t offset = (header_bytes + page - 1) / page * page;
        const size_t total = offset + entry_bytes;
        // FNV-1a of the header names the file.
        uint64_t hash = 0xcbf29ce484222325ull;
        for (size_t i = 0; i < header_bytes; ++i) hash = (hash ^ header[i]) * 0x100000001b3ull;
        char name[48];
        std::snprintf(name, sizeof name, "/dwm-memo-%016llx", static_cast<unsigned long long>(hash));
        const std::string path = directory + name;
        int fd = ::open(path.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0 && errno == ENOENT) fd = create(path, header, header_bytes, total);
        if (fd < 0) return false;
        struct stat status;
        const bool usable = ::fstat(fd, &status) == 0 && S_ISREG(status.st_mode) &&
                            status.st_uid == ::geteuid() && (status.st_mode & 022) == 0 &&
                            static_cast<uint64_t>(status.st_size) == total;
        void* base = usable ? ::mmap(nullptr, total, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0)
                            : MAP_FAILED;
        ::close(fd);
        if (base == MAP_FAILED) return false;
        const int slot = MappedTables::enter(base, total);
        // (Listed before the header is read: the file may be cut short now.)
        if (slot < 0 || std::memcmp(base, header, header_bytes) != 0 ||
            MappedTables::replaced(slot)) {
            if (slot >= 0) MappedTables::leave(slot);
            ::munmap(base, total);
            return false;
        }
        slot_ = slot;
        path_ = path;
        device_ = status.st_dev;
        inode_ = status.st_ino;
        base_ = base;
        mapped_ = total;
        entries_ = reinterpret_cast<uint64_t*>(static_cast<unsigned char*>(base) + offset);
        entry_bytes_ = entry_bytes;
        return true;
#else
        (void)directory, (void)header, (void)header_bytes, (void)entry_bytes;
        return false;
#endif
    }

    void release() {
#if defined(CORLAP_SHARED_MEMO)
        if (slot_ >= 0) MappedTables::leave(slot_);
        if (base_ != nullptr) ::munmap(base_, mapped_);
        slot_ = -1;
        path_.clear();
#endif
        base_ = nullptr;
        mapped_ = 0;
        entries_ = nullptr;
        entry_bytes_ = 0;
    }

    uint64_t* entries() const { return entries_; }
    size_t bytes() const { return entry_bytes_; }

    // Was the mapped file cut short while in use (its entries are private
    // zeroes since)?
    bool cut_short() const {
#if defined(CORLAP_SHARED_MEMO)
        return slot_ >= 0 && MappedTables::replaced(slot_);
#else
        return false;
#endif
    }

    // Is the mapped file still whole and still the one under its name?  A
    // file cut short between calls would fault on the next use, and one
    // replaced or removed is no longer shared with anyone.
    bool intact() const {
#if defined(CORLAP_SHARED_MEMO)
        if (base_ == nullptr || cut_short() || !MappedTables::guard()) return false;
        struct stat status;
        return ::stat(path_.c_str(), &status) == 0 && status.st_dev == device_ &&
               status.st_ino == inode_ && static_cast<uint64_t>(status.st_size) == mapped_;
#else
        return false;
#endif
    }

private:
#if defined(CORLAP_SHARED_MEMO)
    // The file at `path`, made whole under a temporary name first; the
    // descriptor of whichever file got linked there, or -1.
    static int create(const std::string& path, const unsigned char* header, size_t header_bytes,
                      size_t total) {
        // Threads of one process may make files at once: each its own name.
        static std::atomic<unsigned> counter{0};
        const std::string temporary = path + "." + std::to_string(::getpid()) + "." +
                                      std::to_string(counter.fetch_add(1) + 1) + ".tmp";
        int fd = ::open(temporary.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd < 0) return -1;
        bool written = ::posix_fallocate(fd, 0, static_cast<off_t>(total)) == 0;
        for (size_t done = 0; written && done < header_bytes;) {
            const ssize_t n = ::pwrite(fd, header + done, header_bytes - done,
                                       static_cast<off_t>(done));
            if (n < 0 && errno == EINTR) continue;
            written = n > 0;
            if (written) done += static_cast<size_t>(n);
        }
        if (written && ::link(temporary.c_str(), path.c_str()) != 0) {
            ::close(fd);
            fd = errno == EEXIST ? ::open(path.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC) : -1;
        } else if (!written) {
            ::close(fd);
            fd = -1;
        }
        ::unlink(temporary.c_str());
        return fd;
    }
#endif

    void* base_ = nullptr;
    size_t mapped_ = 0;
    uint64_t* entries_ = nullptr;
    size_t entry_bytes_ = 0;
#if defined(CORLAP_SHARED_MEMO)
    int slot_ = -1;  // in MappedTables
    std::string path_;
    dev_t device_ = 0;
    ino_t inode_ = 0;
#endif
};

// The bytes of scores that the memos of a process hold together.  A memo
// takes its bytes here before it allocates them and gives them back once
// freed, so that what all of them hold at any moment stays within the
// budget.  When bytes are short, memos that no call uses right now are
// asked to make room first (the memo in use matters more than one that may
// never be used again); a memo that still gets no more bytes stops growing,
// as at its own limit.
class MemoBudget {
public:
    // reclaim(context, bytes, budget) frees what it can until `bytes` more
    // would fit; it must not take from this budget itself.
    using Reclaim = void (*)(void* context, size_t bytes, size_t budget);
    void reclaim_through(Reclaim reclaim, void* context) {
        reclaim_ = reclaim;
        context_ = context;
    }

    bool take(size_t bytes, size_t budget) {
        if (bytes > budget) return false;
        if (try_take(bytes, budget)) return true;
        if (reclaim_ == nullptr) return false;
        reclaim_(context_, bytes, budget);
        return try_take(bytes, budget);
    }
    void give(size_t bytes) { used_.fetch_sub(bytes, std::memory_order_relaxed); }
    size_t used() const { return used_.load(std::memory_order_relaxed); }
    // Counted anew (see MemoPool's fork handling).
    void set_used(size_t bytes) { used_.store(bytes, std::memory_order_relaxed); }

private:
    bool try_take(size_t bytes, size_t budget) {
        size_t used = used_.load(std::memory_order_relaxed);
        do {
            if (used > budget - bytes) return false;
        } while (!used_.compare_exchange_weak(used, used + bytes, std::memory_order_relaxed));
        return true;
    }

    std::atomic<size_t> used_{0};
    Reclaim reclaim_ = nullptr;
    void* context_ = nullptr;
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

    // From now on the memo's bytes count against `process` too (which must
    // outlive it), beside the other memos drawing from it.
    void draw_from(MemoBudget* process) {
        release();
        process_ = process;
    }

    // Was the memo filled under exactly these tables, length, mode, budget
    // and directory for sharing ("" for none)?  A memo that got no storage
    // at all (the budget was held by memos other calls were using) never
    // matches, so that a later call tries again instead of scoring without.
    bool matches(int64_t length, const TablePiece (&pieces)[2], uint64_t mode, size_t budget,
                 const std::string& share) const {
        if (!serving() || length_ != length || mode_ != mode || budget_ != budget ||
            table_bytes_ != pieces[0].bytes + pieces[1].bytes || share_ != share ||
            (shared() && !shared_.intact())) {
            return false;
        }
        return std::memcmp(tables_, pieces[0].data, pieces[0].bytes) == 0 &&
               std::memcmp(tables_ + pieces[0].bytes, pieces[1].data, pieces[1].bytes) == 0;
    }

    // Starts afresh for these tables, holding at most `budget` bytes of
    // scores, first sized for about `expected` distinct windows; with a
    // directory for sharing, a direct table there when one fits the budget.
    // False (and an empty memo) when even the tables cannot be copied.
    bool reset(int64_t length, const TablePiece (&pieces)[2], uint64_t mode, size_t budget,
               int64_t expected, const std::string& share) {
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
        share_ = share;
        if (!share.empty() && length <= max_direct_length && direct_bytes() <= budget &&
            take(direct_bytes())) {
            if (attach_shared()) return true;
            give(direct_bytes());
        }
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
        shared_.release();
        entries_ = nullptr;
        share_.clear();
        slots_ = 0;
        hash_bits_ = 0;
        count_ = 0;
        at_limit_ = false;
        full_ = false;
        peak_ = 0;
        give(taken_);
    }

    // In a child process forked while another thread was using the memo:
    // its state may be half changed, so its memory is left as it is (a copy
    // the child never touches) and only the file mapping, set once when it
    // was made, is let go.  Then the memo is empty, as new.
    void forget() {
        tables_ = nullptr;
        hash_.forget();
        direct_.forget();
        new (&share_) std::string();
        taken_ = 0;
        release();
    }

    // Bytes taken from the process's budget and not given back.
    size_t taken() const { return taken_; }

    // Could the memo serve calls under this budget and sharing directory?
    // A memo that could not is only memory held (and, when shared, a file
    // kept mapped) until the next call starts afresh anyway.
    bool kept_under(size_t budget, const std::string& share) const {
        return budget_ == budget && share_ == share;
    }

    // Started afresh with storage for scores (none when even its first
    // table found no room).
    bool serving() const { return tables_ != nullptr && (slots_ != 0 || entries_ != nullptr); }

    // Bytes held for scores, whether they are a direct table, and whether
    // that is shared with other processes.
    size_t bytes() const { return hash_.bytes() + direct_.bytes() + shared_.bytes(); }
    bool direct() const { return entries_ != nullptr; }
    bool shared() const { return shared_.entries() != nullptr; }
    // Shared, and its file was cut short during a call: to be dropped.
    bool cut_short() const { return shared_.cut_short(); }
    // The most bytes of scores held at once since the memo started afresh:
    // while a table is replaced by a larger one, both.  The budget bounds
    // this, not only what is held between calls.
    size_t peak_bytes() const { return peak_; }

    // Asks for the memory a later find(key) reads.
    void prefetch(uint64_t key) const {
        if (entries_ != nullptr) {
            fetch_early(entries_ + key);
        } else if (slots_ != 0) {
            fetch_early(hash_.as<Slot>() + slot_of(key));
        }
    }

    bool find(uint64_t key, double* score) const {
        if (entries_ != nullptr) {
            const uint64_t stored = __atomic_load_n(entries_ + key, __ATOMIC_RELAXED);
            if (stored == 0 || stored == kClaimed) return false;
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
        if (entries_ == nullptr && 2 * static_cast<uint64_t>(count_ + 1) > slots_ &&
            !at_limit_ && !grow()) {
            at_limit_ = true;
        }
        if (entries_ != nullptr) {
            if ((bits ^ kEmptyBits) == 0 || (bits ^ kEmptyBits) == kClaimed) return;
            __atomic_store_n(entries_ + key, bits ^ kEmptyBits, __ATOMIC_RELAXED);
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

    // Takes the direct table's entry of `key` for whoever fills the table
    // a block at a time (fill_memo): true when nobody had scored or taken
    // it.  A taken entry reads as not seen until a score is inserted there.
    bool claim(uint64_t key) {
        if (entries_ == nullptr) return false;
        uint64_t expected = 0;
        return __atomic_load_n(entries_ + key, __ATOMIC_RELAXED) == 0 &&
               __atomic_compare_exchange_n(entries_ + key, &expected, kClaimed, false,
                                           __ATOMIC_RELAXED, __ATOMIC_RELAXED);
    }

    // Moves to the direct table now, where the length allows it and it fits
    // the budget beside the hash table (for a caller about to fill it
    // whole); true when the memo serves from a direct table.
    bool go_direct() {
        if (entries_ != nullptr) return true;
        if (tables_ == nullptr || slots_ == 0 || length_ > max_direct_length ||
            hash_.bytes() + direct_bytes() > budget_) {
            return false;
        }
        return move_to_direct();
    }

private:
    // A direct table's entry that a filler has taken (see claim): the score
    // bits it stands for, kEmptyBits ^ 1, are a signalling NaN, which no
    // arithmetic returns.
    static constexpr uint64_t kClaimed = 1;

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

    // Bytes of the process's budget, taken before they are allocated and
    // given back once freed.
    bool take(size_t bytes) {
        if (process_ != nullptr && !process_->take(bytes, budget_)) return false;
        taken_ += bytes;
        return true;
    }
    void give(size_t bytes) {
        if (process_ != nullptr) process_->give(bytes);
        taken_ -= bytes;
    }

    bool allocate_hash(uint64_t slots) {
        const size_t need = slots * sizeof(Slot);
        if (need > budget_ || !take(need)) return false;
        if (!hash_.allocate(need)) {
            give(need);
            return false;
        }
        slots_ = slots;
        hash_bits_ = 0;
        while ((uint64_t{1} << hash_bits_) < slots) ++hash_bits_;
        holding(bytes());
        return true;
    }

    size_t direct_bytes() const {
        return (size_t{1} << (2 * length_)) * sizeof(uint64_t);
    }

    // Would the direct table cost at most four times the doubled hash table,
    // and fit the budget beside the hash table while entries move?
    bool direct_pays() const {
        return length_ <= max_direct_length && 4 * 2 * hash_.bytes() >= direct_bytes() &&
               hash_.bytes() + direct_bytes() <= budget_;
    }

    void holding(size_t bytes) {
        if (bytes > peak_) peak_ = bytes;
    }

    // Doubles the hash table, or moves to the direct table once that pays.
    // Old and new storage both exist while entries move, and both count
    // against the budget.
    bool grow() {
        const size_t old_bytes = hash_.bytes();
        if (direct_pays()) return move_to_direct();
        const uint64_t slots = 2 * slots_;
        const size_t need = slots * sizeof(Slot);
        if (old_bytes + need > budget_ || !take(need)) return false;
        ZeroedBlock table;
        if (!table.allocate(need)) {
            give(need);
            return false;
        }
        holding(old_bytes + table.bytes());
        const Slot* old = hash_.as<Slot>();
        const uint64_t old_slots = slots_;
        hash_bits_ += 1;
        for (uint64_t s = 0; s < old_slots; ++s) {
            if (old[s].key != 0) put(table.as<Slot>(), slots, old[s].key - 1, old[s].bits);
        }
        hash_.swap(table);
        slots_ = slots;
        table.release();
        give(old_bytes);
        return true;
    }

    // The entries of the hash table moved into a new direct table.
    bool move_to_direct() {
        const size_t old_bytes = hash_.bytes();
        if (!take(direct_bytes())) return false;
        ZeroedBlock table;
        if (!table.allocate(direct_bytes())) {
            give(direct_bytes());
            return false;
        }
        holding(hash_.bytes() + table.bytes());
        uint64_t* entries = table.as<uint64_t>();
        const Slot* old = hash_.as<Slot>();
        for (uint64_t s = 0; s < slots_; ++s) {
            if (old[s].key != 0 && old[s].bits != kEmptyBits &&
                (old[s].bits ^ kEmptyBits) != kClaimed) {
                entries[old[s].key - 1] = old[s].bits ^ kEmptyBits;
            }
        }
        direct_.swap(table);
        entries_ = direct_.as<uint64_t>();
        hash_.release();
        give(old_bytes);
        slots_ = 0;
        return true;
    }

    // The shared direct table's file header: layout version, the build,
    // length, mode, sizes, then the tables.
    bool attach_shared() {
        struct Head {
            char magic[16];
            uint64_t version;
            char build[512];
            uint64_t length, mode, table_bytes;
        } head = {};
        static_assert(sizeof build_identity <= sizeof head.build, "build identity too long");
        std::memcpy(head.magic, "corlap dwm memo", 16);
        head.version = 3;  // 3: an entry may be taken by a filler (kClaimed)
        std::memcpy(head.build, build_identity, sizeof build_identity);
        head.length = static_cast<uint64_t>(length_);
        head.mode = mode_;
        head.table_bytes = table_bytes_;
        const size_t header_bytes = sizeof head + table_bytes_;
        unsigned char* header = static_cast<unsigned char*>(std::malloc(header_bytes));
        if (header == nullptr) return false;
        std::memcpy(header, &head, sizeof head);
        std::memcpy(header + sizeof head, tables_, table_bytes_);
        const bool attached = shared_.attach(share_, header, header_bytes, direct_bytes());
        std::free(header);
        entries_ = shared_.entries();
        holding(bytes());
        return attached;
    }

    unsigned char* tables_ = nullptr;
    size_t table_bytes_ = 0;
    int64_t length_ = -1;
    uint64_t mode_ = 0;
    size_t budget_ = 0;
    std::string share_;
    ZeroedBlock hash_;
    ZeroedBlock direct_;
    SharedBlock shared_;
    uint64_t* entries_ = nullptr;  // the direct table, private or shared
    uint64_t slots_ = 0;
    int hash_bits_ = 0;
    int64_t count_ = 0;
    bool at_limit_ = false;  // the storage will not grow any more
    bool full_ = false;      // no more windows are taken
    size_t peak_ = 0;        // see peak_bytes()
    MemoBudget* process_ = nullptr;  // see draw_from()
    size_t taken_ = 0;       // bytes taken from it and not given back
};

}  // namespace corlap::kernels
