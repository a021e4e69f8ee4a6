#pragma once

#include <QLoggingCategory>

Q_DECLARE_LOGGING_CATEGORY(lcRun)     // "updater.run": each pass, its checks and how it ended
Q_DECLARE_LOGGING_CATEGORY(lcCheck)   // "updater.check": why each file counts as changed
