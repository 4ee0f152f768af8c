// Compressing the object streams of compact output beside the thread that
// writes the objects.
//
// Each object stream is a text that no later object changes, and its
// compressed bytes are needed only at the end, when the object streams are
// appended after the last top-level object. So the writing thread hands
// each filled text over and goes on making objects while a second thread
// compresses it; the results come back by index, in the order the texts
// were handed over, and are the bytes one thread would make: the encoder
// gives the same output for the same text whichever thread runs it.
//
// Memory stays bounded: at most about 512 KiB of text waits at any moment;
// when there is no room the writing thread compresses the text itself
// instead of waiting. A job of three object streams or fewer never starts
// the thread (they are filled within the last fraction of a millisecond,
// with nothing left to overlap). When no thread can be started, everything
// is done on the calling thread. The thread never outlives the queue (its
// destructor stops and joins it; finish lets it end on its own once
// nothing waits), and a failure on it (out of memory) is raised on the
// calling thread at the next hand-over or at the end, as if it had
// happened there.
#ifndef SHEETLAY_NUP_COMPRESS_QUEUE_H
#define SHEETLAY_NUP_COMPRESS_QUEUE_H

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <exception>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace sheetlay::nup {

class compress_queue {
public:
    // How a text is compressed; null: our encoder at the default level.
    using compress_fn = std::string (*)(const std::string &);
    // one_thread: never start the second thread (the bytes do not differ).
    explicit compress_queue(bool one_thread = false, compress_fn fn = nullptr)
        : single_(one_thread), fn_(fn) {}
    ~compress_queue();
    compress_queue(const compress_queue &) = delete;
    compress_queue &operator=(const compress_queue &) = delete;

    // Hands over the next text to compress. last: the final one, handed
    // over at the end, when nothing is left to overlap with; it starts no
    // thread.
    void submit(std::string text, bool last = false);
    // Texts handed over so far.
    size_t size() const;
    // Compresses what still waits on this thread too, from the back, while
    // the second goes on from the front; waits until every text is
    // compressed and returns them in the order they came, the second
    // thread ended. Raises a failure of either thread.
    std::vector<std::string> finish();
    // Whether the second thread ran (for tests and measurements).
    bool threaded() const { return started_; }

private:
    struct pending {
        size_t index;
        std::string text;
    };
    void start();
    void work();
    void stop();
    void raise_failure();
    std::string compress(const std::string &text) const;

    mutable std::mutex m_;
    std::condition_variable work_cv_;
    std::deque<pending> queue_;
    std::vector<std::string> done_;  // by index; filled in as they finish
    std::exception_ptr failed_;
    size_t waiting_bytes_ = 0;  // of the texts in queue_
    bool stop_ = false;     // given up: the thread ends, what waits is dropped
    bool closing_ = false;  // finishing: the thread ends once the queue is empty
    bool single_;
    compress_fn fn_;
    bool started_ = false;
    std::thread worker_;
};

}  // namespace sheetlay::nup

#endif
