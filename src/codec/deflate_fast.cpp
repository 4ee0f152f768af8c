// Level 1 of the Flate encoder: one probe of a table keyed on seven bytes,
// greedy, with larger steps through data where nothing matches (images
// already compressed), and sequences (a literal run, then a match) as its
// symbols. Its loop shares nothing with the hash chains of levels 2-9 in
// deflate.cpp, which also frames the stream and keeps the table this finder
// probes (between calls, per thread), so it is a unit of its own.
#include "deflate_fast.h"

#include <algorithm>
#include <bit>

#include "deflate.h"

namespace sheetlay::deflate_detail {

namespace {
constexpr size_t kFastBlockBytes = size_t{1} << 17;
}  // namespace

// Level 1: one table slot per hash of seven bytes, holding the last
// position seen, greedy, and sequences (a literal run, then a match)
// instead of single symbols. Keying on seven bytes although a match needs
// only four passes over the short repeats of page content (" Td (", "0 0 ")
// whose last occurrence seldom continues, for the last place where seven
// agree, which usually goes on further: fewer and longer matches. Every
// sequence costs the finder and the writer a few mispredicted branches,
// literals hardly any, so fewer sequences are faster; entering a match's
// last two positions wins back the size (on the corpus's content streams
// six bytes and one position gave 0.950x zlib 1's size at 2.65x its
// speed, seven and two 0.947x at 2.92x). A block ends after
// kFastBlockBytes of input or when its sequences fill the buffer; a run of
// literals is cut there too, so that a block of data that does not
// compress stays bounded.
void deflate_fast(const unsigned char *base, size_t n, bool last, uint32_t *const table, const uint32_t off,
                 FastOut &out) {
    auto hash = [](const unsigned char *q) {
        return static_cast<uint32_t>(((load64(q) << 8) * 0x9E3779B97F4A7C15ull) >> (64 - kFastBits));
    };
    const unsigned char *ip = base, *anchor = base, *const end = base + n;
    // Positions before `limit` have eight readable bytes; the last seven
    // bytes go out as literals.
    const unsigned char *const limit = n >= 8 ? end - 7 : base;
    const unsigned char *block = base;  // first input byte of the open block
    // The block's sequences and counts are kept in locals while it fills
    // (the compiler would otherwise load and store them for every match);
    // the block covers [block, anchor) when it is written.
    SeqBlock &blk = out.blk;
    Seq *sq = blk.seq, *const sq_end = blk.seq + blk.capacity;
    // The counts are reached through the block itself, at fixed offsets
    // from one register, rather than through three pointers of their own.
    auto flush_seqs = [&](bool final) {
        blk.count = static_cast<size_t>(sq - blk.seq);
        blk.raw_len = static_cast<size_t>(anchor - block);
        write_block(blk, block, final, out.bits, out.scratch, out.sink);
        out.adler = deflate_adler32(out.adler, block, blk.raw_len);
        block = anchor;
        blk.clear();
        sq = blk.seq;
    };
    // Literals are counted where the probe loop passes them (see below),
    // not here: a run's own counting loop, of a length that changes with
    // every run, cost about one mispredicted branch per sequence. Only the
    // input's last bytes, which are never probed, are counted by this.
    auto count_lits = [&](const unsigned char *p, const unsigned char *e, int by) {
        for (; p < e; ++p) blk.litlen_freq[*p] += static_cast<uint32_t>(by);
    };
    // The literals [anchor, ip) (counted already), then a match unless dist
    // is 0.
    auto add = [&](unsigned len, unsigned dist) {
        if (sq == sq_end) [[unlikely]] {
            // The run's literals were counted into the block that is full;
            // they move to the next one with the run.
            count_lits(anchor, ip, -1);
            flush_seqs(false);
            count_lits(anchor, ip, 1);
        }
        const size_t k = static_cast<size_t>(ip - anchor);
        unsigned dc = 0;
        if (dist) {
            dc = dist_code(dist);
            ++blk.litlen_freq[257 + kLenCode[len - kMinMatch]];
            ++blk.dist_freq[dc];
        }
        *sq++ = Seq{static_cast<uint32_t>(k), static_cast<uint8_t>(len - kMinMatch), static_cast<uint8_t>(dc),
                    static_cast<uint16_t>(dist)};
    };
    for (;;) {
        const unsigned char *stop =
            limit - block > static_cast<ptrdiff_t>(kFastBlockBytes) ? block + kFastBlockBytes : limit;
        if (ip >= stop) {
            if (ip >= limit) break;
            // The block is full (matches can run past its nominal end).
            if (ip > anchor) {
                add(0, 0);
                anchor = ip;
            }
            flush_seqs(false);
            continue;
        }
        unsigned misses = 0;
        while (ip < stop) {
            // Positions are probed until one's slot holds an earlier position
            // within reach whose first four bytes agree. The loop keeps only
            // the offset and the distance: with nothing else live, every
            // value stays in a register.
            size_t i = static_cast<size_t>(ip - base);
            const size_t stop_i = static_cast<size_t>(stop - base);
            uint32_t d;
            uint32_t *const freq = blk.litlen_freq;
            // Enters position i into the table; true if its slot held an
            // earlier position within reach whose first four bytes agree.
            auto probe = [&](size_t at) {
                const unsigned char *q = base + at;
                uint32_t &slot = table[hash(q)];
                const uint32_t pos = static_cast<uint32_t>(at) + off;
                d = pos - slot;  // out of reach for an empty or an old slot
                slot = pos;
                return d <= kMaxDist && load32(q - d) == load32(q);
            };
            // The position right after a match is probed on its own: it
            // starts another match about half the time, the later ones of a
            // run much less often, and a branch of its own lets the
            // predictor tell the two apart.
            if (!probe(i)) {
                ++freq[base[i]];
                ++i;
                misses = 1;
                while (i < stop_i) {
                    if (probe(i)) break;
                    // A miss is a literal, counted here while its byte is at
                    // hand.
                    ++freq[base[i]];
                    ++i;
                    // Through data that does not compress (image samples),
                    // the step grows with every 8 misses in a row; the
                    // positions stepped over are literals too.
                    if (const size_t skip = misses++ >> 3) [[unlikely]] {
                        const size_t to = std::min(i + skip, stop_i);
                        for (; i < to; ++i) ++freq[base[i]];
                    }
                }
            }
            if (i >= stop_i) {
                ip = stop;
                break;
            }
            ip = base + i;
            const unsigned char *m = ip - d;
            unsigned len;
            if (end - ip >= 20 && std::endian::native == std::endian::little) {
                // Most matches end within the next sixteen bytes: the length
                // is taken from two words without a branch on which of them
                // differs first.
                const uint64_t x = load64(ip + 4) ^ load64(m + 4);
                const uint64_t y = load64(ip + 12) ^ load64(m + 12);
                if ((x | y) != 0) {
                    const unsigned cx = static_cast<unsigned>(std::countr_zero(x));
                    const unsigned cy = static_cast<unsigned>(std::countr_zero(y));
                    len = 4 + (cx == 64 ? 64 + cy : cx) / 8;
                } else {
                    unsigned max = static_cast<unsigned>(std::min<size_t>(kMaxMatch, static_cast<size_t>(end - ip)));
                    len = 20 + match_length(ip + 20, m + 20, max - 20);
                }
            } else {
                len = 4 + match_length(ip + 4, m + 4, static_cast<unsigned>(
                                                          std::min<size_t>(kMaxMatch, static_cast<size_t>(end - ip))) -
                                                          4);
            }
            const unsigned dist = static_cast<unsigned>(ip - m);
            add(len, dist);
            ip += len;
            // A repeat longer than the longest match goes on at the same
            // distance; its positions were never entered into the table.
            while (len == kMaxMatch && ip < limit && load32(ip) == load32(ip - dist)) {
                anchor = ip;
                unsigned max = static_cast<unsigned>(std::min<size_t>(kMaxMatch, static_cast<size_t>(end - ip)));
                len = 4 + match_length(ip + 4, ip + 4 - dist, max - 4);
                add(len, dist);
                ip += len;
            }
            anchor = ip;
            misses = 0;
            // The match's last two positions enter the table: a repeat
            // that goes on after a changed byte (a number in a line of
            // operators) is found from there.
            if (ip - 1 < limit) {
                table[hash(ip - 2)] = static_cast<uint32_t>(ip - 2 - base) + off;
                table[hash(ip - 1)] = static_cast<uint32_t>(ip - 1 - base) + off;
            }
        }
    }
    // Literals before ip are counted; the last bytes, never probed, not.
    count_lits(std::max(ip, anchor), end, 1);
    ip = end;
    if (ip > anchor) add(0, 0);
    anchor = end;
    flush_seqs(last);
}

}  // namespace sheetlay::deflate_detail
