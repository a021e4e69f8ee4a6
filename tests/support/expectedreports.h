#pragma once

#include <QByteArray>
#include <QString>

/**
 * @file
 * The result reports a calling program reads, written out byte for byte so
 * that tests compare against the contract, not against the code that makes it.
 */

/// A check that passed with no mandatory update due.
inline const QByteArray noUpdateDueReport(R"({"errormsg":"","success":true,"update":false})");
/// A check that passed with a mandatory update following.
inline const QByteArray updateDueReport(R"({"errormsg":"","success":true,"update":true})");

/// A failure report carrying @p message.
inline QByteArray failureReport(const QString &message)
{
    return R"({"errormsg":")" + message.toUtf8() + R"(","success":false,"update":false})";
}
