#pragma once

#include "heldfolder.h"

#include <QByteArray>
#include <QString>

/**
 * The install's id: 128 random bits from the system's secure source, drawn
 * the first time a staged release is met and kept as "update_id.info" (32
 * hexadecimal digits) in the held install folder, written whole and synced.
 * Which stages the install is in follows from it alone (see
 * UpdateDescription::isInStage()), so it never flips between checks.
 */
class InstallId
{
public:
    explicit InstallId(const HeldFolder &install);

    /**
     * Reads the id into @p id, drawing and storing one when there is none;
     * false with @p error saying why when it can be neither read nor stored
     * (a damaged file is left as it is: the install then stays outside every
     * stage rather than take a new draw).
     */
    bool take(QByteArray *id, QString *error) const;

private:
    HeldFolder m_install;
};
