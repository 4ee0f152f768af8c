/*
 * sheetlay: the command-line program. It turns its arguments into one
 * sheetlay_options structure and, for several inputs, one sheetlay_input
 * per input, makes one library call and reports the result; all PDF work is
 * the library's. Only the public header is used.
 *
 *   sheetlay [options] IN.pdf [IN2.pdf ...] OUT.pdf
 *
 * Everything that can be judged from the arguments alone (numbers, units,
 * sizes, the page selection's grammar, flags that need one another) is
 * judged here, so a typing mistake is a usage error (status 2) and never a
 * half-finished run. Whether the selected pages exist is the library's to
 * say, once it has read the input.
 *
 * One input is always one sheetlay_nup call, so a command of 0.2 writes the
 * same bytes and names its input in messages as it always did; several are
 * one sheetlay_nup_inputs call.
 *
 * Exit status: 0 success (silent unless -v), 1 the library failed (its
 * message on stderr, no output file), 2 a usage error (one line on stderr).
 */
#if !defined(_WIN32) && !defined(_POSIX_C_SOURCE)
#define _POSIX_C_SOURCE 200809L /* clock_gettime, isatty, fileno */
#endif

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

#include "cli_values.h"
#include "sheetlay.h"

static const char usage_text[] =
    "usage: sheetlay [options] IN.pdf [IN2.pdf ...] OUT.pdf\n"
    "\n"
    "Writes OUT.pdf with the pages of the inputs, in the order given, placed\n"
    "several to a sheet.\n"
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
    "  --same-scale      one scale for every page, the largest at which all fit, so\n"
    "                    pages of one size look alike and smaller ones stay smaller\n"
    "  --turn left|right turn a page a quarter (left: counter-clockwise) when that\n"
    "                    shows it larger in its cell, e.g. landscape slides in\n"
    "                    portrait cells\n"
    "  --crop-marks      marks at the corners of each placed page, for cutting\n"
    "  --cut-lines       dashed lines through the middle of the gaps between cells\n"
    "                    (on a booklet: the fold)\n"
    "                    LEN and WIDTH are numbers with an optional unit: pt (the\n"
    "                    default), mm, cm or in (e.g. 10mm, 0.5in, 12)\n"
    "\n"
    "Pages:\n"
    "  --pages SEL       which pages, in which order: comma-separated page numbers\n"
    "                    (1 is the first, z the last), ranges a-b (descending when\n"
    "                    a > b), a- (to the last), -b (from the first), _ for a blank\n"
    "                    cell; pages may repeat (e.g. --pages 1-3,_,z)\n"
    "  --password PW     the password of an encrypted input\n"
    "                    --pages and --password written after an input's name are\n"
    "                    that input's; written before the first input, they are\n"
    "                    every input's that has none of its own\n"
    "  --trim            cut each page to the box around what it draws\n"
    "  --trim-same       cut all pages of an input to one box, around what any draws\n"
    "  --trim-margin LEN keep LEN around the drawing when trimming (default 0)\n"
    "\n"
    "Booklets:\n"
    "  --booklet         a saddle-stitched booklet: 2x1 sheets printed on both\n"
    "                    sides, in folding order, padded with blanks to a multiple\n"
    "                    of 4 pages\n"
    "  --signature K     print the booklet in signatures of K sheets (4K pages), each\n"
    "                    folded on its own and stacked (1 to 256; 0: one signature)\n"
    "  --long-edge       for a printer that flips on the long edge: every back side\n"
    "                    upside down (default: flipping on the short edge)\n"
    "\n"
    "Output:\n"
    "  --plain           the classic output: contents uncompressed, no links, notes,\n"
    "                    bookmarks or document info, sheets as given unless an\n"
    "                    orientation is chosen (default: compact, everything kept)\n"
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
    "  several inputs, each with its own pages, as one file:\n"
    "    sheetlay a.pdf b.pdf --pages 2-5 c.pdf --pages 1,_ handouts.pdf\n"
    "  a long booklet printed and folded in signatures of 3 sheets:\n"
    "    sheetlay --booklet --signature 3 --size a4 book.pdf book-print.pdf\n"
    "  a booklet for a printer that flips on the long edge:\n"
    "    sheetlay --booklet --long-edge zine.pdf zine-booklet.pdf\n"
    "  landscape slides turned to fill the cells of a portrait sheet:\n"
    "    sheetlay -n 4 --size a4 --portrait --turn left slides.pdf handout.pdf\n"
    "  pages of mixed sizes at one scale:\n"
    "    sheetlay --same-scale --size a3 mixed.pdf mixed-4up.pdf\n"
    "  business cards step-and-repeated eight to an A4 sheet at their own size\n"
    "  (--shrink-only: never enlarged), with crop marks:\n"
    "    sheetlay --grid 2x4 --size a4 --gap 5mm --crop-marks --shrink-only \\\n"
    "             --pages 1,1,1,1,1,1,1,1 card.pdf cards.pdf\n"
    "  scans cut to what they show, keeping 3mm around it:\n"
    "    sheetlay --trim --trim-margin 3mm scans.pdf scans-4up.pdf\n"
    "\n"
    "Exit status: 0 done, 1 an input could not be read or the output not\n"
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
enum { F_FLOW, F_ORIENT, F_FIT, F_BOOKLET, F_PROGRESS, F_MARKS, F_DUPLEX, F_TRIM };

struct switch_flag {
    const char *name;
    int field;
    int set, clear;
};

static const struct switch_flag switches[] = {
    {"--rtl", F_FLOW, SHEETLAY_FLOW_RTL, 0},
    {"--ltr", F_FLOW, 0, SHEETLAY_FLOW_RTL},
    {"--columns-first", F_FLOW, SHEETLAY_FLOW_COLUMNS, 0},
    {"--bottom-up", F_FLOW, SHEETLAY_FLOW_BOTTOM_UP, 0},
    {"--portrait", F_ORIENT, SHEETLAY_ORIENT_PORTRAIT, 0},
    {"--landscape", F_ORIENT, SHEETLAY_ORIENT_LANDSCAPE, 0},
    {"--as-given", F_ORIENT, SHEETLAY_ORIENT_AS_GIVEN, 0},
    {"--shrink-only", F_FIT, SHEETLAY_FIT_SHRINK, 0},
    {"--same-scale", F_FIT, SHEETLAY_FIT_SAME, 0},
    {"--booklet", F_BOOKLET, 1, 0},
    {"--progress", F_PROGRESS, 1, 0},
    {"--no-progress", F_PROGRESS, -1, 0},
    {"--crop-marks", F_MARKS, SHEETLAY_MARK_CROP, 0},
    {"--cut-lines", F_MARKS, SHEETLAY_MARK_CUT, 0},
    {"--long-edge", F_DUPLEX, SHEETLAY_DUPLEX_LONG_EDGE, 0},
    {"--trim", F_TRIM, SHEETLAY_TRIM_EACH, 0},
    {"--trim-same", F_TRIM, SHEETLAY_TRIM_SAME, 0},
};

static const char *const orientation_names[] = {"auto", "portrait", "landscape", "as given"};

/* A file name, with the --pages and --password written after it (NULL when
 * none was). The last name is the output's. */
struct name {
    const char *path, *pages, *password;
};

enum { MAX_INPUTS = 4096 }; /* the most the library takes in one job */

struct cli {
    sheetlay_options opt;
    int grid_given, orientation_given, plain, verbose, progress_mode;
    int fits_given; /* bit 1 << SHEETLAY_FIT_*: each fit flag written */
    int signature_given, trim_margin_given;
    const char *size_label; /* NULL: given in numbers */
    const char *pages, *password; /* written before the first name */
    struct name *names;
    int nnames;
};

/* The selection and password input k is read with: its own, else the ones
 * written before the first name, else none. */
static const char *input_pages(const struct cli *c, int k) {
    return c->names[k].pages != NULL ? c->names[k].pages : c->pages;
}

static const char *input_password(const struct cli *c, int k) {
    return c->names[k].password != NULL ? c->names[k].password : c->password;
}

/* Reads one option at argv[*i]; 0 to go on, else the exit status. */
static int read_option(struct cli *c, int argc, char **argv, int *i) {
    const char *arg = argv[*i], *val;
    int missing = 0;
    long a, b;
    size_t k;
    for (k = 0; k < sizeof switches / sizeof switches[0]; k++) {
        const struct switch_flag *s = &switches[k];
        if (strcmp(arg, s->name) != 0) continue;
        switch (s->field) {
        case F_FLOW: c->opt.flow = (c->opt.flow | (uint32_t)s->set) & ~(uint32_t)s->clear; break;
        case F_ORIENT:
            c->opt.orientation = s->set;
            c->orientation_given = 1;
            break;
        case F_FIT:
            c->opt.fit = s->set;
            c->fits_given |= 1 << s->set;
            break;
        case F_BOOKLET: c->opt.booklet = s->set; break;
        case F_PROGRESS: c->progress_mode = s->set; break;
        case F_MARKS: c->opt.marks |= (uint32_t)s->set; break;
        case F_DUPLEX: c->opt.duplex = s->set; break;
        default: c->opt.trim = s->set; break;
        }
        return 0;
    }
    if (strcmp(arg, "-v") == 0 || strcmp(arg, "--verbose") == 0) {
        c->verbose = 1;
    } else if (strcmp(arg, "--plain") == 0) {
        c->plain = 1;
    } else if ((val = option_value(argc, argv, i, "-n", &missing)) != NULL) {
        if (missing) return usage_error("%s needs a number of pages per sheet", "-n");
        if (!cli_parse_int(val, 2, 16, &a) || (a != 2 && a != 4 && a != 6 && a != 9 && a != 16))
            return usage_error("-n must be 2, 4, 6, 9 or 16 (got '%s')", val);
        c->opt.columns = a == 2 || a == 4 ? 2 : a == 16 ? 4 : 3;
        c->opt.rows = a == 2 ? 1 : a == 6 ? 2 : c->opt.columns;
        c->grid_given = 1;
    } else if ((val = option_value(argc, argv, i, "--grid", &missing)) != NULL) {
        if (missing) return usage_error("%s needs columns and rows, e.g. 3x2", "--grid");
        if (!cli_parse_grid(val, &a, &b))
            return usage_error("--grid must be CxR with 1 to 32 columns and rows (got '%s')", val);
        c->opt.columns = (int32_t)a;
        c->opt.rows = (int32_t)b;
        c->grid_given = 1;
    } else if ((val = option_value(argc, argv, i, "--size", &missing)) != NULL) {
        if (missing) return usage_error("%s needs a size, e.g. a4 or 210x297mm", "--size");
        if (!cli_parse_size(val, &c->opt.sheet_width, &c->opt.sheet_height, &c->size_label))
            return usage_error("--size must be first, a4, a3, a5, letter, legal, tabloid or WxH "
                               "with a unit pt, mm, cm or in (got '%s')", val);
    } else if ((val = option_value(argc, argv, i, "--margin", &missing)) != NULL ||
               (val = option_value(argc, argv, i, "--gap", &missing)) != NULL ||
               (val = option_value(argc, argv, i, "--border", &missing)) != NULL ||
               (val = option_value(argc, argv, i, "--trim-margin", &missing)) != NULL) {
        const char *name = arg[2] == 'm' ? "--margin" : arg[2] == 'g' ? "--gap"
                         : arg[2] == 'b' ? "--border" : "--trim-margin";
        double *field = arg[2] == 'm' ? &c->opt.margin : arg[2] == 'g' ? &c->opt.gap
                      : arg[2] == 'b' ? &c->opt.border : &c->opt.trim_margin;
        if (missing) return usage_error("%s needs a length, e.g. 12 or 5mm", name);
        if (!cli_parse_length(val, field))
            return usage_error("%s must be a length of 0 or more with an optional unit pt, mm, "
                               "cm or in (got '%s')", name, val);
        if (arg[2] == 't') c->trim_margin_given = 1;
    } else if ((val = option_value(argc, argv, i, "--signature", &missing)) != NULL) {
        if (missing) return usage_error("%s needs a number of sheets, e.g. 4", "--signature");
        if (!cli_parse_int(val, 0, 256, &a))
            return usage_error("--signature must be 0 to 256 sheets (got '%s')", val);
        c->opt.signature = (int32_t)a;
        c->signature_given = 1;
    } else if ((val = option_value(argc, argv, i, "--turn", &missing)) != NULL) {
        if (missing) return usage_error("%s needs left or right", "--turn");
        if (cli_same_ignoring_case(val, "left"))
            c->opt.turn = SHEETLAY_TURN_LEFT;
        else if (cli_same_ignoring_case(val, "right"))
            c->opt.turn = SHEETLAY_TURN_RIGHT;
        else
            return usage_error("--turn must be left or right (got '%s')", val);
    } else if ((val = option_value(argc, argv, i, "--pages", &missing)) != NULL) {
        const char *bad;
        if (missing) return usage_error("%s needs a page selection, e.g. 1-4,z", "--pages");
        if ((bad = cli_selection_fault(val)) != NULL)
            return usage_error("--pages: bad page selection at '%s'", bad);
        /* After a name: that input's; before the first: every input's. */
        *(c->nnames > 0 ? &c->names[c->nnames - 1].pages : &c->pages) = val;
    } else if ((val = option_value(argc, argv, i, "--password", &missing)) != NULL) {
        if (missing) return usage_error("%s needs the password", "--password");
        *(c->nnames > 0 ? &c->names[c->nnames - 1].password : &c->password) = val;
    } else {
        return usage_error("unknown option '%s'", arg);
    }
    return 0;
}

/* The checks that need the whole command line. 0 when it holds together. */
static int check_arguments(struct cli *c) {
    struct name *out;
    int inputs;
    if (c->nnames < 2)
        return usage_error("%s", c->nnames == 0 ? "missing INPUT.pdf and OUTPUT.pdf"
                                                : "missing OUTPUT.pdf");
    inputs = c->nnames - 1;
    if (inputs > MAX_INPUTS) return usage_error("at most %d inputs (got %d)", MAX_INPUTS, inputs);
    out = &c->names[inputs];
    if (out->pages != NULL || out->password != NULL) {
        /* 0.2 took options anywhere: with one input they are still its own.
         * With several it cannot be told which input was meant. */
        if (inputs > 1)
            return usage_error("%s after the output name: write it after its input's name, or "
                               "before the first for every input",
                               out->pages != NULL ? "--pages" : "--password");
        if (out->pages != NULL) c->names[0].pages = out->pages;
        if (out->password != NULL) c->names[0].password = out->password;
    }
    if (c->opt.booklet) {
        /* A booklet sheet is one sheet folded once: two pages side by side. */
        if (c->grid_given && (c->opt.columns != 2 || c->opt.rows != 1))
            return usage_error("%s places pages 2x1 on each side; leave out -n and --grid",
                               "--booklet");
        c->opt.columns = 2;
        c->opt.rows = 1;
    } else if (c->signature_given || c->opt.duplex != SHEETLAY_DUPLEX_SHORT_EDGE) {
        return usage_error("%s is for booklets (add --booklet)",
                           c->signature_given ? "--signature" : "--long-edge");
    }
    if ((c->fits_given >> SHEETLAY_FIT_SHRINK & 1) && (c->fits_given >> SHEETLAY_FIT_SAME & 1))
        return usage_error("%s", "--same-scale and --shrink-only cannot be combined");
    if (c->trim_margin_given && c->opt.trim == SHEETLAY_TRIM_NONE)
        return usage_error("%s", "--trim-margin is for --trim and --trim-same");
    if (c->plain) {
        /* What the fixed-grid functions write: decoded contents, nothing
         * but the pages, sheets as the size says. */
        c->opt.compress = SHEETLAY_COMPRESS_NONE;
        c->opt.keep = 0;
        if (!c->orientation_given) c->opt.orientation = SHEETLAY_ORIENT_AS_GIVEN;
    }
    return 0;
}

static void report(const struct cli *c) {
    const char *out = c->names[c->nnames - 1].path;
    int inputs = c->nnames - 1, k;
    long bytes = -1;
    FILE *f = fopen(out, "rb");
    if (f != NULL) {
        if (fseek(f, 0, SEEK_END) == 0) bytes = ftell(f);
        fclose(f);
    }
    printf("sheetlay: wrote %s (%ld bytes)", out, bytes);
    if (inputs > 1) printf(" from %d inputs", inputs);
    printf(": %ldx%ld grid, %s%s%s, sheet ", (long)c->opt.columns, (long)c->opt.rows,
           c->opt.flow & SHEETLAY_FLOW_RTL ? "right to left" : "left to right",
           c->opt.flow & SHEETLAY_FLOW_COLUMNS ? ", columns first" : "",
           c->opt.flow & SHEETLAY_FLOW_BOTTOM_UP ? ", bottom up" : "");
    if (c->opt.sheet_width == 0)
        printf("of the first page's size");
    else
        printf("%.2f x %.2f pt%s%s%s", c->opt.sheet_width, c->opt.sheet_height,
               c->size_label ? " (" : "", c->size_label ? c->size_label : "", c->size_label ? ")" : "");
    printf(", orientation %s, pages ", orientation_names[c->opt.orientation]);
    for (k = 0; k < inputs; k++) {
        const char *pages = input_pages(c, k);
        printf("%s%s", k > 0 ? "; " : "", pages != NULL && pages[0] != '\0' ? pages : "all");
    }
    if (c->opt.booklet) printf(", booklet");
    if (c->opt.signature > 0) printf(", signatures of %ld sheets", (long)c->opt.signature);
    if (c->opt.duplex == SHEETLAY_DUPLEX_LONG_EDGE) printf(", long-edge duplex");
    if (c->opt.border > 0) printf(", framed");
    if (c->opt.fit == SHEETLAY_FIT_SAME) printf(", same scale");
    if (c->opt.turn != SHEETLAY_TURN_NONE)
        printf(", turned %s", c->opt.turn == SHEETLAY_TURN_LEFT ? "left" : "right");
    if (c->opt.marks & SHEETLAY_MARK_CROP) printf(", crop marks");
    if (c->opt.marks & SHEETLAY_MARK_CUT) printf(", cut lines");
    if (c->opt.trim != SHEETLAY_TRIM_NONE)
        printf(", trimmed %s, margin %.2f pt", c->opt.trim == SHEETLAY_TRIM_SAME ? "alike" : "each",
               c->opt.trim_margin);
    printf("%s\n", c->plain ? ", plain" : ", compact");
}

/* Makes the one library call of the job. */
static int call_library(struct cli *c, const char *out, char *err, size_t err_size) {
    int inputs = c->nnames - 1, k, ok;
    sheetlay_input *in;
    if (inputs == 1) {
        c->opt.pages = input_pages(c, 0);
        c->opt.password = input_password(c, 0);
        return sheetlay_nup(c->names[0].path, out, &c->opt, err, err_size);
    }
    in = (sheetlay_input *)calloc((size_t)inputs, sizeof *in);
    if (in == NULL) {
        snprintf(err, err_size, "out of memory");
        return 0;
    }
    for (k = 0; k < inputs; k++) {
        in[k].path = c->names[k].path;
        in[k].pages = input_pages(c, k);
        in[k].password = input_password(c, k);
    }
    ok = sheetlay_nup_inputs(in, (int32_t)inputs, out, &c->opt, err, err_size);
    free(in);
    return ok;
}

static int run(struct cli *c, int argc, char **argv) {
    struct progress pr;
    char err[1024];
    const char *out;
    int options_done = 0, i, existed, ok, status;

    for (i = 1; i < argc; i++) {
        const char *arg = argv[i];
        if (options_done || arg[0] != '-' || arg[1] == '\0') {
            /* A plain argument ("-" alone is a file name too). */
            c->names[c->nnames++].path = arg;
        } else if (strcmp(arg, "--") == 0) {
            options_done = 1;
        } else if (strcmp(arg, "-h") == 0 || strcmp(arg, "--help") == 0) {
            fputs(usage_text, stdout);
            return 0;
        } else if (strcmp(arg, "--version") == 0) {
            printf("sheetlay %s\n", sheetlay_version());
            return 0;
        } else if ((status = read_option(c, argc, argv, &i)) != 0) {
            return status;
        }
    }
    if ((status = check_arguments(c)) != 0) return status;
    out = c->names[c->nnames - 1].path;

    memset(&pr, 0, sizeof pr);
    pr.mode = c->progress_mode != 0 ? c->progress_mode : stderr_is_terminal() ? 0 : -1;
    pr.start = now_seconds();
    c->opt.progress = on_progress;
    c->opt.progress_user = &pr;
    signal(SIGINT, on_interrupt);

    existed = file_exists(out);
    err[0] = '\0';
    ok = call_library(c, out, err, sizeof err);
    progress_clear(&pr);
    signal(SIGINT, SIG_DFL);

    if (!ok) {
        fprintf(stderr, "sheetlay: %s\n", err[0] != '\0' ? err : "failed (no reason given)");
        /* A failed run leaves no new file behind, even a partly written one. */
        if (!existed && file_exists(out)) remove(out);
        return 1;
    }
    if (c->verbose) report(c);
    return 0;
}

int main(int argc, char **argv) {
    struct cli c;
    int status;
    memset(&c, 0, sizeof c);
    sheetlay_options_init(&c.opt);
    c.size_label = cli_first_size_label;
    /* At most one name per argument. */
    c.names = (struct name *)calloc(argc > 0 ? (size_t)argc : 1, sizeof *c.names);
    if (c.names == NULL) {
        fputs("sheetlay: out of memory\n", stderr);
        return 1;
    }
    status = run(&c, argc, argv);
    free(c.names);
    return status;
}
