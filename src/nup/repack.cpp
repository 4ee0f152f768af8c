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
#include <cstring>
#include <vector>

#include "codec/deflate.h"

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
    uint64_t p = it.off, v = 0;
    if (!read_uint(t, it.end, p, v) || v != it.num) return;
    while (p < it.end && ws(t[p])) ++p;
    if (!read_uint(t, it.end, p, v) || v != 0) return;
    while (p < it.end && ws(t[p])) ++p;
    if (!starts(t, p, it.end, "obj")) return;
    p += 3;
    uint64_t e = it.end;
    while (e > p && ws(t[e - 1])) --e;
    if (e - p < 6 || std::memcmp(t + e - 6, "endobj", 6) != 0) return;
    e -= 6;
    while (p < e && ws(t[p])) ++p;
    while (e > p && ws(t[e - 1])) --e;
    if (e == p) return;
    // A stream ends in "endstream"; anything that names "stream" at all
    // stays where it is.
    static const char kw[] = "stream";
    for (uint64_t i = p; i + 6 <= e; ++i)
        if (t[i] == 's' && std::memcmp(t + i, kw, 6) == 0) return;
    it.body = p;
    it.body_end = e;
    it.packed = true;
}

// One object stream as it fills.
struct objstm {
    std::string head;  // "num offset ..." pairs
    std::string data;  // the bodies, each ended by a line feed
    uint32_t count = 0;
};

// One row of the cross-reference stream.
struct row {
    uint8_t type;  // 0 free, 1 at an offset, 2 in an object stream
    uint64_t f2;   // offset, or the object stream's number
    uint32_t f3;   // index in the object stream
};

int bytes_for(uint64_t v) {
    int n = 1;
    while (n < 8 && (v >> (8 * n)) != 0) ++n;
    return n;
}

void put_be(std::string &s, uint64_t v, int width) {
    for (int i = width - 1; i >= 0; --i) s += static_cast<char>((v >> (8 * i)) & 0xFF);
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

void repack(image &img) {
    unsigned char *t = img.data();
    const uint64_t len = img.len();
    classic c;
    if (!t || !read_classic(t, len, c)) return;

    // The objects by offset, each framed and judged before anything moves.
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
        frame(t, items[i]);
    }

    const uint64_t base = c.at.size();  // the first new object number
    std::vector<row> rows(static_cast<size_t>(base), row{0, 0, 0});
    std::vector<std::string> packed;  // the finished object streams, compressed
    std::vector<std::string> dicts;
    objstm cur;
    auto finish = [&] {
        if (cur.count == 0) return;
        std::string whole = cur.head;
        std::string d = "/Type /ObjStm /N ";
        put_int(d, cur.count);
        d += " /First ";
        put_int(d, static_cast<int64_t>(whole.size()));
        whole += cur.data;
        packed.push_back(compressed_text(whole, kDeflateDefault));
        dicts.push_back(d);
        cur = objstm{};
    };

    // Stream objects slide down over the room the packed bodies leave.
    uint64_t w = items.front().off;  // the header stays
    for (const item &it : items) {
        if (!it.packed) {
            uint64_t n = it.end - it.off;
            if (w != it.off) std::memmove(t + w, t + it.off, static_cast<size_t>(n));
            rows[it.num] = row{1, w, 0};
            w += n;
            continue;
        }
        if (cur.count >= kPerStream || cur.data.size() >= kStreamBytes) finish();
        put_int(cur.head, it.num);
        cur.head += ' ';
        put_int(cur.head, static_cast<int64_t>(cur.data.size()));
        cur.head += ' ';
        rows[it.num] = row{2, base + packed.size(), cur.count};
        cur.data.append(reinterpret_cast<const char *>(t + it.body),
                        static_cast<size_t>(it.body_end - it.body));
        cur.data += '\n';
        ++cur.count;
    }
    finish();
    img.cut(w);

    // A reader that sees the cross-reference stream needs 1.5.
    if (w >= 8 && std::memcmp(t, "%PDF-1.", 7) == 0 && t[7] >= '0' && t[7] < '5') t[7] = '5';

    for (size_t k = 0; k < packed.size(); ++k) {
        rows.push_back(row{1, img.len(), 0});
        append_stream_object(img, base + k, dicts[k], packed[k]);
        std::string().swap(packed[k]);
    }

    // The cross-reference stream lists itself too.
    const uint64_t xnum = rows.size();
    const uint64_t xat = img.len();
    rows.push_back(row{1, xat, 0});
    uint64_t max2 = 0, max3 = 0;
    for (const row &r : rows) {
        max2 = std::max(max2, r.f2);
        max3 = std::max<uint64_t>(max3, r.f3);
    }
    const int w2 = bytes_for(max2), w3 = bytes_for(max3);
    const size_t cols = static_cast<size_t>(1 + w2 + w3);
    // Rows go through the PNG "Up" predictor (each byte less the one above
    // it): offsets that grow row by row become runs of small differences
    // that Flate shrinks to almost nothing.
    std::string table, prev(cols, '\0'), cur_row;
    table.reserve(rows.size() * (cols + 1));
    for (const row &r : rows) {
        cur_row.clear();
        put_be(cur_row, r.type, 1);
        put_be(cur_row, r.f2, w2);
        put_be(cur_row, r.f3, w3);
        table += '\x02';
        for (size_t i = 0; i < cols; ++i)
            table += static_cast<char>(static_cast<unsigned char>(cur_row[i]) -
                                       static_cast<unsigned char>(prev[i]));
        prev.swap(cur_row);
    }
    std::string d = "/Type /XRef /Size ";
    put_int(d, static_cast<int64_t>(rows.size()));
    d += " /W [1 ";
    put_int(d, w2);
    d += ' ';
    put_int(d, w3);
    d += "] /Root ";
    d += c.root;
    if (!c.info.empty()) {
        d += " /Info ";
        d += c.info;
    }
    if (!c.id.empty()) {
        d += " /ID ";
        d += c.id;
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

}  // namespace sheetlay::nup
