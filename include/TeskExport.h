#pragma once

/// @file
/// The export macro of the shared object, and the printf-format attribute.

/// @brief Marks what the shared object exports; everything else is built with hidden visibility.
/// Compiles to the same attribute in the library and in a host.
#define CLOUDSTACK_EXPORT __attribute__((visibility("default")))

/// @brief Keeps a member of an exported class out of the shared object's exports.
#define CLOUDSTACK_HIDDEN __attribute__((visibility("hidden")))

/// @brief printf-style format checking for variadic functions and methods: @p fmt is the
/// position of the format argument, @p first that of the first value (counting `this`).
#define CLOUDSTACK_PRINTF(fmt, first) __attribute__((format(printf, fmt, first)))
