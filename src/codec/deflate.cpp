// Flate encoder: zlib framing, the Adler-32 checksum, the per-thread tables
// and the hash-chain match finder of levels 2-9 (level 1's finder is in
// deflate_fast.cpp).
//
// The library compresses the content streams of the sheets it writes, so the
// encoder works on a whole stream held in memory: matches point straight
// into the caller's bytes and nothing is copied into a sliding window.
// Positions are 32-bit, so an input above 1 GiB is cut into segments whose
// matches stay inside them (content streams never come near that size).
//
// Match finding, by level:
//   1     (deflate_fast.cpp) one probe of a table keyed on 7 bytes,
//         greedy, and larger steps through data where nothing matches
//         (already compressed images); its symbols are sequences (a literal
//         run, then a match);
//   2-3   hash chains, greedy;
//   4-9   hash chains, lazy: a match is kept only if the next position does
//         not start a longer one. "good" shortens the next search once a
//         match is that long, "nice" ends a search, "lazy" is the length
//         from which the next position is not tried.
// The chains link positions whose first six bytes hash alike (four at
// levels 8-9), so that a walk seldom visits a candidate that cannot give a
// match worth having. Page content repeats short operator sequences
// (" Td (", " 0 0 1 ") at nearly every line; on a 4-byte key those fill the
// chains with candidates that match for four or five bytes, and the walk
// runs out before it reaches the long repeat. Shorter matches come from two
// small tables of the last position of each 4-byte and 3-byte hash,
// consulted when the chain gave nothing as long as its key.
// Every search tries the last match's distance first. Sheets repeat whole
// pages' content, so a repeat often runs past the longest match (258): its
// continuation is at the same distance, found without the chains. That
// lets a long match enter only its last positions into the chains, which
// on such content is most of the time the encoder would otherwise spend.
// A 3-byte match farther than 4096 bytes back is dropped: its length and
// distance codes cost about as much as three literals.
//
// Symbols go into blocks of a bounded number of symbols (level 1: of
// sequences, and of input bytes); deflate_blocks.cpp writes each as the
// cheapest of stored, fixed and dynamic.
#include "deflate.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <memory>

#include "deflate_blocks.h"
#include "deflate_fast.h"

namespace sheetlay {
namespace {

using namespace deflate_detail;

constexpr size_t kBlockSymbols = size_t{1} << 15;
constexpr size_t kSegment = size_t{1} << 30;
constexpr uint32_t kBias = kMaxDist + 1;  // the least offset of stored positions; 0 = empty
constexpr unsigned kTooFar = 4096;

unsigned table_bits(size_t len, unsigned lo, unsigned hi) {
    unsigned b = lo;
    while (b < hi && (size_t{1} << b) < len) ++b;
    return b;
}

struct Params {
    uint16_t chain;  // candidates tried per search
    uint16_t good;   // a match this long quarters the next search
    uint16_t lazy;   // lazy levels: no look at the next position from this length;
                     // greedy levels: longer matches leave their positions out of the chains
    uint16_t nice;   // a match this long ends the search
    bool lazy_eval;
    uint8_t key;     // bytes hashed for the chains: 4 or 6
    uint16_t tail;   // of the positions inside a match, only the last `tail` join the chains
};

constexpr Params kParams[10] = {
    {0, 0, 0, 0, false, 4, 0},           {0, 0, 0, 0, false, 4, 0},            // stored; fast (its own finder)
    {4, 4, 5, 16, false, 6, 32},         {8, 4, 8, 32, false, 6, 32},          // greedy
    {16, 4, 8, 32, true, 6, 32},         {32, 8, 16, 64, true, 6, 32},         // lazy
    {64, 8, 12, 96, true, 6, 32},        {128, 8, 32, 128, true, 6, 64},       //
    {512, 32, 128, 258, true, 4, 258},   {4096, 32, 258, 258, true, 4, 258}};  //

// The encoder's tables, kept by each thread between calls so that their
// pages are faulted in once, not on every call, together with the block
// coder's output area.
struct Tables {
    std::unique_ptr<uint32_t[]> sym;  // levels 2-9: the open block's symbols
    size_t nsym = 0;
    std::unique_ptr<uint16_t[]> u16;  // prev
    size_t n16 = 0;
    std::unique_ptr<Seq[]> seq;  // level 1's sequences
    size_t nseq = 0;
    Scratch scratch;  // the block coder's output
    // Level 1's table is never cleared between calls: each call stores its
    // positions from an offset beyond the last call's end by more than the
    // window, so whatever an earlier call left is out of reach and fails the
    // distance test like an empty slot (0). Clearing its 256 KiB for every small
    // stream cost more than compressing it.
    static constexpr size_t kFastSlots = size_t{1} << kFastBits;
    std::unique_ptr<uint32_t[]> fast;
    uint32_t fast_off = 0;

    // The table and the offset for a call over n bytes.
    uint32_t *get_fast(size_t n, uint32_t &off) {
        constexpr uint64_t kGap = kMaxDist + 1;
        if (!fast) {
            fast.reset(new uint32_t[kFastSlots]());
            fast_off = static_cast<uint32_t>(kGap);
        } else if (fast_off + uint64_t{n} + kGap > UINT32_MAX) {
            std::memset(fast.get(), 0, kFastSlots * sizeof(uint32_t));
            fast_off = static_cast<uint32_t>(kGap);
        }
        off = fast_off;
        fast_off = static_cast<uint32_t>(fast_off + uint64_t{n} + kGap);
        return fast.get();
    }

    Seq *get_seq(size_t n) {
        if (nseq < n) {
            seq.reset(new Seq[n]);
            nseq = n;
        }
        return seq.get();
    }

    // The tables of the last positions of each hash at levels 2-9 (head,
    // near, near4) are not cleared between calls either, for the same
    // reason: clearing the part an input uses (up to 272 KiB) cost every
    // object stream and small form a good share of its compression. Each
    // call stores positions from
    // `chain_off`, which lies past the reach of every position an earlier
    // call stored, so that those fail the distance tests exactly as an
    // empty slot did. Every test compares positions only with each other,
    // so the output is the same whatever the offset. A call uses the first
    // 2^bits slots of each, as many as its input needs.
    static constexpr size_t kHeadSlots = size_t{1} << 15, kNearSlots = size_t{1} << 12;
    std::unique_ptr<uint32_t[]> head, near, near4;
    uint32_t chain_off = 0;

    uint32_t get_chains(size_t n) {
        constexpr uint64_t kGap = kMaxDist + 1;
        if (!head) {
            head.reset(new uint32_t[kHeadSlots]());
            near.reset(new uint32_t[kNearSlots]());
            near4.reset(new uint32_t[kHeadSlots]());
            chain_off = kBias;
        } else if (chain_off + uint64_t{n} + kGap > UINT32_MAX) {
            std::memset(head.get(), 0, kHeadSlots * sizeof(uint32_t));
            std::memset(near.get(), 0, kNearSlots * sizeof(uint32_t));
            std::memset(near4.get(), 0, kHeadSlots * sizeof(uint32_t));
            chain_off = kBias;
        }
        const uint32_t off = chain_off;
        chain_off = static_cast<uint32_t>(chain_off + uint64_t{n} + kGap);
        return off;
    }

    uint32_t *get_sym(size_t n) {
        if (nsym < n) {
            sym.reset(new uint32_t[n]);
            nsym = n;
        }
        return sym.get();
    }
    uint16_t *get16(size_t n) {
        if (n16 < n) {
            u16.reset(new uint16_t[n]);
            n16 = n;
        }
        return u16.get();
    }
};

struct ThreadTables {
    Tables t;
    bool busy = false;
};
thread_local ThreadTables t_tables;

// The thread's tables for one call, or tables of its own while they are in
// use (never so far: the encoder calls nothing that encodes).
class TablesLease {
public:
    TablesLease() {
        if (!t_tables.busy) {
            t_tables.busy = true;
            p_ = &t_tables.t;
        } else {
            own_.reset(new Tables);
            p_ = own_.get();
        }
    }
    ~TablesLease() {
        if (p_ == &t_tables.t) t_tables.busy = false;
    }
    TablesLease(const TablesLease &) = delete;
    TablesLease &operator=(const TablesLease &) = delete;
    Tables &get() { return *p_; }

private:
    Tables *p_ = nullptr;
    std::unique_ptr<Tables> own_;
};

class Encoder {
public:
    Encoder(const ByteSink &sink, size_t total, int level, Tables &tables) : sink_(sink), tables_(tables) {
        if (level == 1) {
            // A sequence holds a match of at least four bytes, or ends a run.
            size_t cap = std::min(kFastBlockSeqs, total / 4 + 2);
            seqs_.blk.seq = tables_.get_seq(cap);
            seqs_.blk.capacity = cap;
            seqs_.blk.clear();
        } else {
            size_t cap = std::min(kBlockSymbols, total + 1);
            blk_.sym = tables_.get_sym(cap);
            blk_.capacity = cap;
            blk_.clear();
        }
    }

    void run(const unsigned char *src, size_t len, int level) {
        raw_ = src;
        if (level == 0) {
            size_t off = 0;
            do {
                size_t n = std::min(len - off, kSegment);
                adler_ = deflate_adler32(adler_, src + off, n);
                write_stored(src + off, n, off + n == len, bits_, tables_.scratch, sink_);
                off += n;
            } while (off < len);
        } else if (level == 1) {
            size_t off = 0;
            do {
                size_t n = std::min(len - off, kSegment);
                fast(src + off, n, off + n == len);
                off += n;
            } while (off < len);
        } else {
            for (size_t off = 0; off < len; off += kSegment) {
                size_t n = std::min(len - off, kSegment);
                // The default level, which the writer uses, has its own copy
                // of the finder with its parameters as constants.
                if (level == kDeflateDefault)
                    chains<kDeflateDefault>(src + off, n, kParams[level]);
                else
                    chains<0>(src + off, n, kParams[level]);
            }
            flush(true);
        }
        finish_bits(bits_, sink_);
    }

    uint32_t adler() const { return adler_; }

private:
    void flush(bool final) {
        write_block(blk_, raw_, final, bits_, tables_.scratch, sink_);
        adler_ = deflate_adler32(adler_, raw_, blk_.raw_len);
        raw_ += blk_.raw_len;
        blk_.clear();
    }
    void literal(unsigned char c) {
        if (blk_.count == blk_.capacity) flush(false);
        blk_.literal(c);
    }
    // Literals p[0, k): the room left in the block is checked once per run.
    void literals(const unsigned char *p, size_t k) {
        while (k > 0) {
            if (blk_.count == blk_.capacity) flush(false);
            size_t take = std::min(k, blk_.capacity - blk_.count);
            blk_.literals(p, take);
            p += take;
            k -= take;
        }
    }
    void match(unsigned len, unsigned dist) {
        if (blk_.count == blk_.capacity) flush(false);
        blk_.match(len, dist);
    }

    // Level 1 over one segment (deflate_fast.cpp). The whole table for
    // every input: it is not cleared (see Tables::get_fast), so a small
    // input costs nothing more for it, and the shift is a constant.
    void fast(const unsigned char *base, size_t n, bool last) {
        uint32_t off = 0;  // stored position = position + off
        uint32_t *const table = tables_.get_fast(n, off);
        deflate_fast(base, n, last, table, off, seqs_);
    }
    template <int Level>
    void chains(const unsigned char *base, size_t n, const Params &params);

    ByteSink sink_;
    Tables &tables_;
    SymbolBlock blk_;
    FastOut seqs_{bits_, tables_.scratch, sink_, adler_};  // level 1's block
    BitState bits_;
    const unsigned char *raw_ = nullptr;  // first input byte of the open block
    uint32_t adler_ = 1;
};

// Levels 2-9: chains of earlier positions with the same 3-byte hash.
// Level is 0 for a copy that takes its parameters from `params`.
template <int Level>
void Encoder::chains(const unsigned char *base, size_t n, const Params &params) {
    const Params p = Level != 0 ? kParams[Level] : params;
    const unsigned hbits = table_bits(n, 8, 15);
    const unsigned wbits = table_bits(n, 8, 15);
    const uint32_t wmask = (uint32_t{1} << wbits) - 1;
    const unsigned nbits = table_bits(n, 8, 12);
    // Stored position = position + off (see Tables::get_chains).
    const uint32_t off = tables_.get_chains(n);
    uint32_t *const head = tables_.head.get();
    uint32_t *const near = tables_.near.get();
    // The last position of each 4-byte hash, when the chains are keyed on six.
    const bool key6 = p.key == 6;
    uint32_t *const near4 = tables_.near4.get();
    // prev[] holds the step back to the next older position of the same
    // chain, kEnd when there is none within reach: 16 bits a slot keep the
    // table at 64 KiB, half of what full positions take, and the chain walk
    // waits on these loads. Every position stored is at least kBias, so a
    // step never wraps below zero, and a step to below the window's start
    // (or to 0) ends the walk. A former head c is an earlier position of
    // this call, or one out of reach (an empty slot, 0, is out of reach
    // too, every position being at least kBias): the step is qs - c, or
    // kEnd once that is beyond the window, which is the smaller of the two.
    constexpr uint32_t kEnd = kMaxDist + 1;
    uint16_t *const prev = tables_.get16(size_t{1} << wbits);
    auto link = [&](uint32_t qs, uint32_t c) { prev[qs & wmask] = static_cast<uint16_t>(std::min(qs - c, kEnd)); };

    // Positions [0, hend) have four readable bytes and can be hashed; those
    // before `wide` have eight, and a 6-byte key. The last few positions are
    // keyed on four bytes: their chains are short and their matches too.
    const size_t hend = n >= 4 ? n - 3 : 0;
    const size_t wide = key6 && n >= 8 ? n - 7 : 0;
    auto slot6 = [&](size_t q) -> uint32_t & {
        return head[static_cast<uint32_t>(((load64(base + q) << 16) * 0x9E3779B97F4A7C15ull) >> (64 - hbits))];
    };
    auto slot4 = [&](size_t q) -> uint32_t & { return head[(load32(base + q) * 2654435761u) >> (32 - hbits)]; };
    auto chain_slot = [&](size_t q) -> uint32_t & { return q < wide ? slot6(q) : slot4(q); };
    size_t ins = 0;  // next position to enter into the chains
    uint32_t near_cand = 0, near4_cand = 0;
    // Enters q into its chain and returns the chain's former head; the last
    // positions with the same first three and four bytes go to near_cand and
    // near4_cand.
    auto insert = [&](size_t q) {
        uint32_t v = load32(base + q), qs = static_cast<uint32_t>(q) + off;
        uint32_t &h = chain_slot(q);
        uint32_t c = h;
        link(qs, c);
        h = qs;
        uint32_t &h3 = near[((v << 8) * 2654435761u) >> (32 - nbits)];
        near_cand = h3;
        h3 = qs;
        if (key6) {
            uint32_t &h4 = near4[(v * 2654435761u) >> (32 - hbits)];
            near4_cand = h4;
            h4 = qs;
        }
        return c;
    };
    // Longest match at q longer than `best` among `chain` candidates from
    // `cand` (which share the chains' key hash), else the last position with
    // the same four bytes, else a 3-byte match close by.
    unsigned last_dist = 0;  // of the last match written
    auto find = [&](size_t q, uint32_t cand, uint32_t cand4, uint32_t cand3, unsigned best, unsigned chain,
                    unsigned &dist) {
        const unsigned char *s = base + q;
        unsigned max = static_cast<unsigned>(std::min<size_t>(kMaxMatch, n - q));
        if (best >= max) return best;
        unsigned nice = std::min<unsigned>(p.nice, max);
        uint32_t qs = static_cast<uint32_t>(q) + off, lim = qs - kMaxDist;
        // A candidate is compared in full only when its first four bytes
        // and the two bytes ending a longer match agree.
        const uint32_t head4 = load32(s);
        // The distance of the last match first: a repeat longer than the
        // longest match continues at the same distance, and its positions
        // may not be in the chains (see `tail` below).
        // (A match's distance is within the window and reaches no further
        // back than this call's first byte.)
        if (last_dist != 0) {
            const unsigned char *m = s - last_dist;
            if (load32(m) == head4) {
                unsigned len = match_length(s, m, max);
                if (len > best) {
                    best = len;
                    dist = last_dist;
                    if (len >= nice) return best;
                }
            }
        }
        uint32_t tail2 = load16(s + best - 1);
        while (cand >= lim && chain-- > 0) {
            const unsigned char *m = base + (cand - off);
            if (load16(m + best - 1) == tail2 && load32(m) == head4) {
                unsigned len = match_length(s, m, max);
                if (len > best) {
                    best = len;
                    dist = qs - cand;
                    if (len >= nice) break;
                    tail2 = load16(s + best - 1);
                }
            }
            cand -= prev[cand & wmask];
        }
        if (key6 && best < 6 && cand4 >= lim) {
            const unsigned char *m = base + (cand4 - off);
            if (load32(m) == head4) {
                unsigned len = match_length(s, m, max);
                if (len > best) {
                    best = len;
                    dist = qs - cand4;
                }
            }
        }
        if (best < kMinMatch && cand3 + kTooFar >= qs) {
            const unsigned char *m = base + (cand3 - off);
            if ((load32(m) & 0xffffff) == (head4 & 0xffffff)) {
                best = kMinMatch;
                dist = qs - cand3;
            }
        }
        return best;
    };

    size_t q = 0;
    while (q < hend) {
        uint32_t cand = insert(q);
        ins = q + 1;
        unsigned dist = 0, len = find(q, cand, near4_cand, near_cand, kMinMatch - 1, p.chain, dist);
        if (len < kMinMatch || (len == kMinMatch && dist > kTooFar)) {
            literal(base[q++]);
            continue;
        }
        if (p.lazy_eval) {
            while (len < p.lazy && q + 1 < hend) {
                uint32_t c1 = insert(q + 1);
                ins = q + 2;
                unsigned d1 = 0, l1 = find(q + 1, c1, near4_cand, 0, len, len >= p.good ? p.chain >> 2 : p.chain, d1);
                if (l1 <= len) break;
                literal(base[q++]);
                len = l1;
                dist = d1;
            }
        }
        match(len, dist);
        last_dist = dist;
        q += len;
        if (!p.lazy_eval && len > p.lazy) ins = std::max(ins, q);
        if (q >= hend) break;
        // Positions inside the match join the chains only: a 3-byte match
        // is worth taking only close by, where a later position is. Of a
        // long match only the last `tail` positions join: a match that
        // starts in the middle of a long repeat is found from its start as
        // well, and the walk over every position inside costs more than the
        // few bytes those extra candidates would save. (After a literal
        // every position up to the next is in already.)
        if (q - ins > p.tail) ins = q - p.tail;
        // The positions keyed on six bytes, then any keyed on four, each
        // in a loop of its own.
        for (const size_t w = std::min(q, wide); ins < w; ++ins) {
            const uint32_t qs = static_cast<uint32_t>(ins) + off;
            uint32_t &h = slot6(ins);
            link(qs, h);
            h = qs;
        }
        for (; ins < q; ++ins) {
            const uint32_t qs = static_cast<uint32_t>(ins) + off;
            uint32_t &h = slot4(ins);
            link(qs, h);
            h = qs;
        }
    }
    for (; q < n; ++q) literal(base[q]);
}

template <class Out>
void append_bytes(void *ctx, const unsigned char *p, size_t n) {
    auto &out = *static_cast<Out *>(ctx);
    out.insert(out.end(), p, p + n);
}

template <class Out>
void compress(Out &out, const unsigned char *src, size_t len, int level) {
    if (level < 0) level = kDeflateDefault;
    if (level > 9) level = 9;
    // 32K window; the level class in the header's top bits (a hint only).
    unsigned cmf = 0x78, flg = (level <= 1 ? 0u : level <= 5 ? 1u : level == 6 ? 2u : 3u) << 6;
    flg += (31 - (cmf * 256 + flg) % 31) % 31;
    const unsigned char head[2] = {static_cast<unsigned char>(cmf), static_cast<unsigned char>(flg)};
    // Room for what text compresses to, so that the output seldom moves
    // while it grows; data that compresses less grows it a few times more.
    // Small streams (font widths, form content) compress least: they get
    // room for their stored form, a few KiB at most.
    out.reserve(out.size() + (len <= 4096 ? len + len / 64 + 16 : len / 4 + 64));
    out.insert(out.end(), head, head + 2);
    TablesLease tables;
    Encoder enc(ByteSink{&out, &append_bytes<Out>}, len, level, tables.get());
    enc.run(src, len, level);
    uint32_t a = enc.adler();
    const unsigned char tail[4] = {static_cast<unsigned char>(a >> 24), static_cast<unsigned char>(a >> 16),
                                   static_cast<unsigned char>(a >> 8), static_cast<unsigned char>(a)};
    out.insert(out.end(), tail, tail + 4);
}

}  // namespace

uint32_t deflate_adler32(uint32_t adler, const unsigned char *src, size_t len) {
    constexpr uint32_t kMod = 65521;
    // Runs of at most 5536 bytes (173 groups of 32) between reductions keep
    // every sum below 2^32.
    constexpr size_t kGroup = 32, kGroups = 173;
    uint32_t s1 = adler & 0xffff, s2 = adler >> 16;
    // Long inputs in runs of up to 32 blocks of 16 groups of 32 bytes. In a
    // block, the 32 lanes j (bytes j, j + 32, ...) keep 16-bit sums, which
    // the vectorizer packs twice as densely as 32-bit ones: a byte is at
    // most 255, so a lane's sum a stays below 16 * 255 and its running
    // total b below 136 * 255. After each block they are added to 32-bit
    // lanes, B[j] += 16 * A[j] + b[j] and A[j] += a[j], so that, as in the
    // loop below, a byte of group g of the run is counted in B (groups - g)
    // times (at most 512 * 513 / 2 * 255 in all).
    constexpr size_t kLanes = 32, kBlock = kLanes * 16, kBlocks = 32;
    while (len >= kBlock) {
        size_t blocks = std::min(len / kBlock, kBlocks);
        len -= blocks * kBlock;
        uint32_t A[kLanes] = {}, B[kLanes] = {};
        for (size_t k = 0; k < blocks; ++k) {
            uint16_t a[kLanes] = {}, b[kLanes] = {};
            for (size_t g = 0; g < kBlock / kLanes; ++g, src += kLanes) {
                for (size_t j = 0; j < kLanes; ++j) {
                    a[j] = static_cast<uint16_t>(a[j] + src[j]);
                    b[j] = static_cast<uint16_t>(b[j] + a[j]);
                }
            }
            for (size_t j = 0; j < kLanes; ++j) {
                B[j] += 16 * A[j] + b[j];
                A[j] += a[j];
            }
        }
        uint64_t sum = 0, twice = 0;
        for (size_t j = 0; j < kLanes; ++j) {
            sum += A[j];
            twice += uint64_t{kLanes} * B[j] - uint64_t{j} * A[j];
        }
        s2 = static_cast<uint32_t>((s2 + uint64_t{s1} * (blocks * kBlock) + twice) % kMod);
        s1 = static_cast<uint32_t>((s1 + sum) % kMod);
    }
    while (len >= kGroup) {
        size_t groups = std::min(len / kGroup, kGroups);
        len -= groups * kGroup;
        // Lane j sums the bytes j, j + 32, j + 64, ... (a[j]) and, after
        // every group, adds its running sum to b[j]. A byte at lane j of
        // group g is then counted (groups - g) times in b[j]; s2 wants it
        // 32 * (groups - g) - j times, and the s1 it starts from once per
        // byte. The lanes are independent, so the loop runs as vector code.
        uint32_t a[kGroup] = {}, b[kGroup] = {};
        for (size_t g = 0; g < groups; ++g, src += kGroup) {
            for (size_t j = 0; j < kGroup; ++j) {
                a[j] += src[j];
                b[j] += a[j];
            }
        }
        uint64_t sum = 0, twice = 0;
        for (size_t j = 0; j < kGroup; ++j) {
            sum += a[j];
            twice += uint64_t{kGroup} * b[j] - uint64_t{j} * a[j];
        }
        s2 = static_cast<uint32_t>((s2 + uint64_t{s1} * (groups * kGroup) + twice) % kMod);
        s1 = static_cast<uint32_t>((s1 + sum) % kMod);
    }
    for (; len > 0; --len) {
        s1 += *src++;
        s2 += s1;
    }
    s1 %= kMod;
    s2 %= kMod;
    return s2 << 16 | s1;
}

void deflate_compress_into(std::string &out, const unsigned char *src, size_t len, int level) {
    compress(out, src, len, level);
}

std::vector<unsigned char> deflate_compress(const unsigned char *src, size_t len, int level) {
    std::vector<unsigned char> out;
    compress(out, src, len, level);
    return out;
}

}  // namespace sheetlay
