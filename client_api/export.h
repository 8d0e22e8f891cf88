#pragma once

// Marks the classes and functions that libvexil_client exports; everything else in the library is
// hidden, so applications see only the public client API.
#if defined(__GNUC__)
#define VEXIL_EXPORT __attribute__((visibility("default")))
#else
#define VEXIL_EXPORT
#endif
