#pragma once

#include <QByteArray>
#include <QMetaType>

/**
 * A hostile patch: well-formed, with control steps that try to make the applier
 * work without end; or a reference patch whose rules, moves or streams are not
 * what an applier may take.
 */
enum class Hostile {
    None, ZeroSteps, JumpsBackAndForth, FarBeyondTheResult,
    UnknownRules, MoveBeyondTheImage, MoveBeyondTheResult, MoveCountsDisagree, TruncatedStream
};
Q_DECLARE_METATYPE(Hostile)

/// A patch of @p kind for a result of @p resultSize bytes, its streams stored with @p codec (a PatchFormat codec);
/// a reference patch for the reference kinds, from one step that follows the base.
QByteArray hostilePatch(Hostile kind, quint8 codec, qint64 resultSize);
