#pragma once
// Whether a refused move of a file over its destination is tried again after
// a wait (the bounded waits of MoveReplacing). Another program that holds
// either file for a moment, an on-access scanner, an indexer or a sync client,
// lets go soon; what stands in the way for good is refused at once.

enum class MoveRefusal {
    Sharing,       // a sharing or lock violation: a file is open elsewhere
    AccessDenied,  // what Windows says of a held target, and of one it may not replace
    Other,
};

enum class MoveTarget {
    Absent,
    DeletePending,   // its deletion waits for the last handle: even its attributes are denied
    RegularFile,     // writable, and not the running updater
    ReadOnlyFile,    // read-only, hidden or system: refused until the attribute is cleared
    RunningProgram,  // the updater itself, which Windows never lets be replaced
    Directory,
    Link,
};

bool IsWorthRetrying(MoveRefusal refusal, MoveTarget target);
