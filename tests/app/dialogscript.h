#pragma once

#include <QDialog>
#include <QObject>
#include <QStringList>

#include <functional>

/**
 * Answers the modal dialogs of an in-process run, in the order they appear:
 * each time a dialog is shown, the next action is applied to it once its modal
 * loop runs. What every dialog showed is logged as "class|line|line|buttons",
 * the lines being its labels' texts and buttons the visible button names.
 */
class DialogScript : public QObject
{
    Q_OBJECT

public:
    using Action = std::function<void(QDialog *)>;

    explicit DialogScript(QList<Action> actions);
    ~DialogScript() override;

    QStringList shown() const { return m_shown; }

    static void accept(QDialog *dialog);
    static void pressEscape(QDialog *dialog);
    static void pressEnter(QDialog *dialog);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    QList<Action> m_actions;
    QStringList m_shown;
};
