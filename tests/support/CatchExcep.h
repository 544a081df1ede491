// Runs a statement and returns the exception of type E it threw, or nothing, so
// that tests can check the code and the throw site of a failure.
#pragma once

#include <optional>
#include <utility>

template <typename E, typename F> std::optional<E> catchExcep(F&& statement)
{
    try
    {
        std::forward<F>(statement)();
    }
    catch (const E& e)
    {
        return e;
    }
    return std::nullopt;
}
