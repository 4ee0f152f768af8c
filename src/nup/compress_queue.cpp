// The object streams' compression on a second thread (see compress_queue.h).
//
// One mutex guards the queue, the results and the flags; the compression
// itself runs outside it. Results are stored by index, so which thread
// compressed a text never shows in the output.
#include "nup/compress_queue.h"

#include <system_error>
#include <utility>

#include "codec/deflate.h"

namespace sheetlay::nup {

namespace {

// The second thread starts once this many texts are handed over before
// the end: the first waits for the second. A thread costs the writer about
// 20 us to start, and its first text about 150 us more than on the writing
// thread, whose encoder tables are faulted in already; an object stream
// takes 50 to 250 us (20 to 80 KB of text). So one text moved does not pay
// for the thread, two or more do (measured in the note of this change).
constexpr size_t kThreadFrom = 2;
// Only object streams come here. A sheet's content (some 200 bytes, about
// 3 us to compress) was tried: handing it over and back costs the writer
// as much as compressing it (a wake-up of the second thread each time).
//
// Texts waiting at most (each up to about 1 MiB); a writer that outruns the
// second thread compresses the next text itself.
constexpr size_t kWaiting = 3;
static_assert(kWaiting + 1 >= kThreadFrom, "the texts held before the thread starts must fit");

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
    }
    work_cv_.notify_all();
    if (worker_.joinable()) worker_.join();
}

void compress_queue::work() {
    std::unique_lock<std::mutex> lk(m_);
    for (;;) {
        work_cv_.wait(lk, [this] { return stop_ || !queue_.empty(); });
        if (stop_) return;
        pending p = std::move(queue_.front());
        queue_.pop_front();
        ++busy_;
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
        --busy_;
        if (e) {
            if (!failed_) failed_ = e;
        } else {
            done_[p.index] = std::move(z);
        }
        done_cv_.notify_all();
    }
}

void compress_queue::submit(std::string text, bool last) {
    std::unique_lock<std::mutex> lk(m_);
    raise_failure();
    const size_t k = done_.size();
    done_.emplace_back();
    if (!started_ && !single_ && !last && queue_.size() + 1 >= kThreadFrom) start();
    if (!single_ && (started_ || !last) && queue_.size() < kWaiting) {
        queue_.push_back(pending{k, std::move(text)});
        if (started_) work_cv_.notify_one();
        return;
    }
    // The queue is full, or there is no second thread: compressed here.
    lk.unlock();
    std::string z = compress(text);
    std::string().swap(text);
    lk.lock();
    done_[k] = std::move(z);
}

std::vector<std::string> compress_queue::finish() {
    std::unique_lock<std::mutex> lk(m_);
    // This thread compresses what still waits, from the back, while the
    // second one goes on from the front.
    while (!queue_.empty()) {
        raise_failure();
        pending p = std::move(queue_.back());
        queue_.pop_back();
        lk.unlock();
        std::string z = compress(p.text);
        std::string().swap(p.text);
        lk.lock();
        done_[p.index] = std::move(z);
    }
    done_cv_.wait(lk, [this] { return busy_ == 0; });
    raise_failure();
    std::vector<std::string> out = std::move(done_);
    done_.clear();
    lk.unlock();
    stop();
    return out;
}

}  // namespace sheetlay::nup
