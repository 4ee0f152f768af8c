/*
 * sheetlay: the command-line program. It turns its arguments into one
 * sheetlay_options structure, makes one sheetlay_nup call and reports the
 * result; all PDF work is the library's. Only the public header is used.
 *
 *   sheetlay [options] INPUT.pdf OUTPUT.pdf
 *
 * Everything that can be judged from the arguments alone (numbers, units,
 * sizes, the page selection's grammar) is judged here, so a typing mistake
 * is a usage error (status 2) and never a half-finished run. Whether the
 * selected pages exist is the library's to say, once it has read the input.
 *
 * Exit status: 0 success (silent unless -v), 1 the library failed (its
 * message on stderr, no output file), 2 a usage error (one line on stderr).
 */
#if !defined(_WIN32) && !defined(_POSIX_C_SOURCE)
#define _POSIX_C_SOURCE 200809L /* clock_gettime, isatty, fileno */
#endif

#include <errno.h>
#include <limits.h>
#include <math.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#define stderr_is_terminal() _isatty(_fileno(stderr))
#else
#include <unistd.h>
#define stderr_is_terminal() isatty(fileno(stderr))
#endif

#include "sheetlay.h"

static const char usage_text[] =
    "usage: sheetlay [options] INPUT.pdf OUTPUT.pdf\n"
    "\n"
    "Writes OUTPUT.pdf with the pages of INPUT.pdf placed several to a sheet.\n"
    "\n"
    "Grid and reading order:\n"
    "  -n N              pages per sheet in a classic grid: 2 (2x1), 4 (2x2, the\n"
    "                    default), 6 (3x2), 9 (3x3) or 16 (4x4)\n"
    "  --grid CxR        C columns and R rows, 1 to 32 each (e.g. --grid 3x1)\n"
    "  --rtl, --ltr      rows run right to left / left to right (the default)\n"
    "  --columns-first   fill each column top to bottom before the next one\n"
    "  --bottom-up       start at the bottom row instead of the top one\n"
    "\n"
    "Sheet:\n"
    "  --size SIZE       first (the first selected page's size, the default), a4, a3,\n"
    "                    a5, letter, legal, tabloid, or WxH with a unit: pt (the\n"
    "                    default), mm, cm or in (e.g. 210x297mm, 8.5x11in, 500x500)\n"
    "  --portrait, --landscape, --as-given\n"
    "                    turn the sheet upright, sideways, or leave it as the size\n"
    "                    says; by default whichever of portrait and landscape shows\n"
    "                    the first page larger\n"
    "  --margin LEN      empty space on all four sides of the sheet (default 0)\n"
    "  --gap LEN         space between neighbouring cells (default 0)\n"
    "  --border WIDTH    frame each placed page with a black line WIDTH wide (default\n"
    "                    0: no frames)\n"
    "  --shrink-only     scale pages down to fit their cells, never up\n"
    "                    LEN and WIDTH are numbers with an optional unit: pt (the\n"
    "                    default), mm, cm or in (e.g. 10mm, 0.5in, 12)\n"
    "\n"
    "Pages:\n"
    "  --pages SEL       which pages, in which order: comma-separated page numbers\n"
    "                    (1 is the first, z the last), ranges a-b (descending when\n"
    "                    a > b), a- (to the last), -b (from the first), _ for a blank\n"
    "                    cell; pages may repeat (e.g. --pages 1-3,_,z)\n"
    "  --booklet         a saddle-stitched booklet: 2x1 sheets printed on both\n"
    "                    sides, in folding order, padded with blanks to a multiple\n"
    "                    of 4 pages\n"
    "\n"
    "Output:\n"
    "  --plain           the classic output: contents uncompressed, no links, notes,\n"
    "                    bookmarks or document info, sheets as given unless an\n"
    "                    orientation is chosen (default: compact, everything kept)\n"
    "  --password PW     the password of an encrypted input\n"
    "  --progress        always show the progress bar; --no-progress: never (by\n"
    "                    default it shows when stderr is a terminal and the job\n"
    "                    takes over a second)\n"
    "  -v, --verbose     say what was written\n"
    "  -h, --help        show this help and exit\n"
    "  --version         show the version and exit\n"
    "  --                end of options (for file names that start with '-')\n"
    "\n"
    "Examples:\n"
    "  sheetlay talk.pdf talk-4up.pdf\n"
    "  sheetlay -n 2 --size a4 --margin 10mm --gap 5mm --border 0.5 in.pdf out.pdf\n"
    "  sheetlay --grid 3x1 --rtl --pages 1-9,z in.pdf out.pdf\n"
    "  sheetlay --booklet --size letter zine.pdf zine-booklet.pdf\n"
    "\n"
    "Exit status: 0 done, 1 the input could not be read or the output not\n"
    "written (the reason is printed), 2 wrong command-line arguments.\n";

#if defined(__GNUC__) || defined(__clang__)
__attribute__((format(printf, 1, 2)))
#endif
static int usage_error(const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    fputs("sheetlay: ", stderr);
    vfprintf(stderr, fmt, ap);
    fputs(" (try 'sheetlay --help')\n", stderr);
    va_end(ap);
    return 2;
}

/* ---- numbers, lengths, sizes, grids ------------------------------------ */

/* A whole decimal number in [lo, hi], nothing else; 0 when `text` is not one. */
static int parse_int(const char *text, long lo, long hi, long *out) {
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
static int parse_length(const char *text, double *points) {
    const char *p = text;
    double v, scale;
    if (!read_decimal(&p, &v)) return 0;
    scale = unit_points(p);
    if (scale == 0.0) return 0;
    *points = v * scale;
    return 1;
}

struct named_size {
    const char *name, *label;
    double w, h; /* points, portrait */
};

static const struct named_size named_sizes[] = {
    {"first", "the first page's size", 0, 0},
    {"a4", "A4", 595.28, 841.89},
    {"a3", "A3", 841.89, 1190.55},
    {"a5", "A5", 419.53, 595.28},
    {"letter", "Letter", 612, 792},
    {"legal", "Legal", 612, 1008},
    {"tabloid", "Tabloid", 792, 1224},
};

static int same_ignoring_case(const char *a, const char *b) {
    for (; *a && *b; a++, b++) {
        char x = *a >= 'A' && *a <= 'Z' ? (char)(*a - 'A' + 'a') : *a;
        if (x != *b) return 0;
    }
    return *a == *b;
}

/* A size name or "WxH[unit]", both sides above 0. *label is the name's
 * label, or NULL for a size given in numbers. */
static int parse_size(const char *text, double *w, double *h, const char **label) {
    const char *p = text;
    double scale;
    size_t k;
    for (k = 0; k < sizeof named_sizes / sizeof named_sizes[0]; k++) {
        if (same_ignoring_case(text, named_sizes[k].name)) {
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
static int parse_grid(const char *text, long *cols, long *rows) {
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
    return parse_int(c, 1, 32, cols) && parse_int(r, 1, 32, rows);
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

static const char *selection_fault(const char *text) {
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

/* ---- progress ----------------------------------------------------------- */

/* The bar appears only once a job has run for a while, so quick jobs stay
 * silent; it is redrawn at most ten times a second and wiped at the end, so
 * a terminal shows nothing of it afterwards. Ctrl-C asks the library to
 * stop at its next report: the run then fails with "cancelled" and leaves
 * no half-written file. A second Ctrl-C ends the program at once. */
struct progress {
    int mode; /* -1 never, 0 on a terminal after a second, 1 always */
    double start, last_draw;
    int shown;
};

static volatile sig_atomic_t interrupted = 0;

static void on_interrupt(int sig) {
    interrupted = 1;
    signal(sig, SIG_DFL);
}

/* A clock that only goes forward: a wall clock set back mid-run must not
 * hide the bar or stall its redraws. */
static double now_seconds(void) {
#ifdef _WIN32
    return (double)GetTickCount64() / 1e3;
#else
    struct timespec ts;
    if (clock_gettime(CLOCK_MONOTONIC, &ts) != 0) return 0;
    return (double)ts.tv_sec + (double)ts.tv_nsec / 1e9;
#endif
}

enum { BAR_WIDTH = 30, BAR_LINE = 72 };

static int32_t on_progress(void *user, int32_t done, int32_t total) {
    struct progress *pr = (struct progress *)user;
    double t;
    if (interrupted) return 1;
    if (pr->mode < 0 || total <= 0) return 0;
    t = now_seconds();
    if (!pr->shown && pr->mode == 0 && t - pr->start < 1.0) return 0;
    if (pr->shown && t - pr->last_draw < 0.1 && done < total) return 0;
    {
        char bar[BAR_WIDTH + 1];
        int32_t d = done < 0 ? 0 : done > total ? total : done;
        int fill = (int)((double)d * BAR_WIDTH / total), k;
        for (k = 0; k < BAR_WIDTH; k++) bar[k] = k < fill ? '#' : '.';
        bar[BAR_WIDTH] = '\0';
        fprintf(stderr, "\rsheetlay: [%s] %ld/%ld pages", bar, (long)d, (long)total);
        fflush(stderr);
    }
    pr->shown = 1;
    pr->last_draw = t;
    return 0;
}

static void progress_clear(struct progress *pr) {
    if (!pr->shown) return;
    /* Spaces rather than an escape sequence: every console understands them. */
    fprintf(stderr, "\r%*s\r", BAR_LINE, "");
    fflush(stderr);
    pr->shown = 0;
}

/* ---- arguments ---------------------------------------------------------- */

static int file_exists(const char *path) {
    FILE *f = fopen(path, "rb");
    if (f == NULL) return 0;
    fclose(f);
    return 1;
}

/* The value of an option given as "--opt VALUE", "--opt=VALUE" or, for a
 * one-letter option, "-nVALUE". Advances *i past a separate value. NULL when
 * `arg` is not this option; *missing is set when it is but has no value. */
static const char *option_value(int argc, char **argv, int *i, const char *name, int *missing) {
    const char *arg = argv[*i];
    size_t len = strlen(name);
    *missing = 0;
    if (strncmp(arg, name, len) != 0) return NULL;
    if (arg[len] == '\0') {
        if (*i + 1 >= argc) {
            *missing = 1;
            return "";
        }
        *i += 1;
        return argv[*i];
    }
    if (arg[len] == '=') return arg + len + 1;
    if (name[1] != '-' && name[2] == '\0') return arg + len; /* -n4 */
    return NULL;
}

/* Flags without a value that set or clear bits of one field. */
struct switch_flag {
    const char *name;
    int field; /* 0 flow, 1 orientation, 2 fit, 3 booklet, 4 progress */
    int set, clear;
};

static const struct switch_flag switches[] = {
    {"--rtl", 0, SHEETLAY_FLOW_RTL, 0},
    {"--ltr", 0, 0, SHEETLAY_FLOW_RTL},
    {"--columns-first", 0, SHEETLAY_FLOW_COLUMNS, 0},
    {"--bottom-up", 0, SHEETLAY_FLOW_BOTTOM_UP, 0},
    {"--portrait", 1, SHEETLAY_ORIENT_PORTRAIT, 0},
    {"--landscape", 1, SHEETLAY_ORIENT_LANDSCAPE, 0},
    {"--as-given", 1, SHEETLAY_ORIENT_AS_GIVEN, 0},
    {"--shrink-only", 2, SHEETLAY_FIT_SHRINK, 0},
    {"--booklet", 3, 1, 0},
    {"--progress", 4, 1, 0},
    {"--no-progress", 4, -1, 0},
};

static const char *const orientation_names[] = {"auto", "portrait", "landscape", "as given"};

struct cli {
    sheetlay_options opt;
    int grid_given, orientation_given, plain, verbose, progress_mode;
    const char *size_label; /* NULL: given in numbers */
    const char *paths[2];
};

/* Reads one option at argv[*i]; 0 to go on, else the exit status. */
static int read_option(struct cli *c, int argc, char **argv, int *i) {
    const char *arg = argv[*i], *val;
    int missing = 0;
    long a, b;
    size_t k;
    for (k = 0; k < sizeof switches / sizeof switches[0]; k++) {
        const struct switch_flag *s = &switches[k];
        if (strcmp(arg, s->name) != 0) continue;
        if (s->field == 0) c->opt.flow = (c->opt.flow | (uint32_t)s->set) & ~(uint32_t)s->clear;
        if (s->field == 1) {
            c->opt.orientation = s->set;
            c->orientation_given = 1;
        }
        if (s->field == 2) c->opt.fit = s->set;
        if (s->field == 3) c->opt.booklet = s->set;
        if (s->field == 4) c->progress_mode = s->set;
        return 0;
    }
    if (strcmp(arg, "-v") == 0 || strcmp(arg, "--verbose") == 0) {
        c->verbose = 1;
    } else if (strcmp(arg, "--plain") == 0) {
        c->plain = 1;
    } else if ((val = option_value(argc, argv, i, "-n", &missing)) != NULL) {
        if (missing) return usage_error("%s needs a number of pages per sheet", "-n");
        if (!parse_int(val, 2, 16, &a) || (a != 2 && a != 4 && a != 6 && a != 9 && a != 16))
            return usage_error("-n must be 2, 4, 6, 9 or 16 (got '%s')", val);
        c->opt.columns = a == 2 || a == 4 ? 2 : a == 16 ? 4 : 3;
        c->opt.rows = a == 2 ? 1 : a == 6 ? 2 : c->opt.columns;
        c->grid_given = 1;
    } else if ((val = option_value(argc, argv, i, "--grid", &missing)) != NULL) {
        if (missing) return usage_error("%s needs columns and rows, e.g. 3x2", "--grid");
        if (!parse_grid(val, &a, &b))
            return usage_error("--grid must be CxR with 1 to 32 columns and rows (got '%s')", val);
        c->opt.columns = (int32_t)a;
        c->opt.rows = (int32_t)b;
        c->grid_given = 1;
    } else if ((val = option_value(argc, argv, i, "--size", &missing)) != NULL) {
        if (missing) return usage_error("%s needs a size, e.g. a4 or 210x297mm", "--size");
        if (!parse_size(val, &c->opt.sheet_width, &c->opt.sheet_height, &c->size_label))
            return usage_error("--size must be first, a4, a3, a5, letter, legal, tabloid or WxH "
                               "with a unit pt, mm, cm or in (got '%s')", val);
    } else if ((val = option_value(argc, argv, i, "--margin", &missing)) != NULL ||
               (val = option_value(argc, argv, i, "--gap", &missing)) != NULL ||
               (val = option_value(argc, argv, i, "--border", &missing)) != NULL) {
        const char *name = arg[2] == 'm' ? "--margin" : arg[2] == 'g' ? "--gap" : "--border";
        double *field = arg[2] == 'm' ? &c->opt.margin : arg[2] == 'g' ? &c->opt.gap : &c->opt.border;
        if (missing) return usage_error("%s needs a length, e.g. 12 or 5mm", name);
        if (!parse_length(val, field))
            return usage_error("%s must be a length of 0 or more with an optional unit pt, mm, "
                               "cm or in (got '%s')", name, val);
    } else if ((val = option_value(argc, argv, i, "--pages", &missing)) != NULL) {
        const char *bad;
        if (missing) return usage_error("%s needs a page selection, e.g. 1-4,z", "--pages");
        if ((bad = selection_fault(val)) != NULL)
            return usage_error("--pages: bad page selection at '%s'", bad);
        c->opt.pages = val;
    } else if ((val = option_value(argc, argv, i, "--password", &missing)) != NULL) {
        if (missing) return usage_error("%s needs the password", "--password");
        c->opt.password = val;
    } else {
        return usage_error("unknown option '%s'", arg);
    }
    return 0;
}

static void report(const struct cli *c) {
    long bytes = -1;
    FILE *f = fopen(c->paths[1], "rb");
    const char *pages = c->opt.pages != NULL && c->opt.pages[0] != '\0' ? c->opt.pages : "all";
    if (f != NULL) {
        if (fseek(f, 0, SEEK_END) == 0) bytes = ftell(f);
        fclose(f);
    }
    printf("sheetlay: wrote %s (%ld bytes): %ldx%ld grid, %s%s%s, sheet ", c->paths[1], bytes,
           (long)c->opt.columns, (long)c->opt.rows,
           c->opt.flow & SHEETLAY_FLOW_RTL ? "right to left" : "left to right",
           c->opt.flow & SHEETLAY_FLOW_COLUMNS ? ", columns first" : "",
           c->opt.flow & SHEETLAY_FLOW_BOTTOM_UP ? ", bottom up" : "");
    if (c->opt.sheet_width == 0)
        printf("of the first page's size");
    else
        printf("%.2f x %.2f pt%s%s%s", c->opt.sheet_width, c->opt.sheet_height,
               c->size_label ? " (" : "", c->size_label ? c->size_label : "", c->size_label ? ")" : "");
    printf(", orientation %s, pages %s%s%s%s\n", orientation_names[c->opt.orientation], pages,
           c->opt.booklet ? ", booklet" : "", c->opt.border > 0 ? ", framed" : "",
           c->plain ? ", plain" : ", compact");
}

int main(int argc, char **argv) {
    struct cli c;
    struct progress pr;
    char err[1024];
    int npaths = 0, options_done = 0, i, existed, ok, status;

    memset(&c, 0, sizeof c);
    sheetlay_options_init(&c.opt);
    c.size_label = named_sizes[0].label;

    for (i = 1; i < argc; i++) {
        const char *arg = argv[i];
        if (options_done || arg[0] != '-' || arg[1] == '\0') {
            /* A plain argument ("-" alone is a file name too). */
            if (npaths == 2) return usage_error("too many file names: '%s'", arg);
            c.paths[npaths++] = arg;
        } else if (strcmp(arg, "--") == 0) {
            options_done = 1;
        } else if (strcmp(arg, "-h") == 0 || strcmp(arg, "--help") == 0) {
            fputs(usage_text, stdout);
            return 0;
        } else if (strcmp(arg, "--version") == 0) {
            printf("sheetlay %s\n", sheetlay_version());
            return 0;
        } else if ((status = read_option(&c, argc, argv, &i)) != 0) {
            return status;
        }
    }
    if (npaths < 2)
        return usage_error("%s", npaths == 0 ? "missing INPUT.pdf and OUTPUT.pdf"
                                             : "missing OUTPUT.pdf");
    if (c.opt.booklet) {
        /* A booklet sheet is one sheet folded once: two pages side by side. */
        if (c.grid_given && (c.opt.columns != 2 || c.opt.rows != 1))
            return usage_error("%s places pages 2x1 on each side; leave out -n and --grid",
                               "--booklet");
        c.opt.columns = 2;
        c.opt.rows = 1;
    }
    if (c.plain) {
        /* What the fixed-grid functions write: decoded contents, nothing
         * but the pages, sheets as the size says. */
        c.opt.compress = SHEETLAY_COMPRESS_NONE;
        c.opt.keep = 0;
        if (!c.orientation_given) c.opt.orientation = SHEETLAY_ORIENT_AS_GIVEN;
    }

    memset(&pr, 0, sizeof pr);
    pr.mode = c.progress_mode != 0 ? c.progress_mode : stderr_is_terminal() ? 0 : -1;
    pr.start = now_seconds();
    c.opt.progress = on_progress;
    c.opt.progress_user = &pr;
    signal(SIGINT, on_interrupt);

    existed = file_exists(c.paths[1]);
    ok = sheetlay_nup(c.paths[0], c.paths[1], &c.opt, err, sizeof err);
    progress_clear(&pr);
    signal(SIGINT, SIG_DFL);

    if (!ok) {
        fprintf(stderr, "sheetlay: %s\n", err[0] != '\0' ? err : "failed (no reason given)");
        /* A failed run leaves no new file behind, even a partly written one. */
        if (!existed && file_exists(c.paths[1])) remove(c.paths[1]);
        return 1;
    }
    if (c.verbose) report(&c);
    return 0;
}
