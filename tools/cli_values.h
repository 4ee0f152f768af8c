/*
 * The command-line program's judges of option values: whole numbers,
 * lengths with units, sheet sizes, grids and the page-selection grammar.
 * Each looks at the text alone (no document is read), so that a typing
 * mistake is refused before the library is called.
 */
#ifndef SHEETLAY_CLI_VALUES_H
#define SHEETLAY_CLI_VALUES_H

/* A whole decimal number in [lo, hi], nothing else (no sign, no space). */
int cli_parse_int(const char *text, long lo, long hi, long *out);

/* A length, 0 or more: a plain decimal number with an optional unit pt (the
 * default), mm, cm or in; *points receives it in points. */
int cli_parse_length(const char *text, double *points);

/* A size name (any case) or "WxH[unit]", both sides above 0. *label is the
 * name's label ("A4"), or NULL for a size given in numbers. The name
 * "first" gives 0 x 0: the first selected page's size. */
int cli_parse_size(const char *text, double *w, double *h, const char **label);

/* The label of "first", the default size. */
extern const char *const cli_first_size_label;

/* "CxR", 1 to 32 each. */
int cli_parse_grid(const char *text, long *cols, long *rows);

/* A page selection in the library's grammar: NULL when well formed, else
 * where in `text` it goes wrong. */
const char *cli_selection_fault(const char *text);

/* 1 when a and b are equal ignoring the case of a's ASCII letters (b is
 * lower case). */
int cli_same_ignoring_case(const char *a, const char *b);

#endif
