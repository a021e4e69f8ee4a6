#pragma once

#include <functional>

/**
 * Runs its action when it goes out of scope, also when a check fails and
 * returns early: mounts, file flags and system settings that a test changes
 * must never outlive it.
 */
class Undo
{
public:
    explicit Undo(std::function<void()> action) : m_action(std::move(action)) {}
    ~Undo() { m_action(); }
    Undo(const Undo &) = delete;
    Undo &operator=(const Undo &) = delete;

private:
    std::function<void()> m_action;
};
