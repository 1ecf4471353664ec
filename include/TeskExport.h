#pragma once

// Symbols marked CLOUDSTACK_EXPORT are the only ones the shared object exports;
// everything else is built with hidden visibility.
#define CLOUDSTACK_EXPORT __attribute__((visibility("default")))

// printf-style format checking for variadic functions and methods.
#define CLOUDSTACK_PRINTF(fmt, first) __attribute__((format(printf, fmt, first)))
