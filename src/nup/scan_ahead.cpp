// The closure's scans on two threads (see scan_ahead.h).
//
// Batches are claimed by advancing next_ past them, so each object is
// scanned once; the second thread writes the results of a batch it claimed
// and then marks it done (release), and the walk reads them once it sees
// the mark (acquire). The second thread sleeps on shown_ when nothing is
// left to claim; the walk never waits.
#include "nup/scan_ahead.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <system_error>

#include "pdf/lexer.h"

namespace sheetlay::nup {

namespace {

// Batches a chunk holds (some 800 bytes each).
constexpr size_t kChunk = 64;
// References an arena block holds at least (12 bytes each).
constexpr size_t kBlock = 4096;
// shown_ once the second thread is to end.
constexpr uint32_t kStop = UINT32_MAX;
// A batch's mark: scanned by whichever thread claimed it, or failed there.
constexpr uint32_t kPending = 0, kDone = 1, kFailed = 2;

}  // namespace

bool carried_text(const doc *d, const obj_entry *e, const unsigned char **t, int32_t *len) {
    if (e->is_stream && !e->in_objstm) {
        if (e->dict_pos < 0 || e->stream_pos <= e->dict_pos || e->stream_pos > d->len) return false;
        *t = d->data + e->dict_pos;
        *len = e->stream_pos - e->dict_pos;
        return true;
    }
    return obj_body(d->data, d->len, e, t, len) != 0;
}

bool second_core() {
    static const bool two = std::thread::hardware_concurrency() >= 2;
    return two;
}

const ref_at *scan_ahead::arena::keep(const array<ref_at> &found) {
    const size_t n = found.size();
    if (n == 0) return nullptr;
    if (n > room_) {
        const size_t size = std::max(kBlock, n);
        blocks_.push_back(std::unique_ptr<ref_at[]>(new ref_at[size]));  // left unset: each is written before it is read
        at_ = blocks_.back().get();
        room_ = size;
    }
    ref_at *p = at_;
    std::memcpy(p, &found[0], n * sizeof(ref_at));
    at_ += n;
    room_ -= n;
    return p;
}

scan_ahead::scan_ahead(const doc *d, size_t capacity)
    : d_(d),
      capacity_(std::min(capacity, size_t{INT32_MAX})),
      chunks_(std::make_unique<std::unique_ptr<batch[]>[]>(capacity_ / (kBatch * kChunk) + 1)) {}

scan_ahead::~scan_ahead() { stop(); }

scan_ahead::batch &scan_ahead::batch_at(size_t b) const { return chunks_[b / kChunk][b % kChunk]; }

void scan_ahead::list(int32_t num) {
    // (The walk lists each number once: more than capacity_ is a fault.)
    if (listed_ >= capacity_) throw std::length_error("scan_ahead");
    if (listed_ % (kBatch * kChunk) == 0)
        chunks_[listed_ / (kBatch * kChunk)] = std::make_unique<batch[]>(kChunk);
    at(listed_++).num = num;
}

void scan_ahead::show() {
    const uint32_t whole = static_cast<uint32_t>(listed_ / kBatch);
    if (!worker_.joinable() || shown_.load(std::memory_order_relaxed) == whole) return;
    shown_.store(whole, std::memory_order_release);
    shown_.notify_one();
}

bool scan_ahead::start() {
    if (worker_.joinable()) return true;
    shown_.store(static_cast<uint32_t>(listed_ / kBatch), std::memory_order_relaxed);
    try {
        worker_ = std::thread([this] { work(); });
    } catch (const std::system_error &) {
        return false;  // no thread to be had: the walk scans everything
    }
    return true;
}

void scan_ahead::finish() {
    if (!worker_.joinable()) return;
    shown_.store(kStop, std::memory_order_release);
    shown_.notify_one();
    mine_ = arena();
}

void scan_ahead::stop() {
    finish();
    if (worker_.joinable()) worker_.join();
}

// Claims batch b when no thread has: next_ must stand at b.
bool scan_ahead::claim(size_t b) {
    uint32_t expected = static_cast<uint32_t>(b);
    return next_.compare_exchange_strong(expected, expected + 1, std::memory_order_relaxed);
}

// Scans a claimed object into its record; keep: the arena its references
// must outlive the call in (none for the walk's current object).
void scan_ahead::scan(item &it, array<ref_at> &found, arena *keep) {
    const obj_entry *e = objvec_find(&d_->objs, it.num);
    const unsigned char *t;
    int32_t len;
    it.text = e && carried_text(d_, e, &t, &len);
    if (!it.text) return;
    found.clear();
    bool clean = false;
    it.ok = scan_carried(t, len, found, &clean);
    it.clean = clean;
    it.count = static_cast<uint32_t>(found.size());
    it.refs = keep ? keep->keep(found) : (found.size() ? &found[0] : nullptr);
}

// Scans a claimed batch listed whole; the second thread gives up on it
// when it is to end (the walk has taken every object).
void scan_ahead::scan_batch(size_t b, array<ref_at> &found, arena &keep) {
    batch &ba = batch_at(b);
    for (item &it : ba.items) {
        if (shown_.load(std::memory_order_relaxed) == kStop) return;
        scan(it, found, &keep);
    }
}

void scan_ahead::work() {
    array<ref_at> found;
    for (;;) {
        const uint32_t shown = shown_.load(std::memory_order_acquire);
        if (shown == kStop) {
            // Every object is taken: what was kept for the walk goes now.
            theirs_ = arena();
            return;
        }
        uint32_t b = next_.load(std::memory_order_relaxed);
        if (b >= shown) {
            shown_.wait(shown, std::memory_order_acquire);
            continue;
        }
        if (!next_.compare_exchange_weak(b, b + 1, std::memory_order_relaxed)) continue;
        batch &ba = batch_at(b);
        try {
            scan_batch(b, found, theirs_);
        } catch (...) {
            // Raised where the walk reaches this batch; nothing more is
            // claimed here, so the walk scans the rest itself.
            failure_ = std::current_exception();
            ba.mark.store(kFailed, std::memory_order_release);
            return;
        }
        ba.mark.store(kDone, std::memory_order_release);
    }
}

scan_ahead::result scan_ahead::take(size_t k) {
    const size_t b = k / kBatch;
    item &it = at(k);
    if (b == own_) {
        scan(it, found_, nullptr);
        return result{it.refs, it.count, it.text, it.ok, it.clean};
    }
    batch &ba = batch_at(b);
    for (;;) {
        const uint32_t mark = ba.mark.load(std::memory_order_acquire);
        if (mark == kDone) break;
        if (mark == kFailed) {
            stop();
            std::rethrow_exception(failure_);
        }
        // Every batch before b was taken, so claimed: next_ stands at b or
        // past it.
        const uint32_t next = next_.load(std::memory_order_relaxed);
        if (next == b) {
            // Not claimed yet: the walk scans its objects as it reaches
            // them (the batch may not be listed whole yet).
            if (!claim(b)) continue;
            own_ = b;
            scan(it, found_, nullptr);
            return result{it.refs, it.count, it.text, it.ok, it.clean};
        }
        // The second thread has b: the walk scans the next batch listed
        // whole and unclaimed meanwhile; when none is left, it scans object
        // k itself rather than wait for a thread that may not be running.
        if ((next + 1) * kBatch <= listed_) {
            if (!claim(next)) continue;
            scan_batch(next, found_, mine_);
            batch_at(next).mark.store(kDone, std::memory_order_relaxed);
            continue;
        }
        item own;
        own.num = it.num;
        scan(own, found_, nullptr);
        return result{own.refs, own.count, own.text, own.ok, own.clean};
    }
    return result{it.refs, it.count, it.text, it.ok, it.clean};
}

}  // namespace sheetlay::nup
