// Stands in for the host application. Each start appends its arguments, joined
// by TAB, as one line to the log named in "<its own path>.log-path".
//
// On Windows it can also hold what a running host holds: when "<its own
// path>.hold" exists, each of its lines "load PATH" loads that DLL and "open
// PATH" opens that file without FILE_SHARE_DELETE; it then makes
// "<its own path>.held" and waits until "<its own path>.release" exists (at
// most 60 s), and with a line "for MSECS" no longer than that.
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QThread>

#ifdef Q_OS_WIN
#include <qt_windows.h>
#endif

namespace {
QByteArray readWhole(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

#ifdef Q_OS_WIN
void hold(const QString &self)
{
    int msecs = 60000;
    for (const QByteArray &line : readWhole(self + QStringLiteral(".hold")).split('\n')) {
        const QString argument = QString::fromUtf8(line.mid(line.indexOf(' ') + 1)).trimmed();
        const std::wstring path = argument.toStdWString();
        if (line.startsWith("load "))
            LoadLibraryW(path.c_str());
        else if (line.startsWith("open "))
            CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        else if (line.startsWith("for "))
            msecs = argument.toInt();
    }
    QFile(self + QStringLiteral(".held")).open(QIODevice::WriteOnly);
    QElapsedTimer waited;
    waited.start();
    while (!QFileInfo::exists(self + QStringLiteral(".release")) && waited.elapsed() < msecs)
        QThread::msleep(20);
}
#endif
}

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QString self = QCoreApplication::applicationFilePath();
    QFile log(QString::fromUtf8(readWhole(self + QStringLiteral(".log-path")).trimmed()));
    if (log.open(QIODevice::Append))
        log.write(QCoreApplication::arguments().mid(1).join(QLatin1Char('\t')).toUtf8() + '\n');
    log.close();
#ifdef Q_OS_WIN
    if (QFileInfo::exists(self + QStringLiteral(".hold")))
        hold(self);
#endif
    return 0;
}
