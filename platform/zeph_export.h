// Symbol visibility for the platform string library: exported when building it, imported elsewhere.
#ifndef ZEPH_EXPORT_H
#define ZEPH_EXPORT_H

#if defined(_WIN32)
#if defined(ZEPH_STRING_BUILDING)
#define ZEPH_STRING_API __declspec(dllexport)
#else
#define ZEPH_STRING_API __declspec(dllimport)
#endif
#else
#define ZEPH_STRING_API __attribute__((visibility("default")))
#endif

#endif
