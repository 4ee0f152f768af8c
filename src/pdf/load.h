// Loading a PDF file into a document record: the entry of the input side.
//
// Loading reads the whole file into memory, takes what the trailers say
// (/Root, /Encrypt), then builds the object index, opens an encrypted
// file with its password, expands object streams
// and walks the page tree. Either it completes, or it fails with the error
// text set and the record owning nothing.
#ifndef SHEETLAY_PDF_LOAD_H
#define SHEETLAY_PDF_LOAD_H

#include <cstddef>

#include "pdf/document.h"

namespace sheetlay {

// How an encrypted file is treated. By default it is refused ("encrypted
// PDFs are not supported"); with allow_encrypted it is opened with
// `password` (null: none given, the empty password is tried) and its
// strings and streams are decrypted as they are read.
struct load_options {
    const char *password = nullptr;
    bool allow_encrypted = false;
    // Reads what other readers read where that is safe (the options
    // interface): page-tree nodes and pages without /Type, a node met again
    // left out instead of refused, pages written inside /Kids, an
    // encryption dictionary without /Length. The fixed-grid functions keep
    // refusing these.
    bool lenient = false;
};

// Fills *d from the file at path. 0 on success; -1 on failure with the
// error text set and nothing owned by *d.
int doc_load(const char *path, doc *d, const load_options &lo = {});

// Same, from bytes already in memory (copied). `name` stands for the path
// in messages.
int doc_load_mem(const unsigned char *bytes, size_t n, const char *name, doc *d,
                 const load_options &lo = {});

// Same without the copy: *d reads the bytes where they stand, so they must
// stay in place and unchanged until *d is freed (the interface's memory
// calls, whose caller holds its PDF for the length of the call).
int doc_load_view(const unsigned char *bytes, size_t n, const char *name, doc *d,
                  const load_options &lo = {});

}  // namespace sheetlay

#endif
