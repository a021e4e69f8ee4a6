#include "updatedriver.h"

#include <QApplication>
#include <QIcon>

#ifdef Q_OS_WIN
#include <qt_windows.h>
#endif

int main(int argc, char *argv[])
{
#ifdef Q_OS_WIN
    // A windowed program has no console: Qt would send diagnostics to the debugger
    // only. When standard error is redirected (updater 2> log.txt), they go there.
    const HANDLE standardError = GetStdHandle(STD_ERROR_HANDLE);
    if (standardError != nullptr && standardError != INVALID_HANDLE_VALUE && !qEnvironmentVariableIsSet("QT_FORCE_STDERR_LOGGING"))
        qputenv("QT_FORCE_STDERR_LOGGING", "1");
#endif
    QApplication::setAttribute(Qt::AA_EnableHighDpiScaling, true);
    QApplication::setAttribute(Qt::AA_UseHighDpiPixmaps, true);
    QApplication app(argc, argv);
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/icon")));

    UpdateDriver driver(QCoreApplication::applicationFilePath(), QCoreApplication::arguments().value(1));
    return driver.run();
}
