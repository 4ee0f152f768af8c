// The whole-file scan for object headers: the first and largest step of
// building the object index (pdf/index), and the one step of loading that
// reads every byte of the file.
//
// What the scan finds at a place depends only on the bytes around it, so a
// large file is cut into pieces that this thread and one helper scan at
// once; the pieces' findings are joined in file order into what one scan
// of the whole file finds, whoever scanned which piece.
#ifndef SHEETLAY_PDF_OBJSCAN_H
#define SHEETLAY_PDF_OBJSCAN_H

#include <climits>
#include <cstdint>
#include <vector>

#include "pdf/document.h"

namespace sheetlay {

// A stream dictionary's /Length as parse_length reads it: a direct value,
// or the object number of an indirect one (-1 for neither); `direct` is
// kLengthUnread when the scan left it to be read later.
struct stream_length {
    int32_t direct, ref;
};
constexpr int32_t kLengthUnread = INT32_MIN;

struct object_scan {
    std::vector<int32_t> endobjs;  // every whole-token "endobj", in file order
    // Every whole-token "obj" in file order, a last one that ends the file
    // included (no body follows it, but a body can reach it).
    std::vector<int32_t> heads;
    // One per stream entry of the index, in its order.
    std::vector<stream_length> lengths;
};

// Appends to d->obj_store an entry for every usable object header: its
// number, generation and body, for a dictionary body the "stream" keyword
// after it and where the stream's data begins, else the "endobj" that ends
// it (headers whose body is no stream and which no "endobj" follows are
// left out). The /Length of the stream dictionaries is read along, up to
// `length_work` bytes of dictionary in all.
//
// `cuts` are the places (sorted, inside the file) where the file is cut
// into pieces scanned apart; null cuts a large file by its size, an empty
// list scans the file whole on this thread. The result does not depend on
// them (the tests cut everywhere).
void scan_objects(doc *d, object_scan &out, int64_t length_work, const std::vector<int32_t> *cuts = nullptr);

}  // namespace sheetlay

#endif
