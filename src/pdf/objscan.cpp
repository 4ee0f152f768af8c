// The whole-file scan for object headers (see pdf/objscan.h).
//
// A piece of the file is the "bj" pairs whose 'b' stands in a range of it:
// what is found at such a pair, the header it ends and what follows the
// header (its dictionary, the "stream" after it), is read from the bytes
// around it, across the piece's ends where need be, and never depends on
// what another piece found. Only the "endobj" that ends a body may stand in
// a later piece; a body that finds none in its own piece is looked up in
// the joined list. So the pieces' findings, joined in file order, are those
// of one piece that covers the whole file.
#include "pdf/objscan.h"

#include <algorithm>
#include <atomic>
#include <exception>
#include <thread>
#include <utility>

#include "pdf/bytescan.h"
#include "pdf/dictwalk.h"
#include "pdf/gallop.h"
#include "pdf/lexer.h"

namespace sheetlay {

namespace {

// Pieces are no smaller than this: scanning one takes some hundred
// microseconds, against about twenty to start and join a thread. A file
// of less than two pieces is scanned on the calling thread alone.
constexpr int32_t kPieceBytes = 256 * 1024;
// Many pieces per thread, handed out in file order to whichever thread is
// free, so that both threads end close together even when one of them
// started late (the helper waits for a core while another process has it).
constexpr int32_t kMaxPieces = 16;

// The first byte of a stream's data: after the "stream" keyword at t[s] and
// its end of line (CR LF, LF or a lone CR; spaces before it are tolerated).
int32_t stream_data_start(const unsigned char *t, int32_t len, int32_t s) {
    int32_t a = s + 6;
    if (a >= len) return a;
    int32_t p = a;
    while (p < len && (t[p] == ' ' || t[p] == '\t')) ++p;
    if (p < len && t[p] == '\r') return (p + 1 < len && t[p + 1] == '\n') ? p + 2 : p + 1;
    if (p < len && t[p] == '\n') return p + 1;
    return a + 1;
}

// Bytes of stream dictionary that may still be read for /Length during the
// scan, shared by the pieces. Which pieces get to read depends on the
// threads' timing; what is not read here is read later, with the same
// result.
class length_work {
public:
    explicit length_work(int64_t n) : left_(n) {}
    bool take(int64_t n) {
        int64_t v = left_.load(std::memory_order_relaxed);
        while (v >= n)
            if (left_.compare_exchange_weak(v, v - n, std::memory_order_relaxed)) return true;
        return false;
    }

private:
    std::atomic<int64_t> left_;
};

struct piece {
    int32_t from = 0, to = 0;  // the pairs whose 'b' stands in [from, to)
    std::vector<int32_t> endobjs, heads;
    // Every header read, in file order, the unusable ones included: a
    // body whose "endobj" lies past the piece keeps endobj_pos -1 and is
    // listed in `later` with the place its "endobj" is looked for from.
    std::vector<obj_entry> found;
    std::vector<std::pair<size_t, int32_t>> later;
    std::vector<stream_length> lengths;  // per stream entry of `found`
};

// Fills endobjs with every "endobj" while it finds the headers: both end in
// "obj", so one pass over the piece's pairs "bj" finds them all.
void scan_piece(const unsigned char *t, int32_t len, piece &pc, length_work &work) {
    // "obj" is looked for by its "bj", a pair rare in text and in
    // compressed stream data alike (far rarer there than 'j' alone): a "bj"
    // at h - 1 ends a keyword "endobj" at h - 5 or "obj" at h - 2 (h <=
    // len - 2: a body must follow), whose places are taken first.
    const int32_t a = std::max(pc.from, 2), b = std::min(pc.to, len - 1);  // the 'b' in [a, b)
    if (len > 3 && a < b) {
        each_pair(t + a, t + b + 1, 'b', 'j', [&](const unsigned char *hit) {
            const int32_t P = static_cast<int32_t>(hit - t) - 1;
            // ("endobj" cannot be a header too: a letter stands before its "obj".)
            if (P >= 3 && t[P - 3] == 'e' && kw_at(t, P - 3, len, "endobj"))
                pc.endobjs.push_back(P - 3);
            else if (P <= len - 4 && t[P] == 'o' && kw_at(t, P, len, "obj"))
                pc.heads.push_back(P);
        });
    }
    // First every header, then the dictionaries: the walker answers best
    // when it knows all the places it will be asked about.
    std::vector<obj_entry> &found = pc.found;
    std::vector<int32_t> dict_starts;
    // Room for every header read: their count is known, and a vector grown
    // by doubling could take up to twice the index it becomes.
    found.reserve(pc.heads.size());
    dict_starts.reserve(pc.heads.size());
    kw_cursor endobj_at(pc.endobjs);
    for (const int32_t P : pc.heads) {
        header_parts h;
        const int32_t first = header_parts_before(t, P, &h);
        if (first < 0) continue;

        obj_entry e{};
        e.num = h.num;
        e.hdr_pos = first;
        // The generation as parse_int_at reads it after the number (a value
        // that does not fit wraps and then counts as 0). That reading stops
        // at a vertical tab, which PDF does not count as white space: before
        // the generation it finds no number; after it, no plain header.
        uint32_t v = 0;
        for (int32_t g = h.gen_from; g < h.gen_to; ++g) v = v * 10u + static_cast<uint32_t>(t[g] - '0');
        const int32_t gv = h.vt_before_gen ? -1 : static_cast<int32_t>(v);
        e.gen = gv > 0 ? gv : 0;
        // Where body_start finds the body: after the white space that
        // follows "obj" (skip_ws, in place), kept when the header is plain
        // (digits, white space, digits, white space, "obj").
        int32_t q = P + 3;
        while (q < len && is_pdf_ws(t[q])) ++q;
        if (!h.vt_before_gen && !h.vt_after_gen && q - first < 255)
            e.body_at = static_cast<uint8_t>(q - first + 1);
        e.dict_pos = e.stream_pos = e.data_start = e.data_end = e.endobj_pos = -1;
        if (q < len && t[q] == '<') {
            e.dict_pos = q;
            dict_starts.push_back(q);
        } else {
            // The body is no dictionary: the object ends at the next endobj.
            e.endobj_pos = endobj_at.first_at_or_after(static_cast<int64_t>(P) + 3);
            if (e.endobj_pos < 0) pc.later.emplace_back(found.size(), P + 3);
        }
        found.push_back(e);
    }
    // Later dictionaries first: an earlier walk that reaches a later start
    // then stops there. The walks may step out of the piece; their budget
    // is that of a whole file as long as the piece.
    std::vector<int32_t> asks, answers;
    asks.reserve(dict_starts.size());
    for (size_t k = found.size(); k-- > 0;)
        if (found[k].dict_pos >= 0) asks.push_back(found[k].dict_pos);
    dict_stream_kws(t, len, std::move(dict_starts), asks, answers,
                    8 * static_cast<int64_t>(pc.to - pc.from) + 1048576);
    size_t next = answers.size();
    int64_t dict_bytes = 0;
    for (size_t k = 0; k < found.size(); ++k) {
        obj_entry &e = found[k];
        if (e.dict_pos < 0) continue;
        int32_t s = answers[--next];
        if (s >= 0) {
            e.stream_pos = s;
            e.is_stream = 1;
            e.data_start = stream_data_start(t, len, s);
            dict_bytes += s - e.dict_pos;
        } else {
            e.endobj_pos = endobj_at.first_at_or_after(e.dict_pos);
            if (e.endobj_pos < 0) pc.later.emplace_back(k, e.dict_pos);
        }
    }
    // The stream dictionaries' /Length, while their bytes are at hand, when
    // the work left allows all of this piece's.
    const bool read = work.take(dict_bytes);
    for (const obj_entry &e : found) {
        if (!e.is_stream) continue;
        stream_length l{kLengthUnread, -1};
        if (read) parse_length(t, len, e.dict_pos, e.stream_pos, &l.direct, &l.ref);
        pc.lengths.push_back(l);
    }
}

// Scans every piece, on this thread and a helper: each takes the next
// piece not taken yet. An exception on either ends the scan and is thrown
// here once both have stopped.
void scan_pieces(const unsigned char *t, int32_t len, std::vector<piece> &pieces, length_work &work) {
    std::atomic<size_t> next{0};
    auto run = [&] {
        for (size_t i; (i = next.fetch_add(1, std::memory_order_relaxed)) < pieces.size();)
            scan_piece(t, len, pieces[i], work);
    };
    if (pieces.size() < 2) {
        run();
        return;
    }
    std::exception_ptr failed;
    std::thread helper;
    try {
        helper = std::thread([&] {
            try {
                run();
            } catch (...) {
                failed = std::current_exception();
                next.store(pieces.size(), std::memory_order_relaxed);
            }
        });
    } catch (...) {
        // No thread to be had: this one scans every piece.
    }
    try {
        run();
    } catch (...) {
        next.store(pieces.size(), std::memory_order_relaxed);
        if (helper.joinable()) helper.join();
        throw;
    }
    if (helper.joinable()) helper.join();
    if (failed) std::rethrow_exception(failed);
}

}  // namespace

void scan_objects(doc *d, object_scan &out, int64_t length_work_bytes, const std::vector<int32_t> *cuts) {
    const unsigned char *t = d->data;
    const int32_t len = d->len;
    std::vector<int32_t> at;  // the pieces' starts after the first's
    if (cuts) {
        for (int32_t c : *cuts)
            if (c > 0 && c < len && (at.empty() || c > at.back())) at.push_back(c);
    } else if (len >= 2 * kPieceBytes) {
        const int64_t n = std::min<int64_t>(kMaxPieces, len / kPieceBytes);
        for (int64_t k = 1; k < n; ++k) at.push_back(static_cast<int32_t>(len * k / n));
    }
    std::vector<piece> pieces(at.size() + 1);
    for (size_t k = 0; k < pieces.size(); ++k) {
        pieces[k].from = k == 0 ? 0 : at[k - 1];
        pieces[k].to = k < at.size() ? at[k] : len;
    }
    length_work work(length_work_bytes);
    scan_pieces(t, len, pieces, work);

    size_t n_endobjs = 0, n_heads = 1, n_found = 0;
    for (const piece &pc : pieces) {
        n_endobjs += pc.endobjs.size();
        n_heads += pc.heads.size();
        n_found += pc.found.size();
    }
    out.endobjs.reserve(n_endobjs);
    out.heads.reserve(n_heads);
    for (const piece &pc : pieces) {
        out.endobjs.insert(out.endobjs.end(), pc.endobjs.begin(), pc.endobjs.end());
        out.heads.insert(out.heads.end(), pc.heads.begin(), pc.heads.end());
    }
    // A last "obj" that ends the file is no header (no body follows) but a
    // body can still reach it.
    if (len >= 3 && kw_at(t, len - 3, len, "obj")) out.heads.push_back(len - 3);
    // Bodies whose "endobj" lies past their piece.
    kw_cursor endobj_at(out.endobjs);
    for (piece &pc : pieces)
        for (const auto &[k, from] : pc.later) pc.found[k].endobj_pos = endobj_at.first_at_or_after(from);
    auto usable = [](const obj_entry &e) { return e.is_stream || e.endobj_pos >= 0; };
    std::vector<obj_entry> &store = d->obj_store;
    if (pieces.size() == 1 && store.empty()) {
        // The usable headers close up in place and the vector becomes the
        // index: copying them into a second vector held the index twice at
        // the largest moment of a big file's load.
        std::vector<obj_entry> &found = pieces[0].found;
        size_t kept = 0;
        for (size_t k = 0; k < found.size(); ++k)
            if (usable(found[k])) {
                if (kept != k) found[kept] = found[k];
                ++kept;
            }
        found.resize(kept);
        store = std::move(found);
        out.lengths = std::move(pieces[0].lengths);
        return;
    }
    // Each piece's headers are released once copied: the block reserved
    // for the index is only touched (and so only takes memory) as it fills.
    // (Streams already in the index have no /Length read here.)
    for (const obj_entry &e : store)
        if (e.is_stream) out.lengths.push_back(stream_length{kLengthUnread, -1});
    store.reserve(store.size() + n_found);
    for (piece &pc : pieces) {
        for (const obj_entry &e : pc.found)
            if (usable(e)) store.push_back(e);
        out.lengths.insert(out.lengths.end(), pc.lengths.begin(), pc.lengths.end());
        std::vector<obj_entry>().swap(pc.found);
    }
}

}  // namespace sheetlay
