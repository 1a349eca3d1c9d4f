#include "base/move_retry.h"

bool IsWorthRetrying(MoveRefusal refusal, MoveTarget target) {
    switch (refusal) {
        case MoveRefusal::Sharing: return true;
        case MoveRefusal::AccessDenied: return target == MoveTarget::DeletePending || target == MoveTarget::RegularFile;
        case MoveRefusal::Other: return false;
    }
    return false;
}
