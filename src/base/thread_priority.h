#pragma once
// Unpacking runs beside the download. On a link slower than the disk the
// download is what the player waits for, so the threads that unpack yield the
// cores to the one that receives (and, on the same machine, to whatever
// sends): they catch up within the bytes allowed in flight.

// Lowers the calling thread's scheduling priority a step below the others of
// the process. POSIX: a nice value 10 above the process's; Windows:
// THREAD_PRIORITY_BELOW_NORMAL. Nothing happens where the system refuses.
void LowerThisThreadPriority();
