#include "platform/platform.h"

#ifdef _WIN32
#include <windows.h>

void *PLAT_LoadLibrary(const char *fileName)
{
    // The default search order looks in the executable's folder first.
    return reinterpret_cast<void *>(LoadLibraryA(fileName));
}

void *PLAT_FindSymbol(void *library, const char *name)
{
    if (library == nullptr)
        return nullptr;
    return reinterpret_cast<void *>(GetProcAddress(static_cast<HMODULE>(library), name));
}

int PLAT_FreeLibrary(void *library)
{
    if (library == nullptr)
        return -1;
    return FreeLibrary(static_cast<HMODULE>(library)) ? 0 : -1;
}

#else
#include <dlfcn.h>

void *PLAT_LoadLibrary(const char *fileName) { return dlopen(fileName, RTLD_NOW | RTLD_LOCAL); }

void *PLAT_FindSymbol(void *library, const char *name)
{
    if (library == nullptr)
        return nullptr;
    return dlsym(library, name);
}

int PLAT_FreeLibrary(void *library)
{
    if (library == nullptr)
        return -1;
    return dlclose(library) == 0 ? 0 : -1;
}
#endif
