// Object streams and the cross-reference stream of compact output (see
// repack.h).
//
// Everything is read and checked before a byte moves: a first pass finds
// each object's extent (from its offset to the next object's, the last one
// to the table) and whether it may go into an object stream; only a body
// that is framed "N 0 obj ... endobj" and is plainly not a stream does.
// A body that merely mentions "stream" stays at the top level: keeping an
// object where it is is always valid, moving a stream never is.
#include "nup/repack.h"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "codec/deflate.h"
#include "nup/outfile.h"

namespace sheetlay::nup {

namespace {

// Objects per object stream, and about how many body bytes one holds: a
// viewer that wants one object inflates its whole stream. Object streams and
// the table are small next to the content and take the best level.
constexpr size_t kPerStream = 200;
constexpr size_t kStreamBytes = size_t{1} << 20;

bool ws(unsigned char c) {
    return c == ' ' || c == '\n' || c == '\r' || c == '\t' || c == '\f' || c == 0;
}

// A decimal number of up to 18 digits at t[p] (before `end`); p moves past it.
bool read_uint(const unsigned char *t, uint64_t end, uint64_t &p, uint64_t &v) {
    uint64_t s = p;
    v = 0;
    while (p < end && p - s < 18 && t[p] >= '0' && t[p] <= '9') v = v * 10 + (t[p++] - '0');
    return p > s && (p >= end || t[p] < '0' || t[p] > '9');
}

bool starts(const unsigned char *t, uint64_t p, uint64_t end, const char *s) {
    size_t n = std::strlen(s);
    return p <= end && end - p >= n && std::memcmp(t + p, s, n) == 0;
}

// What the classic file tells: where its table is, each object's offset by
// number (-1 free), and the trailer entries carried over.
struct classic {
    uint64_t xref_at = 0;
    std::vector<int64_t> at;
    std::string root, info, id;
};

// The value text of `key` in the trailer t[p, end): a reference up to its
// "R", or an array up to its "]". Empty when absent.
std::string trailer_value(const unsigned char *t, uint64_t p, uint64_t end, const char *key) {
    size_t n = std::strlen(key);
    for (uint64_t i = p; i + n < end; ++i) {
        if (std::memcmp(t + i, key, n) != 0) continue;
        unsigned char after = t[i + n];
        if (!ws(after) && after != '[' && after != '<' && after != '(' && after != '/') continue;
        uint64_t s = i + n;
        while (s < end && ws(t[s])) ++s;
        uint64_t q = s;
        const unsigned char stop = (s < end && t[s] == '[') ? ']' : 'R';
        while (q < end && t[q] != stop && t[q] != '/' && t[q] != '>') ++q;
        if (stop == ']') {
            // Strings of an /ID array hold no brackets of their own: hex.
            while (q < end && t[q] != ']') ++q;
        }
        if (q >= end || t[q] != stop) return std::string();
        return std::string(reinterpret_cast<const char *>(t + s), static_cast<size_t>(q + 1 - s));
    }
    return std::string();
}

bool read_classic(const unsigned char *t, uint64_t len, classic &c) {
    // The last "startxref" near the end.
    uint64_t from = len > 1024 ? len - 1024 : 0, k = UINT64_MAX;
    for (uint64_t i = from; i + 9 <= len; ++i)
        if (std::memcmp(t + i, "startxref", 9) == 0) k = i;
    if (k == UINT64_MAX) return false;
    uint64_t p = k + 9;
    while (p < len && ws(t[p])) ++p;
    if (!read_uint(t, len, p, c.xref_at) || c.xref_at >= k) return false;
    p = c.xref_at;
    if (!starts(t, p, k, "xref")) return false;
    p += 4;
    for (;;) {
        while (p < k && ws(t[p])) ++p;
        if (starts(t, p, k, "trailer")) break;
        uint64_t first, count;
        if (!read_uint(t, k, p, first)) return false;
        while (p < k && t[p] == ' ') ++p;
        if (!read_uint(t, k, p, count)) return false;
        while (p < k && ws(t[p])) ++p;
        // Entries take 20 bytes each and no object number outruns them.
        if (count > (k - p) / 20 || first > len / 20 || first + count > len / 20 + 1) return false;
        if (c.at.size() < first + count) c.at.resize(static_cast<size_t>(first + count), -1);
        for (uint64_t i = 0; i < count; ++i, p += 20) {
            const unsigned char *e = t + p;
            if (e[17] == 'f') {
                c.at[static_cast<size_t>(first + i)] = -1;
                continue;
            }
            // Objects of generation 0 only: an object stream holds no other.
            uint64_t q = p, off = 0;
            if (e[17] != 'n' || std::memcmp(e + 10, " 00000 ", 7) != 0 ||
                !read_uint(t, p + 10, q, off) || off >= c.xref_at)
                return false;
            c.at[static_cast<size_t>(first + i)] = static_cast<int64_t>(off);
        }
    }
    p += 7;
    c.root = trailer_value(t, p, k, "/Root");
    c.info = trailer_value(t, p, k, "/Info");
    c.id = trailer_value(t, p, k, "/ID");
    return !c.root.empty() && !c.at.empty();
}

// Whether t[p, e) names "stream": a stream ends in "endstream", and anything
// that names "stream" at all stays where it is. Looked for by its 'm',
// rarer in dictionaries than its 's'.
bool names_stream(const unsigned char *t, uint64_t p, uint64_t e) {
    for (uint64_t i = p + 5; i < e;) {
        const void *hit = std::memchr(t + i, 'm', static_cast<size_t>(e - i));
        if (!hit) break;
        const uint64_t m = static_cast<uint64_t>(static_cast<const unsigned char *>(hit) - t);
        if (std::memcmp(t + m - 5, "stream", 6) == 0) return true;
        i = m + 1;
    }
    return false;
}

// One object of the classic file, and where its body goes.
struct item {
    uint32_t num;
    uint64_t off, end;      // its extent
    uint64_t body, body_end;  // its body without the frame, trimmed
    bool packed;
};

// Fills in the body of `it` and whether it may be packed.
void frame(const unsigned char *t, item &it) {
    it.packed = false;
    // The end first: a stream, cut where its data starts, fails here.
    uint64_t e = it.end;
    while (e > it.off && ws(t[e - 1])) --e;
    if (e - it.off < 6 || std::memcmp(t + e - 6, "endobj", 6) != 0) return;
    uint64_t p = it.off, v = 0;
    if (!read_uint(t, it.end, p, v) || v != it.num) return;
    while (p < it.end && ws(t[p])) ++p;
    if (!read_uint(t, it.end, p, v) || v != 0) return;
    while (p < it.end && ws(t[p])) ++p;
    if (!starts(t, p, it.end, "obj")) return;
    p += 3;
    if (e < p + 6) return;  // nothing but white space after "obj"
    e -= 6;
    while (p < e && ws(t[p])) ++p;
    while (e > p && ws(t[e - 1])) --e;
    if (e == p) return;
    if (names_stream(t, p, e)) return;
    it.body = p;
    it.body_end = e;
    it.packed = true;
}

int bytes_for(uint64_t v) {
    int n = 1;
    while (n < 8 && (v >> (8 * n)) != 0) ++n;
    return n;
}

// v in `width` bytes, most significant first.
unsigned char *put_be(unsigned char *out, uint64_t v, int width) {
    for (int i = width - 1; i >= 0; --i) *out++ = static_cast<unsigned char>((v >> (8 * i)) & 0xFF);
    return out;
}

// Appends one compressed stream object.
void append_stream_object(image &img, uint64_t num, const std::string &dict_entries,
                          const std::string &z) {
    std::string h;
    put_int(h, static_cast<int64_t>(num));
    h += " 0 obj\n<< ";
    h += dict_entries;
    h += " /Filter /FlateDecode /Length ";
    put_int(h, static_cast<int64_t>(z.size()));
    h += " >>\nstream\n";
    img.append(h);
    img.append(z);
    img.append("\nendstream\nendobj\n");
}

}  // namespace

std::string compressed_text(const std::string &text, int level) {
    std::string z;
    deflate_compress_into(z, reinterpret_cast<const unsigned char *>(text.data()), text.size(),
                          level);
    return z;
}

static_assert(kPerStream <= 256, "an index in an object stream fits a row's eight bits");

packer::row::row(uint64_t f2, uint32_t f3, uint8_t type)
    : v_(uint64_t{type} << 62 | f2 << 8 | f3) {
    // An offset past 16 PiB, or an object number past 2^54: never written.
    if (f2 > kF2Max || f3 > 0xFF || type > 2) fail("output too large");
}

packer::packer(uint64_t first_new, bool one_thread) : base_(first_new), packed_(one_thread) {
    // The rows of the object streams and of the table itself come after the
    // objects' rows: room for them now, so that the vector is not copied
    // into one twice its size at the end.
    rows_.reserve(static_cast<size_t>(first_new + first_new / kPerStream + 64));
    rows_.resize(static_cast<size_t>(first_new));
}

bool packer::full() const { return cur_.count >= kPerStream || cur_.data.size() >= kStreamBytes; }

void packer::enter(uint32_t num, size_t at) {
    char b[48];
    char *q = put_decimal(b, num);
    *q++ = ' ';
    q = put_decimal(q, static_cast<int64_t>(at));
    *q++ = ' ';
    cur_.head.append(b, static_cast<size_t>(q - b));
    rows_[num] = row{base_ + dicts_.size(), cur_.count, 2};
}

bool packer::take(uint32_t num, const unsigned char *t, uint64_t n) {
    if (num >= base_) return false;
    item it{num, 0, n, 0, 0, false};
    frame(t, it);
    if (!it.packed) return false;
    if (full()) close_stream();
    enter(it.num, cur_.data.size());
    cur_.data.append(reinterpret_cast<const char *>(t + it.body),
                     static_cast<size_t>(it.body_end - it.body));
    cur_.data += '\n';
    ++cur_.count;
    return true;
}

std::string *packer::body_room(uint32_t num) {
    return num < base_ && !full() ? &cur_.data : nullptr;
}

bool packer::body_done(uint32_t num, size_t from) {
    std::string &d = cur_.data;
    const unsigned char *t = reinterpret_cast<const unsigned char *>(d.data());
    // Trimmed as frame() trims an object's body.
    size_t p = from, e = d.size();
    while (p < e && ws(t[p])) ++p;
    while (e > p && ws(t[e - 1])) --e;
    if (p == e || names_stream(t, p, e)) {
        d.resize(from);
        return false;
    }
    d.resize(e);
    if (p > from) d.erase(from, p - from);
    d += '\n';
    enter(num, from);
    ++cur_.count;
    return true;
}

void packer::top(uint32_t num, uint64_t at) {
    if (num < base_) rows_[num] = row{at, 0, 1};
}

void packer::close_stream(bool last) {
    if (cur_.count == 0) return;
    std::string whole;
    whole.reserve(cur_.head.size() + cur_.data.size());
    whole.append(cur_.head).append(cur_.data);
    std::string d = "/Type /ObjStm /N ";
    put_int(d, cur_.count);
    d += " /First ";
    put_int(d, static_cast<int64_t>(cur_.head.size()));
    dicts_.push_back(d);
    packed_.submit(std::move(whole), last);
    cur_.head.clear();
    cur_.data.clear();
    cur_.count = 0;
}

void packer::finish(image &img, const std::string &trailer) {
    const unsigned char *t = reinterpret_cast<const unsigned char *>(trailer.data());
    finish(img, trailer_value(t, 0, trailer.size(), "/Root"),
           trailer_value(t, 0, trailer.size(), "/Info"), trailer_value(t, 0, trailer.size(), "/ID"));
}

void packer::finish(image &img, const std::string &root, const std::string &info,
                    const std::string &id) {
    close_stream(true);
    // The object streams' offsets are taken here, as each is appended after
    // the last top-level object: their compressed sizes are known by now.
    std::vector<std::string> packed = packed_.finish();
    for (size_t k = 0; k < packed.size(); ++k) {
        rows_.push_back(row{img.out_len(), 0, 1});
        append_stream_object(img, base_ + k, dicts_[k], packed[k]);
        std::string().swap(packed[k]);
    }

    // The cross-reference stream lists itself too.
    const uint64_t xnum = rows_.size();
    const uint64_t xat = img.out_len();
    rows_.push_back(row{xat, 0, 1});
    uint64_t max2 = 0, max3 = 0;
    for (const row &r : rows_) {
        max2 = std::max(max2, r.f2());
        max3 = std::max<uint64_t>(max3, r.f3());
    }
    const int w2 = bytes_for(max2), w3 = bytes_for(max3);
    const size_t cols = static_cast<size_t>(1 + w2 + w3);
    // Rows go through the PNG "Up" predictor (each byte less the one above
    // it): offsets that grow row by row become runs of small differences
    // that Flate shrinks to almost nothing.
    std::string table(rows_.size() * (cols + 1), '\0');
    unsigned char *const t = reinterpret_cast<unsigned char *>(table.data());
    unsigned char *w = t;
    for (const row &r : rows_) {
        *w++ = 2;
        w = put_be(put_be(put_be(w, r.type(), 1), r.f2(), w2), r.f3(), w3);
    }
    // Each row less the one above it, from the last row back, so that the
    // row above still holds its own bytes (the first row stays as it is).
    const size_t stride = cols + 1;
    for (size_t k = rows_.size(); k-- > 1;) {
        unsigned char *cur = t + k * stride + 1;
        const unsigned char *above = cur - stride;
        for (size_t i = 0; i < cols; ++i) cur[i] = static_cast<unsigned char>(cur[i] - above[i]);
    }
    std::string d = "/Type /XRef /Size ";
    put_int(d, static_cast<int64_t>(rows_.size()));
    d += " /W [1 ";
    put_int(d, w2);
    d += ' ';
    put_int(d, w3);
    d += "] /Root ";
    d += root;
    if (!info.empty()) {
        d += " /Info ";
        d += info;
    }
    if (!id.empty()) {
        d += " /ID ";
        d += id;
    }
    d += " /DecodeParms << /Predictor 12 /Columns ";
    put_int(d, static_cast<int64_t>(cols));
    d += " >>";
    append_stream_object(img, xnum, d, compressed_text(table, kDeflateDefault));
    std::string tail = "startxref\n";
    put_int(tail, static_cast<int64_t>(xat));
    tail += "\n%%EOF\n";
    img.append(tail);
}

void repack(image &img) {
    const unsigned char *t = img.data();
    const uint64_t len = img.len();
    classic c;
    if (!t || !read_classic(t, len, c)) return;

    // The objects by offset, each with its extent, before anything moves.
    std::vector<item> items;
    for (size_t n = 1; n < c.at.size(); ++n)
        if (c.at[n] >= 0)
            items.push_back(item{static_cast<uint32_t>(n), static_cast<uint64_t>(c.at[n]), 0, 0, 0,
                                 false});
    if (items.empty()) return;
    std::sort(items.begin(), items.end(),
              [](const item &a, const item &b) { return a.off < b.off; });
    for (size_t i = 0; i < items.size(); ++i) {
        items[i].end = i + 1 < items.size() ? items[i + 1].off : c.xref_at;
        if (items[i].end <= items[i].off) return;  // two objects at one offset
    }

    // The objects go through a streaming image as compose's own would.
    output mem(nullptr);
    packer pk(c.at.size());
    image out;
    out.stream_to(&mem, &pk);
    out.append(t, items.front().off);  // the header
    for (const item &it : items) {
        out.next_object(it.num);
        out.append(t + it.off, it.end - it.off);
    }
    out.next_object(-1);
    out.spill();
    pk.finish(out, c.root, c.info, c.id);
    out.flush();
    size_t n = 0;
    std::unique_ptr<unsigned char, void (*)(void *)> bytes(mem.release(&n), std::free);
    img.cut(0);
    img.append(bytes.get(), n);
}

}  // namespace sheetlay::nup
