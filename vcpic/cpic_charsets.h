/* SPDX-License-Identifier: Apache-2.0 */
/*
 * The four character-set tables and the conversion routine. Each table is
 * 512 bytes: ASCII (ISO 8859-1) to EBCDIC (code page 037) indexed by the
 * ASCII byte, then EBCDIC to ASCII indexed by the EBCDIC byte. A character
 * outside the table's set maps to 0x00.
 */
#ifndef VCPIC_CPIC_CHARSETS_H
#define VCPIC_CPIC_CHARSETS_H

#include <stdint.h>

#include "vcpic/export.h"

#ifdef __cplusplus
#include <array>
using CharsetTable = std::array<unsigned char, 512>;
#else
typedef unsigned char CharsetTable[512];
#endif

enum {
    CONVERT_ASCII_TO_EBCDIC = 0,
    CONVERT_EBCDIC_TO_ASCII = 1,
};

/* Table numbers for SCC_convert_string. */
enum {
    CHARSET_TYPE_AE = 0,       /* log data, security values */
    CHARSET_TYPE_A = 1,        /* partner LU name, mode name (upper case) */
    CHARSET_00640 = 2,         /* TP names */
    CHARSET_00640_EXTENDED = 3 /* application buffers */
};

CPIC_API const CharsetTable cpic_ae;
CPIC_API const CharsetTable cpic_a;
CPIC_API const CharsetTable cpic_ae640;
CPIC_API const CharsetTable cpic_ae640_ex;

/* Converts `length` bytes (a count of zero or less converts nothing); the
 * destination may be the source. Writes no terminator. Internal: not
 * exported. */
CPIC_EXTERN_C void SCC_convert_string(uint8_t direction, uint16_t table, int16_t length,
                                      unsigned char *destination, const unsigned char *source);

#endif /* VCPIC_CPIC_CHARSETS_H */
