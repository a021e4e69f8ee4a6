#include "checklog.h"

Q_LOGGING_CATEGORY(lcRun, "updater.run", QtWarningMsg)
Q_LOGGING_CATEGORY(lcCheck, "updater.check", QtWarningMsg)
