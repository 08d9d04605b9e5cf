#pragma once
// VORN_TCAMMGR_API marks what the shared library libvorn-tcammgr exports: the public classes
// (with their vtables and type information), the factories and the class templates explicitly
// instantiated for both table families. The library is compiled with hidden visibility, so
// everything not marked stays inside it. Static builds see the same attribute; it has no effect
// on linking an executable.
#if defined(__GNUC__) || defined(__clang__)
#define VORN_TCAMMGR_API __attribute__((visibility("default")))
#else
#define VORN_TCAMMGR_API
#endif
