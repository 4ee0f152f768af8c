// The output's text primitives: the number rule, the growable output image
// and how composition stops.
//
// Every byte of an n-up file is appended to one image, which streams it
// object by object to the output (nup/outfile) through one buffer. Numbers
// go through one rule (fmt_num) so that the same layout always prints the
// same text whatever the locale. Composition stops by throwing
// compose_error once the error text is set (fail), so that the deep call
// chains of the output side need no status plumbing; the entry (nup_doc)
// catches it.
#ifndef SHEETLAY_NUP_PDFOUT_H
#define SHEETLAY_NUP_PDFOUT_H

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <initializer_list>
#include <new>
#include <string>

#include "error.h"
#include "pdf/document.h"

namespace sheetlay {

// Prints a double by the output's number rule into out (size >= 64):
// whole numbers within 32 bits as integers, others with four decimals and a
// full stop. Returns the length, 0 when it does not fit. Locale independent.
int fmt_num(char *out, size_t size, double v);

namespace nup {

constexpr const char *kGenericFailure = "failed to build output (damaged page tree or content)";

// Why composition stopped: the message is set where the failure happens.
struct compose_error {};

// Sets the error text to msg and stops composition.
[[noreturn]] void fail(const char *msg);

// Writes v in signed decimal at out (room for 20 bytes); returns the end.
char *put_decimal(char *out, int64_t v);

// Appends a double by the number rule. Values that PDF cannot express
// (infinities, NaN) end the composition.
void put_num(std::string &s, double v);
// Appends several numbers separated by single spaces.
void put_nums(std::string &s, std::initializer_list<double> vs);
// The same value as put_num gives, without trailing zeros after the point
// (595.2760 becomes 595.276): for compact output, whose stream dictionaries
// are not compressed.
void put_num_short(std::string &s, double v);
void put_nums_short(std::string &s, std::initializer_list<double> vs);
void put_int(std::string &s, int64_t v);

// A growable array of plain values. Ours, so that none of its code is
// exported from the shared library as standard containers of built-in
// types would be.
template <class T>
class array {
public:
    array() = default;
    ~array() { std::free(p_); }
    array(const array &) = delete;
    array &operator=(const array &) = delete;

    void assign(size_t n, T v) {
        reserve(n);
        for (size_t i = 0; i < n; ++i) p_[i] = v;
        n_ = n;
    }
    void push_back(T v) {
        if (n_ == cap_) reserve(cap_ ? 2 * cap_ : 64);
        p_[n_++] = v;
    }
    T &operator[](size_t i) { return p_[i]; }
    const T &operator[](size_t i) const { return p_[i]; }
    size_t size() const { return n_; }
    void clear() { n_ = 0; }

private:
    void reserve(size_t n) {
        if (n <= cap_) return;
        if (n > SIZE_MAX / sizeof(T)) throw std::bad_alloc();
        void *q = std::realloc(p_, n * sizeof(T));
        if (!q) throw std::bad_alloc();
        p_ = static_cast<T *>(q);
        cap_ = n;
    }
    T *p_ = nullptr;
    size_t n_ = 0, cap_ = 0;
};

// Where the finished bytes of a streamed output go: the temporary file
// through one fixed buffer, or a growing block in memory (nup/outfile).
// put() stops composition (compose_error, error text set) when the bytes
// cannot be written.
class sink {
public:
    virtual ~sink() = default;
    virtual void put(const unsigned char *p, size_t n) = 0;
    // Bytes put so far.
    virtual uint64_t pos() const = 0;
    // Copies n bytes put earlier, from `at` on, to dst.
    virtual void read(uint64_t at, unsigned char *dst, size_t n) = 0;
};

class packer;  // nup/repack: object streams of compact output

// The output file as it is built. Positions (len(), and the `at` of the
// calls below) count every byte the writer appended, as the classic file
// would hold them.
//
// Alone, the image keeps the whole file in one growing buffer (the reader's
// `buf`, so that decoded content streams can be inflated straight into it).
// Given a sink, it streams: the buffer holds only the object being written
// (objects are delimited by offsets::record and next_object), which goes to
// the sink, or with a packer into an object stream, once the next one
// starts. The buffer keeps its size from object to object, and the thread
// keeps it from call to call.
class image {
public:
    image();
    ~image();
    image(const image &) = delete;
    image &operator=(const image &) = delete;

    // Streams into `to` from now on; with `pk`, objects that may be packed
    // go there instead (compact output).
    void stream_to(sink *to, packer *pk = nullptr);
    bool streaming() const { return out_ != nullptr; }
    void pack_into(packer *pk) { pk_ = pk; }

    buf *raw() { return &b_; }
    uint64_t len() const { return base_ + b_.len; }
    // The whole file, when not streaming.
    unsigned char *data() { return b_.data; }
    // The byte at position `at` of the object being written.
    unsigned char *at(uint64_t at) { return b_.data + (at - base_); }

    // The buffer is emptied when it cannot grow; what it held is gone.
    void check() const {
        if (!b_.data) fail("out of memory");
    }
    void append(const void *p, uint64_t n);
    void append(const std::string &s) { append(s.data(), s.size()); }
    void append(const char *s);
    // Appends a copy of bytes the image already holds (or, streaming, put
    // earlier into a top-level object).
    void append_own(uint64_t at, uint64_t n);
    // Room for n more bytes at the end of the object being written (not
    // after a spill); commit(k) keeps the first k written there.
    unsigned char *room(uint64_t n);
    void commit(uint64_t k) {
        b_.len += k;
        b_.data[b_.len] = 0;
    }
    // Inserts `s` at `at` (in the object being written), moving what
    // follows it up.
    void insert(uint64_t at, const std::string &s);
    // Drops everything from `at` (in the object being written) on.
    void cut(uint64_t at);

    // Object `num` starts here (offsets::record calls it); -1: what follows
    // is no object (the head before the first one, the tail after the
    // last).
    void next_object(int64_t num);
    // Compact output: the packer, when the object just begun may be handed
    // to it whole (nothing of it is in the buffer yet), else null.
    packer *direct() const {
        return out_ && pk_ && !spilled_ && num_ > 0 && b_.len == 0 ? pk_ : nullptr;
    }
    // The object being written went to direct() whole: n bytes, as the
    // classic file would hold them.
    void packed_whole(uint64_t n) { base_ += n; }
    // The object being written stays at the top level (a stream): its bytes
    // may go out now, and what is appended to it goes straight on.
    void spill();
    // The same for an object known to be a stream (its head ends in
    // "stream"), which the packer would turn away: it is not offered.
    void spill_stream();
    // Where the next byte lands in the output (differs from len() once
    // objects were packed).
    uint64_t out_len() const { return out_ ? out_->pos() + b_.len : len(); }
    // Streaming: puts what the buffer still holds.
    void flush() { next_object(-1); }

private:
    void route(bool may_pack = true);
    buf b_{};
    uint64_t base_ = 0;  // the position of b_.data[0]
    sink *out_ = nullptr;
    packer *pk_ = nullptr;
    int64_t num_ = -1;     // the object being written, -1 none
    bool spilled_ = false;
    bool thread_buf_ = false;  // b_ is the thread's, given back at the end
    // Top-level pieces put: (position, output offset), to find bytes again.
    array<uint64_t> piece_at_, piece_out_;
};

// Byte offsets of the output's objects, by object number; -1 for none.
struct offsets {
    // By object number, -1 for none; record() keeps the output under 2 GiB,
    // so 4 bytes each (one for every object of the output, held to the end).
    array<int32_t> at;
    // Notes that object `num` starts at the image's current end.
    void record(int64_t num, image &img);
};

}  // namespace nup
}  // namespace sheetlay

#endif
