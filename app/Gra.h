// The binding of the NKF32.DLL conversion library: loaded by name at window
// construction, its six entry points resolved and kept (none is called),
// freed when the binding is destroyed at program end.
#pragma once

#include <array>
#include <string>

class Gra {
public:
    static constexpr std::array<const char*, 6> EntryPointNames = {
        "GetNkfVersion", "SetNkfOption", "NkfConvert", "ToHankaku", "ToZenkakuKana", "EncodeSubject"};

    Gra() = default;
    ~Gra();
    Gra(const Gra&) = delete;
    Gra& operator=(const Gra&) = delete;

    // Loads the library by file name, looking in the executable's directory
    // first and then through the dynamic loader's search; false when it
    // cannot be loaded.
    bool Load(const std::string& fileName, const std::string& exeDir);
    // Resolves the six entry points by name, in order; a missing one stays null.
    void ResolveEntryPoints();

    void* Handle() const { return Module; }
    void* EntryPoint(std::size_t i) const { return EntryPoints[i]; }

private:
    void* Module = nullptr;
    std::array<void*, 6> EntryPoints{};
};

// The one binding of the program, constructed empty before the window exists.
Gra& TheGra();
