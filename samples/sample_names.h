/* SPDX-License-Identifier: Apache-2.0 */
/*
 * The names of CPI-C return codes for the sample programs' messages, made
 * from the header's own list so that a code and its name cannot drift
 * apart.
 */
#ifndef SAMPLE_NAMES_H
#define SAMPLE_NAMES_H

#include <cpic.h>

static inline const char *sample_rc_name(CM_RETURN_CODE rc) {
    switch (rc) {
#define SAMPLE_RC_CASE(name, value)                                                                          \
    case value: return "CM_" #name;
        CM_RETURN_CODE_MAP(SAMPLE_RC_CASE)
#undef SAMPLE_RC_CASE
    }
    return "an unknown return code";
}

#endif /* SAMPLE_NAMES_H */
