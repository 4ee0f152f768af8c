// The closure's scans of carried objects' text, shared with a second thread.
//
// transfer::close walks the carried objects breadth first: each object's
// text is scanned (scan_carried) and the references found join the walk,
// in order. The scan is nearly all of the walk's cost, and its result is a
// function of the object's text alone; what fixes the carried set, its
// order and its numbering is only the order in which the walk notes the
// references. So the walk lists here every object it has met but not yet
// reached, a second thread scans them ahead of it, and the walk takes each
// result in its own order: the results, and so the output, are those of one
// thread whichever thread scanned what and when.
//
// The listed objects are claimed in batches of consecutive ones (so that
// the threads meet once a batch, not once an object), from one counter, in
// the order listed. The walk, wanting an object whose batch no thread has
// claimed, claims it and scans its objects itself as it reaches them. When
// the second thread has the batch, the walk takes its results; while it is
// still being scanned, the walk scans the next whole unclaimed batch, and
// when none is left, the object itself: it never waits for a thread that a
// busy machine may not be running. The second thread claims only batches
// listed whole, and sleeps when it has caught up with the list. It never
// outlives the scan_ahead (the destructor joins it), and a
// failure on it (out of memory) is raised on the walk's thread when the
// walk reaches the batch it failed on, as if it had happened there (unless
// the walk scanned that batch itself meanwhile). When no thread can be
// started, the walk scans everything itself.
//
// A thread costs the walk 20 to 50 us to start; transfer::close shares its
// scans only once it has several times that much work listed ahead (see
// kAheadFrom).
#ifndef SHEETLAY_NUP_SCAN_AHEAD_H
#define SHEETLAY_NUP_SCAN_AHEAD_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>
#include <thread>
#include <vector>

#include "nup/pdfout.h"
#include "nup/scan.h"
#include "pdf/document.h"

namespace sheetlay::nup {

// The text of an object that holds its references: a stream's dictionary
// (never its data), else the object's body. False when it has none.
bool carried_text(const doc *d, const obj_entry *e, const unsigned char **t, int32_t *len);

// Whether a second thread can run beside this one at all.
bool second_core();

class scan_ahead {
public:
    // capacity: the most objects that will be listed (the walk lists each
    // input number at most once).
    scan_ahead(const doc *d, size_t capacity);
    ~scan_ahead();
    scan_ahead(const scan_ahead &) = delete;
    scan_ahead &operator=(const scan_ahead &) = delete;

    // Lists the next object (input number) to scan: objects are numbered
    // from 0 in the order listed. They reach the second thread at show().
    void list(int32_t num);
    void show();
    // Starts the second thread; false when none can be had.
    bool start();

    // The scan of listed object k, which the walk takes in order (each
    // once): scan_carried's references, result and *clean, valid until the
    // next take. text is false when the object is missing or has no text.
    struct result {
        const ref_at *refs;
        size_t count;
        bool text, ok, clean;
    };
    result take(size_t k);

    // Once every object is taken: tells the second thread to end, which
    // it does on its own (the destructor joins it). Joining it here would
    // keep the walk waiting for its last object and its exit.
    void finish();

    // Objects a batch holds.
    static constexpr size_t kBatch = 32;

private:
    struct item {
        int32_t num = 0;
        uint32_t count = 0;
        bool text = false, ok = false, clean = false;
        const ref_at *refs = nullptr;
    };
    // A batch, on cache lines of its own: the threads write different ones.
    struct alignas(64) batch {
        std::atomic<uint32_t> mark{0};
        item items[kBatch];
    };
    // References kept for the walk in blocks that never move.
    class arena {
    public:
        const ref_at *keep(const array<ref_at> &found);

    private:
        std::vector<std::unique_ptr<ref_at[]>> blocks_;
        ref_at *at_ = nullptr;
        size_t room_ = 0;
    };
    batch &batch_at(size_t b) const;
    item &at(size_t k) const { return batch_at(k / kBatch).items[k % kBatch]; }
    bool claim(size_t b);
    void scan(item &it, array<ref_at> &found, arena *keep);
    void scan_batch(size_t b, array<ref_at> &found, arena &keep);
    void work();
    void stop();

    // Read by both threads, written before the second one starts.
    const doc *d_;
    size_t capacity_;
    // Batches, in chunks whose table is sized once: the second thread reads
    // any batch below shown_ while the walk adds more.
    std::unique_ptr<std::unique_ptr<batch[]>[]> chunks_;
    std::thread worker_;
    // The walk's own.
    size_t listed_ = 0;      // objects
    size_t own_ = SIZE_MAX;  // the batch the walk claimed to scan as it goes
    array<ref_at> found_;    // the walk's own scans
    arena mine_;             // batches the walk scanned ahead
    // The two counters both threads use, each on a cache line of its own,
    // away from what either thread writes for itself.
    alignas(64) std::atomic<uint32_t> shown_{0};  // batches listed whole the second thread may claim
    alignas(64) std::atomic<uint32_t> next_{0};   // the first batch no thread has claimed
    // The second thread's own (read by the walk once the batch is marked).
    alignas(64) arena theirs_;
    std::exception_ptr failure_;
};

}  // namespace sheetlay::nup

#endif
