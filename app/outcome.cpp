#include "outcome.h"

#include "cupdateerror.h"

#include <QJsonDocument>
#include <QJsonObject>

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

bool showError(CUpdateError &dialog, const QString &title, const QString &message, bool showButtons)
{
    dialog.setMessage(title, message, showButtons);
    return dialog.exec() == QDialog::Accepted;
}
