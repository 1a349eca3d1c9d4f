#include "base/move_retry.h"

bool IsWorthRetrying(MoveRefusal refusal, MoveTarget target) {
    if (refusal == MoveRefusal::Sharing) return true;
    return refusal == MoveRefusal::AccessDenied &&
           (target == MoveTarget::DeletePending || target == MoveTarget::RegularFile);
}
