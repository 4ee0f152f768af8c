// The resources of the placed pages, between their gathering and their
// forms (nup/forms): a page's resources text is read and scanned once, the
// gathering notes its references (gather_page_resources, declared in
// forms.h) and the page's form writes it renumbered.
#ifndef SHEETLAY_NUP_RESOURCES_H
#define SHEETLAY_NUP_RESOURCES_H

#include <string>

#include "nup/forms.h"
#include "nup/transfer.h"

namespace sheetlay::nup {

// The resources of a page as its form carries them, read (and scanned)
// the first time they are asked for and kept in the memos; null for none.
const res_text *page_resources_text(const doc *d, page_memos &memos, const transfer &tr,
                                    const pageinfo *pi, const obj_entry *e);

// Appends the resources text with its references renumbered: what
// carry_into would give. False when nothing is to be written (the text
// nests too deep to be read back); what was appended is then to be cut.
bool carry_resources(const transfer &tr, const res_text &r, std::string &out);

// Lets a kept text go (a page's last placement); read again if asked for.
void drop_text(res_text &r);

}  // namespace sheetlay::nup

#endif
