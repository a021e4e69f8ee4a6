#include "updatedriver.h"

#include <QApplication>
#include <QIcon>

int main(int argc, char *argv[])
{
    QApplication::setAttribute(Qt::AA_EnableHighDpiScaling, true);
    QApplication::setAttribute(Qt::AA_UseHighDpiPixmaps, true);
    QApplication app(argc, argv);
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/icon")));

    UpdateDriver driver(QCoreApplication::applicationFilePath(), QCoreApplication::arguments().value(1));
    return driver.run();
}
