// Loading a PDF file into a document record: the entry of the input side.
//
// Loading reads the whole file into memory, takes what the trailers say
// (/Root, /Encrypt), then builds the object index, expands object streams
// and walks the page tree. Either it completes, or it fails with the error
// text set and the record owning nothing.
#ifndef SHEETLAY_PDF_LOAD_H
#define SHEETLAY_PDF_LOAD_H

#include <cstddef>

#include "pdf/document.h"

namespace sheetlay {

// Fills *d from the file at path. 0 on success; -1 on failure with the
// error text set and nothing owned by *d.
int doc_load(const char *path, doc *d);

// Same, from bytes already in memory (copied). `name` stands for the path
// in messages.
int doc_load_mem(const unsigned char *bytes, size_t n, const char *name, doc *d);

}  // namespace sheetlay

#endif
