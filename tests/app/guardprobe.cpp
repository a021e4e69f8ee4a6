// Takes the single-instance guard of the folder given as argument, without
// waiting for it, prints "1" when it got it and "0" otherwise, and holds it
// until standard input closes.
#include "singleinstanceguard.h"

#include <QCoreApplication>

#include <cstdio>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    SingleInstanceGuard guard(QCoreApplication::arguments().value(1));
    std::putchar(guard.tryAcquire(0) ? '1' : '0');
    std::fflush(stdout);
    while (std::getchar() != EOF) {
    }
    return 0;
}
