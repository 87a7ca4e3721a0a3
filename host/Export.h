// Symbol visibility for the two shared libraries.
//
// Both libraries are built with hidden visibility; only what carries
// OBJSTORE_API is part of their dynamic interface. On ELF the same attribute
// serves the definition and every use, so one macro covers both libraries.
#ifndef OBJSTORE_HOST_EXPORT_H_
#define OBJSTORE_HOST_EXPORT_H_

#define OBJSTORE_API __attribute__((visibility("default")))
// For a private member of an exported class that callers never link against:
// without it, the class's visibility would export it too.
#define OBJSTORE_LOCAL __attribute__((visibility("hidden")))

#endif  // OBJSTORE_HOST_EXPORT_H_
