// Preloaded into the daemon by a test: the process dies by SIGKILL, as in a crash or power cut,
// at the moment it would rename a file over the path in TM_KILL_AT_RENAME. It first prints
// "killed at rename FROM -> TO" on standard error, so the test can inspect FROM.
#include <dlfcn.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace
{

void killIfTarget(const char *from, const char *to)
{
    const char *target = std::getenv("TM_KILL_AT_RENAME");
    if (!target || !to || std::strcmp(to, target) != 0)
        return;
    dprintf(2, "killed at rename %s -> %s\n", from, to);
    std::raise(SIGKILL);
}

template <typename Function>
Function next(const char *name)
{
    return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

} // namespace

extern "C" int rename(const char *from, const char *to)
{
    killIfTarget(from, to);
    static const auto real = next<int (*)(const char *, const char *)>("rename");
    return real(from, to);
}

extern "C" int renameat(int fromDirectory, const char *from, int toDirectory, const char *to)
{
    killIfTarget(from, to);
    static const auto real = next<int (*)(int, const char *, int, const char *)>("renameat");
    return real(fromDirectory, from, toDirectory, to);
}

extern "C" int renameat2(int fromDirectory, const char *from, int toDirectory, const char *to, unsigned int flags)
{
    killIfTarget(from, to);
    static const auto real = next<int (*)(int, const char *, int, const char *, unsigned int)>("renameat2");
    return real(fromDirectory, from, toDirectory, to, flags);
}
