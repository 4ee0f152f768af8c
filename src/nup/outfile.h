// Putting the finished output at its path without ever destroying a file.
//
// The bytes go to a new temporary file beside the output (same folder, so
// the same file system), which replaces the output path only once every
// byte was written and the file closed without error. A failure at any
// point leaves what stood at the path as it was and no temporary file
// behind. Paths that name something other than a regular file (a device
// such as /dev/null, a pipe) are written directly: renaming over them would
// replace the device or pipe with a file.
#ifndef SHEETLAY_NUP_OUTFILE_H
#define SHEETLAY_NUP_OUTFILE_H

#include <cstddef>

namespace sheetlay::nup {

// Writes data[0, n) to `path`. True on success; else false with the error
// text set: "cannot write PATH", "short write to PATH" or "close error on
// PATH", with the path as given.
bool write_output(const char *path, const unsigned char *data, size_t n);

}  // namespace sheetlay::nup

#endif
