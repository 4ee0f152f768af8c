/*
 * sheetlay: the command-line program. It turns its arguments into one call
 * of the public C interface and reports the result; all PDF work is the
 * library's.
 *
 *   sheetlay [-n 2|4|6|9|16] [--rtl] [--size first|a4|letter|a3]
 *            [--border WIDTH] [-v] INPUT.pdf OUTPUT.pdf
 *
 * Exit status: 0 success (silent unless -v), 1 the library failed (its
 * message on stderr, no output file), 2 a usage error (one line on stderr).
 */
#include <errno.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "sheetlay.h"

#ifndef SHEETLAY_VERSION
#define SHEETLAY_VERSION "unknown"
#endif

static const char usage_text[] =
    "usage: sheetlay [options] INPUT.pdf OUTPUT.pdf\n"
    "\n"
    "Writes OUTPUT.pdf with the pages of INPUT.pdf placed several to a sheet.\n"
    "\n"
    "options:\n"
    "  -n N             pages per sheet: 2, 4, 6, 9 or 16 (default 4)\n"
    "  --rtl            place pages right to left (default left to right)\n"
    "  --size SIZE      sheet size: first (the first page's size, the default),\n"
    "                   a4, letter or a3\n"
    "  --border WIDTH   frame each placed page with a black line WIDTH points wide\n"
    "                   (default 0: no frames; only with sheets of the first page's size)\n"
    "  -v, --verbose    say what was written\n"
    "  -h, --help       show this help and exit\n"
    "  --version        show the version and exit\n"
    "  --               end of options (for file names that start with '-')\n"
    "\n"
    "Exit status: 0 done, 1 the input could not be read or the output not\n"
    "written (the reason is printed), 2 wrong command-line arguments.\n";

static int usage_error(const char *fmt, const char *arg) {
    fputs("sheetlay: ", stderr);
    fprintf(stderr, fmt, arg);
    fputs(" (try 'sheetlay --help')\n", stderr);
    return 2;
}

/* A whole decimal number in [lo, hi], nothing else; 0 when `text` is not one. */
static int parse_int(const char *text, long lo, long hi, long *out) {
    char *end = NULL;
    long v;
    if (text[0] == '\0' || text[0] == ' ' || text[0] == '+') return 0;
    errno = 0;
    v = strtol(text, &end, 10);
    if (errno != 0 || *end != '\0' || v < lo || v > hi) return 0;
    *out = v;
    return 1;
}

static int file_exists(const char *path) {
    FILE *f = fopen(path, "rb");
    if (f == NULL) return 0;
    fclose(f);
    return 1;
}

struct size_name {
    const char *name;
    int32_t code;
    const char *label;
};

static const struct size_name sizes[] = {
    {"first", SHEETLAY_SIZE_FIRST_PAGE, "first-page size"},
    {"a4", SHEETLAY_SIZE_A4, "A4"},
    {"letter", SHEETLAY_SIZE_LETTER, "Letter"},
    {"a3", SHEETLAY_SIZE_A3, "A3"},
};

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

int main(int argc, char **argv) {
    long n = 4, border = 0;
    int32_t order = SHEETLAY_ORDER_LTR;
    const struct size_name *size = &sizes[0];
    int size_given = 0, verbose = 0, options_done = 0;
    const char *paths[2] = {NULL, NULL};
    int npaths = 0, i, existed, ok;

    for (i = 1; i < argc; i++) {
        const char *arg = argv[i];
        const char *val;
        int missing = 0;
        if (options_done || arg[0] != '-' || arg[1] == '\0') {
            /* A plain argument ("-" alone is a file name too). */
            if (npaths == 2) return usage_error("too many file names: '%s'", arg);
            paths[npaths++] = arg;
            continue;
        }
        if (strcmp(arg, "--") == 0) {
            options_done = 1;
        } else if (strcmp(arg, "-h") == 0 || strcmp(arg, "--help") == 0) {
            fputs(usage_text, stdout);
            return 0;
        } else if (strcmp(arg, "--version") == 0) {
            printf("sheetlay %s\n", SHEETLAY_VERSION);
            return 0;
        } else if (strcmp(arg, "-v") == 0 || strcmp(arg, "--verbose") == 0) {
            verbose = 1;
        } else if (strcmp(arg, "--rtl") == 0) {
            order = SHEETLAY_ORDER_RTL;
        } else if (strcmp(arg, "--ltr") == 0) {
            order = SHEETLAY_ORDER_LTR;
        } else if ((val = option_value(argc, argv, &i, "-n", &missing)) != NULL) {
            if (missing) return usage_error("%s needs a number of pages per sheet", "-n");
            if (!parse_int(val, 2, 16, &n) ||
                (n != 2 && n != 4 && n != 6 && n != 9 && n != 16))
                return usage_error("-n must be 2, 4, 6, 9 or 16 (got '%s')", val);
        } else if ((val = option_value(argc, argv, &i, "--size", &missing)) != NULL) {
            size_t k;
            if (missing) return usage_error("%s needs a size: first, a4, letter or a3", "--size");
            size = NULL;
            for (k = 0; k < sizeof sizes / sizeof sizes[0]; k++)
                if (strcmp(val, sizes[k].name) == 0) size = &sizes[k];
            if (size == NULL)
                return usage_error("--size must be first, a4, letter or a3 (got '%s')", val);
            size_given = 1;
        } else if ((val = option_value(argc, argv, &i, "--border", &missing)) != NULL) {
            if (missing) return usage_error("%s needs a width in points", "--border");
            if (!parse_int(val, 0, INT32_MAX, &border))
                return usage_error("--border must be a whole number of points, 0 or more (got '%s')",
                                   val);
        } else {
            return usage_error("unknown option '%s'", arg);
        }
    }
    if (npaths < 2)
        return usage_error("%s", npaths == 0 ? "missing INPUT.pdf and OUTPUT.pdf"
                                             : "missing OUTPUT.pdf");
    /* The interface offers frames only on sheets of the first page's size;
     * rather than drop one of the two choices silently, refuse the pair. */
    if (border > 0 && size_given && size->code >= 0)
        return usage_error("--border cannot be combined with --size %s (frames are drawn only on "
                           "sheets of the first page's size)",
                           size->name);

    existed = file_exists(paths[1]);
    sheetlay_init();
    if (border > 0)
        ok = sheetlay_create_bordered(paths[0], paths[1], (int32_t)n, order, (int32_t)border);
    else if (size->code >= 0)
        ok = sheetlay_create_sized(paths[0], paths[1], (int32_t)n, order, size->code);
    else
        ok = sheetlay_create(paths[0], paths[1], (int32_t)n, order);

    if (!ok) {
        const char *msg = sheetlay_last_error();
        fprintf(stderr, "sheetlay: %s\n", msg[0] != '\0' ? msg : "failed (no reason given)");
        /* A failed run leaves no new file behind, even a partly written one. */
        if (!existed && file_exists(paths[1])) remove(paths[1]);
        return 1;
    }
    if (verbose) {
        long bytes = -1;
        FILE *f = fopen(paths[1], "rb");
        if (f != NULL) {
            if (fseek(f, 0, SEEK_END) == 0) bytes = ftell(f);
            fclose(f);
        }
        printf("sheetlay: wrote %s (%ld bytes): %ld-up, %s, %s%s\n", paths[1], bytes, n,
               order == SHEETLAY_ORDER_RTL ? "right to left" : "left to right", size->label,
               border > 0 ? ", framed" : "");
    }
    sheetlay_cleanup();
    return 0;
}
