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
    return QProcess::startDetached(hostPath, {updaterPath, QStringLiteral("no_check")});
}

bool showError(CUpdateError &dialog, const QString &title, const QString &message, bool showButtons)
{
    dialog.setMessage(title, message, showButtons);
    return dialog.exec() == QDialog::Accepted;
}
