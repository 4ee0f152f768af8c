// The object streams' compression on a second thread (see compress_queue.h).
//
// One mutex guards the queue, the results and the flags; the compression
// itself runs outside it. Results are stored by index, so which thread
// compressed a text never shows in the output.
#include "nup/compress_queue.h"

#include <algorithm>
#include <system_error>
#include <utility>

#include "codec/deflate.h"

namespace sheetlay::nup {

namespace {

// The second thread starts once this many texts are handed over before
// the end; the first ones wait for it. A thread costs the writer about
// 20 us to start and about as much to end, and its first text about 150 us
// more than on the writing thread, whose encoder tables are faulted in
// already; an object stream takes 50 to 250 us (20 to 80 KB of text). Most
// of a job's object streams are filled in one burst at its end (the
// objects carried from the input are written last): the corpus's GeoTopo
// book hands over its two streams and the last within 0.4 ms, before a
// thread started at the second is up, and the thread then only made the
// writer wait for its start and its end (0.1 ms on an idle machine, a
// time slice of several ms on a busy one). A job of three or more streams
// before the last has enough left to share.
constexpr size_t kThreadFrom = 3;
// Only object streams come here. A sheet's content (some 200 bytes, about
// 3 us to compress) was tried: handing it over and back costs the writer
// as much as compressing it (a wake-up of the second thread each time).
//
// Text waiting for the second thread at most, in bytes (and always one
// text, whatever its size). A writer that outruns the second thread
// compresses the next text itself. A bound in bytes rather than texts lets
// the burst of small streams at the end of a job queue up while the second
// thread is on a large one, instead of the writer compressing them: three
// texts waiting at most left the second thread idle a third of the burst
// of the ten-fold GeoTopo job while the writer compressed 13 of its 28
// streams itself. What waits is shared at the end (see finish).
constexpr size_t kWaitingBytes = size_t{1} << 19;

}  // namespace

// Every result is held until the end of the job, and the encoder grows its
// output by doubling: each text is compressed into the thread's scratch
// (grown once, to the largest result) and kept as an exact-size copy, which
// holds about half the memory a grown string would.
static thread_local std::string t_scratch;

std::string compress_queue::compress(const std::string &text) const {
    if (fn_) return fn_(text);
    t_scratch.clear();
    deflate_compress_into(t_scratch, reinterpret_cast<const unsigned char *>(text.data()),
                          text.size(), kDeflateDefault);
    return std::string(t_scratch);
}

compress_queue::~compress_queue() { stop(); }

size_t compress_queue::size() const {
    std::lock_guard<std::mutex> lk(m_);
    return done_.size();
}

void compress_queue::raise_failure() {
    if (failed_) std::rethrow_exception(failed_);
}

void compress_queue::start() {
    try {
        worker_ = std::thread([this] { work(); });
        started_ = true;
    } catch (const std::system_error &) {
        single_ = true;  // no thread to be had: all on this one
    }
}

void compress_queue::stop() {
    {
        std::lock_guard<std::mutex> lk(m_);
        stop_ = true;
        queue_.clear();
        waiting_bytes_ = 0;
    }
    work_cv_.notify_all();
    if (worker_.joinable()) worker_.join();
}

void compress_queue::work() {
    std::unique_lock<std::mutex> lk(m_);
    for (;;) {
        work_cv_.wait(lk, [this] { return stop_ || closing_ || !queue_.empty(); });
        // Given up, or closing with nothing left: the thread ends, without
        // waiting to be woken again by the writer's join.
        if (stop_ || queue_.empty()) return;
        pending p = std::move(queue_.front());
        queue_.pop_front();
        waiting_bytes_ -= p.text.size();
        lk.unlock();
        std::string z;
        std::exception_ptr e;
        try {
            z = compress(p.text);
        } catch (...) {
            e = std::current_exception();
        }
        std::string().swap(p.text);
        lk.lock();
        if (e) {
            if (!failed_) failed_ = e;
        } else {
            done_[p.index] = std::move(z);
        }
    }
}

void compress_queue::submit(std::string text, bool last) {
    std::unique_lock<std::mutex> lk(m_);
    raise_failure();
    const size_t k = done_.size();
    done_.emplace_back();
    if (!started_ && !single_ && !last && k + 1 >= kThreadFrom) start();
    const bool room = queue_.empty() || text.size() <= kWaitingBytes - std::min(waiting_bytes_, kWaitingBytes);
    if (!single_ && (started_ || !last) && room) {
        waiting_bytes_ += text.size();
        queue_.push_back(pending{k, std::move(text)});
        if (started_) work_cv_.notify_one();
        return;
    }
    // No room, or no second thread: compressed here.
    lk.unlock();
    std::string z = compress(text);
    std::string().swap(text);
    lk.lock();
    done_[k] = std::move(z);
}

std::vector<std::string> compress_queue::finish() {
    std::unique_lock<std::mutex> lk(m_);
    // The second thread goes on from the front and ends once nothing is
    // left; this thread compresses what waits from the back.
    closing_ = true;
    if (started_) work_cv_.notify_one();
    while (!queue_.empty()) {
        raise_failure();
        pending p = std::move(queue_.back());
        queue_.pop_back();
        waiting_bytes_ -= p.text.size();
        lk.unlock();
        std::string z = compress(p.text);
        std::string().swap(p.text);
        lk.lock();
        done_[p.index] = std::move(z);
    }
    lk.unlock();
    // Its last text compressed, the second thread has ended or is ending.
    if (worker_.joinable()) worker_.join();
    lk.lock();
    raise_failure();
    std::vector<std::string> out = std::move(done_);
    done_.clear();
    return out;
}

}  // namespace sheetlay::nup
