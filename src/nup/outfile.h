// Putting the output at its path without ever destroying a file.
//
// The bytes stream to a new temporary file beside the output (same folder, so
// the same file system), which replaces the output path only once every
// byte was written and the file closed without error. A failure at any
// point leaves what stood at the path as it was and no temporary file
// behind. Paths that name something other than a regular file (a device
// such as /dev/null, a pipe) are written directly: renaming over them would
// replace the device or pipe with a file.
#ifndef SHEETLAY_NUP_OUTFILE_H
#define SHEETLAY_NUP_OUTFILE_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "nup/pdfout.h"

namespace sheetlay::nup {

// The output of one call as it streams out (the sink of nup/pdfout). Given a
// path, the bytes go through one fixed buffer to a new temporary file beside
// it, opened when the buffer first fills; commit() closes it and renames it
// over the path. Given no path (or a device or pipe, which cannot be read
// back or renamed over), they go to one growing block in memory, which
// release() hands over (or commit() writes to the device). An output that is
// destroyed uncommitted removes its temporary file: a failed call leaves
// nothing behind and what stood at the path as it was.
class output final : public sink {
public:
    explicit output(const char *path);
    ~output() override;
    output(const output &) = delete;
    output &operator=(const output &) = delete;

    void put(const unsigned char *p, size_t n) override;
    uint64_t pos() const override { return pos_; }
    void read(uint64_t at, unsigned char *dst, size_t n) override;

    // True once every byte is at the path; else false with the error text
    // set ("short write to PATH", "close error on PATH", "cannot write PATH").
    bool commit();
    // The memory block (from malloc, at least one byte), now the caller's.
    unsigned char *release(size_t *n);

private:
    void open();
    void drain();

    std::string path_;    // as given, for messages
    std::string target_;  // the regular file to replace or create
    std::string tmp_;
    bool direct_ = false, exists_ = false, thread_buf_ = false;
    unsigned mode_ = 0;
    int fd_ = -1;
    unsigned char *fbuf_ = nullptr;  // the file buffer; null: memory
    std::unique_ptr<unsigned char[]> own_buf_;
    size_t fill_ = 0;
    uint64_t pos_ = 0;
    unsigned char *mem_ = nullptr;
    size_t mem_cap_ = 0;
};

// Writes data[0, n) to `path`. True on success; else false with the error
// text set: "cannot write PATH", "short write to PATH" or "close error on
// PATH", with the path as given.
bool write_output(const char *path, const unsigned char *data, size_t n);

}  // namespace sheetlay::nup

#endif
