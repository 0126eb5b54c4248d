// SPDX-License-Identifier: Apache-2.0
// Convert_Outgoing and Convert_Incoming: the program's own buffers through
// the widest character set, in place.
#include "vcpic/cpic_frame.h"

using namespace cpic;

namespace {

void convert(VerbIndex verb, uint8_t direction, unsigned char *buffer, CM_INT32 *buffer_length,
             CM_RETURN_CODE *return_code) {
    CallFrame f(verb, return_code, words(nullptr, buffer, buffer_length));
    f.respond(outputs(buffer, buffer_length));
    if (buffer_length == nullptr || *buffer_length > kMaximumBufferSize ||
        (*buffer_length > 0 && buffer == nullptr)) {
        f.set_rc(CM_PROGRAM_PARAMETER_CHECK);
        return;
    }
    if (*buffer_length <= 0) return; // nothing to convert
    SCC_convert_string(direction, CHARSET_00640_EXTENDED, static_cast<int16_t>(*buffer_length), buffer,
                       buffer);
}

} // namespace

CM_ENTRY cmcnvo(unsigned char *buffer, CM_INT32 *buffer_length, CM_RETURN_CODE *return_code) {
    convert(kVerbCMCNVO, CONVERT_ASCII_TO_EBCDIC, buffer, buffer_length, return_code);
}
CPIC_ENTRY_ALIAS(CMCNVO, cmcnvo);

CM_ENTRY cmcnvi(unsigned char *buffer, CM_INT32 *buffer_length, CM_RETURN_CODE *return_code) {
    convert(kVerbCMCNVI, CONVERT_EBCDIC_TO_ASCII, buffer, buffer_length, return_code);
}
CPIC_ENTRY_ALIAS(CMCNVI, cmcnvi);
