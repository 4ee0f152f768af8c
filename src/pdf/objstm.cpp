// Expansion of object streams (see pdf/objstm.h).
//
// An encrypted file's streams are decrypted first. A Flate stream's decoded
// size is unknown: the area starts at eight times the stored size and grows
// fourfold while the decoder reports a lack of room, up to what Flate can
// expand to; other filter chains go through the general decoders. Every check on a stream's header (member
// count, offsets) comes before its members are added, and a stream none of
// whose members is usable keeps no decoded bytes, so that damaged or
// hostile files cannot make the budget go to waste.
#include "pdf/objstm.h"

#include <cstring>
#include <memory>
#include <new>
#include <utility>

#include "codec/filters.h"
#include "codec/inflate.h"
#include "pdf/bytescan.h"
#include "pdf/decrypt.h"
#include "pdf/lexer.h"
#include "pdf/stream.h"

namespace sheetlay {

namespace {

// The most decoded bytes that all object streams of a document may hold.
constexpr uint64_t kInflateMax = kInflateMaxOut;

// A block for decoded bytes, or null when it cannot be had: the stream is
// then passed over, as the decoder's refusal of a large area would be.
std::unique_ptr<unsigned char[]> new_block(uint64_t n) {
    return std::unique_ptr<unsigned char[]>(new (std::nothrow) unsigned char[static_cast<size_t>(n ? n : 1)]);
}

// Whether t[from, end) can hold what marks an object stream: a /ObjStm, or
// (when judged by structure) both a /N and a /First, each a whole name
// anywhere in the text. The searches below find only names that this finds,
// so a false answer is theirs; one pass over the slashes settles the many
// streams that are no object streams (pages, fonts, images) without them.
bool may_be_object_stream(const unsigned char *t, int32_t from, int32_t end, bool by_structure) {
    // The name at t[i] continues past k bytes of it.
    auto whole = [&](int64_t i, int64_t k) { return i + k == end || !is_name_char(t[i + k]); };
    bool n = false, first = false;
    int64_t i = from;
    while (i + 1 < end) {
        // Only the slashes before these three letters matter.
        const unsigned char *hit = first_pair<'/', 'O', 'N', 'F'>(t + i, t + end);
        if (!hit) break;
        i = hit - t;
        const unsigned char c = t[i + 1];
        if (c == 'O') {
            if (end - i >= 7 && std::memcmp(t + i + 2, "bjStm", 5) == 0 && whole(i, 7)) return true;
        } else if (c == 'N') {
            n = n || whole(i, 2);
        } else if (c == 'F') {
            first = first || (end - i >= 6 && std::memcmp(t + i + 2, "irst", 4) == 0 && whole(i, 6));
        }
        ++i;
    }
    return by_structure && n && first;
}

bool is_object_stream(const unsigned char *t, int32_t len, const obj_entry &e, bool by_structure) {
    if (e.in_objstm || !e.is_stream || e.dict_pos < 0) return false;
    int32_t b = e.stream_pos > 0 ? e.stream_pos : len;
    if (b > len) b = len;
    if (!may_be_object_stream(t, e.dict_pos, b, by_structure)) return false;
    if (find_name(t, len, e.dict_pos, b, "ObjStm") >= 0) return true;
    // Some writers give object streams another /Type (or none); what makes
    // one is its member count and the offset of its first member, which no
    // other stream carries together.
    return by_structure && find_name_top(t, b, e.dict_pos, b, "N") >= 0 &&
           find_name_top(t, b, e.dict_pos, b, "First") >= 0;
}


// Decodes an object stream's data src[0, R) into *block. Flate alone (the
// common case) decodes into an area that starts at eight times the stored
// size and grows fourfold while the decoder reports a lack of room, up to
// what Flate can expand to; other filter chains go through the general
// decoders within the same room. *taken is the room the result uses.
bool decode_objstm(const unsigned char *t, int32_t len, const obj_entry &e, int32_t b,
                   const unsigned char *src, int64_t R, uint64_t room_left,
                   std::unique_ptr<unsigned char[]> *block, uint64_t *D, uint64_t *taken) {
    rng fv{-1, -1}, pv{-1, -1};
    filter_chain chain;
    bool listed = stream_filters(t, len, e.dict_pos, b, &fv, &pv);
    bool lone_flate = !listed && find_name(t, len, e.dict_pos, b, "FlateDecode") >= 0;
    if (listed) {
        if (parse_filter_chain(t + fv.start, static_cast<size_t>(fv.end - fv.start),
                               pv.start >= 0 ? t + pv.start : nullptr,
                               pv.start >= 0 ? static_cast<size_t>(pv.end - pv.start) : 0,
                               &chain) != filter_status::ok)
            return false;
        lone_flate = chain.count == 1 && chain.step[0].kind == filter_kind::flate &&
                     chain.step[0].parms.predictor == 1;
    }
    if (lone_flate) {
        uint64_t Z = 8 * static_cast<uint64_t>(R) + 64;
        // Deflate data cannot expand more than 1032 times (a 258-byte match
        // in two bits), so once an area of this size has failed, larger ones
        // fail too: the data is cut short or its frame refused.
        const uint64_t most = 1032 * static_cast<uint64_t>(R) + 4096;
        for (;;) {
            if (Z > room_left) Z = room_left;
            if (Z == 0) break;
            *block = new_block(Z);
            if (!*block) break;
            int room = 0;
            if (inflate_decompress_ex(src, static_cast<uint64_t>(R), block->get(), Z, D, &room) == 0)
                break;
            // The failed attempt's block is not kept.
            block->reset();
            // Data cut short or a refused frame fails in any area.
            if (!room || Z > 268435455 || Z >= most || Z >= room_left) break;
            Z *= 4;
        }
        if (!*block) return false;
        *taken = Z;
        return true;
    }
    if (listed && chain.count > 0) {
        std::vector<unsigned char> dec;
        filter_status st = decode_filters(chain, src, static_cast<size_t>(R), room_left, &dec);
        if (st != filter_status::ok && st != filter_status::damaged) return false;
        *block = new_block(dec.size());
        if (!*block) return false;
        if (!dec.empty()) std::memcpy(block->get(), dec.data(), dec.size());
        *D = dec.size();
        *taken = dec.size();
        return true;
    }
    // Raw bytes: the members point into a copy of exactly these.
    if (static_cast<uint64_t>(R) > room_left) return false;
    *taken = static_cast<uint64_t>(R);
    *block = new_block(static_cast<uint64_t>(R));
    if (!*block) return false;
    if (R) std::memcpy(block->get(), src, static_cast<size_t>(R));
    *D = static_cast<uint64_t>(R);
    return true;
}

}  // namespace

void expand_object_streams(doc *d, dict_budget &budget, std::vector<char> &objstm, bool by_structure) {
    const unsigned char *t = d->data;
    int32_t len = d->len;
    std::vector<obj_entry> &objs = d->obj_store;
    const int32_t count = static_cast<int32_t>(objs.size());
    objstm.assign(static_cast<size_t>(count), 0);
    // Stream data already expanded: a sound file has one object per stream;
    // more headers claiming the same data are damage, and expanding it again
    // would only repeat the same members (at the cost of another decoding).
    pos_set expanded;
    // The dictionary is read for /ObjStm and then for /FlateDecode, /N and
    // /First.
    const std::vector<char> allowed = dicts_allowed(objs, len, budget, 4);
    // Expanded object streams stay as long as the document. All of them
    // together get no more room than the decoder gives one stream, so that a
    // file of many small Flate bombs cannot take memory without bound.
    uint64_t room_left = kInflateMax;
    for (int32_t idx = 0; idx < count; ++idx) {
        if (!allowed[static_cast<size_t>(idx)] || !is_object_stream(t, len, objs[idx], by_structure)) continue;
        obj_entry e = objs[idx];  // copy: pushes below may move the array
        int32_t b = e.stream_pos > 0 ? e.stream_pos : len;
        objstm[static_cast<size_t>(idx)] = 1;
        int64_t R = static_cast<int64_t>(e.data_end) - e.data_start;
        if (R < 0 || R > 268435456 || e.data_start < 0 || e.data_end > len) continue;
        if (!expanded.insert(e.data_start).second) continue;
        // An encrypted file's object streams are decrypted as a whole; the
        // members' strings are then plain.
        const unsigned char *src = t + e.data_start;
        std::vector<unsigned char> plain;
        if (decrypt_stream(d, &e, src, static_cast<size_t>(R), &plain)) {
            src = plain.data();
            R = static_cast<int64_t>(plain.size());
        }
        std::unique_ptr<unsigned char[]> block;
        uint64_t D = 0;
        uint64_t taken = 0;
        if (!decode_objstm(t, len, e, b, src, R, room_left, &block, &D, &taken)) continue;
        int32_t Dl = static_cast<int32_t>(D);  // D <= 2^30
        int32_t n = first_name_int(t, len, e.dict_pos, b, "N", 1);
        int32_t F = first_name_int(t, len, e.dict_pos, b, "First", 0);
        // 2 x n numbers take at least 4 x n - 1 bytes ("1 0 2 5"); a header
        // that cannot fit is refused before room for it is taken, so that
        // many small streams claiming 100,000 members each cost nothing.
        if (n < 1 || n > 100000 || F < 0 || F > Dl || 4 * static_cast<int64_t>(n) - 1 > Dl) continue;
        std::vector<int32_t> nums(static_cast<size_t>(n)), offs(static_cast<size_t>(n));
        int32_t cur = 0;
        bool bad = false;
        for (int32_t k = 0; k < n && !bad; ++k) {
            nums[k] = read_int_adv(block.get(), Dl, &cur);
            offs[k] = read_int_adv(block.get(), Dl, &cur);
            bad = nums[k] < 0 || offs[k] < 0;
        }
        if (bad) continue;
        int32_t added = 0;
        for (int32_t k = 0; k < n; ++k) {
            int64_t at = static_cast<int64_t>(F) + offs[k];
            int64_t mlen = k + 1 < n ? static_cast<int64_t>(offs[k + 1]) - offs[k] : Dl - at;
            if (nums[k] <= 0 || mlen < 1 || mlen > 1048576) continue;
            // A member never reaches past the decoded bytes.
            if (at >= Dl) continue;
            if (at + mlen > Dl) mlen = Dl - at;
            obj_entry m{};
            m.num = nums[k];
            m.hdr_pos = m.dict_pos = m.stream_pos = m.data_start = m.data_end = m.endobj_pos = -1;
            m.in_objstm = 1;
            m.text = block.get() + at;
            m.text_len = static_cast<int32_t>(mlen);
            objs.push_back(m);
            ++added;
        }
        // Decoded bytes that no member points into are not kept (the block
        // is released at the end of this turn).
        if (added > 0) {
            d->ar.push_back(std::move(block));
            room_left -= taken;
        }
    }
}

}  // namespace sheetlay
