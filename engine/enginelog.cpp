#include "enginelog.h"

Q_LOGGING_CATEGORY(lcTransfer, "updater.transfer", QtWarningMsg)
Q_LOGGING_CATEGORY(lcInstall, "updater.install", QtWarningMsg)
