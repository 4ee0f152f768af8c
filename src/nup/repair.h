// Object text made valid before it is written: the output side copies the
// input's object text token for token, so whatever syntax errors the input
// held would otherwise reach the output as they stood.
//
// A damaged or careless writer leaves names with a '#' that starts no
// escape, dictionary entries whose key is no name, words that are no PDF
// object, brackets that never close and values after the end of the
// object. repair_text rewrites exactly those places and keeps every other
// byte, so valid text is never touched (and costs one pass to confirm).
#ifndef SHEETLAY_NUP_REPAIR_H
#define SHEETLAY_NUP_REPAIR_H

#include <cstdint>
#include <string>

namespace sheetlay::nup {

// Reads t[0, len) as the text of one object (one value, white space and
// comments around it). When it is valid as it stands returns false and
// leaves *out alone; otherwise returns true with the repaired text in *out:
//   - a '#' in a name not followed by two hex digits is written "#23";
//   - a dictionary key that is no name is left out (with nothing else: the
//     entry's value, when it is a name, becomes the key of what follows);
//   - a key repeated in one dictionary is left out with its value (this
//     library's reader takes the first; others differ);
//   - a token that is no object (a stray word, "}", ")" or ">") becomes
//     null where a value stands, and is left out where a key stands;
//   - bytes of a hexadecimal string that are no hex digit are left out;
//   - a "]" or ">>" that closes nothing is left out, one that closes an outer
//     bracket first closes the inner ones; whatever is open at the end is
//     closed (strings too), a dictionary key without value gets null;
//   - anything after the first whole value is left out, and an empty text
//     becomes null.
// Nesting deeper than `max_depth` is left as it stands (false): callers
// refuse such objects anyway.
bool repair_text(const unsigned char *t, int32_t len, std::string *out, int32_t max_depth = 256);

}  // namespace sheetlay::nup

#endif
