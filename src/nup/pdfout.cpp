// The number rule, the output image and its streaming, and the stop of
// composition (see pdfout.h). Integers are formatted by hand: the standard library's integer
// formatting is template code, and its instances would join the shared
// library's exported symbols.
#include "nup/pdfout.h"

#include "nup/repack.h"
#include "pdf/decimal.h"

#include <climits>
#include <cmath>
#include <cstring>

namespace sheetlay {

namespace nup {

namespace {
// "00" to "99": the digits are written two at a time.
constexpr char kPairs[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";
}  // namespace

// Writes u at out; returns the end. The digits are counted first, then
// written from the last one back, two at a time.
template <class U>
char *put_digits(char *out, U u) {
    int n = 1;
    for (U p = 10; n < 10 && u >= p; p *= 10) ++n;
    if (n == 10)  // 32 bits hold 10 digits at most; wider types go on
        for (uint64_t p = 10000000000u; n < 20 && u >= p; p *= 10) ++n;
    char *end = out + n, *q = end;
    while (u >= 100) {
        const size_t r = static_cast<size_t>(u % 100);
        u /= 100;
        q -= 2;
        std::memcpy(q, kPairs + 2 * r, 2);
    }
    if (u >= 10)
        std::memcpy(q - 2, kPairs + 2 * static_cast<size_t>(u), 2);
    else
        q[-1] = static_cast<char>('0' + u);
    return end;
}

char *put_decimal(char *out, int64_t v) {
    uint64_t u = v < 0 ? 0 - static_cast<uint64_t>(v) : static_cast<uint64_t>(v);
    if (v < 0) *out++ = '-';
    // Object numbers, offsets and lengths fit 32 bits, whose arithmetic
    // is the cheaper.
    if (u <= UINT32_MAX) return put_digits(out, static_cast<uint32_t>(u));
    return put_digits(out, u);
}

}  // namespace nup

int fmt_num(char *out, size_t size, double v) {
    if (!out || size == 0) return 0;
    // Room for any finite double in fixed notation with four decimals.
    char tmp[400];
    char *end = nullptr;
    // Whole numbers within the 32-bit range print as integers. The range
    // test comes first: converting an out-of-range value is undefined.
    if (v >= -2147483648.0 && v <= 2147483647.0) {
        int32_t t = static_cast<int32_t>(v);
        if (static_cast<double>(t) == v) end = nup::put_decimal(tmp, t);
    }
    if (!end) {
        // Never the locale's separator, and the exact binary value rounded
        // as "%.4f" rounds it.
        end = pdf::format_fixed4(tmp, tmp + sizeof tmp, v);
        if (!end) {
            out[0] = '\0';
            return 0;
        }
    }
    size_t n = static_cast<size_t>(end - tmp);
    if (n >= size) {
        out[0] = '\0';
        return 0;
    }
    std::memcpy(out, tmp, n);
    out[n] = '\0';
    return static_cast<int>(n);
}

namespace nup {

void fail(const char *msg) {
    set_error("%s", msg);
    throw compose_error{};
}

void put_num(std::string &s, double v) {
    if (!std::isfinite(v)) fail(kGenericFailure);
    char t[400];
    int n = fmt_num(t, sizeof t, v);
    if (n <= 0) fail(kGenericFailure);
    s.append(t, static_cast<size_t>(n));
}

void put_nums(std::string &s, std::initializer_list<double> vs) {
    bool first = true;
    for (double v : vs) {
        if (!first) s += ' ';
        put_num(s, v);
        first = false;
    }
}

void put_num_short(std::string &s, double v) {
    size_t at = s.size();
    put_num(s, v);
    if (s.find('.', at) == std::string::npos) return;
    while (s.back() == '0') s.pop_back();
    if (s.back() == '.') s.pop_back();
    if (s.compare(at, std::string::npos, "-0") == 0) s.erase(at, 1);
}

void put_nums_short(std::string &s, std::initializer_list<double> vs) {
    bool first = true;
    for (double v : vs) {
        if (!first) s += ' ';
        put_num_short(s, v);
        first = false;
    }
}

void put_int(std::string &s, int64_t v) {
    char t[24];
    s.append(t, static_cast<size_t>(put_decimal(t, v) - t));
}

// ---------------------------------------------------------------------------
// The output image

namespace {

// The thread's image buffer, kept between calls so that its pages are
// faulted in once, not on every call. An image made while the thread's
// buffer is in use (a call from a progress callback, repack's second image)
// has its own.
struct thread_window {
    buf b{};
    bool busy = false;
    ~thread_window() { buf_free(&b); }
};
thread_local thread_window t_window;

// A buffer that grew past this (one huge object) is not kept.
constexpr uint64_t kKeptWindow = uint64_t{16} << 20;

}  // namespace

image::image() {
    if (!t_window.busy) {
        t_window.busy = true;
        thread_buf_ = true;
        b_ = t_window.b;
        t_window.b = buf{};
    }
    buf_reserve(&b_, 0);  // first block: 1 MiB
    if (!b_.data && thread_buf_) {
        t_window.busy = false;  // no destructor runs for a constructor that throws
        thread_buf_ = false;
    }
    check();
    b_.len = 0;
    b_.data[0] = 0;
}

image::~image() {
    if (thread_buf_) {
        t_window.busy = false;
        if (b_.data && b_.cap <= kKeptWindow) {
            t_window.b = b_;
            return;
        }
    }
    buf_free(&b_);
}

void image::stream_to(sink *to, packer *pk) {
    out_ = to;
    pk_ = pk;
}

void image::append(const void *p, uint64_t n) {
    if (spilled_) {
        // A stream's data goes straight through: it is never packed.
        out_->put(static_cast<const unsigned char *>(p), static_cast<size_t>(n));
        base_ += n;
        return;
    }
    buf_append(&b_, p, n);
    check();
}

void image::append(const char *s) { append(s, std::strlen(s)); }

void image::append_own(uint64_t at, uint64_t n) {
    if (at >= base_) {
        buf_reserve(&b_, n);
        check();
        std::memcpy(b_.data + b_.len, b_.data + (at - base_), static_cast<size_t>(n));
        b_.len += n;
        b_.data[b_.len] = 0;
        return;
    }
    // Put earlier: within one top-level piece, found by its position.
    size_t lo = 0, hi = piece_at_.size();
    while (hi - lo > 1) {
        size_t mid = lo + (hi - lo) / 2;
        (piece_at_[mid] <= at ? lo : hi) = mid;
    }
    if (hi == 0 || piece_at_[lo] > at) fail(kGenericFailure);
    const uint64_t from = piece_out_[lo] + (at - piece_at_[lo]);
    buf_reserve(&b_, n);
    check();
    out_->read(from, b_.data + b_.len, static_cast<size_t>(n));
    b_.len += n;
    b_.data[b_.len] = 0;
    if (spilled_) route();  // what follows a spill goes straight on
}

void image::insert(uint64_t at, const std::string &s) {
    uint64_t tail = len() - at;
    buf_reserve(&b_, s.size());
    check();
    unsigned char *p = b_.data + (at - base_);
    std::memmove(p + s.size(), p, static_cast<size_t>(tail));
    std::memcpy(p, s.data(), s.size());
    b_.len += s.size();
    b_.data[b_.len] = 0;
}

unsigned char *image::room(uint64_t n) {
    if (spilled_) fail(kGenericFailure);  // what follows a spill goes straight out
    buf_reserve(&b_, n);
    check();
    return b_.data + b_.len;
}

void image::cut(uint64_t at) {
    b_.len = at - base_;
    b_.data[b_.len] = 0;
}

void image::route(bool may_pack) {
    if (!out_ || b_.len == 0) return;
    if (!spilled_) {
        if (pk_ && num_ > 0 && may_pack && pk_->take(static_cast<uint32_t>(num_), b_.data, b_.len)) {
            base_ += b_.len;
            b_.len = 0;
            return;
        }
        if (pk_ && num_ > 0) pk_->top(static_cast<uint32_t>(num_), out_->pos());
        // The head of a compact file: a reader that sees a cross-reference
        // stream needs 1.5.
        if (pk_ && base_ == 0 && b_.len >= 8 && std::memcmp(b_.data, "%PDF-1.", 7) == 0 &&
            b_.data[7] >= '0' && b_.data[7] < '5')
            b_.data[7] = '5';
        // A piece that follows the previous one at the same distance
        // between image and output (nothing was packed in between) extends
        // it: one entry per run, not one per object.
        const uint64_t o = out_->pos();
        const size_t k = piece_at_.size();
        if (k == 0 || base_ - piece_at_[k - 1] != o - piece_out_[k - 1]) {
            piece_at_.push_back(base_);
            piece_out_.push_back(o);
        }
    }
    out_->put(b_.data, static_cast<size_t>(b_.len));
    base_ += b_.len;
    b_.len = 0;
    b_.data[0] = 0;
}

void image::next_object(int64_t num) {
    route();
    num_ = num;
    spilled_ = false;
}

void image::spill() {
    if (!out_) return;
    route();
    spilled_ = true;
}

void image::spill_stream() {
    if (!out_) return;
    route(false);
    spilled_ = true;
}

void offsets::record(int64_t num, image &img) {
    // Offsets and the table itself are 32-bit quantities.
    if (img.len() > static_cast<uint64_t>(INT32_MAX)) fail("output too large");
    img.next_object(num);
    at[static_cast<size_t>(num)] = static_cast<int32_t>(img.len());
}

}  // namespace nup
}  // namespace sheetlay
