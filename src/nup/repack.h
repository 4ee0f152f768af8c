// Compact output's last step: the classic file that compose wrote becomes a
// file of object streams and a cross-reference stream.
//
// Compose always writes the classic layout (every object at the top level, a
// table of fixed 20-byte entries); repack then reads that table back from the
// image, moves the body of every object that is not a stream into Flate-
// compressed object streams, slides the stream objects down over the room
// this frees (the image only shrinks, so the peak stays about one output),
// and appends the object streams and a compressed cross-reference stream.
// Object numbers do not change; the object streams and the cross-reference
// stream take the numbers after the classic /Size. Working on the finished
// file keeps compose and its numbering untouched, and whatever the writer
// adds to the trailer (/Root, /Info, /ID) is carried over from it.
#ifndef SHEETLAY_NUP_REPACK_H
#define SHEETLAY_NUP_REPACK_H

#include <string>

#include "codec/deflate.h"
#include "nup/pdfout.h"

namespace sheetlay::nup {

// `text` as a zlib stream of our encoder (default level unless given).
std::string compressed_text(const std::string &text, int level = kDeflateDefault);

// Rewrites the classic file in `img` with object streams and a cross-
// reference stream, and marks it PDF 1.5. When the image's table or objects
// are not as compose writes them, the image is left as it is (still a valid
// classic file).
void repack(image &img);

}  // namespace sheetlay::nup

#endif
