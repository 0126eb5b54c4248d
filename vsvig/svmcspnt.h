/* SPDX-License-Identifier: Apache-2.0 */
/*
 * Formatted-output utilities of the vsvig module.
 *
 * nb_fprintf, nb_printf and nb_sprintf hand their arguments to the C
 * runtime's vfprintf / vsprintf unchanged.
 *
 * t_sprintf and t_print_args use the module's own small formatter:
 *   conversions  c s d i w u o x X p, "%%", and "%l<any>" (a decimal
 *                followed by that character)
 *   flags        '#' (prefix "0" / "0X"), '-' (left-justify), '0' (zero
 *                fill), width and '.'precision as digits or '*', 'l'/'L'
 *   numbers      always 32-bit; hexadecimal digits are upper case
 *   size         t_print_args only: 0 means unbounded; otherwise, once the
 *                output passes size - 20 bytes it is closed with "\n\0\0"
 *                and the count up to and including the first NUL returned.
 *                The caller's buffer must hold at least `size` bytes.
 * Malformed conversions are reported through v0_assert and formatting
 * carries on.
 *
 * Argument words: t_print_args reads its variable arguments from an array
 * of T_ARG_WORD. On i386 that is the 32-bit stack slot layout, so a va_list
 * of a variadic caller can be passed as the array. On x86-64 each word is
 * pointer-sized; integers are taken from the low 32 bits and 's' reads the
 * whole word as an address. t_sprintf takes natural C arguments (int for
 * numbers, characters and '*', a pointer for 's' and 'p').
 */
#ifndef VSVIG_SVMCSPNT_H
#define VSVIG_SVMCSPNT_H

#include <stdint.h>
#include <stdio.h>

#include "vcpic/export.h"

/* One variable argument of t_print_args. */
typedef uintptr_t T_ARG_WORD;

CPIC_API int nb_fprintf(FILE *stream, const char *format, ...) __attribute__((format(printf, 2, 3)));
CPIC_API int nb_printf(const char *format, ...) __attribute__((format(printf, 1, 2)));
CPIC_API int nb_sprintf(char *destination, const char *format, ...) __attribute__((format(printf, 2, 3)));

CPIC_API int32_t t_sprintf(char *destination, const char *format, ...);
CPIC_API int32_t t_print_args(char *destination, int32_t size, const char *format,
                              const T_ARG_WORD *arguments);

#endif /* VSVIG_SVMCSPNT_H */
