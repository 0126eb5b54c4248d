/* SPDX-License-Identifier: Apache-2.0 */
/* Export control: the library is built with hidden visibility and only
 * names marked CPIC_EXPORT leave libcpic.so. */
#ifndef VCPIC_EXPORT_H
#define VCPIC_EXPORT_H

#define CPIC_EXPORT __attribute__((visibility("default")))

#ifdef __cplusplus
#define CPIC_EXTERN_C extern "C"
#else
#define CPIC_EXTERN_C
#endif

#define CPIC_API CPIC_EXTERN_C CPIC_EXPORT

#endif /* VCPIC_EXPORT_H */
