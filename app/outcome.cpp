#include "outcome.h"

#include "cupdateerror.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>

QByteArray resultReport(bool success, bool update, const QString &message)
{
    QJsonObject report;
    report.insert(QStringLiteral("success"), success);
    report.insert(QStringLiteral("update"), update);
    report.insert(QStringLiteral("errormsg"), message);
    return QJsonDocument(report).toJson(QJsonDocument::Compact);
}

void reportResult(bool success, bool update, const QString &message, std::ostream &out)
{
    const QByteArray report = resultReport(success, update, message);
    out.write(report.constData(), report.size());
    out.flush();
}

bool relaunchHost(const QString &hostPath, const QString &updaterPath)
{
    if (hostPath.isEmpty())
        return false;
    // The host must not hold the caller's pipes: whoever reads the report gets
    // end-of-file when the updater exits, and nothing but the report.
    QProcess host;
    host.setProgram(hostPath);
    host.setArguments({updaterPath, QStringLiteral("no_check")});
    host.setStandardInputFile(QProcess::nullDevice());
    host.setStandardOutputFile(QProcess::nullDevice());
    host.setStandardErrorFile(QProcess::nullDevice());
    return host.startDetached();
}

bool showError(CUpdateError &dialog, const QString &title, const QString &message, bool showButtons)
{
    dialog.setMessage(title, message, showButtons);
    return dialog.exec() == QDialog::Accepted;
}
