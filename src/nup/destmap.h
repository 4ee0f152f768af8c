// Where a place in the input document lands in the output: the sheet that
// holds a page and the point a page's coordinates move to, for the links on
// the sheets and the outline.
//
// A destination in the input names a page of the input; on the sheets that
// page is a scaled (and perhaps turned) form inside a cell, so the
// destination becomes one on the sheet's page object with its coordinates
// moved by the same placement the sheet's content uses. A page placed more
// than once is reached at its first placement. Named destinations are found
// in the catalog's /Dests dictionary or its /Names /Dests tree; the tree is
// read once per call, with a visited set and budgets, so that loops and
// deep or wide damaged trees end.
#ifndef SHEETLAY_NUP_DESTMAP_H
#define SHEETLAY_NUP_DESTMAP_H

#include <cstdint>
#include <map>
#include <string>
#include <unordered_map>

#include "nup/extras.h"
#include "nup/forms.h"
#include "nup/transfer.h"
#include "pdf/object.h"
#include "pdf/resolve.h"

namespace sheetlay::nup {

// A point of a placed page's default user space on its sheet (the form's
// matrix for the page's rotation, then the placement's scale and shift).
struct sheet_point {
    double x, y;
};
sheet_point point_on_sheet(const placed_page &pl, double x, double y);

// What a link or an outline item does on the sheets.
struct target {
    enum kind_t { none, to_dest, go_to, keep } kind = none;
    std::string dest;                      // to_dest, go_to: "[P 0 R /XYZ x y null]"
    const pdf::value *action = nullptr;    // keep: the action dictionary, carried as is
};

class dest_mapper {
public:
    dest_mapper(const part_context &c, doc_resolver &res);

    // The explicit destination on the sheets for an input destination (an
    // array, a name or a string, references followed), or "" when it reaches
    // no placed page.
    std::string map_dest(const pdf::value *dest);

    // The target of a dictionary with /Dest or /A (a link annotation, an
    // outline item): a destination or GoTo action retargeted; a URI, Launch
    // or remote GoTo action kept; anything else none.
    target find_target(const pdf::value *dict);

    // The first placement of input page object `num`, or null.
    const placed_page *first_placement(int32_t num, int64_t *sheet_page);

private:
    const pdf::value *named(const pdf::value *key);
    void read_name_tree();

    part_context c_;
    doc_resolver &res_;
    std::unordered_map<int32_t, int64_t> first_cell_;  // page object -> first cell
    std::map<int64_t, placed_page> placed_;           // by cell, on demand
    bool tree_read_ = false;
    std::map<std::string, const pdf::value *> tree_;  // the /Names /Dests tree, flattened
};

// Notes the references of a value in the transfer (so its objects are
// carried); for a kept target, those of its action.
void gather_value(transfer &tr, const pdf::value &v);
void gather_target(transfer &tr, const target &t);

// Appends a value's text with references renumbered to the carried objects
// (null when not carried).
void append_value(std::string &out, const pdf::value &v, const transfer &tr);

// Appends " /Dest [...]" or " /A <<...>>" for a target (nothing for none).
void append_target(std::string &out, const target &t, const transfer &tr);

// Appends a coordinate by the output's number rule.
void append_coord(std::string &out, double v);

}  // namespace sheetlay::nup

#endif
