/* SPDX-License-Identifier: Apache-2.0 */
/*
 * What Send_Data and Deallocate share: the copy of the error log data that
 * an abnormal SEND_AND_DEALLOCATE holds for the deallocate it chains after
 * its data, and that chained deallocate itself.
 *
 * The copy lives in DeallcLogData / usDeallcLogDataLen of the CCCB. It is
 * taken by the send, dropped by whichever completion fails first, and
 * otherwise kept until the CCCB is released.
 */
#ifndef VCPIC_CPIC_DEALLOCATE_H
#define VCPIC_CPIC_DEALLOCATE_H

#include <stdint.h>

#include "vcpic/cpic_records.h"

namespace cpic {

/* Takes the copy of LogData that the chained deallocate will carry. False,
 * with the problem record written and nothing held, when the log data is
 * announced but absent or no memory is left for the copy. */
bool hold_abend_log_data(CCCB *cccb);

/* Frees the held copy after a failed send or deallocate; nothing happens
 * when none is held. */
void drop_held_log_data(CCCB *cccb);

/* How the chained deallocate went. */
enum class ChainedDeallocate {
    kCompleted, // finished at once; the send's completion goes on
    kInFlight,  // the node holds it; its own completion posts the result
};

/* Issues the deallocate that carries the held copy, from the completion of
 * the send whose data went out (`async` as that completion was called).
 * Afterwards the conversation is over whatever the deallocate's result,
 * unless it is still in flight. */
ChainedDeallocate chain_abend_deallocate(CCCB *cccb, uint32_t async);

} // namespace cpic

#endif /* VCPIC_CPIC_DEALLOCATE_H */
