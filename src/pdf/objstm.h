// Object streams: objects stored, several together, inside the data of a
// stream object (usually Flate-compressed) rather than in the file text.
//
// Their members get entries of their own in the index, pointing into the
// decoded bytes, which the document keeps for as long as it lives; from
// then on a member is read like any other object.
#ifndef SHEETLAY_PDF_OBJSTM_H
#define SHEETLAY_PDF_OBJSTM_H

#include <vector>

#include "pdf/document.h"
#include "pdf/index.h"

namespace sheetlay {

// Marks in `objstm` the entries of d->objs that are object streams, and
// appends their members. `objstm` covers the entries present before the
// members. The decoded bytes of all streams together get no more room than
// the decoder gives one stream. With by_structure (the options interface),
// a stream whose dictionary holds /N and /First is one whatever its /Type.
void expand_object_streams(doc *d, dict_budget &budget, std::vector<char> &objstm,
                           bool by_structure = false);

}  // namespace sheetlay

#endif
