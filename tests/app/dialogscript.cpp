#include "dialogscript.h"

#include <QApplication>
#include <QLabel>
#include <QPushButton>
#include <QTest>
#include <QTimer>

DialogScript::DialogScript(QList<Action> actions)
    : m_actions(std::move(actions))
{
    qApp->installEventFilter(this);
}

DialogScript::~DialogScript()
{
    qApp->removeEventFilter(this);
}

void DialogScript::accept(QDialog *dialog)
{
    dialog->accept();
}

void DialogScript::pressEscape(QDialog *dialog)
{
    QTest::keyClick(dialog, Qt::Key_Escape);
}

void DialogScript::pressEnter(QDialog *dialog)
{
    QTest::keyClick(dialog, Qt::Key_Return);
}

bool DialogScript::eventFilter(QObject *watched, QEvent *event)
{
    auto *dialog = qobject_cast<QDialog *>(watched);
    if (event->type() != QEvent::Show || !dialog)
        return false;

    QStringList record{QString::fromLatin1(dialog->metaObject()->className())};
    const auto labels = dialog->findChildren<QLabel *>();
    // A line too long to show whole carries its full text as tooltip.
    for (const QLabel *label : labels)
        record << (label->toolTip().isEmpty() ? label->text() : label->toolTip());
    QStringList buttons;
    const auto pushButtons = dialog->findChildren<QPushButton *>();
    for (const QPushButton *button : pushButtons) {
        if (!button->isHidden())
            buttons << button->objectName();
    }
    record << buttons.join(QLatin1Char(','));
    m_shown << record.join(QLatin1Char('|'));

    // Progress dialogs answer themselves when the engine ends.
    if (dialog->inherits("CUpdateProgress"))
        return false;
    const Action action = m_actions.isEmpty() ? Action(&DialogScript::pressEscape) : m_actions.takeFirst();
    QTimer::singleShot(0, dialog, [dialog, action] { action(dialog); });
    return false;
}
