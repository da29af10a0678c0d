// Memory of NumPy arrays made by the tracks layer's tasks, kept for reuse.
//
// A task makes some ten arrays of several MB per chunk.  Where the C
// library hands blocks that large straight back to the system on free (as
// it does in Dask's workers, which set MALLOC_TRIM_THRESHOLD_), every chunk
// pays for fresh zeroed pages again, and threads of one process queue on
// the kernel's lock of their address space meanwhile: a third more time
// per task, and worse scaling over threads.  The command line's own
// workers change the C library's settings instead (corlap._runs), but that
// is a setting of the whole process, not for a process a user owns.
//
// This is a NumPy memory handler (the data of arrays only) that keeps freed
// blocks of 256 KiB and more, up to 256 MiB in all, for the next array of a
// size it fits.  It is set by the task for its own thread's context only
// (NumPy keeps the handler in a context variable), so nothing else in the
// process allocates through it; an array remembers its handler, so blocks
// come back here whoever frees them.  Blocks are kept while any task is
// under way, and all handed back to the C library when the last one ends.
#include "pyref.hpp"

#define PY_ARRAY_UNIQUE_SYMBOL corlap_ARRAY_API
#define NO_IMPORT_ARRAY
#include <numpy/arrayobject.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <chrono>
#include <future>
#include <mutex>
#include <thread>

#include <pthread.h>

namespace corlap::task_memory {

namespace {

constexpr size_t smallest_kept = size_t(256) << 10;
constexpr size_t most_kept = size_t(256) << 20;
// Each block starts with a header holding its capacity; the data follows,
// aligned as the C library aligns.
constexpr size_t header = 64;
constexpr size_t granule = size_t(64) << 10;

struct Kept {
    std::mutex lock;
    std::multimap<size_t, void*> blocks;   // capacity -> block (its header)
    size_t held = 0;
    long users = 0;
};

// Never destroyed: arrays may outlive exit.
Kept* instance = new Kept();

Kept& kept() { return *instance; }

// A process forked while another thread holds the lock would wait on it
// forever: the lock is taken around fork, and the child starts afresh
// (the blocks kept by then are left to it, unused).
void before_fork() { instance->lock.lock(); }
void after_fork_in_parent() { instance->lock.unlock(); }
void after_fork_in_child() { instance = new Kept(); }

size_t capacity_of(void* data) {
    size_t capacity;
    std::memcpy(&capacity, static_cast<char*>(data) - header, sizeof capacity);
    return capacity;
}

void* fresh(size_t capacity, bool zeroed) {
    void* block = zeroed ? std::calloc(1, header + capacity) : std::malloc(header + capacity);
    if (block == nullptr) return nullptr;
    std::memcpy(block, &capacity, sizeof capacity);
    return static_cast<char*>(block) + header;
}

// A kept block of at least `size` bytes and at most an eighth more, or null.
void* reuse(size_t size) {
    Kept& k = kept();
    std::lock_guard<std::mutex> guard(k.lock);
    auto found = k.blocks.lower_bound(size);
    if (found == k.blocks.end() || found->first > size + size / 8) return nullptr;
    void* block = found->second;
    k.held -= found->first;
    k.blocks.erase(found);
    return static_cast<char*>(block) + header;
}

size_t rounded(size_t size) { return (size + granule - 1) / granule * granule; }

void* allocate(void*, size_t size) {
    if (size >= smallest_kept) {
        if (void* data = reuse(size)) return data;
        return fresh(rounded(size), false);
    }
    return fresh(size, false);
}

void* allocate_zeroed(void*, size_t count, size_t each) {
    if (each != 0 && count > SIZE_MAX / each) return nullptr;
    size_t size = count * each;
    if (size >= smallest_kept) {
        if (void* data = reuse(size)) {
            std::memset(data, 0, size);
            return data;
        }
        return fresh(rounded(size), true);
    }
    return fresh(size, true);
}

void release(void*, void* data, size_t) {
    if (data == nullptr) return;
    size_t capacity = capacity_of(data);
    void* block = static_cast<char*>(data) - header;
    if (capacity >= smallest_kept) {
        Kept& k = kept();
        std::lock_guard<std::mutex> guard(k.lock);
        if (k.users > 0 && k.held + capacity <= most_kept) {
            k.blocks.emplace(capacity, block);
            k.held += capacity;
            return;
        }
    }
    std::free(block);
}

void* reallocate(void* context, void* data, size_t size) {
    if (data == nullptr) return allocate(context, size);
    size_t capacity = capacity_of(data);
    if (size <= capacity) return data;
    void* grown = allocate(context, size);
    if (grown == nullptr) return nullptr;
    std::memcpy(grown, data, capacity);
    release(context, data, capacity);
    return grown;
}

PyDataMem_Handler handler = {
    "corlap_task_memory",
    1,
    {nullptr, allocate, allocate_zeroed, reallocate, release},
};

PyObject* capsule = nullptr;    // one for the process, never freed

}  // namespace

// Puts the handler in force for this thread's context and counts a user;
// returns the handler it replaces (to hand to leave), or null with an error.
PyObject* enter() {
    static const bool fork_safe =
        pthread_atfork(before_fork, after_fork_in_parent, after_fork_in_child) == 0;
    (void)fork_safe;
    if (capsule == nullptr) {
        capsule = PyCapsule_New(&handler, "mem_handler", nullptr);
        if (capsule == nullptr) return nullptr;
    }
    PyObject* previous = PyDataMem_SetHandler(capsule);
    if (previous == nullptr) return nullptr;
    Kept& k = kept();
    std::lock_guard<std::mutex> guard(k.lock);
    ++k.users;
    return previous;
}

// Puts `previous` back for this thread's context; the last user out hands
// the kept blocks back to the C library.
bool leave(PyObject* previous) {
    PyObject* ours = PyDataMem_SetHandler(previous);
    if (ours == nullptr) return false;
    Py_DECREF(ours);
    std::multimap<size_t, void*> freed;
    {
        Kept& k = kept();
        std::lock_guard<std::mutex> guard(k.lock);
        if (k.users > 0) --k.users;
        if (k.users == 0) {
            freed.swap(k.blocks);
            k.held = 0;
        }
    }
    for (auto& [capacity, block] : freed) std::free(block);
    return true;
}

// For the tests: another thread holds the lock for `seconds`, from before
// this returns.
void hold_lock(double seconds) {
    std::promise<void> taken;
    std::future<void> ready = taken.get_future();
    Kept* held_instance = instance;
    std::thread([held_instance, seconds, taken = std::move(taken)]() mutable {
        std::lock_guard<std::mutex> guard(held_instance->lock);
        taken.set_value();
        std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    }).detach();
    ready.wait();
}

// Bytes kept now (for the tests).
size_t held() {
    Kept& k = kept();
    std::lock_guard<std::mutex> guard(k.lock);
    return k.held;
}

}  // namespace corlap::task_memory
