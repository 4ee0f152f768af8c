// Transitional umbrella over the library's units, for the output side and
// the interface unit until they include the specific headers they use.
// Nothing here is exported from the shared library.
#ifndef SHEETLAY_INTERNAL_H
#define SHEETLAY_INTERNAL_H

#include <cstddef>
#include <cstdint>

#include "codec/inflate.h"
#include "error.h"
#include "pdf/document.h"
#include "pdf/lexer.h"
#include "pdf/load.h"
#include "pdf/pages.h"
#include "pdf/stream.h"

namespace sheetlay {

// ---------------------------------------------------------------------------
// Composition and output (writer unit)

// Prints a double by the output's number rule into out (size >= 64);
// returns the length. Locale independent.
int fmt_num(char *out, size_t size, double v);

int nup_doc(doc *d, const char *output_path, int32_t n, int32_t order, int32_t page_size,
            int32_t border_width);

}  // namespace sheetlay

#endif
