// The module's one exported entry: the host creates the selector through it.
#include "ostrel.h"

#if defined(_WIN32)
#define OSTREL_EXPORT extern "C" __declspec(dllexport)
#else
#define OSTREL_EXPORT extern "C" __attribute__((visibility("default")))
#endif

#if defined(__GNUC__) || defined(__clang__)
#define OSTREL_KEEP __attribute__((used))
#else
#define OSTREL_KEEP
#endif

// Nothing reads it; it identifies the library to whoever inspects the file.
OSTREL_KEEP static const char zeph_signature[] =
    "ZEPH_SIG,name=zeph_script_helper,type=LIB,version=4.8.6.0,date=16/06/2017,"
    "author=Ostrel developers";

OSTREL_EXPORT zeph_client_callback* load_zeph_client_script(zeph_client_callback* host,
                                                            const char* path) {
    // The class-level operator new does not throw: a failed allocation yields null and no object.
    return new Ostrel(host, path);
}
