// corlap._alignments: the 5' ends of the reads of an indexed BAM or CRAM
// file, by region, without a Python object per read; and the corrected
// signal of their insertions (correct_interval, at the end of this file).
//
// Reads are read by htslib, the copy that pysam ships and has already
// loaded into the process: its index, its iterator and its end of a read,
// so the reads of a region are those of an index query through pysam, and
// the index chosen beside a file is the one pysam and samtools choose.
// The extension is not linked to that library (its file name carries
// pysam's build tag): the first reader opens the loaded module again by
// its path (dlopen with RTLD_NOLOAD) and takes each function by name.  Of
// htslib's structures only bam1_t (and htsFormat's first two fields) is
// read, whose layout is part of the library's stable interface since 1.10
// (soname libhts.so.3); the rest stay opaque.  pysam's headers are
// therefore not needed to build; a test compares the copies with them.
// An index is loaded once in a child process before the first reader
// reads it (check_index): htslib's reader can crash on a damaged one.
//
// Everything after the arguments runs without the GIL.  One reader may be
// used by several threads: an htsFile with its header and index is not
// safe to share, so each query borrows one from the reader's pool (opening
// one when none is free) and gives it back; close waits for the queries
// under way.
//
// Not part of corlap's public interface: corlap.reads uses it.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <exception>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "array_argument.hpp"

namespace {

using corlap::ArrayArgument;

// A file that cannot be read as it should: its message becomes an OSError.
struct ReadError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// One that htslib failed to read, and said why on stderr (held back).
struct HtslibFailure : ReadError {
    using ReadError::ReadError;
};

// --- htslib, as pysam loaded it -------------------------------------------------

using hts_pos_t = int64_t;
struct htsFile;
struct sam_hdr_t;
struct hts_idx_t;
struct hts_itr_t;
struct BGZF;

// The leading fields of htsFormat (hts.h), and the two formats read here.
struct htsFormatHead {
    int category;
    int format;
};
constexpr int format_sam = 3, format_bam = 4, format_cram = 6;

struct bam1_core_t {
    hts_pos_t pos;
    int32_t tid;
    uint16_t bin;
    uint8_t qual;
    uint8_t l_extranul;
    uint16_t flag;
    uint16_t l_qname;
    uint32_t n_cigar;
    int32_t l_qseq;
    int32_t mtid;
    hts_pos_t mpos;
    hts_pos_t isize;
};

struct bam1_t {
    bam1_core_t core;
    uint64_t id;
    uint8_t* data;
    int l_data;
    uint32_t m_data;
    uint32_t mempolicy;
};

constexpr int query_cache_bytes = 1 << 20;
// The end of every query range (htslib's HTS_POS_MAX).
constexpr hts_pos_t pos_max = (int64_t(INT32_MAX) << 32) | INT32_MAX;

struct Htslib {
    const char* (*hts_version)();
    htsFile* (*hts_open)(const char*, const char*);
    int (*hts_close)(htsFile*);
    const htsFormatHead* (*hts_get_format)(htsFile*);
    int (*hts_set_fai_filename)(htsFile*, const char*);
    BGZF* (*hts_get_bgzfp)(htsFile*);
    sam_hdr_t* (*sam_hdr_read)(htsFile*);
    void (*sam_hdr_destroy)(sam_hdr_t*);
    int (*sam_hdr_nref)(const sam_hdr_t*);
    const char* (*sam_hdr_str)(sam_hdr_t*);
    size_t (*sam_hdr_length)(sam_hdr_t*);
    const char* (*sam_hdr_tid2name)(const sam_hdr_t*, int);
    hts_pos_t (*sam_hdr_tid2len)(const sam_hdr_t*, int);
    hts_idx_t* (*sam_index_load2)(htsFile*, const char*, const char*);
    void (*hts_idx_destroy)(hts_idx_t*);
    int (*hts_idx_get_stat)(const hts_idx_t*, int, uint64_t*, uint64_t*);
    hts_itr_t* (*sam_itr_queryi)(const hts_idx_t*, int, hts_pos_t, hts_pos_t);
    int (*hts_itr_next)(BGZF*, hts_itr_t*, void*, void*);
    void (*hts_itr_destroy)(hts_itr_t*);
    bam1_t* (*bam_init1)();
    void (*bam_destroy1)(bam1_t*);
    hts_pos_t (*bam_endpos)(const bam1_t*);
    int (*sam_read1)(htsFile*, sam_hdr_t*, bam1_t*);
    int (*hts_set_threads)(htsFile*, int);
    void (*hts_set_cache_size)(htsFile*, int);
    int (*hts_get_log_level)();
    void (*hts_set_log_level)(int);
};

Htslib hts;
// Interpreters with GILs of their own may load it at once.
std::atomic<bool> hts_ready{false};
std::mutex hts_loading;

template <class F>
bool take(void* library, const char* name, F& into, std::string& missing) {
    into = reinterpret_cast<F>(dlsym(library, name));
    if (into == nullptr) missing += std::string(missing.empty() ? "" : ", ") + name;
    return into != nullptr;
}

// Called with the GIL held: finds pysam's htslib once.
bool load_htslib() {
    if (hts_ready) return true;
    PyObject* module = PyImport_ImportModule("pysam.libchtslib");
    if (module == nullptr) return false;
    PyObject* file = PyObject_GetAttrString(module, "__file__");
    Py_DECREF(module);
    if (file == nullptr) return false;
    PyObject* encoded = nullptr;
    if (!PyUnicode_FSConverter(file, &encoded)) {
        Py_DECREF(file);
        return false;
    }
    Py_DECREF(file);
    std::string path(PyBytes_AS_STRING(encoded), size_t(PyBytes_GET_SIZE(encoded)));
    Py_DECREF(encoded);
    // Held only where no Python code runs, which could wait for this thread's GIL.
    std::lock_guard<std::mutex> once(hts_loading);
    if (hts_ready) return true;
    // Already loaded by the import: this takes a reference, loads nothing.
    void* library = dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (library == nullptr) {
        const char* why = dlerror();
        PyErr_Format(PyExc_ImportError, "cannot use pysam's htslib (%s): %s", path.c_str(),
                     why ? why : "not loaded");
        return false;
    }
    Htslib found;
    std::string missing;
    take(library, "hts_version", found.hts_version, missing);
    take(library, "hts_open", found.hts_open, missing);
    take(library, "hts_close", found.hts_close, missing);
    take(library, "hts_get_format", found.hts_get_format, missing);
    take(library, "hts_set_fai_filename", found.hts_set_fai_filename, missing);
    take(library, "hts_get_bgzfp", found.hts_get_bgzfp, missing);
    take(library, "sam_hdr_read", found.sam_hdr_read, missing);
    take(library, "sam_hdr_destroy", found.sam_hdr_destroy, missing);
    take(library, "sam_hdr_nref", found.sam_hdr_nref, missing);
    take(library, "sam_hdr_str", found.sam_hdr_str, missing);
    take(library, "sam_hdr_length", found.sam_hdr_length, missing);
    take(library, "sam_hdr_tid2name", found.sam_hdr_tid2name, missing);
    take(library, "sam_hdr_tid2len", found.sam_hdr_tid2len, missing);
    take(library, "sam_index_load2", found.sam_index_load2, missing);
    take(library, "hts_idx_destroy", found.hts_idx_destroy, missing);
    take(library, "hts_idx_get_stat", found.hts_idx_get_stat, missing);
    take(library, "sam_itr_queryi", found.sam_itr_queryi, missing);
    take(library, "hts_itr_next", found.hts_itr_next, missing);
    take(library, "hts_itr_destroy", found.hts_itr_destroy, missing);
    take(library, "bam_init1", found.bam_init1, missing);
    take(library, "bam_destroy1", found.bam_destroy1, missing);
    take(library, "bam_endpos", found.bam_endpos, missing);
    take(library, "sam_read1", found.sam_read1, missing);
    take(library, "hts_set_threads", found.hts_set_threads, missing);
    take(library, "hts_set_cache_size", found.hts_set_cache_size, missing);
    take(library, "hts_get_log_level", found.hts_get_log_level, missing);
    take(library, "hts_set_log_level", found.hts_set_log_level, missing);
    if (!missing.empty()) {
        dlclose(library);
        PyErr_Format(PyExc_ImportError, "pysam's htslib (%s) lacks %s", path.c_str(),
                     missing.c_str());
        return false;
    }
    // bam1_t has had the layout above since htslib 1.10.
    int major = 0, minor = 0;
    if (std::sscanf(found.hts_version(), "%d.%d", &major, &minor) != 2 ||
        major * 100 + minor < 110) {
        dlclose(library);
        PyErr_Format(PyExc_ImportError, "pysam's htslib is %s; 1.10 or later is needed",
                     found.hts_version());
        return false;
    }
    hts = found;    // the library stays loaded: its reference is never given back
    hts_ready = true;
    return true;
}

// htslib writes its messages to stderr, several lines for one damaged
// block, where corlap says what failed in one line of its own: its level
// is off while any reader works, and set back when the last one is done.
class Quiet {
public:
    Quiet() {
        std::lock_guard<std::mutex> lock(mutex_);
        if (working_++ == 0) {
            saved_ = hts.hts_get_log_level();
            hts.hts_set_log_level(0);
        }
    }
    Quiet(const Quiet&) = delete;
    Quiet& operator=(const Quiet&) = delete;
    ~Quiet() {
        std::lock_guard<std::mutex> lock(mutex_);
        if (--working_ == 0) hts.hts_set_log_level(saved_);
    }

private:
    static inline std::mutex mutex_;
    static inline int working_ = 0;
    static inline int saved_ = 0;
};

// --- records --------------------------------------------------------------------

constexpr uint16_t flag_paired = 0x1;
constexpr uint16_t flag_reverse = 0x10;
// Unmapped, secondary, QC-failed, duplicate, supplementary.
constexpr uint16_t flags_left_out = 0x4 | 0x100 | 0x200 | 0x400 | 0x800;

// Which reads are taken beyond the fixed flags above.
struct Filter {
    int min_mapq = 0;
    uint16_t required = 0;          // flags a read must have all of (0x2: proper pairs)
    // Paired reads are taken only with |template length| in this range
    // (fragment_max < 0: any).
    int64_t fragment_min = 0, fragment_max = -1;

    bool takes(const bam1_core_t& core) const {
        if ((core.flag & flags_left_out) || core.qual < min_mapq ||
            (core.flag & required) != required)
            return false;
        if (fragment_max < 0 || !(core.flag & flag_paired)) return true;
        const int64_t size = core.isize < 0 ? -int64_t(core.isize) : int64_t(core.isize);
        return size >= fragment_min && size <= fragment_max;
    }
};

struct Ends {
    std::vector<int64_t> starts;    // reference starts of the forward reads taken
    std::vector<int64_t> ends;      // reference ends of the reverse reads taken
    int64_t left_out = 0;

    void add(const bam1_t* read, const Filter& filter) {
        const bam1_core_t& core = read->core;
        if (!filter.takes(core)) {
            ++left_out;
        } else if (core.flag & flag_reverse) {
            if (core.n_cigar == 0)
                ++left_out;     // no alignment: no 5' end to place
            else
                ends.push_back(hts.bam_endpos(read));
        } else {
            starts.push_back(core.pos);
        }
    }
};

// An open file with its header, index and a record: what one thread reads with.
struct Handle {
    htsFile* file = nullptr;
    sam_hdr_t* header = nullptr;
    hts_idx_t* index = nullptr;
    bam1_t* read = nullptr;
    bool cram = false;

    Handle() = default;
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    ~Handle() {
        if (read != nullptr) hts.bam_destroy1(read);
        if (index != nullptr) hts.hts_idx_destroy(index);
        if (header != nullptr) hts.sam_hdr_destroy(header);
        if (file != nullptr) hts.hts_close(file);
    }
};

// A child forked to run htslib alone ends as htslib makes it end: by the
// signal's own action (not a handler the parent installed, such as
// faulthandler's, which would write the parent's stack), and without a
// core file.
void in_child() {
    struct rlimit no_core = {0, 0};
    setrlimit(RLIMIT_CORE, &no_core);
    for (int number : {SIGSEGV, SIGBUS, SIGABRT, SIGFPE, SIGILL}) signal(number, SIG_DFL);
}

// What htslib says when `work`, which just failed, fails again in a
// child process with its messages on (to a pipe): ": REASON" of its
// last error line, or nothing.  Here, where several threads read at
// once, its messages stay off (see Quiet).
template <class Work>
std::string htslib_says(Work work) {
    int ends[2];
    if (pipe(ends) != 0) return "";
    pid_t child = fork();
    if (child == 0) {
        in_child();
        close(ends[0]);
        dup2(ends[1], 2);
        hts.hts_set_log_level(1);   // HTS_LOG_ERROR
        try {
            work();
        } catch (...) {
        }
        _exit(0);
    }
    close(ends[1]);
    if (child < 0) {
        close(ends[0]);
        return "";
    }
    std::string said;
    char buffer[4096];
    // A child that stays longer than this is not waited for.
    for (int waited = 0; waited < 10'000 && said.size() < (1 << 16);) {
        struct pollfd ready = {ends[0], POLLIN, 0};
        int polled = poll(&ready, 1, 100);
        if (polled < 0 && errno != EINTR) break;
        if (polled <= 0) {
            waited += 100;
            continue;
        }
        ssize_t got = read(ends[0], buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        said.append(buffer, size_t(got));
    }
    close(ends[0]);
    kill(child, SIGKILL);
    while (waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
    }
    // The last error line's text, after "[E::function] ".
    std::string reason;
    for (size_t at = 0; (at = said.find("[E::", at)) != std::string::npos; ++at) {
        size_t from = said.find("] ", at);
        size_t to = said.find('\n', at);
        if (from != std::string::npos && from < to) reason = said.substr(from + 2, to - from - 2);
    }
    return reason.empty() ? "" : ": " + reason;
}

// `path` opened for reading from its start; the index too unless `indexed` is false.
std::unique_ptr<Handle> open_handle(const std::string& path, const std::string& index_path,
                                    const std::string& reference, bool indexed) {
    auto handle = std::make_unique<Handle>();
    errno = 0;
    handle->file = hts.hts_open(path.c_str(), "r");
    // htslib says ENOEXEC for a format it does not know.
    if (handle->file == nullptr && errno == ENOEXEC) throw ReadError("not a BAM or CRAM file");
    if (handle->file == nullptr)
        throw HtslibFailure(errno != 0 ? std::strerror(errno) : "not a file htslib reads");
    int format = hts.hts_get_format(handle->file)->format;
    if (format == format_sam) throw ReadError("SAM text");
    if (format != format_bam && format != format_cram) throw ReadError("not a BAM or CRAM file");
    handle->cram = format == format_cram;
    if (format == format_cram && !reference.empty() &&
        hts.hts_set_fai_filename(handle->file, reference.c_str()) != 0)
        throw ReadError("cannot use the reference " + reference);
    handle->header = hts.sam_hdr_read(handle->file);
    if (handle->header == nullptr) throw HtslibFailure("malformed or truncated header");
    if (indexed) {
        handle->index = hts.sam_index_load2(handle->file, path.c_str(),
                                            index_path.empty() ? nullptr : index_path.c_str());
        if (handle->index == nullptr)
            throw HtslibFailure("no usable index: missing, damaged or not of this file");
    }
    // Queries in order seek back into blocks already inflated (a chunk's
    // flank, the next small scaffold): htslib keeps the last 16 at hand,
    // which on 20,000 scaffolds of 1 kbp makes a query per scaffold 9x faster.
    if (indexed) hts.hts_set_cache_size(handle->file, query_cache_bytes);
    handle->read = hts.bam_init1();
    if (handle->read == nullptr) throw std::bad_alloc();
    return handle;
}

class ReadsFile {
public:
    ReadsFile(std::string path, std::string index_path, std::string reference, bool indexed)
        : path_(std::move(path)), index_path_(std::move(index_path)),
          reference_(std::move(reference)), indexed_(indexed) {
        std::unique_ptr<Handle> first;
        try {
            first = open_handle(path_, index_path_, reference_, indexed_);
        } catch (const HtslibFailure& failure) {
            throw ReadError(failure.what() + htslib_says([&] {
                open_handle(path_, index_path_, reference_, indexed_);
            }));
        }
        cram_ = first->cram;
        const char* text = hts.sam_hdr_str(first->header);
        if (text != nullptr) header_.assign(text, hts.sam_hdr_length(first->header));
        int count = hts.sam_hdr_nref(first->header);
        for (int k = 0; k < count; ++k) {
            const char* name = hts.sam_hdr_tid2name(first->header, k);
            if (name == nullptr) throw ReadError("malformed header");
            numbers_.emplace(name, k);
            names_.emplace_back(name);
            lengths_.push_back(hts.sam_hdr_tid2len(first->header, k));
        }
        free_.push_back(std::move(first));
    }

    const std::vector<std::string>& names() const { return names_; }
    const std::string& header() const { return header_; }
    bool cram() const { return cram_; }
    const std::vector<int64_t>& lengths() const { return lengths_; }
    int number(const std::string& name) const {
        auto found = numbers_.find(name);
        return found == numbers_.end() ? -1 : found->second;
    }

    // The reads of reference `tid` overlapping first..last-1, as an index
    // query finds them, through the filters.
    Ends ends(int tid, int64_t first, int64_t last, const Filter& filter) {
        Ends found;
        first = std::max<int64_t>(first, 0);
        last = std::min<int64_t>(last, pos_max);
        if (tid < 0 || first >= last) return found;
        if (!indexed_) throw ReadError("opened without its index");
        try {
            Borrowed handle(*this);
            query(*handle, tid, first, last, filter, found);
        } catch (const HtslibFailure& failure) {
            throw ReadError(failure.what() + htslib_says([&] {
                Ends again;
                query(*fresh(), tid, first, last, filter, again);
            }));
        }
        return found;
    }

    // The reads of each of `tids` (whole sequences), through the filters.
    // A file whose reads lie mostly on those sequences is read from end to
    // end, which spares an index query and the first block's inflation per
    // sequence (on many small scaffolds, most of the time); else each
    // sequence is queried, so a large excluded sequence is never read.
    std::vector<Ends> ends_each(const std::vector<int>& tids, const Filter& filter,
                                bool may_stream) {
        std::vector<Ends> found(tids.size());
        if (!indexed_) throw ReadError("opened without its index");
        try {
            Borrowed handle(*this);
            each(*handle, tids, filter, may_stream, found);
        } catch (const HtslibFailure& failure) {
            throw ReadError(failure.what() + htslib_says([&] {
                std::vector<Ends> again(tids.size());
                each(*fresh(), tids, filter, may_stream, again);
            }));
        }
        return found;
    }

private:
    void each(Handle& handle, const std::vector<int>& tids, const Filter& filter, bool may_stream,
              std::vector<Ends>& found) {
        if (may_stream && worth_streaming(handle, tids)) {
            reserve(handle, tids, found);
            stream(tids, filter, placed(handle), found);
        } else {
            for (size_t k = 0; k < tids.size(); ++k)
                if (tids[k] >= 0) query(handle, tids[k], 0, pos_max, filter, found[k]);
        }
    }

    // A handle of its own (not the pool's, whose lock another thread may
    // have held when a child was forked).
    std::unique_ptr<Handle> fresh() { return open_handle(path_, index_path_, reference_, true); }

    // A handle of the pool for the length of a query.
    class Borrowed {
    public:
        explicit Borrowed(ReadsFile& owner) : owner_(owner) {
            {
                std::lock_guard<std::mutex> lock(owner_.pool_);
                if (!owner_.free_.empty()) {
                    handle_ = std::move(owner_.free_.back());
                    owner_.free_.pop_back();
                }
            }
            if (!handle_)
                handle_ = open_handle(owner_.path_, owner_.index_path_, owner_.reference_,
                                      owner_.indexed_);
        }
        ~Borrowed() {
            // After a failure htslib's stream keeps its error: not lent again.
            if (std::uncaught_exceptions() > 0) return;
            std::lock_guard<std::mutex> lock(owner_.pool_);
            try {
                owner_.free_.push_back(std::move(handle_));
            } catch (const std::bad_alloc&) {
                // not kept: the handle closes here
            }
        }
        Handle& operator*() { return *handle_; }

    private:
        ReadsFile& owner_;
        std::unique_ptr<Handle> handle_;
    };

    static void query(Handle& handle, int tid, int64_t first, int64_t last,
                      const Filter& filter, Ends& found) {
        hts_itr_t* iterator = hts.sam_itr_queryi(handle.index, tid, first, last);
        if (iterator == nullptr) throw HtslibFailure("the index cannot be queried (damaged?)");
        BGZF* data = hts.hts_get_bgzfp(handle.file);
        // Marks the record as of this sequence: after the loop it is of
        // another only if the iterator read one and stopped at it.
        handle.read->core.tid = tid;
        int status;
        try {
            while ((status = hts.hts_itr_next(data, iterator, handle.read, handle.file)) >= 0)
                found.add(handle.read, filter);
        } catch (...) {
            hts.hts_itr_destroy(iterator);
            throw;
        }
        hts.hts_itr_destroy(iterator);
        if (status < -1) throw HtslibFailure("truncated or corrupt");
        // An iterator ends, without a word, at a record of another sequence
        // (or of none) inside the blocks the index gives for this one: the
        // reads after it would be lost.  A sorted file and its own index
        // never have one there.  (A CRAM iterator keeps its own range.)
        const bam1_core_t& last_read = handle.read->core;
        if (!handle.cram && last_read.tid != tid)
            throw ReadError(foreign(handle.header, last_read, tid));
    }

    static std::string where(const sam_hdr_t* header, int tid) {
        const char* name = tid >= 0 ? hts.sam_hdr_tid2name(header, tid) : nullptr;
        return name != nullptr ? "'" + std::string(name) + "'" : "no sequence";
    }

    static std::string foreign(const sam_hdr_t* header, const bam1_core_t& read, int tid) {
        return "a read on " + where(header, read.tid) + " (at " + std::to_string(read.pos) +
               ") lies among the reads of " + where(header, tid) +
               ", where its index points: the file is not sorted by coordinate, or the "
               "index is not of this file";
    }

    // The records the index counts on the placed sequences, or none (no
    // counts: a CRAM index, an index without them).
    static std::optional<uint64_t> placed(Handle& handle) {
        if (handle.cram) return std::nullopt;
        uint64_t total = 0;
        int count = hts.sam_hdr_nref(handle.header);
        for (int tid = 0; tid < count; ++tid) {
            uint64_t mapped = 0, unmapped = 0;
            // A sequence without reads has no counts.
            if (hts.hts_idx_get_stat(handle.index, tid, &mapped, &unmapped) >= 0)
                total += mapped + unmapped;
        }
        return total;
    }

    // Whether the index says the reads outside `tids` are few.
    static bool worth_streaming(Handle& handle, const std::vector<int>& tids) {
        std::vector<bool> wanted;
        for (int tid : tids)
            if (tid >= 0) {
                if (size_t(tid) >= wanted.size()) wanted.resize(size_t(tid) + 1);
                wanted[size_t(tid)] = true;
            }
        uint64_t inside = 0, outside = 0;
        int count = hts.sam_hdr_nref(handle.header);
        for (int tid = 0; tid < count; ++tid) {
            uint64_t mapped = 0, unmapped = 0;
            if (hts.hts_idx_get_stat(handle.index, tid, &mapped, &unmapped) < 0)
                continue;   // no counts (a CRAM index, an index without them)
            (size_t(tid) < wanted.size() && wanted[size_t(tid)] ? inside : outside) +=
                mapped + unmapped;
        }
        return inside > 0 && outside <= inside / 8;
    }

    // Room for the reads the index counts on each sequence, so that the
    // arrays never move as they grow; pages nobody writes are never
    // touched.  A count past what the file could hold (a damaged index)
    // is not trusted.
    void reserve(Handle& indexed, const std::vector<int>& tids, std::vector<Ends>& found) {
        struct stat status;
        if (::stat(path_.c_str(), &status) != 0) return;
        // A BAM record takes more than 8 compressed bytes.
        const uint64_t most = uint64_t(status.st_size) / 8;
        for (size_t k = 0; k < tids.size(); ++k) {
            uint64_t mapped = 0, unmapped = 0;
            if (tids[k] < 0 ||
                hts.hts_idx_get_stat(indexed.index, tids[k], &mapped, &unmapped) < 0 ||
                mapped > most)
                continue;
            found[k].starts.reserve(size_t(mapped));
            found[k].ends.reserve(size_t(mapped));
        }
    }

    // Every record of the file in order, each kept as a whole-sequence
    // query of its sequence would keep it (overlapping 0..pos_max).
    void stream(const std::vector<int>& tids, const Filter& filter, std::optional<uint64_t> placed,
                std::vector<Ends>& found) {
        std::vector<Ends*> into;
        for (size_t k = 0; k < tids.size(); ++k)
            if (tids[k] >= 0) {
                if (size_t(tids[k]) >= into.size()) into.resize(size_t(tids[k]) + 1, nullptr);
                into[size_t(tids[k])] = &found[k];
            }
        std::unique_ptr<Handle> handle = open_handle(path_, index_path_, reference_, false);
        // Blocks inflate ahead in htslib's threads while this one reads
        // records.  Inflating and checking a block takes about twice as long
        // as reading its records, so one inflating thread would set the
        // pace; with two, this thread does, even on two cores.
        hts.hts_set_threads(handle->file, 2);
        int status;
        uint64_t number = 0, unplaced = 0;  // records read; the first unplaced one
        int last_tid = 0;
        while ((status = hts.sam_read1(handle->file, handle->header, handle->read)) >= 0) {
            ++number;
            const bam1_core_t& core = handle->read->core;
            if (core.tid < 0) {
                // The unplaced reads come last: once the index's count of
                // placed ones is read, nothing placed follows.  Else the
                // rest is read to find out: a placed read after an unplaced
                // one is one that a query would not find.
                if (unplaced == 0 && placed && number - 1 == *placed) break;
                if (unplaced == 0) unplaced = number;
                continue;
            }
            if (unplaced != 0 || core.tid < last_tid)
                throw ReadError("record " + std::to_string(number) + " (on " +
                                where(handle->header, core.tid) + ", at " +
                                std::to_string(core.pos) + ") comes after " +
                                (unplaced != 0 ? "record " + std::to_string(unplaced) +
                                                     ", which has no sequence"
                                               : "reads on " + where(handle->header, last_tid)) +
                                ": the file is not sorted by coordinate");
            last_tid = core.tid;
            // Sorted: nothing wanted follows the last sequence wanted.
            if (size_t(core.tid) >= into.size()) break;
            if (into[size_t(core.tid)] == nullptr) continue;
            if (core.pos >= pos_max || hts.bam_endpos(handle->read) <= 0) continue;
            into[size_t(core.tid)]->add(handle->read, filter);
        }
        if (status < -1) throw HtslibFailure("truncated or corrupt");
    }

    std::string path_, index_path_, reference_;
    bool indexed_ = true, cram_ = false;
    std::string header_;
    std::vector<std::string> names_;
    std::vector<int64_t> lengths_;
    std::unordered_map<std::string, int> numbers_;
    std::mutex pool_;
    std::vector<std::unique_ptr<Handle>> free_;
};

// --- the Python type ------------------------------------------------------------

struct Reader {
    PyObject_HEAD
    ReadsFile* reads;
    // Queries hold it shared; close takes it whole, so a file is never
    // closed under a query.
    std::shared_mutex* in_use;
    PyObject* references;
    PyObject* lengths;
    PyObject* filename;
    PyObject* header;
};

PyObject* read_error(const char* what) {
    PyErr_SetString(PyExc_OSError, what);
    return nullptr;
}

std::string path_string(PyObject* encoded) {
    return encoded == nullptr ? std::string()
                              : std::string(PyBytes_AS_STRING(encoded),
                                            size_t(PyBytes_GET_SIZE(encoded)));
}

// PyUnicode_FSConverter that lets None through as nullptr.
int optional_path(PyObject* object, void* into) {
    if (object == Py_None) {
        *static_cast<PyObject**>(into) = nullptr;
        return 1;
    }
    return PyUnicode_FSConverter(object, into);
}

PyObject* Reader_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"path", "index_path", "reference", "indexed", nullptr};
    PyObject* path_object = nullptr;
    PyObject* index_object = nullptr;
    PyObject* reference_object = nullptr;
    int indexed = 1;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O&|O&O&p:BamReader",
                                     const_cast<char**>(keywords), PyUnicode_FSConverter,
                                     &path_object, optional_path, &index_object,
                                     optional_path, &reference_object, &indexed))
        return nullptr;
    std::string path = path_string(path_object);
    std::string index_path = path_string(index_object);
    std::string reference = path_string(reference_object);
    Py_XDECREF(index_object);
    Py_XDECREF(reference_object);
    if (!load_htslib()) {
        Py_DECREF(path_object);
        return nullptr;
    }
    ReadsFile* reads = nullptr;
    std::string failure;
    bool no_memory = false;
    Py_BEGIN_ALLOW_THREADS
    try {
        Quiet quiet;
        reads = new ReadsFile(path, index_path, reference, indexed != 0);
    } catch (const ReadError& error) {
        failure = error.what();
    } catch (const std::bad_alloc&) {
        no_memory = true;
    }
    Py_END_ALLOW_THREADS
    if (reads == nullptr) {
        Py_DECREF(path_object);
        if (no_memory) return PyErr_NoMemory();
        return read_error(failure.c_str());
    }
    Reader* self = reinterpret_cast<Reader*>(type->tp_alloc(type, 0));
    if (self == nullptr) {
        delete reads;
        Py_DECREF(path_object);
        return nullptr;
    }
    self->reads = reads;
    self->filename = path_object;
    self->in_use = new (std::nothrow) std::shared_mutex();
    self->references = PyTuple_New(Py_ssize_t(reads->names().size()));
    self->lengths = PyTuple_New(Py_ssize_t(reads->names().size()));
    self->header = PyBytes_FromStringAndSize(reads->header().data(),
                                             Py_ssize_t(reads->header().size()));
    if (self->in_use == nullptr || self->references == nullptr || self->lengths == nullptr ||
        self->header == nullptr) {
        Py_DECREF(self);
        return PyErr_NoMemory();
    }
    for (size_t k = 0; k < reads->names().size(); ++k) {
        PyObject* name = PyUnicode_DecodeFSDefaultAndSize(reads->names()[k].data(),
                                                          Py_ssize_t(reads->names()[k].size()));
        PyObject* length = PyLong_FromLongLong(reads->lengths()[k]);
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
    if (self->reads == nullptr) return;
    ReadsFile* reads = self->reads;
    self->reads = nullptr;
    Py_BEGIN_ALLOW_THREADS
    { std::unique_lock<std::shared_mutex> whole(*self->in_use); }
    delete reads;
    Py_END_ALLOW_THREADS
}

void Reader_dealloc(Reader* self) {
    if (self->in_use != nullptr)
        close_file(self);
    else
        delete self->reads;
    delete self->in_use;
    Py_XDECREF(self->references);
    Py_XDECREF(self->lengths);
    Py_XDECREF(self->filename);
    Py_XDECREF(self->header);
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
}

PyObject* bytes_of(const std::vector<int64_t>& values) {
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(values.data()),
                                     Py_ssize_t(values.size() * sizeof(int64_t)));
}

PyObject* tuple_of(const Ends& found) {
    PyObject* starts = bytes_of(found.starts);
    PyObject* ends = bytes_of(found.ends);
    PyObject* result = (starts && ends)
        ? Py_BuildValue("(OOL)", starts, ends, (long long)found.left_out)
        : nullptr;
    Py_XDECREF(starts);
    Py_XDECREF(ends);
    return result;
}

// Runs `work` on the reader's file without the GIL; false with the
// exception set when it failed.
template <class Work>
bool without_gil(Reader* self, Work work) {
    // Held before the GIL is let go: close (which clears `reads` under the
    // GIL, then waits for the lock whole) cannot free the file under us.
    std::shared_lock<std::shared_mutex> held(*self->in_use);
    ReadsFile* reads = self->reads;
    if (reads == nullptr) {
        read_error("the reads file is closed");
        return false;
    }
    std::string failure;
    bool no_memory = false;
    Py_BEGIN_ALLOW_THREADS
    try {
        Quiet quiet;
        work(*reads);
    } catch (const ReadError& error) {
        failure = error.what();
    } catch (const std::bad_alloc&) {
        no_memory = true;
    }
    held.unlock();
    Py_END_ALLOW_THREADS
    if (no_memory) {
        PyErr_NoMemory();
        return false;
    }
    if (!failure.empty()) {
        read_error(failure.c_str());
        return false;
    }
    return true;
}

// The filter of min_mapq and the optional pairs = (required flags,
// fragment min, fragment max) of the Python calls.
bool filter_of(int min_mapq, PyObject* pairs, Filter& filter) {
    filter.min_mapq = min_mapq;
    if (pairs == nullptr || pairs == Py_None) return true;
    int required;
    long long low, high;
    if (!PyArg_ParseTuple(pairs, "iLL;pairs must be (required flags, fragment min, fragment max)",
                          &required, &low, &high))
        return false;
    filter.required = uint16_t(required);
    filter.fragment_min = low;
    filter.fragment_max = high;
    return true;
}

PyObject* Reader_ends(Reader* self, PyObject* args) {
    const char* name;
    long long first, last;
    int min_mapq;
    PyObject* pairs = nullptr;
    if (!PyArg_ParseTuple(args, "sLLi|O:ends", &name, &first, &last, &min_mapq, &pairs))
        return nullptr;
    Filter filter;
    if (!filter_of(min_mapq, pairs, filter)) return nullptr;
    Ends found;
    std::string wanted(name);
    if (!without_gil(self, [&](ReadsFile& reads) {
            found = reads.ends(reads.number(wanted), first, last, filter);
        }))
        return nullptr;
    return tuple_of(found);
}

PyObject* Reader_ends_each(Reader* self, PyObject* args) {
    PyObject* names;
    int min_mapq;
    int may_stream = 1;
    PyObject* pairs = nullptr;
    if (!PyArg_ParseTuple(args, "Oi|pO:ends_each", &names, &min_mapq, &may_stream, &pairs))
        return nullptr;
    Filter filter;
    if (!filter_of(min_mapq, pairs, filter)) return nullptr;
    PyObject* sequence = PySequence_Fast(names, "ends_each: names must be a sequence");
    if (sequence == nullptr) return nullptr;
    std::vector<std::string> wanted;
    for (Py_ssize_t k = 0; k < PySequence_Fast_GET_SIZE(sequence); ++k) {
        const char* name = PyUnicode_AsUTF8(PySequence_Fast_GET_ITEM(sequence, k));
        if (name == nullptr) {
            Py_DECREF(sequence);
            return nullptr;
        }
        wanted.emplace_back(name);
    }
    Py_DECREF(sequence);
    std::vector<Ends> found;
    if (!without_gil(self, [&](ReadsFile& reads) {
            std::vector<int> tids;
            for (const std::string& name : wanted) tids.push_back(reads.number(name));
            found = reads.ends_each(tids, filter, may_stream != 0);
        }))
        return nullptr;
    PyObject* result = PyList_New(Py_ssize_t(found.size()));
    if (result == nullptr) return nullptr;
    for (size_t k = 0; k < found.size(); ++k) {
        PyObject* item = tuple_of(found[k]);
        if (item == nullptr) {
            Py_DECREF(result);
            return nullptr;
        }
        PyList_SET_ITEM(result, Py_ssize_t(k), item);
        std::vector<int64_t>().swap(found[k].starts);   // freed as they are copied
        std::vector<int64_t>().swap(found[k].ends);
    }
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
     "ends(name, first, last, min_mapq, pairs=None) -> (starts, ends, left_out)\n\n"
     "The reads of sequence `name` overlapping positions first..last-1, as an\n"
     "index query finds them.  Of those that are mapped, primary, not\n"
     "QC-failed, not duplicates and of mapping quality min_mapq or more\n"
     "(and, given pairs = (required flags, fragment min, fragment max), that\n"
     "have every required flag and, when paired, a template length whose\n"
     "absolute value is from min to max; max < 0: any):\n"
     "the reference starts of the forward reads and the reference ends of\n"
     "the reverse ones (that have an alignment), each as bytes of native\n"
     "int64 in file order; and the number of the others."},
    {"ends_each", reinterpret_cast<PyCFunction>(Reader_ends_each), METH_VARARGS,
     "ends_each(names, min_mapq, may_stream=True, pairs=None)\n"
     "    -> [(starts, ends, left_out), ...]\n\n"
     "ends(name, 0, end, min_mapq, pairs) of each whole sequence named, in one call;\n"
     "read from end to end when worth it, unless may_stream is false."},
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
    {"header", Py_T_OBJECT_EX, offsetof(Reader, header), Py_READONLY,
     "The header's text, as bytes (not decoded: comments may be in any encoding)."},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot reader_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(Reader_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(Reader_dealloc)},
    {Py_tp_methods, reader_methods},
    {Py_tp_members, reader_members},
    {Py_tp_doc, const_cast<char*>(
        "BamReader(path, index_path=None, reference=None, indexed=True): a BAM or\n"
        "CRAM file read by region through htslib.  The index is htslib's choice\n"
        "beside the file unless index_path names one; reference is the FASTA file\n"
        "of a CRAM file.  indexed=False reads the header alone (no queries).")},
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
    ArrayArgument weights[2], positions[2], observed, expected, corrected;
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
    for (const ArrayArgument& strand : positions)
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

// --- an index loaded apart -------------------------------------------------------
//
// htslib's index reader can crash on a damaged file (it frees a pointer it
// never set), and so would the process.  A child loads the index first and
// makes a query of every sequence, as the reader later does; only htslib runs
// in it, and it leaves by _exit.

constexpr int child_loaded = 0, child_no_index = 2, child_not_reads = 3;

[[noreturn]] void load_in_child(const std::string& path, const std::string& index_path,
                                const std::string& reference) {
    in_child();
    // Nothing on the terminal (a sanitizer's report).
    int null = open("/dev/null", O_WRONLY);
    if (null >= 0) dup2(null, 2);
    hts.hts_set_log_level(0);
    htsFile* file = hts.hts_open(path.c_str(), "r");
    if (file == nullptr) _exit(child_not_reads);
    int format = hts.hts_get_format(file)->format;
    if (format != format_bam && format != format_cram) _exit(child_not_reads);
    if (format == format_cram && !reference.empty())
        hts.hts_set_fai_filename(file, reference.c_str());
    sam_hdr_t* header = hts.sam_hdr_read(file);
    if (header == nullptr) _exit(child_not_reads);
    hts_idx_t* index = hts.sam_index_load2(file, path.c_str(),
                                           index_path.empty() ? nullptr : index_path.c_str());
    if (index == nullptr) _exit(child_no_index);
    for (int tid = 0, count = hts.sam_hdr_nref(header); tid < count; ++tid) {
        uint64_t mapped, unmapped;
        hts.hts_idx_get_stat(index, tid, &mapped, &unmapped);
        hts_itr_t* iterator = hts.sam_itr_queryi(index, tid, 0, pos_max);
        if (iterator != nullptr) hts.hts_itr_destroy(iterator);
    }
    hts.hts_idx_destroy(index);
    _exit(child_loaded);
}

PyObject* check_index(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"path", "index_path", "reference", "timeout", nullptr};
    PyObject* path_object = nullptr;
    PyObject* index_object = nullptr;
    PyObject* reference_object = nullptr;
    double timeout = 60.0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O&|O&O&d:check_index",
                                     const_cast<char**>(keywords), PyUnicode_FSConverter,
                                     &path_object, optional_path, &index_object,
                                     optional_path, &reference_object, &timeout))
        return nullptr;
    std::string path = path_string(path_object);
    std::string index_path = path_string(index_object);
    std::string reference = path_string(reference_object);
    Py_DECREF(path_object);
    Py_XDECREF(index_object);
    Py_XDECREF(reference_object);
    if (!load_htslib()) return nullptr;
    pid_t child;
    Py_BEGIN_ALLOW_THREADS
    child = fork();
    if (child == 0) load_in_child(path, index_path, reference);
    Py_END_ALLOW_THREADS
    if (child < 0) return PyErr_SetFromErrno(PyExc_OSError);
    // Waited for in slices, the GIL taken between them: a stop (Ctrl-C)
    // is acted on, and a child that never ends (a damaged index can send
    // htslib's reader round a loop) is ended at the timeout.
    auto kill_child = [child] {
        kill(child, SIGKILL);
        while (waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
        }
    };
    int status = 0;
    double waited = 0.0, pause = 0.0005;
    for (;;) {
        pid_t done = 0;
        int failure = 0;
        Py_BEGIN_ALLOW_THREADS
        for (double slice = 0.0; slice < 0.1; slice += pause) {
            done = waitpid(child, &status, WNOHANG);
            if (done != 0) break;
            struct timespec nap = {0, long(pause * 1e9)};
            nanosleep(&nap, nullptr);
            waited += pause;
            pause = std::min(pause * 2, 0.02);
        }
        if (done < 0) failure = errno;
        Py_END_ALLOW_THREADS
        if (done < 0 && failure != EINTR) {
            kill_child();
            errno = failure;
            return PyErr_SetFromErrno(PyExc_OSError);
        }
        if (done > 0) break;
        if (PyErr_CheckSignals() < 0) {
            kill_child();
            return nullptr;
        }
        if (waited >= timeout) {
            kill_child();
            return Py_BuildValue("(si)", "hung", 0);
        }
    }
    if (WIFSIGNALED(status)) return Py_BuildValue("(si)", "died", WTERMSIG(status));
    int code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    const char* outcome = code == child_loaded ? "loaded"
                        : code == child_no_index ? "no index"
                        : code == child_not_reads ? "not reads"
                        : "died";
    return Py_BuildValue("(si)", outcome, 0);
}

// Where this file reads htslib's structures, and the constants it copies:
// the test suite compares them with the headers pysam ships, so that an
// htslib that changes them fails there, not in a user's run.
PyObject* layout(PyObject*, PyObject*) {
#define FIELD(type, field) \
    #type "." #field, Py_ssize_t(offsetof(type, field)), Py_ssize_t(sizeof(type::field))
#define VALUE(name, value) "const." name, Py_ssize_t(value), Py_ssize_t(0)
    return Py_BuildValue(
        "{s(nn)s(nn)s(nn)s(nn)s(nn)s(nn)s(nn)s(nn)s(nn)s(nn)s(nn)s(nn)s(nn)s(nn)s(nn)s(nn)"
        "s(nn)s(nn)s(nn)s(nn)s(nn)s(nn)}",
        FIELD(bam1_core_t, pos), FIELD(bam1_core_t, tid), FIELD(bam1_core_t, bin),
        FIELD(bam1_core_t, qual), FIELD(bam1_core_t, l_extranul), FIELD(bam1_core_t, flag),
        FIELD(bam1_core_t, l_qname), FIELD(bam1_core_t, n_cigar), FIELD(bam1_core_t, l_qseq),
        FIELD(bam1_core_t, mtid), FIELD(bam1_core_t, mpos), FIELD(bam1_core_t, isize),
        FIELD(bam1_t, core), FIELD(bam1_t, id), FIELD(bam1_t, data), FIELD(bam1_t, l_data),
        FIELD(htsFormatHead, category), FIELD(htsFormatHead, format),
        VALUE("sam", format_sam), VALUE("bam", format_bam), VALUE("cram", format_cram),
        VALUE("HTS_POS_MAX", pos_max));
#undef VALUE
#undef FIELD
}

PyMethodDef module_functions[] = {
    {"check_index", reinterpret_cast<PyCFunction>(check_index), METH_VARARGS | METH_KEYWORDS,
     "check_index(path, index_path=None, reference=None, timeout=60.0)\n"
     "    -> (outcome, signal)\n\n"
     "Load the index of the BAM or CRAM file at path, as BamReader would, in a\n"
     "child process.  outcome is 'loaded', 'no index' (none found, or htslib\n"
     "refused it), 'not reads' (not a BAM or CRAM file htslib opens), 'died'\n"
     "(with the signal that ended the child, 0 if it exited otherwise) or\n"
     "'hung' (not done within timeout seconds: ended)."},
    {"_layout", layout, METH_NOARGS,
     "{'struct.field': (offset, size)} of the htslib structures read here,\n"
     "and {'const.NAME': (value, 0)} of the constants copied."},
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
    "The 5' ends of the reads of an indexed BAM or CRAM file, by region (private).",
    0, module_functions, module_slots, nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__alignments(void) { return PyModuleDef_Init(&module_def); }
