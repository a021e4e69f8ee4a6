#pragma once

#include <QByteArray>
#include <QMetaType>

/// A hostile patch: well-formed, with control steps that try to make the applier work without end.
enum class Hostile { None, ZeroSteps, JumpsBackAndForth, FarBeyondTheResult };
Q_DECLARE_METATYPE(Hostile)

/// A patch of @p kind for a result of @p resultSize bytes, its streams stored with @p codec (a PatchFormat codec).
QByteArray hostilePatch(Hostile kind, quint8 codec, qint64 resultSize);
