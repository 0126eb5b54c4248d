/* SPDX-License-Identifier: Apache-2.0 */
/* Linkage of the node interface: C names, exported from libzorvel.so. */
#ifndef NODE_NODE_API_H
#define NODE_NODE_API_H

#ifdef __cplusplus
#define NODE_EXTERN_C_BEGIN extern "C" {
#define NODE_EXTERN_C_END }
#else
#define NODE_EXTERN_C_BEGIN
#define NODE_EXTERN_C_END
#endif

#define NODE_API __attribute__((visibility("default")))

#endif /* NODE_NODE_API_H */
