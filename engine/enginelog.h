#pragma once

#include <QLoggingCategory>

// What the engine did, for a support engineer: off unless QT_LOGGING_RULES turns them on.
Q_DECLARE_LOGGING_CATEGORY(lcTransfer)   // "updater.transfer": requests, statuses, bytes, resumes, stalls
Q_DECLARE_LOGGING_CATEGORY(lcInstall)    // "updater.install": each backup and move
