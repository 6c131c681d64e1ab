// The work-queue store library, whole.
#ifndef WQS_WQS_H_
#define WQS_WQS_H_

#include "wqs/dynarray.h"
#include "wqs/wqsdb.h"
#include "wqs/wqsfield.h"
#include "wqs/wqsmsg.h"
#include "wqs/wqstypes.h"

#endif  // WQS_WQS_H_
