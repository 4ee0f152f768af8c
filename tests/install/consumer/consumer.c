/* Uses the installed header and library: prints "ok" and exits 0 when the
 * library answers as documented. */
#include <stdio.h>
#include <string.h>

#include <sheetlay.h>

int main(void) {
    const char *e;
    if (sheetlay_init() != 1) {
        puts("sheetlay_init did not return 1");
        return 1;
    }
    e = sheetlay_last_error();
    if (e == NULL || e[0] != '\0') {
        puts("the error text is not empty after sheetlay_init");
        return 1;
    }
    if (sheetlay_create(NULL, "out.pdf", 4, SHEETLAY_ORDER_LTR) != 0 ||
        strcmp(sheetlay_last_error(), "NULL path argument") != 0) {
        printf("a NULL path was not reported (got \"%s\")\n", sheetlay_last_error());
        return 1;
    }
    sheetlay_cleanup();
    puts("ok");
    return 0;
}
