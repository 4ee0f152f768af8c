/*
 * sheetlay - make n-up PDF files.
 *
 * Public C interface. Every function is safe to call without sheetlay_init.
 * A create function returns 1 on success and 0 on failure; after a failure
 * sheetlay_last_error() holds one message describing it. The error text is a
 * single buffer for the whole process: a host that calls the library from
 * several threads at once must not rely on it across threads.
 */
#ifndef SHEETLAY_H
#define SHEETLAY_H

#include <stdint.h>

#if defined(_WIN32) || defined(__CYGWIN__)
#  if defined(SHEETLAY_BUILDING)
#    define SHEETLAY_API __declspec(dllexport)
#  elif defined(SHEETLAY_STATIC)
#    define SHEETLAY_API
#  else
#    define SHEETLAY_API __declspec(dllimport)
#  endif
#else
#  define SHEETLAY_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Page sizes for sheetlay_create_sized. Any negative value means: the size
 * of the first input page (turned when that page is shown rotated). */
#define SHEETLAY_SIZE_FIRST_PAGE (-1)
#define SHEETLAY_SIZE_A4 0
#define SHEETLAY_SIZE_LETTER 1
#define SHEETLAY_SIZE_A3 2

/* Reading orders. */
#define SHEETLAY_ORDER_LTR 0
#define SHEETLAY_ORDER_RTL 1

/* Empties the error text; always returns 1. */
SHEETLAY_API int32_t sheetlay_init(void);

/* Empties the error text. */
SHEETLAY_API void sheetlay_cleanup(void);

/* The error text of the last failed call, or "" (never NULL). The pointer
 * stays valid for the life of the process; its contents change with every
 * later call. */
SHEETLAY_API const char *sheetlay_last_error(void);

/* Writes output_path: the pages of input_path, n per sheet (2, 4, 6, 9 or
 * 16), in reading order `order` (0 left to right, 1 right to left), on sheets
 * the size of the first page, without frames. */
SHEETLAY_API int32_t sheetlay_create(const char *input_path, const char *output_path,
                                     int32_t n, int32_t order);

/* As sheetlay_create, on sheets of page_size: 0 A4, 1 Letter, 2 A3, or
 * negative for the first page's size. */
SHEETLAY_API int32_t sheetlay_create_sized(const char *input_path, const char *output_path,
                                           int32_t n, int32_t order, int32_t page_size);

/* As sheetlay_create, with a black frame of border_width points around each
 * placed page (0 for none). */
SHEETLAY_API int32_t sheetlay_create_bordered(const char *input_path, const char *output_path,
                                              int32_t n, int32_t order, int32_t border_width);

#ifdef __cplusplus
}
#endif

#endif /* SHEETLAY_H */
