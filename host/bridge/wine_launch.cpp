// Finding zeph-bridge.exe, tools/wine-run and the Wine prefix.
#include "bridge/wine_launch.h"

#include "built_paths.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include <sys/stat.h>
#include <unistd.h>

namespace zeph::host::bridge {

namespace {

std::string executableDir() {
    char path[4096];
    const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0)
        return ".";
    path[n] = '\0';
    std::string p(path);
    return p.substr(0, p.rfind('/'));
}

bool isFile(const std::string& p, bool executable) {
    struct stat st;
    return !p.empty() && stat(p.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
           (!executable || access(p.c_str(), X_OK) == 0);
}

std::string firstFile(std::initializer_list<std::string> candidates, bool executable) {
    for (const std::string& c : candidates)
        if (isFile(c, executable))
            return c;
    return "";
}

std::string env(const char* name) {
    const char* v = std::getenv(name);
    return v ? v : "";
}

std::string winePrefix() {
    if (std::string p = env("ZEPH_WINE_PREFIX"); !p.empty())
        return p;
    // The build tree's own prefix while the build tree is there; else one per user.
    const std::string built = zeph::built::winePrefix;
    const std::string parent = built.substr(0, built.rfind('/'));
    if (!built.empty() && access(parent.c_str(), W_OK) == 0)
        return built;
    if (std::string cache = env("XDG_CACHE_HOME"); !cache.empty())
        return cache + "/zeph/wine-prefix";
    return env("HOME") + "/.cache/zeph/wine-prefix";
}

double seconds(const char* name, double fallback) {
    const std::string v = env(name);
    char* end = nullptr;
    const double d = v.empty() ? 0 : std::strtod(v.c_str(), &end);
    return d > 0 && end && !*end ? d : fallback;
}

} // namespace

bool wineLaunch(const std::string& dllPath, Launch& launch, std::string& error) {
    const std::string dir = executableDir();
    const std::string bridge = firstFile(
        {env("ZEPH_BRIDGE_EXE"), dir + "/zeph-bridge.exe", zeph::built::bridgeExe}, false);
    if (bridge.empty()) {
        error = "cannot load " + dllPath +
                ": the bridge that runs Windows DLLs (zeph-bridge.exe) is not built here; building "
                "it needs i686-w64-mingw32-gcc";
        return false;
    }
    const std::string wineRun =
        firstFile({env("ZEPH_WINE_RUN"), dir + "/zeph-wine-run", zeph::built::wineRunSource}, true);
    if (wineRun.empty()) {
        error = "cannot load " + dllPath + ": tools/wine-run (zeph-wine-run) is not found";
        return false;
    }
    char* real = realpath(dllPath.c_str(), nullptr);
    if (!real) {
        error = "cannot load " + dllPath + ": " + std::strerror(errno);
        return false;
    }
    // Wine's drive Z: is the root of the file system.
    std::string windowsPath = std::string("Z:") + real;
    std::free(real);
    for (char& ch : windowsPath)
        if (ch == '/')
            ch = '\\';
    launch.argv = {wineRun, "--prefix", winePrefix(), bridge, windowsPath};
    launch.module = dllPath;
    launch.answerSeconds = seconds("ZEPH_BRIDGE_TIMEOUT", 10);
    launch.startSeconds = std::max(60.0, launch.answerSeconds);
    return true;
}

} // namespace zeph::host::bridge
