#pragma once
// The one assertion facility: a broken invariant prints the given expression text (and an
// optional message), where it failed, and aborts the process. Always on, in every build type.

// libvorn-platform is compiled with hidden visibility; it exports what this header declares.
#pragma GCC visibility push(default)

namespace Qel {
[[noreturn]] void assertionFailed(char const* text, char const* message, char const* file, int line,
                                  char const* function);
}

// QEL_ASSERT(cond, "text"): stops with "text" when cond is false.
#define QEL_ASSERT(cond, text)                                                     \
    do {                                                                           \
        if (!(cond)) [[unlikely]]                                                  \
            ::Qel::assertionFailed((text), nullptr, __FILE__, __LINE__, __func__); \
    } while (0)

// QEL_ASSERT_MSG(cond, "text", message): as QEL_ASSERT, with a message (a C string).
#define QEL_ASSERT_MSG(cond, text, message)                                          \
    do {                                                                             \
        if (!(cond)) [[unlikely]]                                                    \
            ::Qel::assertionFailed((text), (message), __FILE__, __LINE__, __func__); \
    } while (0)

#pragma GCC visibility pop
