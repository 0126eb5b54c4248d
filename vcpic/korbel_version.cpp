// SPDX-License-Identifier: Apache-2.0
// Version identification. The "@(#)" strings are found by what(1)-style
// tools in the binary; the functions hand the plain texts to callers.
#include "vcpic/cpic_util.h"

extern "C" {
CPIC_EXPORT extern const char ocpic_verstring[255] = "@(#)]V6.2.3.0 Orvanet CPI-C Library Routines (32 bit)\n"
                                                     "@(#)]            (: 07/11/15 20:37:14)\n"
                                                     "@(#)]";
CPIC_EXPORT extern const char ocpic_verstring1[255] = "V6.2.3.0 Orvanet CPI-C Library Routines (32 bit)\n";
CPIC_EXPORT extern const char ocpic_verstring1_tvt[255] = "V6.2.3.0 Orvanet %1\n";
}

CPIC_API const char *ocpic_verstamp(void) {
    return ocpic_verstring1;
}
CPIC_API const char *ocpic_verstamp_tvt(void) {
    return ocpic_verstring1_tvt;
}
