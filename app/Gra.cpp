#include "app/Gra.h"

#include <dlfcn.h>

Gra::~Gra()
{
    if (Module)
        dlclose(Module);
}

bool Gra::Load(const std::string& fileName, const std::string& exeDir)
{
    if (Module)
        dlclose(Module);
    Module = nullptr;
    // The program's own directory comes first, as for a library shipped
    // beside the executable; a run path alone is not enough where a
    // sanitizer's dlopen stands between the program and the loader.
    if (fileName.find('/') == std::string::npos && !exeDir.empty())
        Module = dlopen((exeDir + "/" + fileName).c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!Module)
        Module = dlopen(fileName.c_str(), RTLD_NOW | RTLD_LOCAL);
    return Module != nullptr;
}

void Gra::ResolveEntryPoints()
{
    for (std::size_t i = 0; i < EntryPointNames.size(); ++i)
        EntryPoints[i] = Module ? dlsym(Module, EntryPointNames[i]) : nullptr;
}

Gra& TheGra()
{
    static Gra binding;
    return binding;
}
