/*
 * A C host of the library that knows nothing but the public header: it
 * checks that the six functions link from C and report failures through the
 * error text. Argument: a folder for temporary files.
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "sheetlay.h"

static int failures = 0;

static void check(int ok, const char *what) {
    printf("%s: %s\n", ok ? "ok  " : "FAIL", what);
    if (!ok) failures++;
}

static int error_is(const char *want) {
    const char *e = sheetlay_last_error();
    return e != NULL && strcmp(e, want) == 0;
}

static int error_empty(void) {
    const char *e = sheetlay_last_error();
    return e != NULL && e[0] == '\0';
}

static int exists(const char *path) {
    FILE *f = fopen(path, "rb");
    if (f == NULL) return 0;
    fclose(f);
    return 1;
}

int main(int argc, char **argv) {
    char missing[1024], out[1024], want[1100];
    char *long_path;
    size_t long_len = 3000, i;
    const char *dir = argc > 1 ? argv[1] : ".";

    snprintf(missing, sizeof missing, "%s/c-api-no-such-input.pdf", dir);
    snprintf(out, sizeof out, "%s/c-api-out.pdf", dir);
    remove(out);

    check(sheetlay_last_error() != NULL, "last_error is never NULL");

    /* NULL paths, through each create function. */
    check(sheetlay_create(NULL, out, 4, SHEETLAY_ORDER_LTR) == 0, "create(NULL input) fails");
    check(error_is("NULL path argument"), "  with \"NULL path argument\"");
    check(sheetlay_init() == 1, "init returns 1");
    check(error_empty(), "  and empties the error text");
    check(sheetlay_create_sized(missing, NULL, 4, SHEETLAY_ORDER_LTR, SHEETLAY_SIZE_A4) == 0,
          "create_sized(NULL output) fails");
    check(error_is("NULL path argument"), "  with \"NULL path argument\"");
    check(sheetlay_create_bordered(NULL, NULL, 2, SHEETLAY_ORDER_RTL, 1) == 0,
          "create_bordered(NULL, NULL) fails");
    check(error_is("NULL path argument"), "  with \"NULL path argument\"");

    /* A missing input, through each create function; no output appears. */
    snprintf(want, sizeof want, "cannot open %s", missing);
    check(sheetlay_create(missing, out, 4, SHEETLAY_ORDER_LTR) == 0, "create(missing input) fails");
    check(error_is(want), "  with \"cannot open <path>\"");
    sheetlay_cleanup();
    check(error_empty(), "cleanup empties the error text");
    check(sheetlay_create_sized(missing, out, 2, SHEETLAY_ORDER_RTL, SHEETLAY_SIZE_LETTER) == 0,
          "create_sized(missing input) fails");
    check(error_is(want), "  with \"cannot open <path>\"");
    check(sheetlay_create_bordered(missing, out, 9, SHEETLAY_ORDER_LTR, 2) == 0,
          "create_bordered(missing input) fails");
    check(error_is(want), "  with \"cannot open <path>\"");
    /* The input is read before the layout arguments are judged. */
    check(sheetlay_create(missing, out, 5, 7) == 0, "create(missing input, bad n) fails");
    check(error_is(want), "  with \"cannot open <path>\", not a layout message");
    check(!exists(out), "no output file is left after failures");

    /* A message longer than the buffer is cut to 1023 bytes, terminated. */
    long_path = (char *)malloc(long_len + 1);
    if (long_path == NULL) return 2;
    memcpy(long_path, dir, strlen(dir) < 100 ? strlen(dir) : 100);
    for (i = strlen(dir) < 100 ? strlen(dir) : 100; i < long_len; i++) long_path[i] = 'x';
    long_path[strlen(dir) < 100 ? strlen(dir) : 100] = '/';
    long_path[long_len] = '\0';
    check(sheetlay_create(long_path, out, 4, SHEETLAY_ORDER_LTR) == 0, "create(very long path) fails");
    check(strlen(sheetlay_last_error()) == 1023, "  with the message cut to 1023 bytes");
    check(strncmp(sheetlay_last_error(), "cannot open ", 12) == 0 &&
              strncmp(sheetlay_last_error() + 12, long_path, 1011) == 0,
          "  which starts \"cannot open <path>\"");
    free(long_path);

    sheetlay_cleanup();
    check(error_empty(), "cleanup empties the error text");
    check(sheetlay_init() == 1 && error_empty(), "init again returns 1, text empty");

    printf("%d check(s) failed\n", failures);
    return failures == 0 ? 0 : 1;
}
