// Finding the "stream" keyword after many dictionaries of one text at once.
//
// Loading asks, for every object header whose body opens with "<<", whether
// a stream follows the dictionary. Asked one by one (dict_stream_kw), a
// damaged file with many dictionaries that never close would make each walk
// run to the end of the file: quadratic time. This unit answers all of them
// with the same results in about linear time.
#ifndef SHEETLAY_PDF_DICTWALK_H
#define SHEETLAY_PDF_DICTWALK_H

#include <cstdint>
#include <vector>

namespace sheetlay {

// out[k] = dict_stream_kw(t, len, asks[k]) for every k, asked in the order
// given (later positions first answers best). `starts` must hold every
// position that is asked about. `budget`: steps for plain walks before the
// shared memo takes over; negative for the default (8 x len + 1 MiB).
void dict_stream_kws(const unsigned char *t, int32_t len, std::vector<int32_t> starts,
                     const std::vector<int32_t> &asks, std::vector<int32_t> &out,
                     int64_t budget = -1);

// For the tests: the answers for positions pos[0..n), asked as loading asks
// (last position first), with `budget` steps for plain walks (negative: as
// loading gives).
void dict_stream_kw_many(const unsigned char *t, int32_t len, const int32_t *pos, int32_t n,
                         int32_t *out, int64_t budget);

}  // namespace sheetlay

#endif
