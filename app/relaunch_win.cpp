#include "outcome.h"

#include "checklog.h"

#include "heldfolder.h"

#include <QDir>
#include <QProcess>

#include <qt_windows.h>

#include <memory>

namespace {

// ERROR_ELEVATION_REQUIRED, which not every SDK's headers name.
constexpr DWORD elevationRequired = 740;

bool isElevated()
{
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
        return false;
    TOKEN_ELEVATION elevation{};
    DWORD size = 0;
    const bool elevated = GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation, &size) && elevation.TokenIsElevated;
    CloseHandle(token);
    return elevated;
}

// One argument as the C runtime reads it back: quoted, backslashes before a quote doubled.
QString quoted(const QString &argument)
{
    QString text = QStringLiteral("\"");
    int backslashes = 0;
    for (const QChar c : argument) {
        if (c == QLatin1Char('\\')) {
            ++backslashes;
            continue;
        }
        text += QString(c == QLatin1Char('"') ? 2 * backslashes + 1 : backslashes, QLatin1Char('\\')) + c;
        backslashes = 0;
    }
    return text + QString(2 * backslashes, QLatin1Char('\\')) + QLatin1Char('"');
}

// As before the updater had rights of its own to give away: detached, on no handle of the updater's.
bool startAsToday(const QString &hostPath, const QStringList &arguments)
{
    QProcess host;
    host.setProgram(hostPath);
    host.setArguments(arguments);
    host.setStandardInputFile(QProcess::nullDevice());
    host.setStandardOutputFile(QProcess::nullDevice());
    host.setStandardErrorFile(QProcess::nullDevice());
    return host.startDetached();
}

// Started as a child of the desktop shell, the host runs with the shell's
// token: the user's own, unelevated. 0: started; otherwise the error.
DWORD startUnderShell(HWND shell, const QString &hostPath, const QStringList &arguments)
{
    DWORD shellId = 0;
    GetWindowThreadProcessId(shell, &shellId);
    const HANDLE parent = shellId ? OpenProcess(PROCESS_CREATE_PROCESS, FALSE, shellId) : nullptr;
    if (!parent)
        return GetLastError();
    SIZE_T size = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
    std::unique_ptr<BYTE[]> storage(new BYTE[size]);
    auto *attributes = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(storage.get());
    HANDLE parentHandle = parent;
    DWORD error = 0;
    if (!InitializeProcThreadAttributeList(attributes, 1, 0, &size)
            || !UpdateProcThreadAttribute(attributes, 0, PROC_THREAD_ATTRIBUTE_PARENT_PROCESS, &parentHandle, sizeof parentHandle,
                                          nullptr, nullptr)) {
        error = GetLastError();
    } else {
        QString commandLine = quoted(QDir::toNativeSeparators(hostPath));
        for (const QString &argument : arguments)
            commandLine += QLatin1Char(' ') + quoted(argument);
        std::wstring command = commandLine.toStdWString();
        const std::wstring program = nativePath(hostPath);
        STARTUPINFOEXW startup{};
        startup.StartupInfo.cb = sizeof startup;
        startup.lpAttributeList = attributes;
        PROCESS_INFORMATION process{};
        // No handle of the updater's is inherited: the caller's pipes end with the updater.
        if (CreateProcessW(program.c_str(), command.data(), nullptr, nullptr, FALSE,
                           EXTENDED_STARTUPINFO_PRESENT | CREATE_UNICODE_ENVIRONMENT | DETACHED_PROCESS, nullptr, nullptr,
                           &startup.StartupInfo, &process)) {
            CloseHandle(process.hThread);
            CloseHandle(process.hProcess);
        } else {
            error = GetLastError();
        }
        DeleteProcThreadAttributeList(attributes);
    }
    CloseHandle(parent);
    return error;
}

}

bool relaunchHost(const QString &hostPath, const QString &updaterPath, const QString &)
{
    if (hostPath.isEmpty())
        return false;
    const QStringList arguments{updaterPath, QStringLiteral("no_check")};
    if (!isElevated()) {
        qCInfo(lcRun).noquote() << "starting the host" << hostPath << "with the updater's own rights: it is not elevated";
        return startAsToday(hostPath, arguments);
    }
    const HWND shell = GetShellWindow();
    if (!shell) {
        qCInfo(lcRun).noquote() << "starting the host" << hostPath << "with the updater's rights: no desktop shell runs";
        return startAsToday(hostPath, arguments);
    }
    const DWORD error = startUnderShell(shell, hostPath, arguments);
    if (error == 0) {
        qCInfo(lcRun).noquote() << "started the host" << hostPath << "with the desktop shell's unelevated rights";
        return true;
    }
    // A host whose own manifest asks for administrator rights gets them.
    qCInfo(lcRun).noquote() << "starting the host" << hostPath << "with the updater's rights:"
                            << (error == elevationRequired ? QStringLiteral("it requires elevation")
                                                                  : QStringLiteral("the shell's rights failed (error %1)").arg(error));
    return startAsToday(hostPath, arguments);
}
