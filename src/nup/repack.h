// Compact output: objects that are not streams go into Flate-compressed
// object streams, indexed by a cross-reference stream.
//
// The packer takes the objects as compose writes them (the image hands each
// one over once the next starts, see nup/pdfout): the body of every object
// that is framed "N 0 obj ... endobj" and plainly not a stream joins the
// current object stream; any other object stays at the top level, where the
// image puts it. A carried object's body may instead be written straight
// into the object stream (body_room, body_done), trimmed and checked as
// take() would: the same bytes, with no copy in the image and no frame to
// read again. After the last object come the object streams and the
// cross-reference stream. Object numbers do not change; the object streams
// and the cross-reference stream take the numbers after the classic /Size.
// repack does the same to a classic file held whole in an image.
#ifndef SHEETLAY_NUP_REPACK_H
#define SHEETLAY_NUP_REPACK_H

#include <cstdint>
#include <string>
#include <vector>

#include "codec/deflate.h"
#include "nup/compress_queue.h"
#include "nup/pdfout.h"

namespace sheetlay::nup {

// `text` as a zlib stream of our encoder (default level unless given).
std::string compressed_text(const std::string &text, int level = kDeflateDefault);

class packer {
public:
    // first_new: the first number after the classic objects (their /Size).
    // The object streams are compressed on a second thread as they fill
    // (nup/compress_queue), unless one_thread.
    explicit packer(uint64_t first_new, bool one_thread = false);
    // Object `num`, t[0, n) from its "N 0 obj" to the next object: true when
    // it joined an object stream, false when it stays at the top level.
    bool take(uint32_t num, const unsigned char *t, uint64_t n);
    // The same for a body written straight into the object stream, with no
    // frame and no copy: the text to append the body of object `num` to,
    // or null when it must come through take() instead (a number past the
    // classic ones, or an object stream that is full and closes first).
    std::string *body_room(uint32_t num);
    // The body of `num` was appended to *body_room(num) from `from` on, as
    // it stands between "obj" and "endobj": true when it joined the object
    // stream (trimmed as take() trims it), false when it stays at the top
    // level (blank, or naming "stream"), its bytes taken back out.
    bool body_done(uint32_t num, size_t from);
    // Object `num` stands at the top level at output offset `at`.
    void top(uint32_t num, uint64_t at);
    // Appends the object streams, the cross-reference stream (its /Root,
    // /Info and /ID from the classic trailer dictionary, or given) and
    // startxref.
    void finish(image &img, const std::string &trailer);
    void finish(image &img, const std::string &root, const std::string &info,
                const std::string &id);

private:
    // One row of the cross-reference stream: 0 free, 1 at offset f2, 2 in
    // object stream f2 at index f3.
    // Eight bytes, as there is one for every object of the output: the
    // type in the top two bits, f3 (an index in an object stream, under
    // 256) in the low eight, f2 (an offset or object number) between.
    class row {
    public:
        row() = default;
        row(uint64_t f2, uint32_t f3, uint8_t type);
        uint64_t f2() const { return (v_ >> 8) & kF2Max; }
        uint32_t f3() const { return static_cast<uint32_t>(v_ & 0xFF); }
        uint8_t type() const { return static_cast<uint8_t>(v_ >> 62); }
        static constexpr uint64_t kF2Max = (uint64_t{1} << 54) - 1;

    private:
        uint64_t v_ = 0;
    };
    // The object stream that fills: "num offset ..." pairs and the bodies,
    // each ended by a line feed.
    struct objstm {
        std::string head, data;
        uint32_t count = 0;
    };
    void close_stream(bool last = false);
    bool full() const;
    // Object `num`'s entry in the head and its row; its body starts at
    // `at` in the data.
    void enter(uint32_t num, size_t at);

    uint64_t base_;
    std::vector<row> rows_;
    objstm cur_;
    compress_queue packed_;            // finished streams, compressed by index
    std::vector<std::string> dicts_;  // and their dictionaries' entries
};

// Rewrites the classic file in `img` with object streams and a cross-
// reference stream, and marks it PDF 1.5. When the image's table or objects
// are not as compose writes them, the image is left as it is (still a valid
// classic file).
void repack(image &img);

}  // namespace sheetlay::nup

#endif
