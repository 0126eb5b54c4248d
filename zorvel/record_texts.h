/* SPDX-License-Identifier: Apache-2.0 */
// Words for the records in the node's log: each problem and audit record
// code, with the place its sequence number names where that says more (the
// call that met an unknown conversation ID, the step of initialisation
// that failed). The log writes them beside the code, and the operator tool
// shows them.
#ifndef ZORVEL_RECORD_TEXTS_H
#define ZORVEL_RECORD_TEXTS_H

#include <cstdint>
#include <string>

namespace zv {

// "unknown conversation ID (CMSEND)" for 20030005/7; "" for a code nobody
// described.
std::string record_text(uint32_t code, uint32_t sequence);

} // namespace zv

#endif // ZORVEL_RECORD_TEXTS_H
