#pragma once

/// @file
/// The guard around each operation a host calls: no exception leaves the library.

#include <exception>
#include <new>

/// @brief What escaped a guarded operation.
enum class TeskEscape {
    OutOfMemory,  ///< std::bad_alloc
    Other,        ///< any other exception
};

/// @brief Writes the guard's one error line, naming @p function and @p what. Never throws: a line
/// that cannot be made for lack of memory is lost.
/// @param function the operation's pretty function name
/// @param what what escaped
void TeskGuardLog(const char* function, const char* what) noexcept;

/// @brief Runs @p body and returns its result. An exception that leaves it is caught, named in one
/// error line, and @p onEscape, which must not throw, gives the result instead.
/// @param function the operation's pretty function name, for the line
/// @param body the operation
/// @param onEscape called as onEscape(TeskEscape, const char* what) after an exception
/// @return what @p body or @p onEscape returned
template <typename Body, typename OnEscape>
auto TeskGuard(const char* function, Body&& body, OnEscape&& onEscape) noexcept -> decltype(body()) {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        TeskGuardLog(function, "out of memory");
        return onEscape(TeskEscape::OutOfMemory, "out of memory");
    } catch (const std::exception& e) {
        TeskGuardLog(function, e.what());
        return onEscape(TeskEscape::Other, e.what());
    } catch (...) {
        TeskGuardLog(function, "an exception of unknown type");
        return onEscape(TeskEscape::Other, "an exception of unknown type");
    }
}
