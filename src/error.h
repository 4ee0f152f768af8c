// The process-wide error text that every exported function leaves behind.
//
// One fixed buffer rather than a string object: the C interface hands out a
// pointer to it (sheetlay_last_error), so it must outlive every call and be
// readable from C. Defined by the interface unit.
#ifndef SHEETLAY_ERROR_H
#define SHEETLAY_ERROR_H

namespace sheetlay {

// The error text: always NUL-terminated, "" when no error.
extern char g_err[1024];

// Formats a message into g_err (cut at 1023 bytes, always terminated).
void set_error(const char *fmt, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

}  // namespace sheetlay

#endif
