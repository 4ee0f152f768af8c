/*
 * The command-line program's judges of option values (see cli_values.h).
 * They mirror the library's own rules, so that whatever passes here is
 * refused by the library only for what it learns from the document. The
 * page-selection grammar is a second copy of the library's (the program
 * sees only the public header); the two must accept the same texts.
 */
#include "cli_values.h"

#include <errno.h>
#include <limits.h>
#include <math.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

/* ---- numbers, lengths, sizes, grids ------------------------------------ */

int cli_parse_int(const char *text, long lo, long hi, long *out) {
    char *end = NULL;
    long v;
    if (text[0] < '0' || text[0] > '9') return 0; /* no sign, no space */
    errno = 0;
    v = strtol(text, &end, 10);
    if (errno != 0 || *end != '\0' || v < lo || v > hi) return 0;
    *out = v;
    return 1;
}

/* Reads a plain decimal number ("12", "0.5", ".5", "8.") at *p: no sign,
 * exponent, hex, inf or nan, which strtod would also take. Advances *p. */
static int read_decimal(const char **p, double *out) {
    const char *s = *p, *q = s;
    char buf[64];
    size_t len;
    int digits = 0;
    for (; *q >= '0' && *q <= '9'; q++) digits++;
    if (*q == '.') {
        for (q++; *q >= '0' && *q <= '9'; q++) digits++;
    }
    len = (size_t)(q - s);
    if (digits == 0 || len >= sizeof buf) return 0;
    /* A copy, so strtod cannot read on into a unit such as "e"-something. */
    memcpy(buf, s, len);
    buf[len] = '\0';
    *out = strtod(buf, NULL);
    *p = q;
    return isfinite(*out);
}

/* Points per unit; 0 when `unit` is not one ("" means points). */
static double unit_points(const char *unit) {
    if (unit[0] == '\0' || strcmp(unit, "pt") == 0) return 1.0;
    if (strcmp(unit, "mm") == 0) return 72.0 / 25.4;
    if (strcmp(unit, "cm") == 0) return 72.0 / 2.54;
    if (strcmp(unit, "in") == 0) return 72.0;
    return 0.0;
}

/* A length, 0 or more: a number with an optional unit, in points. */
int cli_parse_length(const char *text, double *points) {
    const char *p = text;
    double v, scale;
    if (!read_decimal(&p, &v)) return 0;
    scale = unit_points(p);
    if (scale == 0.0) return 0;
    *points = v * scale;
    return 1;
}

#define FIRST_LABEL "the first page's size"
const char *const cli_first_size_label = FIRST_LABEL;

struct named_size {
    const char *name, *label;
    double w, h; /* points, portrait */
};

static const struct named_size named_sizes[] = {
    {"first", FIRST_LABEL, 0, 0},
    {"a4", "A4", 595.28, 841.89},
    {"a3", "A3", 841.89, 1190.55},
    {"a5", "A5", 419.53, 595.28},
    {"letter", "Letter", 612, 792},
    {"legal", "Legal", 612, 1008},
    {"tabloid", "Tabloid", 792, 1224},
};

int cli_same_ignoring_case(const char *a, const char *b) {
    for (; *a && *b; a++, b++) {
        char x = *a >= 'A' && *a <= 'Z' ? (char)(*a - 'A' + 'a') : *a;
        if (x != *b) return 0;
    }
    return *a == *b;
}

/* A size name or "WxH[unit]", both sides above 0. *label is the name's
 * label, or NULL for a size given in numbers. */
int cli_parse_size(const char *text, double *w, double *h, const char **label) {
    const char *p = text;
    double scale;
    size_t k;
    for (k = 0; k < sizeof named_sizes / sizeof named_sizes[0]; k++) {
        if (cli_same_ignoring_case(text, named_sizes[k].name)) {
            *w = named_sizes[k].w;
            *h = named_sizes[k].h;
            *label = named_sizes[k].label;
            return 1;
        }
    }
    if (!read_decimal(&p, w) || (*p != 'x' && *p != 'X')) return 0;
    p++;
    if (!read_decimal(&p, h)) return 0;
    scale = unit_points(p);
    if (scale == 0.0 || *w <= 0 || *h <= 0) return 0;
    *w *= scale;
    *h *= scale;
    *label = NULL;
    return 1;
}

/* "CxR", 1 to 32 each. */
int cli_parse_grid(const char *text, long *cols, long *rows) {
    char c[4], r[4];
    const char *x = strchr(text, 'x');
    size_t lc, lr;
    if (x == NULL) return 0;
    lc = (size_t)(x - text);
    lr = strlen(x + 1);
    if (lc == 0 || lc >= sizeof c || lr == 0 || lr >= sizeof r) return 0;
    memcpy(c, text, lc);
    c[lc] = '\0';
    memcpy(r, x + 1, lr + 1);
    return cli_parse_int(c, 1, 32, cols) && cli_parse_int(r, 1, 32, rows);
}

/* ---- page selection ----------------------------------------------------- */

/* The library's grammar for a page selection, checked without a document:
 * items split by commas, each "_", "-b", "a", "a-" or "a-b", where a bound
 * is a page number (at most INT32_MAX) or "z"; white space around any token.
 * Returns NULL when the text is well formed, else where it goes wrong. */
static const char *skip_blank(const char *p) {
    while (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\r' || *p == '\f' || *p == '\v') p++;
    return p;
}

static const char *skip_bound(const char *p) {
    long long v = 0;
    if (*p == 'z') return p + 1;
    if (*p < '0' || *p > '9') return NULL;
    for (; *p >= '0' && *p <= '9'; p++) {
        v = v * 10 + (*p - '0');
        if (v > INT32_MAX) return NULL;
    }
    return p;
}

const char *cli_selection_fault(const char *text) {
    const char *p = skip_blank(text);
    if (*p == '\0') return NULL;
    for (;;) {
        const char *item = p = skip_blank(p), *q;
        if (*p == '_') {
            p++;
        } else if (*p == '-') {
            if ((p = skip_bound(skip_blank(p + 1))) == NULL) return item;
        } else {
            if ((p = skip_bound(p)) == NULL) return item;
            q = skip_blank(p);
            if (*q == '-') {
                q = skip_blank(q + 1);
                if (*q == ',' || *q == '\0')
                    p = q;
                else if ((p = skip_bound(q)) == NULL)
                    return q;
            }
        }
        p = skip_blank(p);
        if (*p == '\0') return NULL;
        if (*p != ',') return p;
        p++;
    }
}

