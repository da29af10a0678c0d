// The window memos of a process, lent to scoring calls one thread at a time.
//
// Calls may score at once in several threads (the interpreter lock released
// around the loop over windows), with the same tables or with different
// ones.  A single memo would either need a lock on every lookup or be thrown
// away whenever the tables change from one call to the next.  So the process
// keeps a few memos, each filled under its own tables, and lends each to one
// call at a time:
//
//  - a call gets an idle memo filled under exactly its tables, length,
//    floating-point mode and settings; otherwise it starts afresh an empty
//    one, or else the one left idle longest; when every memo is out, it
//    scores without one (never waits);
//  - so threads scoring with the same tables at once each fill their own,
//    and threads with different tables keep theirs between calls;
//  - all of them draw their bytes from one MemoBudget: together they hold no
//    more than the budget one memo alone may hold, and a memo in use that
//    needs room gets it from idle ones, the one idle longest first.
//
// The lock is held only to pick a memo and to take it back, never while a
// memo is filled or read: a lent memo belongs to its borrower alone, and the
// lock orders one borrower's writes before the next one's reads.  Nothing
// here waits for the interpreter lock, so a holder of that lock may lend and
// take back memos too.
#pragma once

#include "window_memo.hpp"

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <new>
#include <string>
#if defined(__unix__) || defined(__APPLE__)
#include <pthread.h>
#endif

namespace corlap::kernels {

class MemoPool {
public:
    // Enough for the threads of a busy worker process, each with a model or
    // two; every memo past the first costs only its copy of the tables while
    // unused.
    static constexpr int size = 8;

    // A memo lent to one call.  `memo` is null when the call scores without
    // one; `fresh` when the borrower must start it afresh (WindowMemo::reset)
    // before its first use.
    struct Lease {
        WindowMemo* memo = nullptr;
        int slot = -1;
        bool fresh = false;
    };

    // What a memo held when it was last taken back: for the test hooks.
    struct Held {
        size_t bytes = 0;
        bool direct = false;
        bool shared = false;
        size_t peak = 0;
    };

    MemoPool() {
        process_.reclaim_through(reclaim, this);
        for (Slot& slot : slots_) slot.memo.draw_from(&process_);
        watch_forks(this);
    }
    MemoPool(const MemoPool&) = delete;
    MemoPool& operator=(const MemoPool&) = delete;

    // A memo for a call under these tables and settings (a budget of 0: no
    // memo).  Idle memos that cannot serve under these settings are dropped
    // on the way: they are only memory held (and, when shared, a file kept
    // mapped) until a call starts them afresh anyway.
    Lease lend(int64_t length, const TablePiece (&pieces)[2], uint64_t mode, size_t budget,
               const std::string& share) {
        std::lock_guard<std::mutex> lock(mutex_);
        settings_now(budget, share);
        Lease lease;
        if (budget == 0 || length > WindowMemo::max_length) return lease;
        int chosen = -1;
        for (int i = 0; i < size; ++i) {
            Slot& slot = slots_[i];
            if (!slot.lent && slot.filled &&
                slot.memo.matches(length, pieces, mode, budget, share)) {
                chosen = i;
                break;
            }
        }
        if (chosen < 0) {
            for (int i = 0; i < size; ++i) {
                const Slot& slot = slots_[i];
                if (slot.lent) continue;
                if (!slot.filled) {
                    chosen = i;
                    break;
                }
                if (chosen < 0 || slot.used_at < slots_[chosen].used_at) chosen = i;
            }
            if (chosen < 0) return lease;
            Slot& slot = slots_[chosen];
            slot.share = share;
            slot.budget = budget;
            slot.filled = true;
            lease.fresh = true;
        }
        Slot& slot = slots_[chosen];
        slot.lent = true;
        slot.used_at = ++clock_;
        last_ = chosen;
        lease.memo = &slot.memo;
        lease.slot = chosen;
        return lease;
    }

    // Takes a lent memo back; dropped at once when the settings changed
    // while it was out.
    void give_back(Lease& lease) {
        if (lease.memo == nullptr) return;
        std::lock_guard<std::mutex> lock(mutex_);
        Slot& slot = slots_[lease.slot];
        slot.lent = false;
        if (!slot.memo.serving() || !kept(slot) || slot.memo.cut_short()) {
            drop(slot);
        } else {
            slot.held = {slot.memo.bytes(), slot.memo.direct(), slot.memo.shared(),
                         slot.memo.peak_bytes()};
        }
        lease = Lease();
        returned_.notify_all();
    }

    // New settings: idle memos that cannot serve under them are dropped now.
    // True when some that cannot are lent out; wait_for_lent() then returns
    // once they came back (and were dropped).
    bool settle(size_t budget, const std::string& share) {
        std::lock_guard<std::mutex> lock(mutex_);
        settings_now(budget, share);
        return any_lent_unkept();
    }

    void wait_for_lent() {
        std::unique_lock<std::mutex> lock(mutex_);
        returned_.wait(lock, [this] { return !any_lent_unkept(); });
    }

    // The memo the latest call was lent, as it was taken back.
    Held last() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return last_ < 0 ? Held() : slots_[last_].held;
    }

private:
    struct Slot {
        WindowMemo memo;
        bool lent = false;
        bool filled = false;  // lent as fresh and not dropped since
        uint64_t used_at = 0;
        // The settings it was filled under.
        size_t budget = 0;
        std::string share;
        Held held;
    };

    bool kept(const Slot& slot) const {
        return slot.budget == budget_now_ && slot.share == share_now_;
    }

    void drop(Slot& slot) {
        slot.memo.release();
        slot.filled = false;
        slot.held = Held();
    }

    void settings_now(size_t budget, const std::string& share) {
        budget_now_ = budget;
        share_now_ = share;
        for (Slot& slot : slots_) {
            if (!slot.lent && slot.filled && !kept(slot)) drop(slot);
        }
    }

    // Drops idle memos, the one idle longest first, until `bytes` more fit
    // the budget.  Called by a borrower's memo as it grows, which holds no
    // lock then.
    static void reclaim(void* context, size_t bytes, size_t budget) {
        MemoPool& pool = *static_cast<MemoPool*>(context);
        std::lock_guard<std::mutex> lock(pool.mutex_);
        while (pool.process_.used() > budget - bytes) {
            Slot* oldest = nullptr;
            for (Slot& slot : pool.slots_) {
                if (!slot.lent && slot.filled &&
                    (oldest == nullptr || slot.used_at < oldest->used_at)) {
                    oldest = &slot;
                }
            }
            if (oldest == nullptr) return;
            pool.drop(*oldest);
        }
    }

    // A fork copies the pool into a child where only the forking thread
    // lives on.  The lock is held across the fork, so that the copy is
    // never half changed; in the child, the memos lent to other threads
    // would never come back (and may be half changed): they are forgotten.
    // One pool per process.
    static void watch_forks(MemoPool* pool) {
#if defined(__unix__) || defined(__APPLE__)
        static MemoPool* watched = nullptr;
        if (watched != nullptr) return;
        watched = pool;
        pthread_atfork([] { watched->mutex_.lock(); }, [] { watched->mutex_.unlock(); },
                       [] { watched->forked(); });
#else
        (void)pool;
#endif
    }

    void forked() {
        // Any thread waiting on it is gone with its thread.
        new (&returned_) std::condition_variable();
        size_t used = 0;
        for (Slot& slot : slots_) {
            if (slot.lent) {
                slot.memo.forget();
                slot.lent = false;
                slot.filled = false;
                slot.held = Held();
            }
            used += slot.memo.taken();
        }
        process_.set_used(used);
        mutex_.unlock();
    }

    bool any_lent_unkept() const {
        for (const Slot& slot : slots_) {
            if (slot.lent && !kept(slot)) return true;
        }
        return false;
    }

    mutable std::mutex mutex_;
    std::condition_variable returned_;
    MemoBudget process_;  // before the slots: their memos give back to it as they go
    Slot slots_[size];
    size_t budget_now_ = 0;  // the settings of the latest call or change
    std::string share_now_;
    uint64_t clock_ = 0;
    int last_ = -1;
};

}  // namespace corlap::kernels
