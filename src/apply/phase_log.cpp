#include "apply/phase_log.h"

#include "services/log.h"

PhaseLogWriter g_phaseLogWriter = LogLine;
